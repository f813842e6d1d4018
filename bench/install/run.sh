#!/usr/bin/env bash
# Download and install benchmarks, each against a reference measured in the same run:
#  1. our download of a SIZE_MB image (default 1024) from a local HTTPS nginx vs `curl -o` of the
#     same file: wall-time ratio (ours / curl, best of RUNS) and our peak resident memory;
#  2. our install of that image into a simulated root (attach, ditto, mv, detach) vs a plain
#     `cp -R` of the image's contents: wall-time ratio.
#   bench/install/run.sh [BUILD_DIR] [SIZE_MB] [RUNS]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=${1:-$src/build/default}
size_mb=${2:-1024}
runs=${3:-3}
driver=$build/bench/install/install_bench_driver
[ -x "$driver" ] || { echo "build install_bench_driver first (cmake --build $build --target install_bench_driver)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-bench-XXXXXX")
cleanup() {
  bash "$src/sim/nginx/serve.sh" stop "$work/nginx" || true
  chmod -R u+w "$work" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
best() { sort -g | head -1; }
diff() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a - b }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo "== building a ${size_mb} MiB image"
mkdir -p "$work/doc/velodoc"
bash "$src/sim/make-image.sh" "$work/doc/velodoc/corvanereader_x86_64.dmg" --payload-mb "$size_mb"
image="$work/doc/velodoc/corvanereader_x86_64.dmg"
bytes=$(stat -c %s "$image")

eval "$(bash "$src/sim/nginx/serve.sh" start "$work/nginx" "$work/doc" | sed 's/^/export /')"
url="$BASE/velodoc/corvanereader_x86_64.dmg"
export CORVANE_CA_BUNDLE=$CA no_proxy=127.0.0.1,localhost NO_PROXY=127.0.0.1,localhost
mkdir -p "$work/tmp"

echo "== download: ours vs curl -o, $runs runs each, alternating"
ours=() theirs=() rss=0
for i in $(seq 1 "$runs"); do
  rm -f "$work/tmp/curl.dmg"
  t0=$(now); curl -sS --fail --cacert "$CA" -o "$work/tmp/curl.dmg" "$url"; t1=$(now)
  theirs+=("$(diff "$t1" "$t0")")
  rm -f "$work/tmp/curl.dmg" "$work/tmp/package.dmg"
  t0=$(now); line=$(TMPDIR=$work/tmp "$driver" download "$url"); t1=$(now)
  ours+=("$(diff "$t1" "$t0")")
  [ "$(stat -c %s "$work/tmp/package.dmg")" = "$bytes" ] || { echo "wrong size downloaded" >&2; exit 1; }
  r=$(sed -n 's/.*maxrss_kib=\([0-9]*\).*/\1/p' <<< "$line")
  [ "$r" -gt "$rss" ] && rss=$r
done
cmp -s "$image" "$work/tmp/package.dmg" || { echo "downloaded bytes differ" >&2; exit 1; }
rm -f "$work/tmp/package.dmg"
o=$(printf '%s\n' "${ours[@]}" | best); c=$(printf '%s\n' "${theirs[@]}" | best)
printf 'download %s MiB: ours %.2f s, curl -o %.2f s, ratio %s, our peak RSS %d MiB\n' \
  "$size_mb" "$o" "$c" "$(ratio "$o" "$c")" $((rss / 1024))

echo "== install: ours vs cp -R of the image's contents, $runs runs each"
ours=() theirs=()
for i in $(seq 1 "$runs"); do
  root="$work/root$i"
  eval "$(bash "$src/sim/make-root.sh" "$root")"
  # Reference: the image's contents (extracted once, outside the timing) copied with cp -R.
  mkdir -p "$work/contents"
  xorriso -no_rc -osirrox on -indev "$image" -extract / "$work/contents" >/dev/null 2>&1
  sync
  t0=$(now); cp -R "$work/contents/Corvane.app" "$work/cp-copy.app"; sync; t1=$(now)
  theirs+=("$(diff "$t1" "$t0")")
  chmod -R u+w "$work/contents" "$work/cp-copy.app"; rm -rf "$work/contents" "$work/cp-copy.app"
  t0=$(now); "$driver" install "$image" >/dev/null; sync; t1=$(now)
  ours+=("$(diff "$t1" "$t0")")
  [ -f "$CORVANE_SIM_ROOT/Applications/Corvane.app/Contents/Resources/payload.bin" ] ||
    { echo "install failed" >&2; exit 1; }
  rm -rf "$root"
done
o=$(printf '%s\n' "${ours[@]}" | best); c=$(printf '%s\n' "${theirs[@]}" | best)
printf 'install %s MiB: ours %.2f s, cp -R %.2f s, ratio %s\n' "$size_mb" "$o" "$c" \
  "$(ratio "$o" "$c")"
