#!/usr/bin/env bash
# The install as a person would type it, with the same stand-in tools the setup calls: check the
# image's signature against our Developer ID requirement, attach it in a working folder of the
# home folder, copy the app out with ditto, check its signature the same way, move it into
# /Applications, detach, remove the working folder. The reference of the install figure (bench/install/run.sh): what
# remains between it and our install is our own overhead, not the simulation's.
#   by_hand.sh IMAGE TEAM      (in the environment of sim/make-root.sh; empty /Applications)
# With STEP_TIMES=1 it prints "step SECONDS" for each step on standard error.
set -euo pipefail
image=$1 team=$2
work="$HOME/by-hand-$$"
app="$CORVANE_SIM_ROOT/Applications/Corvane.app"
now() { date +%s.%N; }
t=$(now)
step() {
  if [ "${STEP_TIMES:-}" = 1 ]; then
    local n
    n=$(now)
    awk -v s="$1" -v a="$t" -v b="$n" 'BEGIN { printf "%s %.3f\n", s, b - a }' >&2
    t=$n
  fi
}
requirement="=anchor apple generic and certificate 1[field.1.2.840.113635.100.6.2.6] exists"
requirement+=" and certificate leaf[field.1.2.840.113635.100.6.1.13] exists"
requirement+=" and certificate leaf[subject.OU] = \"$team\""
codesign --verify --deep --strict "-R$requirement" "$image"
step codesign-image
mkdir -p "$work/temp"
hdiutil attach "$image" -mountpoint "$work/Corvane" -noverify -nobrowse -noautoopen >/dev/null
step attach
ditto "$work/Corvane/Corvane.app" "$work/temp/Corvane.app"
step ditto
codesign --verify --deep --strict "-R$requirement" "$work/temp/Corvane.app"
step codesign-app
mv "$work/temp/Corvane.app" "$app"
step mv
hdiutil detach "$work/Corvane" -force >/dev/null
step detach
rm -rf "$work"
step tidy
