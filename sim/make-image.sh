#!/usr/bin/env bash
# Builds a test disk image: an ISO 9660 image (Rock Ridge, so modes and links survive) holding a
# stand-in Corvane.app whose six executables run until they are stopped.
#   sim/make-image.sh OUT [--payload-mb N] [--version V] [--team T] [--tampered | --unsealed]
# --payload-mb N   adds Contents/Resources/payload.bin of N MiB of random bytes (default 1)
# --version V      CFBundleShortVersionString of the app (default 2.0.0)
# --team T         the team that seals the app (default SIMTEAM01, the simulation's test team)
# --tampered       the app's payload (or, without one, an executable) is changed after sealing
# --unsealed       the app is not sealed at all
set -euo pipefail
usage() {
  echo "usage: $0 OUT [--payload-mb N] [--version V] [--team T] [--tampered | --unsealed]" >&2
  exit 2
}
[ $# -ge 1 ] || usage
out=$1; shift
payload_mb=1 version=2.0.0 team=SIMTEAM01 seal=sealed
while [ $# -gt 0 ]; do
  case $1 in
    --payload-mb) [ $# -ge 2 ] || usage; payload_mb=$2; shift 2 ;;
    --version) [ $# -ge 2 ] || usage; version=$2; shift 2 ;;
    --team) [ $# -ge 2 ] && [ -n "$2" ] || usage; team=$2; shift 2 ;;
    --tampered) seal=tampered; shift ;;
    --unsealed) seal=unsealed; shift ;;
    *) usage ;;
  esac
done
[[ $payload_mb =~ ^[0-9]+$ ]] || usage

here=$(cd "$(dirname "$0")" && pwd)
stage=$(mktemp -d "${TMPDIR:-/tmp}/corvane-image-XXXXXX")
trap 'rm -rf "$stage"' EXIT
app="$stage/Corvane.app"
bash "$here/make-app.sh" "$app" --version "$version" --unsealed
if [ "$payload_mb" -gt 0 ]; then
  mkdir -p "$app/Contents/Resources"
  head -c $((payload_mb * 1024 * 1024)) /dev/urandom > "$app/Contents/Resources/payload.bin"
fi
if [ "$seal" != unsealed ]; then
  bash "$here/bin/codesign" -s "$team" "$app"
fi
if [ "$seal" = tampered ]; then
  # One byte changed after sealing, the size kept: only the digest can tell.
  victim="$app/Contents/Resources/payload.bin"
  [ -f "$victim" ] || victim="$app/Contents/MacOS/transcoder"
  old=$(dd if="$victim" bs=1 skip=20 count=1 status=none | od -An -tx1 | tr -d ' \n')
  new=58; [ "$old" = 58 ] && new=59
  printf "\\x$new" | dd of="$victim" bs=1 seek=20 conv=notrunc status=none
fi
mkdir -p "$(dirname "$out")"
rm -f "$out.tmp"
xorriso -no_rc -outdev "$out.tmp" -volid CORVANE -map "$stage" / -commit >/dev/null 2>&1 || {
  echo "make-image: xorriso failed" >&2; rm -f "$out.tmp"; exit 1; }
mv -f "$out.tmp" "$out"
