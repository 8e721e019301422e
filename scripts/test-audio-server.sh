#!/usr/bin/env bash
# Starts or stops the private PulseAudio server the audio backend tests run against:
#   scripts/test-audio-server.sh start DIR   prints the variables to export
#   scripts/test-audio-server.sh stop DIR
# Everything lives in DIR (runtime directory, socket, log, PIDs); nothing needs D-Bus. The
# server has two null sinks, "speaker" (the default sink) and "micfeed", and a source
# "testmic" made from the monitor of "micfeed" (the default source): what a player plays into
# "micfeed" is what the microphone hears. Idempotent and quiet.
set -euo pipefail
action=${1:?start or stop}
dir=${2:?directory}
socket="$dir/native"

stop_pid() {
    local file=$1
    [[ -f $file ]] || return 0
    local pid
    pid=$(cat "$file")
    if kill -0 "$pid" 2>/dev/null; then
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    fi
    rm -f "$file"
}

case $action in
start)
    mkdir -p "$dir/runtime" "$dir/home"
    if [[ -f $dir/server.pid ]] && kill -0 "$(cat "$dir/server.pid")" 2>/dev/null; then
        echo "NORVI_TEST_PULSE_SERVER=unix:$socket"
        exit 0
    fi
    cat >"$dir/server.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$socket
load-module module-null-sink sink_name=speaker rate=48000 sink_properties=device.description=Test_Speaker
load-module module-null-sink sink_name=micfeed rate=48000 sink_properties=device.description=Test_Microphone_Feed
load-module module-remap-source master=micfeed.monitor source_name=testmic source_properties=device.description=Test_Microphone
set-default-sink speaker
set-default-source testmic
PA
    HOME="$dir/home" PULSE_RUNTIME_PATH="$dir/runtime" XDG_RUNTIME_DIR="$dir/runtime" \
        pulseaudio -n --daemonize=no --use-pid-file=no --exit-idle-time=-1 --disallow-exit \
        --log-target=file:"$dir/server.log" -F "$dir/server.pa" </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/server.pid"
    for _ in $(seq 100); do
        PULSE_SERVER="unix:$socket" pactl info >/dev/null 2>&1 && break
        sleep 0.1
    done
    if ! PULSE_SERVER="unix:$socket" pactl info >/dev/null 2>&1; then
        echo "test-audio-server: the server did not start; see $dir/server.log" >&2
        stop_pid "$dir/server.pid"
        exit 1
    fi
    # An idle null sink sleeps for up to two seconds before it notices a new stream; a
    # low-latency listener on each keeps them rendering in small steps.
    for sink in speaker micfeed; do
        PULSE_SERVER="unix:$socket" parec -d "$sink.monitor" --latency-msec=10 \
            --property=application.id=org.norvi.test-keepalive </dev/null >/dev/null 2>&1 &
        echo $! >"$dir/keepalive-$sink.pid"
    done
    # A sink notices the listener only once its current (long) sleep is over: wait until both
    # deliver audio in time.
    for sink in speaker micfeed; do
        for _ in $(seq 25); do
            bytes=$(PULSE_SERVER="unix:$socket" timeout 0.3 parec -d "$sink.monitor" --latency-msec=10 \
                --format=s16le --rate=48000 --channels=2 2>/dev/null | wc -c || true)
            ((bytes >= 20000)) && break
            sleep 0.1
        done
    done
    echo "NORVI_TEST_PULSE_SERVER=unix:$socket"
    ;;
stop)
    for file in "$dir"/keepalive-*.pid; do [[ -e $file ]] && stop_pid "$file"; done
    stop_pid "$dir/server.pid"
    ;;
*)
    echo "usage: $0 start|stop DIR" >&2
    exit 2
    ;;
esac
