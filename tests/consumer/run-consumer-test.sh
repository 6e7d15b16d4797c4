#!/usr/bin/env bash
# Installs a configured build into a throwaway prefix and builds a tiny host
# program against it twice (CMake package, pkg-config); then packs the .deb,
# installs it with dpkg into a clean root and links the program against that.
# Usage: run-consumer-test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

step() { printf '== %s\n' "$*"; }

step "install into a prefix"
cmake --install "$build" --prefix "$work/prefix" > "$work/install.log"
prefix=$work/prefix
lib=$(dirname "$(find "$prefix" -name 'libostrel_core_sim.so' | head -n 1)")
test -L "$lib/libostrel_core.so" && test -L "$lib/libostrel_core.so.0"
readelf -d "$lib/libostrel_core.so.0.1.1" | grep -q 'SONAME.*libostrel_core.so.0'
test -f "$prefix/include/ostrel/ostrel.h" && test -f "$prefix/include/ostrel/ostrel_sim.h"
test -x "$prefix/bin/ostrel-demo"
ls "$prefix/share/doc/ostrel_core/licenses" | grep -q FFmpeg

step "find_package(Ostrel) consumer"
cmake -S "$here" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" > "$work/cmake.log"
cmake --build "$work/cmake-build" > "$work/cmake-build.log"
"$work/cmake-build/consumer" "$work/clips-cmake"

step "pkg-config consumer"
export PKG_CONFIG_PATH=$lib/pkgconfig
test "$(pkg-config --modversion ostrel-core)" = "0.1.1"
cc -std=c11 -Wall -Werror -o "$work/consumer-pc" "$here/consumer.c" $(pkg-config --cflags --libs ostrel-core-sim)
LD_LIBRARY_PATH=$lib "$work/consumer-pc" "$work/clips-pc"

step "the .deb in a clean root"
(cd "$work" && cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/pkg" > "$work/cpack.log")
deb=$(find "$work/pkg" -maxdepth 1 -name '*.deb' | head -n 1)
dpkg-deb -I "$deb" | tee "$work/deb-info" | grep -E 'Package|Version|Depends'
grep -q 'Depends:.*libavcodec' "$work/deb-info"
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg-deb -c "$deb" > "$work/deb-contents"
for f in usr/lib/libostrel_core.so.0.1.1 usr/lib/libostrel_core_sim.so.0 usr/include/ostrel/ostrel.h \
    usr/bin/ostrel-demo usr/lib/pkgconfig/ostrel-core.pc usr/lib/cmake/Ostrel/OstrelConfig.cmake; do
  grep -q " \./$f" "$work/deb-contents" || { echo "missing from the .deb: $f"; exit 1; }
done
# The root has no other packages: their absence is what --force-depends allows.
dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" > "$work/dpkg.log" 2>&1
debinc=$root/usr/include
deblib=$(dirname "$(find "$root/usr" -name 'libostrel_core_sim.so' | head -n 1)")
cc -std=c11 -Wall -Werror -I"$debinc" -o "$work/consumer-deb" "$here/consumer.c" -L"$deblib" -lostrel_core_sim
LD_LIBRARY_PATH=$deblib "$work/consumer-deb" "$work/clips-deb"
echo "consumer: all three ways passed"
