#!/usr/bin/env bash
# Runs wine_recording_bench under Wine in a world of its own (a screen large
# enough for a 1920x1080 window, the tone playing into the speakers' sink,
# whose monitor is recorded as the microphone).
#
#   bench/windows/run-wine-recording-bench.sh [seconds=40] [build dir=build/windows]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-40}
build=$(readlink -f "${2:-$here/../../build/windows}")
[[ -f "$build/bin/wine_recording_bench.exe" ]] || { echo "build the windows preset first ($build)" >&2; exit 1; }

WINE_WORLD_SCREEN=2560x1440x24
source "$here/../../tests/windows/wine-world.sh"

mkdir -p "$work/clips"
WINEDEBUG=${BENCH_WINEDEBUG:--all} wine "$build/bin/wine_recording_bench.exe" --dll "$(winpath "$build/bin/core.dll")" --out "$(winpath "$work/clips")" \
  --mic "Monitor of Ostrel Speakers" --seconds "$seconds"
