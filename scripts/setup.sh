#!/usr/bin/env bash
# Brings a checkout to what one command needs, and no further:
#
#   scripts/setup.sh demo        npm run demo: the addons (build/Release)
#   scripts/setup.sh test        npm test: the addons, the native tests (build-tests), the test tools
#   scripts/setup.sh hardening   npm run test:hardening: the addons, clang and valgrind
#   scripts/setup.sh bench       npm run bench: the addons and the tools it measures against
#   scripts/setup.sh prebuilds   npm run prebuilds: debootstrap and the npm packages
#   scripts/setup.sh             all of the above
#
# As root it installs the Debian packages that are missing. Otherwise it prints the
# apt-get line to run as root, and stops only when the command cannot work without
# them: packages that only the tests needing root use are optional. Each part is
# skipped when already in place, so a second run costs seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

# Building the addons.
build=(cmake g++ make pkg-config nlohmann-json3-dev liblzma-dev libzstd-dev zlib1g-dev libbz2-dev
       libpugixml-dev nettle-dev libxxhash-dev liburing-dev libblkid-dev libcurl4-openssl-dev)
# What the addons run besides lsblk (util-linux): udisksctl, sudo, setfacl, mcopy, and
# gpgv for signed checksums files.
runtime=(udisks2 sudo acl mtools gpgv)
# The images of the tests and the bench, in every format, and their block maps; the
# signed checksums files and the HTTPS certificate of the tests of images from URLs.
image_tools=(xz-utils zstd gzip bzip2 zip bmap-tools gdisk dosfstools mtools gpgv gnupg openssl)
native_tests=(libgtest-dev libgmock-dev fdisk gdisk)
# Tests that need root: loop devices and partitions, the fault device (FUSE), the real
# udisks, the prebuilds built in a Debian 11 root, checked with objdump and run under qemu.
root_tests=(mount e2fsprogs fdisk fuse3 libfuse3-dev dbus udev debootstrap binutils qemu-user-static)
hardening=(clang-14 libclang-rt-14-dev valgrind)

step=${1:-all}
case $step in
  demo) required=("${build[@]}") optional=() ;;
  test) required=("${build[@]}" "${native_tests[@]}" "${image_tools[@]}" acl)
        optional=(udisks2 sudo "${root_tests[@]}") ;;
  hardening) required=("${build[@]}" "${native_tests[@]}" "${image_tools[@]}" "${hardening[@]}")
             optional=("${root_tests[@]}") ;;
  bench) required=("${build[@]}" "${runtime[@]}" "${image_tools[@]}" mount e2fsprogs) optional=() ;;
  prebuilds) required=(debootstrap) optional=() ;;
  all) required=("${build[@]}" "${runtime[@]}" "${image_tools[@]}" "${native_tests[@]}" "${hardening[@]}"
                 "${root_tests[@]}")
       optional=() ;;
  *) echo "usage: scripts/setup.sh [demo|test|hardening|bench|prebuilds]" >&2; exit 2 ;;
esac

not_installed() {
  local pkg
  for pkg in "$@"; do
    [ "$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)" = "install ok installed" ] || echo "$pkg"
  done
}
mapfile -t missing_required < <(not_installed "${required[@]}")
mapfile -t missing_optional < <(not_installed "${optional[@]}")
missing=("${missing_required[@]}" "${missing_optional[@]}")
if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    echo "setup: installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  elif [ "${#missing_required[@]}" -gt 0 ]; then
    echo "setup: $step needs Debian packages that are missing; run as root:" >&2
    echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
    exit 1
  else
    echo "setup: optional for $step, used only by tests that need root: ${missing[*]}" >&2
    echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
  fi
fi

# npm packages from the lock file.
lock_stamp=node_modules/.package-lock.json
if [ ! -f "$lock_stamp" ] || [ package-lock.json -nt "$lock_stamp" ]; then
  echo "setup: installing npm packages"
  npm ci --no-audit --no-fund
fi
# The prebuilds are built in a root of their own (scripts/prebuilds.sh).
[ "$step" = prebuilds ] && exit 0

# The addons of this checkout: the install script keeps prebuilt ones instead when
# npm pack has left some in prebuilds/, but the tests load build/Release.
npx --no-install cmake-js compile --log-level error >/dev/null

# Native unit tests live in a build folder of their own: cmake-js owns build/.
if [ "$step" = test ] || [ "$step" = all ]; then
  if [ ! -f build-tests/CMakeCache.txt ]; then
    cmake -S . -B build-tests -DCMAKE_BUILD_TYPE=Debug -DFLASHER_TESTS=ON >/dev/null
  fi
  cmake --build build-tests --parallel "$(nproc)" >/dev/null
fi
