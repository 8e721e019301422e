#!/usr/bin/env bash
# Builds and runs the whole test suite: the optimised build, then the AddressSanitizer +
# UndefinedBehaviorSanitizer build, the concurrency tests under ThreadSanitizer, and a short run
# of every fuzz target (scripts/fuzz.sh runs them long).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default asan tsan fuzz
# The audio backend tests run against a private PulseAudio server, stopped again on the way out.
audio_server_dir="${TMPDIR:-/tmp}/norvi-test-audio-server.$$"
trap 'scripts/test-audio-server.sh stop "$audio_server_dir"; rm -rf "$audio_server_dir"' EXIT
server_variable=$(scripts/test-audio-server.sh start "$audio_server_dir") || {
    echo "test: the private audio server did not start" >&2
    exit 1
}
export "$server_variable"
status=0
for preset in default asan tsan fuzz; do
    echo "== tests: $preset"
    ctest --preset "$preset" -j 2 || status=1
done
exit $status
