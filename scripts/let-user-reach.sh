#!/usr/bin/env bash
# The simulated Mac user (uid 501) runs the stand-ins in sim/bin and reads the built test images
# and the bundle, so every folder above the checkout must let others pass (a checkout under
# /root, mode 0700, would not). Run as root, it adds the search right (o+x) where it is missing,
# never a read or write right, and says where; as anyone else it does nothing.
set -euo pipefail
[ "$(id -u)" = 0 ] || exit 0
dir=$(cd "$(dirname "$0")/.." && pwd -P)
while :; do
  if [ $(( 8#$(stat -c %a "$dir") & 1 )) -eq 0 ]; then
    chmod o+x "$dir"
    echo "let-user-reach: others may now pass through $dir (the Mac user runs from the checkout)"
  fi
  [ "$dir" = / ] && break
  dir=$(dirname "$dir")
done
