#!/usr/bin/env bash
# Lays out a simulated macOS root and prints the environment that points the setup at it.
#   sim/make-root.sh ROOT [--plain]
# ROOT/Applications              empty (install a stand-in app with sim/make-app.sh)
# ROOT/bin/zsh                   link to the real zsh (the setup runs "/bin/zsh")
# ROOT/usr/bin/{ditto,…}         links to the stand-ins in sim/bin ("/usr/bin/ditto" and
#                                "/usr/bin/codesign" are called by absolute path, the rest
#                                through PATH); ROOT/usr/bin/xdg-open is `open` too
# ROOT/Users/tester              the home folder; ROOT/private/tmp the temporary folder
# ROOT/System/Library/Security/AppleAnchor.pem   the simulation authority's anchor, which the
#                                codesign stand-in trusts as Apple's (sim/authority.sh)
# Output: `export NAME='value'` lines for eval, or NAME=value lines with --plain:
# CORVANE_SIM_ROOT, HOME, TMPDIR, PATH (ROOT/usr/bin first).
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 ROOT [--plain]" >&2; exit 2; }
root=$1
plain=0
[ "${2:-}" = --plain ] && plain=1
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$root"
root=$(cd "$root" && pwd)
mkdir -p "$root/Applications" "$root/bin" "$root/usr/bin" "$root/Users/tester" "$root/private/tmp" \
         "$root/private/var/run"
ln -sfn "$(command -v zsh)" "$root/bin/zsh"
for tool in "$here"/bin/*; do
  ln -sfn "$tool" "$root/usr/bin/${tool##*/}"
done
bash "$here/authority.sh" install-anchor "$root"
# The toolkit hands a link to `xdg-open` on Linux; on a Mac it goes where `open URL` goes.
ln -sfn "$here/bin/open" "$root/usr/bin/xdg-open"
emit() {
  if [ "$plain" = 1 ]; then
    printf '%s=%s\n' "$1" "$2"
  else
    printf "export %s='%s'\n" "$1" "$(printf '%s' "$2" | sed "s/'/'\\\\''/g")"
  fi
}
emit CORVANE_SIM_ROOT "$root"
emit HOME "$root/Users/tester"
emit TMPDIR "$root/private/tmp"
emit PATH "$root/usr/bin:$PATH"
