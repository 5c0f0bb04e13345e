#!/usr/bin/env bash
# Brings a fresh checkout to a built state: Debian packages, npm packages, the
# addons (build/Release) and the native test binaries (build-tests). Each step is
# skipped when its result is already in place, so a second run costs seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

debian_packages=(
  cmake g++ make pkg-config
  libgtest-dev libgmock-dev nlohmann-json3-dev
  liblzma-dev libzstd-dev zlib1g-dev libbz2-dev libpugixml-dev nettle-dev
  libxxhash-dev liburing-dev
  xz-utils zstd gzip bzip2 zip bmap-tools
  util-linux mount fuse3 libfuse3-dev
  sudo udisks2 dbus udev e2fsprogs fdisk gdisk libblkid-dev
  clang-14 libclang-rt-14-dev valgrind
)

missing=()
for pkg in "${debian_packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$pkg")
done
if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "setup: installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "setup: missing Debian packages; run as root:" >&2
    echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
fi

# npm packages from the lock file.
lock_stamp=node_modules/.package-lock.json
if [ ! -f "$lock_stamp" ] || [ package-lock.json -nt "$lock_stamp" ]; then
  echo "setup: installing npm packages"
  npm ci --no-audit --no-fund
fi
# The addons of this checkout: the install script keeps prebuilt ones instead when
# npm pack has left some in prebuilds/, but the tests load build/Release.
npx --no-install cmake-js compile --log-level error >/dev/null

# Native unit tests live in a build folder of their own: cmake-js owns build/.
if [ ! -f build-tests/CMakeCache.txt ]; then
  cmake -S . -B build-tests -DCMAKE_BUILD_TYPE=Debug -DFLASHER_TESTS=ON >/dev/null
fi
cmake --build build-tests --parallel "$(nproc)" >/dev/null
