#!/usr/bin/env bash
# tap-stream for `minutes` of audio as fast as the simulated device delivers it: a 440 Hz tone in
# 480-frame cycles of 48 kHz (10 ms each), standard output read as fast as it comes. Prints the
# helper's resident memory about once a second (seconds, chunks so far, VmRSS in KiB), stops it
# with SIGTERM once the chunks the input implies (600 a minute) have arrived, checks status 0,
# the final "stream_ended" and the exact chunk count, and sums up: wall seconds, seconds of
# audio per second, first, last and largest resident memory. Exits 1 when a check fails.
#
#   bench/soak/tap_stream_soak.sh [minutes, default 60]
set -euo pipefail
cd "$(dirname "$0")/../.."
minutes=${1:-60}
[[ $minutes =~ ^[1-9][0-9]*$ ]] || { echo "tap_stream_soak: minutes must be a positive whole number" >&2; exit 2; }
[[ -x build/bin/norvi-audio-helper ]] || { echo "tap_stream_soak: build first (scripts/setup.sh default)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat > "$work/scenario.json" <<JSON
{"coreAudio": {"plays": {"signal": "sine", "frequency": 440, "amplitude": 0.5},
               "realTime": false, "maximumIOCycles": $((minutes * 6000))}}
JSON
NORVI_SIMULATION="$work/scenario.json" node bench/soak/tap_stream_soak.js \
    build/bin/norvi-audio-helper $((minutes * 600))
