#!/usr/bin/env bash
# Runs ostrel-check.exe as a user would, next to core.dll, under Wine in a
# world of its own (wine-world.sh) whose speakers play nothing but the
# check's beeps, then checks its JSON report (check_self_check.py): Wine's
# fallbacks are taken and named, the clip decodes with its flashes and beeps.
# Wine lists no hardware H.264 encoder, without which the library does not
# record: the test host lists its test transform in the prefix first (the
# self-check itself registers nothing).
#   run-wine-self-check.sh ostrel-check.exe core.dll HOST.exe CHECK_SCRIPT [KNOWN_FAILURES]
set -euo pipefail
check=$1 dll=$2 host=$3 judge=$4 known=${5:-}

export WINE_WORLD_SINE=0
source "$(dirname "$0")/wine-world.sh"

# As shipped: the two files side by side.
mkdir -p "$work/release" "$work/out"
cp "$check" "$dll" "$work/release/"
wine "$host" register-hardware-encoder
rc=0
args=(--out "$(winpath "$work/out")" --mic "Monitor of Ostrel Speakers" --no-pause)
[[ -n "$known" ]] && args+=(--known-failures "$known")
wine "$work/release/$(basename "$check")" "${args[@]}" || rc=$?
if ((rc == 0)); then python3 "$judge" "$work/out/ostrel-check-report.json" || rc=$?; fi
echo "wine-self-check: finished with $rc after $(elapsed) s"
exit "$rc"
