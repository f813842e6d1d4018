#!/usr/bin/env bash
# Builds a test disk image: an ISO 9660 image (Rock Ridge, so modes and links survive) holding a
# stand-in Corvane.app whose six executables run until they are stopped.
#   sim/make-image.sh OUT [--payload-mb N] [--version V]
# --payload-mb N   adds Contents/Resources/payload.bin of N MiB of random bytes (default 1)
# --version V      CFBundleShortVersionString of the app (default 2.0.0)
set -euo pipefail
usage() { echo "usage: $0 OUT [--payload-mb N] [--version V]" >&2; exit 2; }
[ $# -ge 1 ] || usage
out=$1; shift
payload_mb=1 version=2.0.0
while [ $# -gt 0 ]; do
  case $1 in
    --payload-mb) [ $# -ge 2 ] || usage; payload_mb=$2; shift 2 ;;
    --version) [ $# -ge 2 ] || usage; version=$2; shift 2 ;;
    *) usage ;;
  esac
done
[[ $payload_mb =~ ^[0-9]+$ ]] || usage

here=$(cd "$(dirname "$0")" && pwd)
stage=$(mktemp -d "${TMPDIR:-/tmp}/corvane-image-XXXXXX")
trap 'rm -rf "$stage"' EXIT
bash "$here/make-app.sh" "$stage/Corvane.app" --version "$version"
if [ "$payload_mb" -gt 0 ]; then
  mkdir -p "$stage/Corvane.app/Contents/Resources"
  head -c $((payload_mb * 1024 * 1024)) /dev/urandom > "$stage/Corvane.app/Contents/Resources/payload.bin"
fi
mkdir -p "$(dirname "$out")"
rm -f "$out.tmp"
xorriso -no_rc -outdev "$out.tmp" -volid CORVANE -map "$stage" / -commit >/dev/null 2>&1 || {
  echo "make-image: xorriso failed" >&2; rm -f "$out.tmp"; exit 1; }
mv -f "$out.tmp" "$out"
