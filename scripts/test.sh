#!/usr/bin/env bash
# Runs every test: installs what is missing, checks the macOS-only sources against GNUstep's
# headers and the release scripts' syntax, builds, and runs the whole CTest suite (unit,
# integration against local servers, GUI on the offscreen platform, end to end in a real X
# window), then the Qt-free tests again under AddressSanitizer+UndefinedBehaviorSanitizer and
# under ThreadSanitizer, and a short bounded fuzz run of every parser of outside input.
#   CORVANE_QUICK=1   only the first build and its tests
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/let-user-reach.sh
jobs=$(nproc)
start=$(date +%s)

run_preset() {
  local preset=$1; shift
  echo "== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== ${preset}: tests"
  ctest --preset "$preset" -j "$jobs" "$@"
}

echo "== macOS sources and release scripts"
bash scripts/check-mac-sources.sh
bash -n scripts/package-macos.sh

run_preset default
if [ "${CORVANE_QUICK:-0}" != "1" ]; then
  run_preset asan -L core
  run_preset tsan -L core
  bash scripts/fuzz.sh 10
fi
echo "== all tests passed in $(( $(date +%s) - start )) s"
