#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (the "fuzz" preset) and runs each one for a bounded
# time, starting from the seed corpus in tests/fuzz/corpus. Exits non-zero when a fuzzer finds a
# crash, a leak, a sanitizer report or a broken check; the input that did it is kept as
# <build>/fuzz-<target>-crash-* for replay (run the fuzzer binary with that file as argument).
#
# usage: scripts/fuzz.sh [SECONDS_PER_TARGET]     (default 10)
# environment: FUZZ_BUILD_DIR (default build/fuzz), FUZZ_JOBS (build jobs, default 2)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-10}
build=${FUZZ_BUILD_DIR:-build/fuzz}
jobs=${FUZZ_JOBS:-2}
targets=(vfmt decoder vctrl ini bundle_name)

echo "== fuzz: configure and build (${build})"
cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build" --target "${targets[@]/#/fuzz_}" -j "$jobs"

# New inputs a run discovers go to a scratch folder, so the committed seeds stay as they are.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

status=0
for t in "${targets[@]}"; do
  mkdir -p "$scratch/$t"
  echo "== fuzz: ${t} for ${seconds}s"
  # Entropic scheduling's bookkeeping costs more inputs than it gains in runs this short.
  if ! "$build/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -entropic=0 -print_funcs=0 -print_final_stats=1 -artifact_prefix="$build/fuzz-$t-" \
      "$scratch/$t" "tests/fuzz/corpus/$t" 2>"$scratch/$t.log"; then
    tail -n 40 "$scratch/$t.log" >&2
    echo "== fuzz: ${t} FAILED (artifacts: $build/fuzz-$t-*)" >&2
    status=1
  else
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$scratch/$t.log" | grep -o '[0-9]*$' || true)
    echo "== fuzz: ${t} ok, ${runs:-?} inputs, no failure"
  fi
done
exit "$status"
