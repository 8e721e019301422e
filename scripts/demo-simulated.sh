#!/usr/bin/env bash
# The live transcription road on the simulated default machine: the system plays a short
# spoken clip (made here with flite and sox), `norvi-audio-helper tap-stream` captures it, the
# host decodes every chunk into `norvi-apple-engine transcribe --language en --target de`, and
# the transcript is printed as it arrives. Recognition and translation are simulated too: the
# recognizer finds each stretch of speech by its energy and says the clip's next sentence.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh default >/dev/null
demo=build/demo
mkdir -p "$demo"
sentences=("Good morning everyone." "Let us review the numbers for this quarter." "Thank you all for listening.")
if [[ ! -f $demo/clip.wav ]]; then
    parts=()
    for index in "${!sentences[@]}"; do
        flite -t "${sentences[$index]}" -o "$demo/sentence$index.wav"
        # 48 kHz, 16-bit, followed by a second of silence.
        sox "$demo/sentence$index.wav" -r 48000 -b 16 "$demo/part$index.wav" pad 0 1
        parts+=("$demo/part$index.wav")
    done
    sox "${parts[@]}" "$demo/clip.wav"
fi
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
