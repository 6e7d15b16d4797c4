# Sourced by the scripts that run Windows programs under Wine: gives them a
# world of their own — an Xvfb display, a PulseAudio server with null sinks
# and a null source, and a throwaway Wine prefix — all removed again on exit.
# Screen size: WINE_WORLD_SCREEN (1920x1080x24 unless set); WINE_WORLD_SINE=0
# leaves the speakers silent.
#
# After sourcing: DISPLAY, PULSE_SERVER and WINEPREFIX are set, `winpath`
# turns a Linux path into a Windows one, `elapsed` gives the seconds since
# the start, and $work is a scratch folder removed on exit.

work=$(mktemp -d "${TMPDIR:-/tmp}/ostrel-wine-XXXXXX")
pids=()
cleanup() {
  local rc=$?
  if [[ -d "$work/prefix" ]]; then WINEPREFIX="$work/prefix" wineserver -k >/dev/null 2>&1 || true; fi
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  if ((rc != 0)) && [[ -f "$work/pulse.log" ]]; then tail -20 "$work/pulse.log" >&2; fi
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
SECONDS=0
elapsed() { echo "$SECONDS"; }

# Windows paths of Linux files, through Wine's Z: drive.
winpath() { local p; p=$(readlink -f "$1"); echo "Z:${p//\//\\}"; }

export HOME="$work/home" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# X server on a display number nobody else uses.
exec {display_fd}>"$work/display"
Xvfb -displayfd "$display_fd" -screen 0 "${WINE_WORLD_SCREEN:-1920x1080x24}" -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
exec {display_fd}>&-
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.1; done
[[ -s "$work/display" ]] || { echo "Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(head -1 "$work/display")"

# PulseAudio: two null sinks (speakers are the default, playing a 440 Hz
# tone at half scale unless WINE_WORLD_SINE=0), a null source as the default
# microphone; every sink's monitor is a capture endpoint too.
sine="load-module module-sine sink=ostrel_speakers frequency=440"
[[ "${WINE_WORLD_SINE:-1}" == 0 ]] && sine=""
cat >"$work/default.pa" <<PA
load-module module-native-protocol-unix socket=$XDG_RUNTIME_DIR/native auth-anonymous=1
load-module module-null-sink sink_name=ostrel_speakers sink_properties="device.description='Ostrel Speakers'"
load-module module-null-sink sink_name=ostrel_headset sink_properties="device.description='Ostrel Headset'"
load-module module-null-source source_name=ostrel_mic description="Ostrel Microphone"
$sine
set-default-sink ostrel_speakers
set-default-source ostrel_mic
PA
pulseaudio -n -F "$work/default.pa" --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
  --disable-shm=yes --log-target="file:$work/pulse.log" &
pids+=($!)
export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/native"
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl info >/dev/null || { echo "PulseAudio did not start" >&2; exit 1; }

# A fresh prefix; no Mono or Gecko prompts.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine wineboot --init >"$work/wineboot.log" 2>&1
wineserver -w
echo "wine world: display $DISPLAY, PulseAudio and prefix ready after $(elapsed) s"
