#!/usr/bin/env bash
# The live transcription road on the simulated default machine: the system plays a short
# spoken clip (made here with flite and sox), `norvi-audio-helper tap-stream` captures it, the
# host decodes every chunk into `norvi-apple-engine transcribe --language en --target de`, and
# the transcript is printed as it arrives. Recognition and translation are simulated too: the
# recognizer finds each stretch of speech by its energy and says the clip's next sentence.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default >/dev/null
source scripts/demo-clip.sh
cat > "$demo/scenario.json" <<JSON
{
  "comment": "The default machine, with the system playing the demo clip and the recognizer saying its sentences.",
  "coreAudio": {"plays": {"signal": "wav", "path": "$PWD/$demo/clip.wav"}},
  "speech": {"transcript": [$(printf '"%s",' "${sentences[@]}" | sed 's/,$//')]}
}
JSON
seconds=$(soxi -D "$demo/clip.wav")
export NORVI_SIMULATION="$PWD/$demo/scenario.json"
exec node host/norvi-host.js --language en --target de --duration "$(awk -v s="$seconds" 'BEGIN { print s + 0.5 }')" "$@"
