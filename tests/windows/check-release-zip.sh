#!/usr/bin/env bash
# Packs the Windows release archive and checks it holds what a host needs:
# core.dll, its import library, ostrel.h, the CMake package, the licences,
# and the self-check ostrel-check.exe (the only program in it).
# Usage: check-release-zip.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work" > "$work/cpack.log")
zip=$(find "$work" -maxdepth 1 -name '*.zip' | head -n 1)
test -n "$zip" || { echo "no .zip made"; cat "$work/cpack.log"; exit 1; }
python3 -m zipfile -l "$zip" > "$work/contents"
for f in bin/core.dll bin/ostrel-check.exe lib/core.lib include/ostrel/ostrel.h lib/cmake/Ostrel/OstrelConfig.cmake \
    share/doc/ostrel_core/licenses/FFmpeg-LGPL-2.1.txt share/doc/ostrel_core/licenses/libsodium-ISC.txt \
    share/doc/ostrel_core/licenses/OpenH264-BSD-2-Clause.txt; do
  grep -q "/$f " "$work/contents" || { echo "missing from $(basename "$zip"): $f"; exit 1; }
done
if grep -q "ostrel_sim.h" "$work/contents" || grep "\.exe " "$work/contents" | grep -vq "/bin/ostrel-check\.exe "; then
  echo "the archive holds test files"; exit 1
fi
# The Wine tests' encoder transform is registered in their prefixes only.
if grep -q "ostrel_test_h264_transform" "$work/contents"; then
  echo "the archive holds the test encoder transform"; exit 1
fi
echo "$(basename "$zip"): $(grep -c . "$work/contents") entries, all expected files present"
