#!/usr/bin/env bash
# ostrel-replay from the .deb: packs it, installs it with dpkg into an empty
# root, checks the program and its man page are there, then records the
# screen of an Xvfb of its own (with a null sink of a PulseAudio server of its
# own as desktop sound), saves through the control socket and checks the clip.
# Usage: run-replay-deb-test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
step() { printf '== %s\n' "$*"; }

step "the .deb in an empty root"
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/pkg" > "$work/cpack.log")
deb=$(find "$work/pkg" -maxdepth 1 -name '*.deb' | head -n 1)
dpkg-deb -c "$deb" > "$work/deb-contents"
for f in usr/bin/ostrel-replay usr/share/man/man1/ostrel-replay.1 usr/lib/libostrel_core.so.0; do
  grep -q " \./$f" "$work/deb-contents" || { echo "missing from the .deb: $f"; exit 1; }
done
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The root has no other packages: their absence is what --force-depends allows.
dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" > "$work/dpkg.log" 2>&1
tool=$root/usr/bin/ostrel-replay
# The installed program finds the installed library by itself.
ldd "$tool" | grep "libostrel_core.so.0 => $root/usr/" > /dev/null
MANPATH=$root/usr/share/man man ostrel-replay 2>/dev/null | grep SIGUSR1 > /dev/null

step "usage"
"$tool" --help | grep "usage: ostrel-replay" > /dev/null
set +e
"$tool" --fps 0 > /dev/null 2> "$work/usage.err"
code=$?
set -e
test "$code" = 2 && grep -q "usage: ostrel-replay" "$work/usage.err"

step "a recording and a save"
Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp 3> "$work/display" > "$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 300); do test -s "$work/display" && break; sleep 0.1; done
export DISPLAY=:$(head -n 1 "$work/display")
mkdir -p "$work/pulse"
cat > "$work/pulse/test.pa" <<PA
load-module module-native-protocol-unix socket=$work/pulse/native auth-anonymous=1
load-module module-null-sink sink_name=speakers
load-module module-sine sink=speakers frequency=440
PA
XDG_RUNTIME_DIR=$work/pulse HOME=$work/pulse PULSE_STATE_PATH=$work/pulse/state \
  PULSE_RUNTIME_PATH=$work/pulse/runtime XDG_CONFIG_HOME=$work/pulse/config \
  pulseaudio -n -F "$work/pulse/test.pa" --daemonize=no --exit-idle-time=-1 --use-pid-file=false \
  --realtime=false --high-priority=false --log-target=stderr > "$work/pulse.log" 2>&1 &
pids+=($!)
export PULSE_SERVER=unix:$work/pulse/native
for _ in $(seq 100); do pactl info > /dev/null 2>&1 && break; sleep 0.1; done
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime
"$tool" --monitor --fps 30 --height 360 --length 3 --desktop speakers --mic off --output "$work/clips" \
  > "$work/tool.out" 2> "$work/tool.err" &
recorder=$!
pids+=($recorder)
for _ in $(seq 300); do grep -q '^recording ' "$work/tool.out" && break; sleep 0.1; done
grep -q '^recording the monitor under the pointer' "$work/tool.out" || { cat "$work/tool.out" "$work/tool.err"; exit 1; }
sleep 4
"$tool" status | grep "capturing yes" > /dev/null
clip=$("$tool" save)
test -f "$clip"
duration=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$clip")
streams=$(ffprobe -v error -show_entries stream=codec_type,height -of csv=p=0 "$clip" | tr '\n' ' ')
echo "clip $clip: $duration s, streams: $streams"
awk -v d="$duration" 'BEGIN { exit !(d > 2.4 && d < 3.6) }'
grep -q "video,360" <<< "$streams" && grep -q "audio" <<< "$streams"
kill -TERM "$recorder"
wait "$recorder"
test ! -e "$work/runtime/ostrel-replay.sock"
echo "replay tool from the .deb: passed"
