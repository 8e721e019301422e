#!/usr/bin/env bash
# The live transcription road as fast as the simulated machine delivers audio: the host runs
# tap-stream on a machine that plays, without real-time pacing, a loop of one second of tone
# and one of silence, and transcribe --target de on the simulated recognizer and translator,
# until `minutes` of audio have gone through. Prints seconds of audio per second of wall time
# and the CPU seconds both programs together spend per hour of audio.
#
# With --real the engine runs on this machine's real backends (PocketSphinx, apertium) and
# transcribes --language en-US --target es a loop of a sentence flite speaks followed by a
# second of silence; the capture stays simulated, so the audio still comes as fast as it goes.
# Keep the real runs within the helper's write queue (a few minutes): the recognizer is slower
# than the capture, and a capture that outruns its reader by more drops the oldest chunks.
#
#   bench/road/road_bench.sh [minutes, default 10] [--real]
set -euo pipefail
cd "$(dirname "$0")/../.."
minutes=${1:-10}
real=${2:-}
[[ -z $real || $real == --real ]] || { echo "road_bench: unknown option $real" >&2; exit 2; }
[[ $minutes =~ ^[1-9][0-9]*$ ]] || { echo "road_bench: minutes must be a positive whole number" >&2; exit 2; }
[[ -x build/bin/norvi-audio-helper && -x build/bin/norvi-apple-engine ]] ||
    { echo "road_bench: build first (scripts/setup.sh default)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bin=$PWD/build/bin
engine_options=(--language en --target de)
if [[ -n $real ]]; then
    flite -t "Let us review the numbers for this quarter." -o "$work/sentence.wav"
    sox "$work/sentence.wav" -r 48000 -b 16 -c 1 "$work/loop.wav" pad 0 1
    # The host hands both programs one environment: the engine's stand-in drops the
    # simulation so that only the capture is simulated.
    bin=$work/bin
    mkdir "$bin"
    ln -s "$PWD/build/bin/norvi-audio-helper" "$bin/norvi-audio-helper"
    printf '#!/bin/sh\nexec env -u NORVI_SIMULATION "%s" "$@"\n' "$PWD/build/bin/norvi-apple-engine" \
        > "$bin/norvi-apple-engine"
    chmod +x "$bin/norvi-apple-engine"
    engine_options=(--language en-US --target es)
else
    sox -n -r 48000 -b 16 -c 1 "$work/loop.wav" synth 1 sine 300 vol 0.3 pad 0 1
fi
chunks=$((minutes * 600))
cat > "$work/scenario.json" <<JSON
{"coreAudio": {"plays": {"signal": "wav", "path": "$work/loop.wav", "loop": true},
               "realTime": false, "maximumIOCycles": $((minutes * 6000))}}
JSON
start=$(date +%s.%N)
# perl notes the CPU time of the host and of the two programs it waited for.
NORVI_SIMULATION="$work/scenario.json" perl -e '
    my $cpu = shift;
    system(@ARGV) == 0 or die "road_bench: the host failed\n";
    my @t = times;
    open(my $out, ">", $cpu) or die; printf $out "%.3f\n", $t[2] + $t[3];' -- "$work/cpu" \
    node host/norvi-host.js "${engine_options[@]}" --bin "$bin" --json --stats --chunks "$chunks" \
    2> "$work/stats" > "$work/records"
end=$(date +%s.%N)
children_cpu=$(cat "$work/cpu")
cat "$work/stats" >&2
stats=$(grep '^host: ' "$work/stats")
got=$(sed -E 's/^host: ([0-9]+) chunks.*/\1/' <<<"$stats")
host_cpu=$(sed -E 's/.*host CPU ([0-9.]+) s.*/\1/' <<<"$stats")
finals=$(grep '"isFinal":true' "$work/records" | grep -vc '"translation"' || true)
awk -v audio="$(awk -v n="$got" 'BEGIN { print n / 10 }')" -v start="$start" -v end="$end" \
    -v all="$children_cpu" -v host="$host_cpu" -v finals="$finals" 'BEGIN {
    wall = end - start; cpu = all - host;
    printf "road: %.0f s of audio in %.2f s: %.0f s of audio per second\n", audio, wall, audio / wall;
    printf "road: both programs %.2f CPU s (host %.2f s besides): %.1f CPU s per hour of audio\n",
           cpu, host, cpu * 3600 / audio;
    printf "road: %d final lines written\n", finals;
}'
