#!/usr/bin/env bash
# Cross-builds the Windows DLL's third-party libraries (FFmpeg 5.1, OpenH264,
# libsodium, libsoxr, the nvenc headers) from Debian 12 source packages into a
# prefix outside the checkout, keyed by the versions, the recipe revision and
# the cross compiler, and reuses it when it is already there.
#
#   OSTREL_WINDOWS_DEPS_CACHE  base folder (default /var/cache/ostrel)
#
# The finished prefix is <base>/windows-deps-<key>; <base>/windows-deps is a
# symbolic link to it, which the windows CMake preset reads. The prefix path is
# printed as the last line.
set -euo pipefail

readonly FFMPEG_SERIES=5.1
readonly OPENH264_VERSION=2.3.1
readonly SODIUM_VERSION=1.0.18
readonly SOXR_VERSION=0.1.3
readonly HOST=x86_64-w64-mingw32
readonly JOBS=${OSTREL_JOBS:-2}
# Bump when a change below changes what gets built (configure flags, steps).
readonly RECIPE=1

base=${OSTREL_WINDOWS_DEPS_CACHE:-/var/cache/ostrel}
key=$(echo "ffmpeg-$FFMPEG_SERIES openh264-$OPENH264_VERSION sodium-$SODIUM_VERSION soxr-$SOXR_VERSION" \
  "recipe-$RECIPE $("$HOST-gcc-posix" --version | head -1)" | sha256sum | cut -c1-16)
prefix="$base/windows-deps-$key"
link="$base/windows-deps"

if [[ -f "$prefix/.complete" ]]; then
  ln -sfn "$prefix" "$link"
  echo "windows deps: reusing $prefix" >&2
  echo "$prefix"
  exit 0
fi

mkdir -p "$base"
work=$(mktemp -d "$base/build-XXXXXX")
staging="$prefix.partial"
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
rm -rf "$staging"
mkdir -p "$staging/include" "$staging/lib/pkgconfig"
started=$(date +%s)
stamp() { echo "windows deps: $* ($(($(date +%s) - started)) s)" >&2; }

# Source packages through a private apt configuration: a deb-src list that
# lives only in the work folder, so the machine's own sources stay as they are.
apt_dir="$work/apt"
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
cat >"$apt_dir/sources.list" <<EOF
deb-src [signed-by=$keyring] http://deb.debian.org/debian bookworm main
deb-src [signed-by=$keyring] http://deb.debian.org/debian bookworm-updates main
deb-src [signed-by=$keyring] http://deb.debian.org/debian-security bookworm-security main
EOF
apt_opts=(
  -o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o "APT::Sandbox::User=root"
)
apt-get "${apt_opts[@]}" -qq update
src="$work/src"
mkdir -p "$src"
(cd "$src" && apt-get "${apt_opts[@]}" -qq source ffmpeg openh264 libsodium libsoxr >/dev/null)
stamp "sources fetched: $(cd "$src" && ls -d */ | tr -d / | tr '\n' ' ')"

source_dir() {
  local name=$1 version=$2 dir
  dir=$(cd "$src" && ls -d "$name-$version"*/ 2>/dev/null | head -1)
  [[ -n "$dir" ]] || { echo "windows deps: no $name $version source in Debian (found: $(ls "$src"))" >&2; exit 1; }
  echo "$src/${dir%/}"
}

export PKG_CONFIG_LIBDIR="$staging/lib/pkgconfig"
unset PKG_CONFIG_PATH

# nvenc: header-only; FFmpeg loads the driver's DLL at run time.
cp -r /usr/include/ffnvcodec "$staging/include/"
sed "s|^prefix=.*|prefix=$staging|" /usr/share/pkgconfig/ffnvcodec.pc >"$staging/lib/pkgconfig/ffnvcodec.pc"

