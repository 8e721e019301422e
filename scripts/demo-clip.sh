# Sourced by the demos: `sentences` and the clip flite speaks of them, each sentence followed by
# a second of silence, 48 kHz 16-bit, made once at $demo/clip.wav.
demo=build/demo
mkdir -p "$demo"
sentences=("Good morning everyone." "Let us review the numbers for this quarter." "Thank you all for listening.")
if [[ ! -f $demo/clip.wav ]]; then
    parts=()
    for index in "${!sentences[@]}"; do
        flite -t "${sentences[$index]}" -o "$demo/sentence$index.wav"
        sox "$demo/sentence$index.wav" -r 48000 -b 16 "$demo/part$index.wav" pad 0 1
        parts+=("$demo/part$index.wav")
    done
    sox "${parts[@]}" "$demo/clip.wav"
fi
