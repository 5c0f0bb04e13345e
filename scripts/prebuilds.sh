#!/usr/bin/env bash
# npm run prebuilds (root): builds both addons for Linux x64 and arm64 inside a
# Debian 11 root (glibc 2.31), so that they load on that glibc and any newer one, and
# puts them where pkg-prebuilds looks: prebuilds/<name>-linux-<arch>/node-napi-v8.node.
# npm pack then packs them. The root and the static libraries built in it stay in
# the cache folder, so a second run only rebuilds what changed.
#
#   FLASHER_PREBUILD_CACHE  the cache folder (default /var/cache/flasher-prebuild)
#   FLASHER_PREBUILD_OUT    where the prebuilds go (default prebuilds/ of the checkout)
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$(pwd)
if [ "$(id -u)" -ne 0 ]; then
  echo "prebuilds: run as root: debootstrap and chroot need it" >&2
  exit 1
fi
cache=${FLASHER_PREBUILD_CACHE:-/var/cache/flasher-prebuild}
out=${FLASHER_PREBUILD_OUT:-$checkout/prebuilds}
root=$cache/root
napi_version=$(node -p "require('./package.json').binary.napi_versions[0]")

bash scripts/prebuild/make-root.sh "$root"
node_dir=$(bash scripts/prebuild/fetch-node.sh x64 "$root/opt")

# What the build reads of the checkout; file times kept, so unchanged sources are not rebuilt.
rm -rf "$root/src"
mkdir "$root/src"
tar -cf - --exclude=node_modules/typescript CMakeLists.txt package.json lib n-api scripts/prebuild node_modules |
  tar -C "$root/src" -xf -

# Both architectures at once: much of each build is configure scripts that use one core.
build() {
  scripts/prebuild/enter-root.sh "$root" bash /src/scripts/prebuild/static-libraries.sh "$1" &&
    scripts/prebuild/enter-root.sh "$root" bash /src/scripts/prebuild/build-addons.sh "$1" "${node_dir#"$root"}"
}
declare -A builds
for arch in x64 arm64; do
  echo "prebuilds: building for linux-$arch (log: $cache/build-$arch.log)" >&2
  build "$arch" >"$cache/build-$arch.log" 2>&1 &
  builds[$arch]=$!
done
failed=0
for arch in x64 arm64; do
  if ! wait "${builds[$arch]}"; then
    tail -n 40 "$cache/build-$arch.log" >&2
    echo "prebuilds: building for linux-$arch failed" >&2
    failed=1
  fi
done
[ "$failed" -eq 0 ]

for arch in x64 arm64; do
  for name in flasher sudo; do
    mkdir -p "$out/$name-linux-$arch"
    cp "$root/build/$arch/$name.node" "$out/$name-linux-$arch/node-napi-v$napi_version.node"
  done
done
echo "prebuilds: made $out/{flasher,sudo}-linux-{x64,arm64}" >&2
