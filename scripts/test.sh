#!/usr/bin/env bash
# Builds and runs the whole test suite: the optimised build, then the AddressSanitizer +
# UndefinedBehaviorSanitizer build, then the concurrency tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default asan tsan
status=0
for preset in default asan tsan; do
    echo "== tests: $preset"
    ctest --preset "$preset" -j 2 || status=1
done
exit $status
