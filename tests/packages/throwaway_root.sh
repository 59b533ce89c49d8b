#!/usr/bin/env bash
# Runs a command as root of a throwaway copy of this machine: overlays over / (and over /usr and
# /var where they are file systems of their own) whose changes are held in memory, this machine's
# /dev, and fresh /proc, /tmp and /run. Run it in a private mount namespace of its own (unshare
# --mount --propagation private): the overlays and every other mount made here are seen nowhere
# else and go with the namespace's last process, however it ends.
# Usage: throwaway_root.sh PATH... -- COMMAND...
# Each PATH (a folder or a file) is bound in at its own place as it is: what the command writes
# there is kept, and it reaches there what lies on another file system. The first PATH, a
# folder, also holds the (empty) mount point of the memory.
set -euo pipefail

bound=()
while [ "$1" != -- ]; do
  bound+=("$(realpath "$1")")
  shift
done
shift

# The changes' memory. An overlay's upper layer cannot lie on the file system it overlays.
layers=${bound[0]}/.throwaway-root
mkdir -p "$layers"
mount -t tmpfs -o mode=700 throwaway-root "$layers"
root=$layers/root
mkdir "$root"

overlay() { # this machine's folder, at the same place in the throwaway root
  local layer=$layers/layer${1//\//-}
  mkdir -p "$layer/upper" "$layer/work"
  mount -t overlay overlay -o "lowerdir=$1,upperdir=$layer/upper,workdir=$layer/work" "$root$1"
}

overlay /
for folder in /usr /var; do
  if mountpoint -q "$folder"; then overlay "$folder"; fi
done
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount -t tmpfs -o mode=1777 tmp "$root/tmp"
mount -t tmpfs -o mode=755 run "$root/run"
mkdir -m 1777 "$root/run/lock"
for path in "${bound[@]}"; do
  if [ -d "$path" ]; then
    mkdir -p "$root$path"
  else
    mkdir -p "$(dirname "$root$path")"
    touch "$root$path"
  fi
  mount --bind "$path" "$root$path"
done
exec chroot "$root" "$@"
