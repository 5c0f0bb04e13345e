#!/usr/bin/env bash
# Runs a command inside the prebuild root: ROOT COMMAND [ARG...]. /proc is mounted in
# a mount namespace of its own, so it vanishes with the command, however it ends, and
# nothing stays mounted under the cache. The root's /dev holds only the nodes
# debootstrap made (null, zero, random, tty...): no disk of the machine is in reach.
set -euo pipefail
root=$1
shift
exec unshare --mount --propagation private -- bash -c '
  root=$1
  shift
  mount -t proc proc "$root/proc"
  exec chroot "$root" /usr/bin/env -u TMPDIR HOME=/root PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin "$@"
' enter-root "$root" "$@"
