#!/usr/bin/env bash
# Run inside the prebuild root: builds liblzma and liburing from bookworm's source
# packages (unpacked by make-root.sh) as static archives for ARCH (x64 or arm64) into
# /opt/flasher-static/ARCH. Bullseye's own are too old for the engine: liblzma 5.2.5
# has no multi-threaded decoder, and liburing 0.7 lacks what the queued device I/O
# uses. A second run keeps what the first built.
set -euo pipefail
arch=$1
case $arch in
  x64) host=x86_64-linux-gnu ;;
  arm64) host=aarch64-linux-gnu ;;
  *) echo "static-libraries: unknown architecture $arch" >&2; exit 2 ;;
esac
prefix=/opt/flasher-static/$arch
sources=/var/cache/flasher-sources
jobs=$(nproc)

xz_dir=$(ls -d "$sources"/xz-utils-*/)
uring_dir=$(ls -d "$sources"/liburing-*/)
stamp=$prefix/.built
versions="$(basename "$xz_dir") $(basename "$uring_dir")"
[ "$(cat "$stamp" 2>/dev/null)" = "$versions" ] && exit 0

work=/tmp/static-$arch
rm -rf "$prefix" "$work"
mkdir -p "$work/xz" "$prefix"
# The builds' output goes to a log, shown when a step fails.
exec 3>&2 >"$work.log" 2>&1
trap 'tail -n 40 "$work.log" >&3; echo "static-libraries: building for $arch failed" >&3' ERR

# liblzma only: no programs, no translations, position-independent for the addon.
cd "$work/xz"
"$xz_dir/configure" --host="$host" --prefix="$prefix" --disable-shared --enable-static --with-pic \
  --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-lzma-links --disable-scripts \
  --disable-doc --disable-nls
make -j"$jobs" -C src/liblzma install

# liburing builds in its own tree, its archive without -fPIC unless told.
cp -a "$uring_dir" "$work/uring"
cd "$work/uring"
./configure --prefix="$prefix" --cc="$host-gcc" --cxx="$host-g++"
make -j"$jobs" -C src CFLAGS="-O2 -fPIC"
make install
rm -f "$prefix"/lib/*.so* "$prefix"/lib/*.la
rm -rf "$prefix/man" "$prefix/share" "$work" "$work.log"
echo "$versions" >"$stamp"
