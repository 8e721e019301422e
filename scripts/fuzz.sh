#!/usr/bin/env bash
# Runs every fuzz target for a while (default 300 s each), growing its corpus under
# build-fuzz/, and prints the executions of each. Usage: scripts/fuzz.sh [seconds] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
shift || true
scripts/setup.sh fuzz
targets=("$@")
if ((${#targets[@]} == 0)); then
    mapfile -t targets < <(find build-fuzz/bin -maxdepth 1 -name '*_fuzzer' -printf '%f\n' | sort)
fi
for target in "${targets[@]}"; do
    work="build-fuzz/long-corpus/$target"
    mkdir -p "$work"
    echo "== $target: $seconds s"
    "build-fuzz/bin/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
        "$work" "tests/fuzz/corpus/$target" 2>&1 | grep -E 'stat::number_of_executed_units|ERROR|SUMMARY' || true
done
