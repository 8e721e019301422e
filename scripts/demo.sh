#!/usr/bin/env bash
# The main job on the simulated default machine: what the helper can do today.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default
export NORVI_SIMULATION=default
helper=build/bin/norvi-audio-helper

echo "== norvi-audio-helper screen-access"
"$helper" screen-access
echo "== norvi-audio-helper help"
"$helper" help
