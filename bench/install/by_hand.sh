#!/usr/bin/env bash
# The install as a person would type it, with the same stand-in tools the setup calls: attach the
# image in a working folder of the home folder, copy the app out with ditto, check its signature
# (codesign --verify, then the team that codesign -dv names), move it into /Applications, detach,
# remove the working folder. The reference of the install figure (bench/install/run.sh): what
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
mkdir -p "$work/temp"
hdiutil attach "$image" -mountpoint "$work/Corvane" -noverify -nobrowse -noautoopen >/dev/null
step attach
ditto "$work/Corvane/Corvane.app" "$work/temp/Corvane.app"
step ditto
codesign --verify --deep --strict "$work/temp/Corvane.app"
step codesign-verify
described=$(codesign -dv "$work/temp/Corvane.app" 2>&1)
grep -qx "TeamIdentifier=$team" <<< "$described"
step codesign-dv
mv "$work/temp/Corvane.app" "$app"
step mv
hdiutil detach "$work/Corvane" -force >/dev/null
step detach
rm -rf "$work"
step tidy
