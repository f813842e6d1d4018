#!/usr/bin/env bash
# Builds the setup for release on a Mac and makes the artefact users download:
#   dist/<bundle name>.zip holding <bundle name>.app, signed, notarized and stapled.
# The bundle's name is what the program reads its package facts from (version, short code, four
# channel numbers), so each channel gets its own build and its own artefact.
#
# Needs Xcode's command-line tools, CMake, Ninja, and universal (arm64 + x86_64) builds of Qt 6
# (6.5 to 6.7 for macOS 11; its macdeployqt on PATH), libcurl and OpenSSL, found by CMake
# through CMAKE_PREFIX_PATH (or name the two dylibs in CORVANE_CURL_DYLIB, CORVANE_CRYPTO_DYLIB).
#
# Environment (all required):
#   CORVANE_BUNDLE_NAME     e.g. Corvane_v1.0.0.1_dev01_1.2.3.4
#   CORVANE_PACKAGE_HOST    the package server, e.g. https://packages.example.com
#   CORVANE_VCTRL_DAT       the vctrl.dat naming the real telemetry servers
#   CORVANE_TEAM_ID         the team that signs Corvane.app, and so this setup too
#   CORVANE_SIGN_IDENTITY   "Developer ID Application: <Company> (<TEAMID>)" in the keychain
#   CORVANE_NOTARY_PROFILE  a profile saved with `xcrun notarytool store-credentials`
#
# Sourced (`source scripts/package-macos.sh`), it only defines its functions.

# The team of a signing identity named "Developer ID Application: <Company> (<TEAMID>)"; nothing,
# and status 1, for any other form (a hash names no team we could check before signing).
identity_team() {
  local pattern='^Developer ID Application: .+ \(([A-Z0-9]{10})\)$'
  [[ $1 =~ $pattern ]] || return 1
  printf '%s\n' "${BASH_REMATCH[1]}"
}

# Refuses (status 1, with the reason) an identity that is not a Developer ID of team $2. On macOS
# 13 and later an app signed by the same team as Corvane may replace it without the App
# Management prompt; one of another team may not, and would fail the setup's own team check.
check_identity_team() {
  local identity=$1 team=$2 found
  if ! found=$(identity_team "$identity"); then
    echo "CORVANE_SIGN_IDENTITY '$identity': not \"Developer ID Application: <Company> (<TEAMID>)\"" >&2
    return 1
  fi
  if [ "$found" != "$team" ]; then
    echo "CORVANE_SIGN_IDENTITY '$identity': team $found, not CORVANE_TEAM_ID $team" >&2
    return 1
  fi
}

# The TeamIdentifier that `codesign -dv` printed (its report on standard input).
signed_team() {
  sed -n 's/^TeamIdentifier=//p'
}

