#!/usr/bin/env bash
# Makes the Debian 11 (bullseye, glibc 2.31) root the prebuilt addons are built in:
# ROOT. A root made by an earlier run is reused; packages added to the lists below
# are installed into it on the next run.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$1
mirror=http://deb.debian.org/debian

# What the addons compile against, for both architectures: amd64 natively, arm64
# through multiarch. A library linked into the addons needs its static archive here
# (the -dev packages carry it); one only opened with dlopen needs its headers.
target_packages=(
  zlib1g-dev libbz2-dev libzstd-dev        # linked dynamically: every desktop has them
  libpugixml-dev nettle-dev libxxhash-dev  # linked statically
  libfdisk-dev libblkid-dev uuid-dev       # partition tables, linked statically
  libcurl4-openssl-dev                     # downloads: its headers only, opened with dlopen
)
# Libraries bullseye has too old for the engine, built from bookworm's source packages
# by static-libraries.sh.
source_packages=(xz-utils liburing)
# The tools, native only.
build_packages=(
  g++ make cmake pkg-config nlohmann-json3-dev crossbuild-essential-arm64
  dpkg-dev ca-certificates
)
# What the official arm64 Node.js binary needs, for the tests that run it under qemu.
arm64_runtime_packages=(libstdc++6:arm64)

packages=("${build_packages[@]}" "${arm64_runtime_packages[@]}")
for package in "${target_packages[@]}"; do packages+=("$package:amd64" "$package:arm64"); done

if [ ! -f "$root/.debootstrap-done" ]; then
  rm -rf "$root"
  # dpkg without a sync after every file: a root that breaks is made anew.
  mkdir -p "$root/etc/dpkg/dpkg.cfg.d"
  echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/unsafe-io"
  echo "prebuilds: debootstrap bullseye into $root" >&2
  debootstrap --variant=minbase bullseye "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
    { tail -n 30 "$root.debootstrap.log" >&2; exit 1; }
  rm -f "$root.debootstrap.log"
  touch "$root/.debootstrap-done"
fi

stamp=$root/.packages-installed
if [ "$(cat "$stamp" 2>/dev/null)" != "${packages[*]}" ]; then
  echo "prebuilds: installing packages into the root" >&2
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  cat >"$root/etc/apt/sources.list" <<SOURCES
deb $mirror bullseye main
deb-src $mirror bookworm main
SOURCES
  "$here/enter-root.sh" "$root" sh -c '
    set -e
    export DEBIAN_FRONTEND=noninteractive
    dpkg --add-architecture arm64
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "$@" >/dev/null
    apt-get clean
  ' install "${packages[@]}"
  echo "${packages[*]}" >"$stamp"
fi

"$here/enter-root.sh" "$root" sh -c '
  set -e
  mkdir -p /var/cache/flasher-sources
  cd /var/cache/flasher-sources
  for package; do
    ls -d "$package"-*/ >/dev/null 2>&1 || apt-get source -qq "$package/bookworm" >/dev/null
  done
' fetch "${source_packages[@]}"
