#!/usr/bin/env bash
# Run inside the prebuild root: builds both addons of the checkout copied to /src for
# ARCH (x64 or arm64) with cmake-js, run by the Node.js binary of NODE_DIR, against
# the static libraries of static-libraries.sh. Leaves them stripped in /build/ARCH.
set -euo pipefail
arch=$1
node_dir=$2
case $arch in
  x64) host=x86_64-linux-gnu cross=() ;;
  arm64) host=aarch64-linux-gnu cross=(--CDCMAKE_TOOLCHAIN_FILE=/src/scripts/prebuild/aarch64-linux-gnu.cmake) ;;
  *) echo "build-addons: unknown architecture $arch" >&2; exit 2 ;;
esac
static=/opt/flasher-static/$arch
build=/build/$arch

export PATH=$node_dir/bin:$PATH
# The target's packages only, and the static libraries first.
export PKG_CONFIG_LIBDIR=$static/lib/pkgconfig:/usr/lib/$host/pkgconfig:/usr/share/pkgconfig
cd /src
node node_modules/cmake-js/bin/cmake-js compile --log-level error --out "$build" \
  --CDCMAKE_PREFIX_PATH="$static" "${cross[@]}" >&2
for name in flasher sudo; do
  "$host-strip" --strip-all -o "$build/$name.node" "$build/Release/$name.node"
done
