#!/usr/bin/env bash
# Line coverage of src/ by the whole default suite (unit, integration, GUI, end to end):
# builds the coverage preset, runs every test once, prints gcovr's summary and writes
# build/coverage/coverage.txt (per file). Not part of the test command: it is a measurement.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
command -v gcovr >/dev/null || { [ "$(id -u)" -eq 0 ] && apt-get install -y gcovr >/dev/null; } \
  || { echo "coverage: gcovr is missing; install Debian's gcovr" >&2; exit 1; }

cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "$(nproc)"
find build/coverage -name '*.gcda' -delete
# A failing test still leaves its counts; the summary says how many failed.
ctest --preset coverage -j "$(nproc)" || echo "coverage: some tests failed (see above)"
gcovr --root . --filter 'src/' --gcov-exclude '.*CompilerId.*' --object-directory build/coverage --txt build/coverage/coverage.txt \
  --print-summary | tail -3
