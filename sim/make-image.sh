#!/usr/bin/env bash
# Builds a test disk image: an ISO 9660 image (Rock Ridge, so modes and links survive) holding a
# stand-in Corvane.app whose six executables run until they are stopped, the image signed as a
# release image is (sim/sign.sh: the Developer ID identity of a team, from sim/authority.sh).
#   sim/make-image.sh OUT [--payload-mb N] [--version V] [--team T] [--self-made]
#                         [--tampered | --unsealed] [--image-team T] [--image-self-made]
#                         [--image-tampered | --image-unsigned]
# --payload-mb N      adds Contents/Resources/payload.bin of N MiB of random bytes (default 1)
# --version V         CFBundleShortVersionString of the app (default 2.0.0)
# --team T            the team that signs the app (default SIMTEAM01, the simulation's test team)
# --self-made         the app is signed with a self-made look-alike identity of that team
# --tampered          the app's payload (or, without one, an executable) is changed after signing
# --unsealed          the app is not signed at all
# --image-team T      the team that signs the image (default: the app's)
# --image-self-made   the image is signed with a self-made look-alike identity of that team
# --image-tampered    one byte of the image is changed after signing
# --image-unsigned    the image is not signed
set -euo pipefail
usage() {
  echo "usage: $0 OUT [--payload-mb N] [--version V] [--team T] [--self-made]" \
       "[--tampered | --unsealed] [--image-team T] [--image-self-made]" \
       "[--image-tampered | --image-unsigned]" >&2
  exit 2
}
[ $# -ge 1 ] || usage
out=$1; shift
payload_mb=1 version=2.0.0 team=SIMTEAM01 seal=sealed kind=()
image_team="" image_kind=() image=signed
while [ $# -gt 0 ]; do
  case $1 in
    --payload-mb) [ $# -ge 2 ] || usage; payload_mb=$2; shift 2 ;;
    --version) [ $# -ge 2 ] || usage; version=$2; shift 2 ;;
    --team) [ $# -ge 2 ] && [ -n "$2" ] || usage; team=$2; shift 2 ;;
    --tampered) seal=tampered; shift ;;
    --unsealed) seal=unsealed; shift ;;
    --self-made) kind=(--self-made); shift ;;
    --image-team) [ $# -ge 2 ] && [ -n "$2" ] || usage; image_team=$2; shift 2 ;;
    --image-self-made) image_kind=(--self-made); shift ;;
    --image-tampered) image=tampered; shift ;;
    --image-unsigned) image=unsigned; shift ;;
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
  bash "$here/sign.sh" "$app" "$team" "${kind[@]}"
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
volume_size=$(stat -c %s "$out.tmp")
if [ "$image" != unsigned ]; then
  bash "$here/sign.sh" "$out.tmp" "${image_team:-$team}" "${image_kind[@]}" || {
    rm -f "$out.tmp"; exit 1; }
fi
if [ "$image" = tampered ]; then
  # One byte in the middle of the volume (in the payload, when there is one) changed after
  # signing, the size kept: the image still attaches, only the signature can tell.
  at=$((volume_size / 2))
  old=$(dd if="$out.tmp" bs=1 skip=$at count=1 status=none | od -An -tx1 | tr -d ' \n')
  new=58; [ "$old" = 58 ] && new=59
  printf "\\x$new" | dd of="$out.tmp" bs=1 seek=$at conv=notrunc status=none
fi
mv -f "$out.tmp" "$out"
