#!/usr/bin/env bash
# Downloads over several connections, side by side in one run with `curl -o` (one connection)
# and `aria2c -x4 -s4 -k1M` (four), each round alternating the clients, best and median kept:
#  (a) nginx capping every connection (limit_rate, CAP default 2m), a SIZE_MB image (default 24):
#      goal ours ≤ 1.10 × aria2's time and ≥ 3 × faster than curl;
#  (b) the plain loopback nginx, a BIG_MB image (default 256), B_RUNS rounds (default 15): goal
#      ours ≤ 1.05 × curl's time, judged on the medians, since a half-second loopback download
#      swings by a fifth from round to round and one lucky round decides a best-of;
#  (c) sim/fault_server.py dropping one slice halfway, the BIG_MB image, each connection capped
#      (C_RATE, default 20 MB/s, so that the download splits): bytes the server sent against the
#      image, goal ≤ 1.05.
# Every downloaded file's SHA-256 must equal the image's. Writes the section "## Downloads over
# several connections" of docs/performance.md (replaced when present), with the machine and its
# load, since the machine may be shared.
#   bench/install/parallel.sh [BUILD_DIR] [RUNS]        (default build/default, 3; OUT=file)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=${1:-$src/build/default}
runs=${2:-3}
b_runs=${B_RUNS:-15}
size_mb=${SIZE_MB:-24}
big_mb=${BIG_MB:-256}
cap=${CAP:-2m}
out=${OUT:-$src/docs/performance.md}
driver=$build/bench/install/install_bench_driver
[ -x "$driver" ] || { echo "build install_bench_driver first (cmake --build $build --target install_bench_driver)" >&2; exit 1; }
if ! command -v aria2c >/dev/null; then
  # The reference client, only for this benchmark (Debian's aria2).
  [ "$(id -u)" = 0 ] || { echo "bench: aria2c is missing (apt-get install aria2)" >&2; exit 1; }
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq aria2 >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-parallel-XXXXXX")
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  bash "$src/sim/nginx/serve.sh" stop "$work/capped" || true
  bash "$src/sim/nginx/serve.sh" stop "$work/plain" || true
  rm -rf "$work"
}
trap cleanup EXIT
export no_proxy=127.0.0.1,localhost NO_PROXY=127.0.0.1,localhost
loads=()
load() { loads+=("$1 $(cut -d' ' -f1-3 /proc/loadavg)"); }
load start

now() { date +%s.%N; }
since() { awk -v a="$(now)" -v b="$1" 'BEGIN { printf "%.3f", a - b }'; }
best() { printf '%s\n' "$@" | sort -g | head -1; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
check() {
  [ "$(sha256sum "$1" | cut -d' ' -f1)" = "$2" ] || { echo "bench: $1 differs from the image" >&2; exit 1; }
  rm -f "$1"
}

for pair in "small $size_mb" "big $big_mb"; do
  set -- $pair
  mkdir -p "$work/$1/velodoc"
  bash "$src/sim/make-image.sh" "$work/$1/velodoc/corvanereader_x86_64.dmg" --payload-mb "$2" >/dev/null
done
small=$work/small/velodoc/corvanereader_x86_64.dmg
big=$work/big/velodoc/corvanereader_x86_64.dmg
small_sum=$(sha256sum "$small" | cut -d' ' -f1)
big_sum=$(sha256sum "$big" | cut -d' ' -f1)
mkdir -p "$work/dl"

# One timed download by CLIENT (ours, curl, aria2) of URL with the server's CA; prints seconds.
fetch() {
  local client=$1 url=$2 ca=$3 t0
  rm -f "$work/dl/"*
  # The last round's file is still being written back; left alone, it would slow whichever
  # client comes next.
  sync
  t0=$(now)
  case $client in
    ours) TMPDIR=$work/dl CORVANE_CA_BUNDLE=$ca "$driver" download "$url" >/dev/null
          mv "$work/dl/package.dmg" "$work/dl/file" ;;
    curl) curl -sS --fail --cacert "$ca" -o "$work/dl/file" "$url" ;;
    aria2) aria2c -q -x4 -s4 -k1M --ca-certificate="$ca" --file-allocation=none \
             --allow-overwrite=true --auto-file-renaming=false -d "$work/dl" -o file "$url" ;;
  esac
  since "$t0"
}