main() {
  set -euo pipefail
  cd "$(dirname "${BASH_SOURCE[0]}")/.."

  name=${CORVANE_BUNDLE_NAME:?set CORVANE_BUNDLE_NAME}
  host=${CORVANE_PACKAGE_HOST:?set CORVANE_PACKAGE_HOST}
  vctrl=${CORVANE_VCTRL_DAT:?set CORVANE_VCTRL_DAT}
  team=${CORVANE_TEAM_ID:?set CORVANE_TEAM_ID}
  identity=${CORVANE_SIGN_IDENTITY:?set CORVANE_SIGN_IDENTITY}
  profile=${CORVANE_NOTARY_PROFILE:?set CORVANE_NOTARY_PROFILE}
  check_identity_team "$identity" "$team"
  build=build/macos-release
  app="$build/$name.app"
  zip="dist/$name.zip"

  echo "== build ($build)"
  cmake --preset macos-release -DCORVANE_BUNDLE_NAME="$name" -DCORVANE_PACKAGE_HOST="$host" \
    -DCORVANE_VCTRL_DAT="$(realpath "$vctrl")" -DCORVANE_TEAM_ID="$team"
  cmake --build --preset macos-release --target corvane_setup_app
  lipo -info "$app/Contents/MacOS/$name"

  echo "== Qt frameworks and plugins"
  macdeployqt "$app" -always-overwrite
  # The window draws everything with Qt Widgets and renders its pictures with QSvgRenderer: it needs
  # the Cocoa platform plugin and the macOS style, nothing else macdeployqt copies.
  find "$app/Contents/PlugIns" -name '*.dylib' \
    ! -path '*/platforms/libqcocoa.dylib' ! -path '*/styles/libqmacstyle.dylib' -delete
  find "$app/Contents/PlugIns" -type d -empty -delete

  echo "== libcurl and libcrypto"
  # Nothing links them (the program opens them at run time from Contents/Frameworks under the
  # names CORVANE_CURL_LIBRARY / CORVANE_CRYPTO_LIBRARY give), so macdeployqt does not copy them:
  # copy them and every library they need that macOS does not ship, each found by its own
  # references, and point those references at the copies next to them.
  frameworks="$app/Contents/Frameworks"
  mkdir -p "$frameworks"
  cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
  curl_lib=${CORVANE_CURL_DYLIB:-$(cached CURL_LIBRARY_RELEASE)}
  crypto_lib=${CORVANE_CRYPTO_DYLIB:-$(cached OPENSSL_CRYPTO_LIBRARY)}
  for lib in "$curl_lib" "$crypto_lib"; do
    [ -f "$lib" ] || { echo "not found: '$lib' (set CORVANE_CURL_DYLIB / CORVANE_CRYPTO_DYLIB)" >&2; exit 1; }
  done
  crypto_name=$(basename "$(otool -D "$crypto_lib" | tail -n 1)")  # libcrypto.3.dylib
  bundle_lib() { # source path, name in Frameworks; then the same for what it links
    local source dest dep path
    source=$(realpath "$1")
    dest="$frameworks/$2"
    [ -e "$dest" ] && return 0
    cp "$source" "$dest"
    chmod u+w "$dest"
    install_name_tool -id "@rpath/$2" "$dest"
    otool -L "$dest" | tail -n +2 | awk '{print $1}' | while read -r dep; do
      case "$dep" in
        /usr/lib/* | /System/* | "@rpath/$2") continue ;;
        @loader_path/* | @rpath/*) path="$(dirname "$source")/${dep#*/}" ;;
        *) path=$dep ;;
      esac
      bundle_lib "$path" "$(basename "$dep")"
      install_name_tool -change "$dep" "@loader_path/$(basename "$dep")" "$dest"
    done
  }
  bundle_lib "$curl_lib" libcurl.4.dylib
  bundle_lib "$crypto_lib" "$crypto_name"

  echo "== sign, inside out (hardened runtime, secure time stamp)"
  sign() { codesign --force --options runtime --timestamp --sign "$identity" "$@"; }
  find "$app/Contents/PlugIns" "$app/Contents/Frameworks" -name '*.dylib' -print0 |
    while IFS= read -r -d '' f; do sign "$f"; done
  for framework in "$app"/Contents/Frameworks/*.framework; do
    if [ -e "$framework" ]; then sign "$framework"; fi
  done
  sign "$app"
  codesign --verify --strict --deep --verbose=2 "$app"
  signed=$(codesign -dv "$app" 2>&1 | signed_team)
  if [ "$signed" != "$team" ]; then
    echo "signed by team '$signed', not CORVANE_TEAM_ID $team" >&2
    exit 1
  fi

  echo "== notarize"
  mkdir -p dist
  rm -f "$zip"
  ditto -c -k --keepParent "$app" "$zip"
  xcrun notarytool submit "$zip" --keychain-profile "$profile" --wait --output-format json |
    tee "$build/notary.json"
  status=$(plutil -extract status raw -o - "$build/notary.json")
  if [ "$status" != "Accepted" ]; then
    echo "notarization: $status (xcrun notarytool log <id> --keychain-profile $profile)" >&2
    exit 1
  fi

  echo "== staple, and the artefact"
  xcrun stapler staple "$app"
  xcrun stapler validate "$app"
  spctl --assess --type execute --verbose "$app"
  rm -f "$zip"
  ditto -c -k --keepParent "$app" "$zip"
  echo "== $zip"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  main "$@"
fi
