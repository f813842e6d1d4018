#!/usr/bin/env bash
# The bundle's icon as the Finder and the Dock read it: Info.plist names it, Contents/Resources
# holds it, and every element decodes (icns2png) to the icon at its size, 16 to 1024 pixels.
# Usage: app_icon_test.sh <bundle> <Info.plist.in> <scratch folder>
set -uo pipefail
bundle=$1 plist=$2 work=$3
icns="$bundle/Contents/Resources/AppIcon.icns"
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

grep -A1 '<key>CFBundleIconFile</key>' "$plist" | grep -q '<string>AppIcon</string>' ||
  fail "Info.plist does not name AppIcon as CFBundleIconFile"
[ -s "$icns" ] || { echo "FAILED: no $icns"; exit 1; }
rm -rf "$work" && mkdir -p "$work"
icns2png -x -o "$work" "$icns" >/dev/null || fail "icns2png cannot decode $icns"
for size in 16 32 128 256 512 1024; do
  png="$work/AppIcon_${size}x${size}x32.png"
  if [ ! -s "$png" ]; then
    fail "no ${size}-pixel element"
    continue
  fi
  # Width, height, the share of opaque area and the colour at the centre: the rounded tile on a
  # transparent margin, the white page in its middle. A blank, square or wrong picture fails.
  read -r w h centre < <(convert "$png" -format \
    '%w %h %[fx:p{w/2,h/2}.r>0.9&&p{w/2,h/2}.b>0.9?1:0]\n' info:)
  alpha=$(convert "$png" -alpha extract -format '%[fx:mean]' info:)
  [ "$w" = "$size" ] && [ "$h" = "$size" ] || fail "the ${size}-pixel element is ${w}x${h}"
  awk -v a="$alpha" 'BEGIN { exit !(a > 0.5 && a < 0.8) }' ||
    fail "the ${size}-pixel element covers $alpha of its area, not the tile's 0.5 to 0.8"
  if [ "$size" -ge 32 ] && [ "$centre" != 1 ]; then
    fail "the ${size}-pixel element has no page at its centre"
  fi
done
[ "$failures" -eq 0 ] && echo "AppIcon.icns decodes at 16, 32, 128, 256, 512 and 1024 pixels"
exit $((failures > 0))