# Rounds of the given clients against URL, alternating; sets times_<client> arrays. Each round
# starts one client further on, so that no client always follows the same one.
race() {
  local url=$1 ca=$2 sum=$3 i c order; shift 3
  for c in "$@"; do eval "times_$c=()"; done
  order=("$@")
  for i in $(seq 1 "${rounds:-$runs}"); do
    for c in "${order[@]}"; do
      local t; t=$(fetch "$c" "$url" "$ca"); check "$work/dl/file" "$sum"
      eval "times_$c+=($t)"
      echo "  round $i $c ${t}s"
    done
    order=("${order[@]:1}" "${order[0]}")
  done
}

echo "== (a) nginx with limit_rate $cap per connection, ${size_mb} MiB, $runs rounds"
eval "$(CORVANE_NGINX_LIMIT_RATE=$cap bash "$src/sim/nginx/serve.sh" start "$work/capped" "$work/small" | sed 's/^/capped_/')"
: > "$work/capped/access.log"
race "$capped_BASE/velodoc/corvanereader_x86_64.dmg" "$capped_CA" "$small_sum" ours curl aria2
a_ours=$(best "${times_ours[@]}") a_curl=$(best "${times_curl[@]}") a_aria=$(best "${times_aria2[@]}")
a_med="ours $(median "${times_ours[@]}") s, curl $(median "${times_curl[@]}") s, aria2 $(median "${times_aria2[@]}") s"
# Requests of our rounds: every line of the access log with our user agent.
a_requests=$(grep -c CorvaneSetup "$work/capped/access.log" || true)
load after-capped

echo "== (b) plain loopback nginx, ${big_mb} MiB, $b_runs rounds"
eval "$(bash "$src/sim/nginx/serve.sh" start "$work/plain" "$work/big" | sed 's/^/plain_/')"
rounds=$b_runs race "$plain_BASE/velodoc/corvanereader_x86_64.dmg" "$plain_CA" "$big_sum" ours curl aria2
b_ours=$(median "${times_ours[@]}") b_curl=$(median "${times_curl[@]}") b_aria=$(median "${times_aria2[@]}")
b_best="ours $(best "${times_ours[@]}") s, curl $(best "${times_curl[@]}") s, aria2 $(best "${times_aria2[@]}") s"
# The same download held to one connection, to tell what the slices cost where they do not help.
times_one=()
for i in $(seq 1 "$b_runs"); do
  t=$(CORVANE_BENCH_CONNECTIONS=1 fetch ours "$plain_BASE/velodoc/corvanereader_x86_64.dmg" "$plain_CA")
  check "$work/dl/file" "$big_sum"; times_one+=("$t"); echo "  round $i ours, one connection ${t}s"
done
b_one=$(median "${times_one[@]}")
load after-plain

# Capped below what keeps a download on one connection, so that it splits.
c_rate=${C_RATE:-20000000}
echo "== (c) one slice dropped halfway, ${big_mb} MiB, each connection capped at $c_rate B/s"
python3 "$src/sim/fault_server.py" --cert "$work/plain/server.crt" --key "$work/plain/server.key" \
  --file "$big" --stats "$work/stats" --drop-slice 1 --rate "$c_rate" > "$work/port" &
server_pid=$!
for i in $(seq 1 100); do grep -q '^PORT=' "$work/port" 2>/dev/null && break; sleep 0.05; done
port=$(sed -n 's/^PORT=//p' "$work/port")
fetch ours "https://127.0.0.1:$port/velodoc/corvanereader_x86_64.dmg" "$plain_CA" >/dev/null
check "$work/dl/file" "$big_sum"
# The server counts a cut connection once it notices; wait for every response to end.
for i in $(seq 1 200); do grep -q ' open=0 ' "$work/stats" && break; sleep 0.05; done
read -r c_bytes c_requests < <(sed -n '1s/^requests=\([0-9]*\) bytes=\([0-9]*\).*/\2 \1/p' "$work/stats")
kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; server_pid=
big_bytes=$(stat -c %s "$big")
load end

