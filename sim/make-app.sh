#!/usr/bin/env bash
# Lays out a stand-in Corvane.app folder:
#   sim/make-app.sh DEST.app [--version V] [--team T] [--self-made | --unsealed]
# Contents/Info.plist names viewerapp as the main executable; Contents/MacOS holds the six
# programs the setup looks for (viewerapp, transcoder, perkpanel, sentinel, transcodeaide,
# enginesvc), each a small script that runs until it gets SIGTERM (or SIGINT/SIGHUP), writes a
# line now and then, and whose command line starts with its own path, as a real executable's does.
# --version V   CFBundleShortVersionString (default 2.0.0)
# --team T      sign the app with the Developer ID identity that the simulation's authority
#               (sim/authority.sh) issues to team T (default SIMTEAM01, the simulation's test
#               team, which the Linux build expects)
# --self-made   sign it instead with a look-alike identity of team T from a root of its own
# --unsealed    leave it unsigned (to add files first, then sign with sim/sign.sh)
set -euo pipefail
usage() { echo "usage: $0 DEST.app [--version V] [--team T] [--self-made | --unsealed]" >&2; exit 2; }
[ $# -ge 1 ] || usage
dest=$1; shift
version=2.0.0 team=SIMTEAM01 seal=1 kind=()
while [ $# -gt 0 ]; do
  case $1 in
    --version) [ $# -ge 2 ] || usage; version=$2; shift 2 ;;
    --team) [ $# -ge 2 ] && [ -n "$2" ] || usage; team=$2; shift 2 ;;
    --unsealed) seal=0; shift ;;
    --self-made) kind=(--self-made); shift ;;
    *) usage ;;
  esac
done
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$dest/Contents/MacOS"
cat > "$dest/Contents/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleExecutable</key>
	<string>viewerapp</string>
	<key>CFBundleIdentifier</key>
	<string>com.corvane.reader</string>
	<key>CFBundleName</key>
	<string>Corvane</string>
	<key>CFBundleShortVersionString</key>
	<string>$version</string>
</dict>
</plist>
PLIST
for exe in viewerapp transcoder perkpanel sentinel transcodeaide enginesvc; do
  cat > "$dest/Contents/MacOS/$exe" <<'SCRIPT'
#!/bin/bash
# Stand-in for one of Corvane's programs: does nothing until it is told to stop. A real
# executable's command line starts with its own path; a script's starts with its interpreter, so
# it runs itself once more under its own path (exec -a) before it settles.
first=""
IFS= read -r -d '' first < "/proc/$$/cmdline"
[ "$first" = "$0" ] || exec -a "$0" /bin/bash "$0" "$@"
trap 'kill $! 2>/dev/null; exit 0' TERM INT HUP
# Like a real program it writes a line now and then (every CORVANE_SIM_APP_TICK seconds, default
# 5): started with a pipe as its output that is closed later, that line ends it with SIGPIPE.
while :; do
  echo "${0##*/}: running"
  sleep "${CORVANE_SIM_APP_TICK:-5}" &
  wait $!
done
SCRIPT
  chmod 755 "$dest/Contents/MacOS/$exe"
done
if [ "$seal" = 1 ]; then
  bash "$here/sign.sh" "$dest" "$team" "${kind[@]}"
fi
