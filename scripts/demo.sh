#!/usr/bin/env bash
# The main job on the simulated default machine: capture what the system plays for two seconds
# and summarise the stream.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default >/dev/null
export NORVI_SIMULATION="$PWD/scripts/demo-scenario.json"
helper=build/bin/norvi-audio-helper

echo "== norvi-audio-helper screen-access"
"$helper" screen-access
echo "== norvi-audio-helper sck-stream --duration 2 (a 440 Hz tone)"
"$helper" sck-stream --duration 2 2>/dev/null | node scripts/stream_summary.js
