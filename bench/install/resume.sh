#!/usr/bin/env bash
# Bytes fetched by a download whose connection drops once, against the image's size: the real
# downloader (install_bench_driver) against sim/fault_server.py, which closes the first response
# at a given share of the image. Each drop point runs twice: with range support (the download
# resumes) and without it (the server always sends the whole file, so the download starts over:
# what a download that cannot resume costs). The finished file's SHA-256 must equal the image's.
# Writes the section "## Resumed downloads" of docs/performance.md (replaced when present).
#   bench/install/resume.sh [BUILD_DIR] [SIZE_MB]        (OUT=file overrides the page)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=${1:-$src/build/default}
size_mb=${2:-256}
out=${OUT:-$src/docs/performance.md}
driver=$build/bench/install/install_bench_driver
[ -x "$driver" ] || { echo "build install_bench_driver first (cmake --build $build --target install_bench_driver)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/corvane-resume-XXXXXX")
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  bash "$src/sim/nginx/serve.sh" stop "$work/nginx" || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== building a ${size_mb} MiB image"
mkdir -p "$work/doc/velodoc" "$work/tmp"
image=$work/doc/velodoc/corvanereader_x86_64.dmg
bash "$src/sim/make-image.sh" "$image" --payload-mb "$size_mb" >/dev/null
bytes=$(stat -c %s "$image")
want=$(sha256sum "$image" | cut -d' ' -f1)
# nginx only for its test certificate authority and server certificate.
eval "$(bash "$src/sim/nginx/serve.sh" start "$work/nginx" "$work/doc" | sed 's/^/export /')"
export CORVANE_CA_BUNDLE=$CA no_proxy=127.0.0.1,localhost NO_PROXY=127.0.0.1,localhost

# One download from a fault server started with "$@"; prints "FETCHED_BYTES REQUESTS".
fetch() {
  rm -f "$work/tmp/"package.dmg* "$work/stats" "$work/port"
  python3 "$src/sim/fault_server.py" --cert "$work/nginx/server.crt" --key "$work/nginx/server.key" \
    --file "$image" --stats "$work/stats" "$@" > "$work/port" &
  server_pid=$!
  local i
  for i in $(seq 1 100); do grep -q '^PORT=' "$work/port" 2>/dev/null && break; sleep 0.05; done
  local port
  port=$(sed -n 's/^PORT=//p' "$work/port")
  # One connection: the drop points are shares of the whole file, which a split download's first
  # answer never reaches (bench/install/parallel.sh drops a slice instead).
  TMPDIR=$work/tmp CORVANE_BENCH_CONNECTIONS=1 "$driver" download "https://127.0.0.1:$port/velodoc/corvanereader_x86_64.dmg" >/dev/null
  [ "$(sha256sum "$work/tmp/package.dmg" | cut -d' ' -f1)" = "$want" ] ||
    { echo "the downloaded file differs from the image" >&2; exit 1; }
  kill "$server_pid"; wait "$server_pid" 2>/dev/null || true; server_pid=
  sed -n '1s/^requests=\([0-9]*\) bytes=\([0-9]*\).*/\2 \1/p' "$work/stats"
}

rows=()
for at in 0.5 0.9; do
  fetch --drop-at "$at" > "$work/result"
  read -r ours ours_requests < "$work/result"
  fetch --drop-at "$at" --no-ranges > "$work/result"
  read -r plain plain_requests < "$work/result"
  pct=$(awk -v a="$at" 'BEGIN { printf "%d", a * 100 }')
  r=$(awk -v a="$ours" -v b="$bytes" 'BEGIN { printf "%.3f", a / b }')
  p=$(awk -v a="$plain" -v b="$bytes" 'BEGIN { printf "%.3f", a / b }')
  goal=$(awk -v r="$r" 'BEGIN { print (r <= 1.05) ? "met" : "NOT met" }')
  printf 'resume %s MiB dropped at %s%%: fetched %s bytes in %s requests (%s x the image); without ranges %s bytes (%s x)\n' \
    "$size_mb" "$pct" "$ours" "$ours_requests" "$r" "$plain" "$p"
  rows+=("| Bytes fetched, ${size_mb} MiB image, connection dropped at ${pct} % | $ours ($ours_requests requests) | image $bytes; starting over: $plain | $r (starting over: $p) | ≤ 1.05: $goal | sim/fault_server.py closes the first response at ${pct} % of the image; the downloader resumes silently with Range + If-Range; the finished file's SHA-256 equals the image's |")
done

python3 - "$out" "$size_mb" "${rows[@]}" <<'PY'
import re, sys, time
from pathlib import Path
out, size_mb, rows = Path(sys.argv[1]), sys.argv[2], sys.argv[3:]
section = "\n".join([
    "## Resumed downloads",
    "",
    f"Written by `bench/install/resume.sh` (also run by `bench/run.sh`), {time.strftime('%Y-%m-%d %H:%M %Z')}. "
    "Bytes of body the server sent for one successful download on one connection whose first response drops, "
    "against the image's size; the reference is the same server without range support, where "
    "the download can only start over.",
    "",
    "| Figure | Ours | Reference | Ratio (fetched / image) | Goal | How it was measured |",
    "|---|---|---|---|---|---|",
    *rows,
    "",
])
text = out.read_text() if out.exists() else "# Performance\n"
if "## Resumed downloads" in text:
    text = re.sub(r"## Resumed downloads\n.*?(?=\n## |\Z)", section.rstrip("\n") + "\n",
                  text, flags=re.S)
else:
    text = text.rstrip("\n") + "\n\n" + section
out.write_text(text)
print(f"written: {out} (section: Resumed downloads)")
PY
