#!/usr/bin/env bash
# Runs a command inside the prebuild root: ROOT COMMAND [ARG...]. /proc and /dev are
# mounted in a mount namespace of its own, so they vanish with the command, however
# it ends, and nothing stays mounted under the cache.
set -euo pipefail
root=$1
shift
exec unshare --mount --propagation private -- bash -c '
  root=$1
  shift
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  exec chroot "$root" /usr/bin/env -u TMPDIR HOME=/root PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin "$@"
' enter-root "$root" "$@"
