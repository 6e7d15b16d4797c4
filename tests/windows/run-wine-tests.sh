#!/usr/bin/env bash
# Runs the Windows test host under Wine in a world of its own (wine-world.sh:
# an Xvfb display, a PulseAudio server with null sinks and a null source, and
# a throwaway Wine prefix, all removed again on exit).
#
#   run-wine-tests.sh exports HOST.exe core.dll
#   run-wine-tests.sh record  HOST.exe core.dll CLIP_CHECK_SCRIPT
#   run-wine-tests.sh record-transform HOST.exe core.dll CLIP_CHECK_SCRIPT TRANSFORM.dll
#   run-wine-tests.sh no-media-foundation HOST.exe core.dll CLIP_CHECK_SCRIPT
# The record runs check the clips they wrote with CLIP_CHECK_SCRIPT.
# record-transform records through h264_mf on the asynchronous test
# transform, registered in this run's prefix only; no-media-foundation runs
# the host with Wine's Media Foundation DLLs disabled.
set -euo pipefail

mode=$1 host=$2
dll=${3:-}
shift $(($# < 3 ? $# : 3))

source "$(dirname "$0")/wine-world.sh"

endpoints=(--render PulseAudio --render "Ostrel Speakers" --render "Ostrel Headset" --default-render PulseAudio
  --capture PulseAudio --capture "Monitor of Ostrel Speakers" --capture "Monitor of Ostrel Headset"
  --capture "Ostrel Microphone" --default-capture PulseAudio)

rc=0
case "$mode" in
  exports)
    wine "$host" exports --dll "$(winpath "$dll")" "${endpoints[@]}" || rc=$?
    ;;
  record)
    clip_check=$1
    out="$work/clips"
    mkdir -p "$out"
    wine "$host" record --dll "$(winpath "$dll")" --out "$(winpath "$out")" --mic "Monitor of Ostrel Speakers" || rc=$?
    if ((rc == 0)); then python3 "$clip_check" "$out" || rc=$?; fi
    ;;
  record-transform)
    clip_check=$1 transform=$2
    out="$work/clips"
    mkdir -p "$out"
    cp "$transform" "$work/"
    wine "$host" record-transform --dll "$(winpath "$dll")" --transform "$(winpath "$work/$(basename "$transform")")" \
      --out "$(winpath "$out")" --mic "Monitor of Ostrel Speakers" || rc=$?
    if ((rc == 0)); then python3 "$clip_check" "$out" 3 || rc=$?; fi
    ;;
  no-media-foundation)
    clip_check=$1
    out="$work/clips"
    mkdir -p "$out"
    WINEDLLOVERRIDES="${WINEDLLOVERRIDES:+$WINEDLLOVERRIDES;}mfplat,mf,mfreadwrite=d" \
      wine "$host" no-media-foundation --dll "$(winpath "$dll")" "${endpoints[@]}" \
      --out "$(winpath "$out")" --mic "Monitor of Ostrel Speakers" || rc=$?
    if ((rc == 0)); then python3 "$clip_check" "$out" 1 || rc=$?; fi
    ;;
  *)
    echo "unknown mode $mode" >&2
    rc=2
    ;;
esac
echo "wine-tests: $mode finished with $rc after $(elapsed) s"
exit "$rc"