# OpenH264: its own makefile, nasm for the x86 kernels.
openh264=$(source_dir openh264 "$OPENH264_VERSION")
make -C "$openh264" -s -j"$JOBS" OS=mingw_nt ARCH=x86_64 \
  CC="$HOST-gcc-posix" CXX="$HOST-g++-posix" AR="$HOST-ar" \
  PREFIX="$staging" install-static >/dev/null
stamp "openh264 built"

# libsodium: the source package has no configure script.
sodium=$(source_dir libsodium "$SODIUM_VERSION")
(cd "$sodium" && ./autogen.sh -s >/dev/null 2>&1 && \
  ./configure -q --host="$HOST" CC="$HOST-gcc-posix" AR="$HOST-ar" RANLIB="$HOST-ranlib" --prefix="$staging" \
    --disable-shared --enable-static --disable-dependency-tracking --with-pic && \
  make -s -j"$JOBS" install >/dev/null 2>&1)
stamp "libsodium built"

# libsoxr: the resampler the save path asks libswresample for.
soxr=$(source_dir libsoxr "$SOXR_VERSION")
cmake -S "$soxr" -B "$work/soxr-build" -G Ninja -Wno-dev \
  -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER="$HOST-gcc-posix" -DCMAKE_RC_COMPILER="$HOST-windres" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$staging" -DBUILD_SHARED_LIBS=OFF \
  -DBUILD_TESTS=OFF -DBUILD_EXAMPLES=OFF -DWITH_OPENMP=OFF -DWITH_LSR_BINDINGS=OFF -DWITH_AVFFT=OFF >/dev/null
cmake --build "$work/soxr-build" -j"$JOBS" >/dev/null
cmake --install "$work/soxr-build" >/dev/null
stamp "libsoxr built"

# FFmpeg: nothing but what the library uses.
ffmpeg=$(source_dir ffmpeg "$FFMPEG_SERIES")
mkdir -p "$work/ffmpeg-build"
(cd "$work/ffmpeg-build" && "$ffmpeg/configure" \
  --prefix="$staging" --target-os=mingw32 --arch=x86_64 --cross-prefix="$HOST-" \
  --cc="$HOST-gcc-posix" --cxx="$HOST-g++-posix" \
  --pkg-config=pkg-config --pkg-config-flags=--static \
  --extra-cflags="-I$staging/include" --extra-ldflags="-L$staging/lib" \
  --enable-static --disable-shared --disable-everything --disable-autodetect \
  --disable-programs --disable-doc --disable-debug --disable-network \
  --disable-avdevice --disable-avfilter --disable-postproc \
  --enable-w32threads --enable-ffnvcodec --enable-nvenc --enable-mediafoundation \
  --enable-libopenh264 --enable-libsoxr \
  --enable-encoder=h264_nvenc,h264_mf,libopenh264,aac \
  --enable-decoder=h264,aac --enable-parser=h264,aac \
  --enable-muxer=mp4,mov --enable-demuxer=mov --enable-protocol=file \
  --enable-swscale --enable-swresample >"$work/ffmpeg-configure.log" 2>&1) || {
    tail -30 "$work/ffmpeg-build/ffbuild/config.log" >&2; exit 1; }
make -C "$work/ffmpeg-build" -s -j"$JOBS" install >"$work/ffmpeg-make.log" 2>&1 || {
  tail -30 "$work/ffmpeg-make.log" >&2; exit 1; }
stamp "ffmpeg built"

(cd "$src" && ls -d */ | tr -d /) >"$staging/SOURCES"
touch "$staging/.complete"
rm -rf "$prefix"
mv "$staging" "$prefix"
# The .pc files and libtool archives name the staging folder; the libraries
# themselves keep it inside FFmpeg's configuration text, which is only text.
find "$prefix/lib" \( -name '*.pc' -o -name '*.la' \) -exec sed -i "s|$staging|$prefix|g" {} +
ln -sfn "$prefix" "$link"
stamp "done"
echo "$prefix"
