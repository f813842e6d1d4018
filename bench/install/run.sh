#!/usr/bin/env bash
# Download and install benchmarks, each against a reference measured in the same run:
#  1. our download of a SIZE_MB image (default 1024) from a local HTTPS nginx vs `curl -o` of the
#     same file: wall-time ratio (ours / curl, best of RUNS) and our peak resident memory;
#  2. our install of that image into a fresh simulated root (attach, ditto, signature check, mv,
#     detach) vs the same steps typed by hand with the same stand-ins (by_hand.sh), so that the
#     ratio shows our own overhead and not the simulation's; and, as a second reference, a plain
#     `cp -R` of the image's contents. The step times of the fastest round of each go to the
#     output ("steps ours: …", "steps by hand: …").
#   bench/install/run.sh [BUILD_DIR] [SIZE_MB] [RUNS]
# ONLY=download or ONLY=install runs just that part.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=${1:-$src/build/default}
size_mb=${2:-1024}
runs=${3:-3}
only=${ONLY:-}
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
median() { sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
diff() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a - b }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

echo "== building a ${size_mb} MiB image"
mkdir -p "$work/doc/velodoc"
bash "$src/sim/make-image.sh" "$work/doc/velodoc/corvanereader_x86_64.dmg" --payload-mb "$size_mb"
image="$work/doc/velodoc/corvanereader_x86_64.dmg"
bytes=$(stat -c %s "$image")

if [ "$only" != install ]; then
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
fi
[ "$only" = download ] && exit 0

team=$(sed -n 's/^CORVANE_TEAM_ID:STRING=//p' "$build/CMakeCache.txt" 2>/dev/null)
team=${team:-SIMTEAM01}

# One install into a fresh root, timed from outside with the `sync` that follows; prints the
# seconds. $1 is "ours" or "hand"; the step lines go to $2.
install_once() {
  local side=$1 steps=$2 root="$work/root-$1" t0 t1
  (
    eval "$(bash "$src/sim/make-root.sh" "$root")"
    sync
    if [ "$side" = ours ]; then
      t0=$(now); CORVANE_BENCH_STEPS=1 "$driver" install "$image" >/dev/null 2>"$steps"; sync; t1=$(now)
    else
      t0=$(now); STEP_TIMES=1 bash "$here/by_hand.sh" "$image" "$team" 2>"$steps"; sync; t1=$(now)
    fi
    [ -f "$CORVANE_SIM_ROOT/Applications/Corvane.app/Contents/Resources/payload.bin" ] ||
      { echo "install ($side) failed: $(cat "$steps")" >&2; exit 1; }
    diff "$t1" "$t0"
  )
  chmod -R u+w "$root" 2>/dev/null || true
  rm -rf "$root"
}

# Our log lines, stamped, as step times: each step from the line before it to its own line.
our_steps() {
  awk '
    function step(name) { printf "%s %.3f, ", name, $1 - last; last = $1 }
    /execute cmd .*hdiutil\047? attach/ { last = $1; next }
    /Mount command (executed|failed)/ { step("attach"); next }
    /^[0-9.]+ mvFile An error occurred/ && !aside { step("move aside (nothing installed)"); aside = 1; next }
    /^[0-9.]+ .*mv\047? .*\/temp\/Corvane\.app/ { step("ditto + codesign -R of the app"); next }
    /^[0-9.]+ .*hdiutil\047? detach/ { step("mv"); next }
    /文件夹已删除/ { step("detach + tidy"); next }
  ' "$1" | sed 's/, $//'
}
hand_steps() { awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $1, $2 }' "$1"; }

echo "== install: ours vs the same steps by hand vs cp -R of the contents, $runs rounds, alternating"
mkdir -p "$work/contents"
xorriso -no_rc -osirrox on -indev "$image" -extract / "$work/contents" >/dev/null 2>&1
ours=() hand=() theirs=()
best_ours=999999 best_hand=999999
for i in $(seq 1 "$runs"); do
  if [ $((i % 2)) = 1 ]; then order="ours hand cp"; else order="cp hand ours"; fi
  for side in $order; do
    case $side in
      ours|hand)
        # The times of this side, and its fastest round whose step times are kept.
        declare -n times=$side fastest=best_$side
        s=$(install_once "$side" "$work/steps.txt")
        times+=("$s")
        if awk -v a="$s" -v b="$fastest" 'BEGIN { exit !(a < b) }'; then
          fastest=$s; cp "$work/steps.txt" "$work/steps-$side.txt"
        fi
        unset -n times fastest ;;
      cp)
        sync
        t0=$(now); cp -R "$work/contents/Corvane.app" "$work/cp-copy.app"; sync; t1=$(now)
        theirs+=("$(diff "$t1" "$t0")")
        chmod -R u+w "$work/cp-copy.app"; rm -rf "$work/cp-copy.app" ;;
    esac
  done
done
o=$(printf '%s\n' "${ours[@]}" | best); h=$(printf '%s\n' "${hand[@]}" | best)
c=$(printf '%s\n' "${theirs[@]}" | best)
echo "rounds ours: ${ours[*]}; by hand: ${hand[*]}; cp -R: ${theirs[*]}"
mo=$(printf '%s\n' "${ours[@]}" | median); mh=$(printf '%s\n' "${hand[@]}" | median)
echo "medians ours: $mo s, by hand: $mh s, ratio $(ratio "$mo" "$mh")"
echo "steps ours: $(our_steps "$work/steps-ours.txt")"
echo "steps by hand: $(hand_steps "$work/steps-hand.txt")"
printf 'install %s MiB: ours %.2f s, by hand %.2f s, ratio %s, cp -R %.2f s, ratio to cp -R %s\n' \
  "$size_mb" "$o" "$h" "$(ratio "$o" "$h")" "$c" "$(ratio "$o" "$c")"