goal() { awk -v r="$1" -v op="$2" -v g="$3" 'BEGIN { ok = op == "le" ? r <= g : r >= g; print ok ? "met" : "NOT met" }'; }
a_vs_aria=$(ratio "$a_ours" "$a_aria") a_speedup=$(ratio "$a_curl" "$a_ours")
b_vs_curl=$(ratio "$b_ours" "$b_curl") b_best_ratio=$(ratio "$(best "${times_ours[@]}")" "$(best "${times_curl[@]}")")
c_ratio=$(awk -v a="$c_bytes" -v b="$big_bytes" 'BEGIN { printf "%.3f", a / b }')
printf '(a) ours %ss, curl %ss, aria2 %ss: %s x aria2, %s x faster than curl; %s requests in %s rounds\n' \
  "$a_ours" "$a_curl" "$a_aria" "$a_vs_aria" "$a_speedup" "$a_requests" "$runs"
printf '(b) medians: ours %ss, curl %ss, aria2 %ss, ours on one connection %ss: %s x curl (best rounds: %s x)\n' \
  "$b_ours" "$b_curl" "$b_aria" "$b_one" "$b_vs_curl" "$b_best_ratio"
printf '(c) %s bytes in %s requests for a %s-byte image: %s x\n' "$c_bytes" "$c_requests" "$big_bytes" "$c_ratio"

rows=(
  "| Download from a server capping each connection ($cap/s), ${size_mb} MiB | ${a_ours} s | \`aria2c -x4 -s4 -k1M\` ${a_aria} s; \`curl -o\` ${a_curl} s | ${a_vs_aria} × aria2; ${a_speedup} × faster than curl | ≤ 1.10 × aria2: $(goal "$a_vs_aria" le 1.10); ≥ 3 × faster than curl: $(goal "$a_speedup" ge 3) | nginx \`limit_rate $cap\` over HTTPS on loopback; best of $runs rounds, the three clients alternating; medians: $a_med; $a_requests requests of ours in all (a first answer and three slices a round) |"
  "| Download from the plain loopback nginx, ${big_mb} MiB | ${b_ours} s | \`curl -o\` ${b_curl} s | ${b_vs_curl} (best rounds: ${b_best_ratio}) | ≤ 1.05: $(goal "$b_vs_curl" le 1.05) | medians of $b_runs rounds, alternating (the download swings by a fifth from round to round, so a best-of is one lucky round); best rounds: $b_best; ours held to one connection (CORVANE_BENCH_CONNECTIONS=1), median: ${b_one} s; ours stays on one connection here by itself, since its first answer alone brings more than 32 MiB/s |"
  "| Bytes fetched, ${big_mb} MiB image, one slice dropped halfway | $c_bytes ($c_requests requests) | image $big_bytes | $c_ratio | ≤ 1.05: $(goal "$c_ratio" le 1.05) | sim/fault_server.py \`--drop-slice 1 --rate $c_rate\` (bytes a second per connection): the slice alone is resumed; what cut connections still had on their way counts; the file's SHA-256 equals the image's |"
)
python3 - "$out" "$(nproc)" "$(printf '%s; ' "${loads[@]}")" "${rows[@]}" <<'PY'
import re, sys, time
from pathlib import Path
out, cpus, loads, rows = Path(sys.argv[1]), sys.argv[2], sys.argv[3].rstrip("; "), sys.argv[4:]
section = "\n".join([
    "## Downloads over several connections",
    "",
    f"Written by `bench/install/parallel.sh` (also run by `bench/run.sh`), "
    f"{time.strftime('%Y-%m-%d %H:%M %Z')}, on {cpus} cores, nothing else of ours running; load "
    f"average (1, 5, 15 min) at each phase: {loads}. Each client's best round is set against the "
    "others' in the same run (medians for the plain loopback download), and every timed "
    "download starts after a `sync`, so that no client pays for the last one's write-back.",
    "",
    "| Figure | Ours | Reference | Ratio | Goal | How it was measured |",
    "|---|---|---|---|---|---|",
    *rows,
    "",
])
text = out.read_text() if out.exists() else "# Performance\n"
title = "## Downloads over several connections"
if title in text:
    text = re.sub(re.escape(title) + r"\n.*?(?=\n## |\Z)", section.rstrip("\n") + "\n", text, flags=re.S)
else:
    text = text.rstrip("\n") + "\n\n" + section
out.write_text(text)
print(f"written: {out} (section: Downloads over several connections)")
PY
