#!/usr/bin/env bash
# Builds and runs the whole test suite: the optimised build, then the AddressSanitizer +
# UndefinedBehaviorSanitizer build, the concurrency tests under ThreadSanitizer, and a short run
# of every fuzz target (scripts/fuzz.sh runs them long).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default asan tsan fuzz
status=0
for preset in default asan tsan fuzz; do
    echo "== tests: $preset"
    ctest --preset "$preset" -j 2 || status=1
done
exit $status
