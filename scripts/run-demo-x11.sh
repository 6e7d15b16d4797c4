#!/usr/bin/env bash
# The demo on the real Linux backend, with nothing running beforehand: starts
# an Xvfb display and a PulseAudio server with a null sink of its own, plays a
# moving test picture with a tone in an ffplay window (its sound goes to the
# null sink), records that window with the sink's sound through
# libostrel_core.so, and stops everything again. Extra arguments go to
# ostrel-demo (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target ostrel-demo ostrel_core

work=$(mktemp -d /tmp/ostrel-demo-x11-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# X server on a free display number.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"

# Sound server of our own with one null sink as the default.
export PULSE_RUNTIME_PATH="$work/pulse" PULSE_STATE_PATH="$work/pulse" XDG_RUNTIME_DIR="$work"
export PULSE_SERVER="unix:$work/pulse/native"
mkdir -p "$work/pulse"
cat >"$work/demo.pa" <<PA
load-module module-native-protocol-unix socket=$work/pulse/native auth-anonymous=1
load-module module-null-sink sink_name=demo_speakers sink_properties=device.description=Demo-speakers
set-default-sink demo_speakers
PA
pulseaudio -n -F "$work/demo.pa" --exit-idle-time=-1 --daemonize=no --disallow-exit >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done

# The window to record: a 1280x720 test picture at 60 fps with a 440 Hz tone.
SDL_AUDIODRIVER=pulseaudio ffplay -loglevel error -window_title ostrel-demo-window -noborder \
  -f lavfi "testsrc2=size=1280x720:rate=60[out0];sine=frequency=440:sample_rate=48000[out1]" &
pids+=($!)
sleep 2

build/default/demo/ostrel-demo --x11-window-name ostrel-demo-window --output clips "$@"
