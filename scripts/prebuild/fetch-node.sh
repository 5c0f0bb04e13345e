#!/usr/bin/env bash
# Fetches the official Node.js binary for ARCH (x64 or arm64), carried by the npm
# package node-linux-ARCH, into DIR once, and prints the folder holding bin/node.
set -euo pipefail
arch=$1
dir=$2
version=20.20.2
target=$dir/node-linux-$arch-$version
if [ ! -x "$target/bin/node" ]; then
  mkdir -p "$dir"
  download=$(mktemp -d "$dir/download-XXXXXX")
  (cd "$download" && npm pack --silent "node-linux-$arch@$version" >/dev/null)
  tar -xzf "$download"/*.tgz -C "$download"
  rm -rf "$target"
  mv "$download/package" "$target"
  rm -rf "$download"
fi
echo "$target"
