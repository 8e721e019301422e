#!/usr/bin/env bash
# The main job, for real on this machine: a private PulseAudio server stands in for the
# desktop's sound system, flite speaks a short clip into it, `norvi-audio-helper tap-stream`
# captures what it plays, the host decodes every chunk into `norvi-apple-engine transcribe
# --language en-US --target es` (pocketsphinx recognizes, apertium translates), and the
# transcript is printed as it arrives. Nothing is simulated; scripts/demo-simulated.sh runs the
# same road on the simulated default machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default >/dev/null
source scripts/demo-clip.sh
server_dir="${TMPDIR:-/tmp}/norvi-demo-audio-server.$$"
player=
cleanup() {
    [[ -n $player ]] && kill "$player" 2>/dev/null || true
    scripts/test-audio-server.sh stop "$server_dir"
    rm -rf "$server_dir"
}
trap cleanup EXIT
server_variable=$(scripts/test-audio-server.sh start "$server_dir")
export PULSE_SERVER="${server_variable#*=}"
unset NORVI_SIMULATION
seconds=$(soxi -D "$demo/clip.wav")
# The capture runs first; the clip starts playing a moment later and the capture stops a
# moment after its end.
(sleep 1.5 && exec paplay -d speaker "$demo/clip.wav") &
player=$!
node host/norvi-host.js --language en-US --target es \
    --duration "$(awk -v s="$seconds" 'BEGIN { print s + 3 }')" "$@"
