#!/usr/bin/env bash
# Lays out a stand-in Corvane.app folder:
#   sim/make-app.sh DEST.app [--version V]
# Contents/Info.plist names viewerapp as the main executable; Contents/MacOS holds the six
# programs the setup looks for (viewerapp, transcoder, perkpanel, sentinel, transcodeaide,
# enginesvc), each a small script that runs until it gets SIGTERM (or SIGINT/SIGHUP) and whose
# command line starts with its own path, as a real executable's does.
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 DEST.app [--version V]" >&2; exit 2; }
dest=$1; shift
version=2.0.0
if [ $# -ge 2 ] && [ "$1" = --version ]; then version=$2; fi
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
while :; do
  sleep 3600 &
  wait $!
done
SCRIPT
  chmod 755 "$dest/Contents/MacOS/$exe"
done
