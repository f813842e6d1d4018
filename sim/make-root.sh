#!/usr/bin/env bash
# Lays out a simulated macOS root with a Mac's owners and modes and prints the environment that
# points the setup at it.
#   sim/make-root.sh ROOT [--plain]
# ROOT/Applications              empty, root:admin (0:80) 0775 (install a stand-in app with
#                                sim/make-app.sh)
# ROOT/bin/zsh                   link to the real zsh (the setup runs "/bin/zsh")
# ROOT/bin/{mv,kill}, ROOT/usr/bin/{ditto,hdiutil,awk,…}
#                                the stand-ins in sim/bin and the plain tools, each at the
#                                absolute path the setup calls it by; ROOT/usr/bin/xdg-open is
#                                `open` too
# ROOT/Users/tester              the home folder, the user's (0750); its .zshenv puts tools that
#                                are not macOS's first in PATH, as a user's shell set-up may
# ROOT/private/var/folders/zz/T  the temporary folder ($TMPDIR), private to the user (0700)
# ROOT/private/var/run, /log     root's; hdiutil-sim (the disk-image stand-in's records) is
#                                writable by everyone, as the system service that mounts is
# Run as root, the user is CORVANE_SIM_USER (default 501:20, a Mac's first account, group
# staff); as anyone else, the user is the caller and nothing is chowned.
# ROOT/System/Library/Security/AppleAnchor.pem   the simulation authority's anchor, root's, which
#                                the codesign stand-in trusts as Apple's (sim/authority.sh)
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
home="$root/Users/tester"
tmp="$root/private/var/folders/zz/T"
mkdir -p "$root/Applications" "$root/bin" "$root/usr/bin" "$home" "$tmp" "$root/private/tmp" \
         "$root/private/var/run/hdiutil-sim" "$root/private/var/log"
ln -sfn "$(command -v zsh)" "$root/bin/zsh"
for tool in "$here"/bin/*; do
  ln -sfn "$tool" "$root/usr/bin/${tool##*/}"
done
# Every tool at the path the setup names it by; the ones without a stand-in are the plain tools.
ln -sfn "$here/bin/mv" "$root/bin/mv"
ln -sfn "$(readlink -f "$(type -P kill)")" "$root/bin/kill"
ln -sfn "$(readlink -f "$(type -P rm)")" "$root/bin/rm"
ln -sfn "$(readlink -f "$(type -P awk)")" "$root/usr/bin/awk"
bash "$here/authority.sh" install-anchor "$root"
# The toolkit hands a link to `xdg-open` on Linux; on a Mac it goes where `open URL` goes.
ln -sfn "$here/bin/open" "$root/usr/bin/xdg-open"

# What a user's ~/.zshenv may do to every `zsh -c`: GNU tools first (as Homebrew's gnubin puts
# them), whose xargs runs its command even on empty input, and, for every other name the setup
# uses, a tool that is not the Mac's. Only absolute paths reach the Mac's own tools.
gnubin="$home/.gnubin"
mkdir -p "$gnubin"
ln -sfn "$(readlink -f "$(type -P xargs)")" "$gnubin/xargs"
for tool in hdiutil mv pgrep awk kill open uname ditto codesign osascript; do
  printf '#!/bin/sh\necho "%s: not the macOS tool (~/.zshenv put ~/.gnubin first)" >&2\nexit 64\n' \
    "$tool" > "$gnubin/$tool"
  chmod 755 "$gnubin/$tool"
done
cat > "$home/.zshenv" <<'ZSHENV'
# A user's shell set-up, read by every zsh, `zsh -c` included.
export PATH="$HOME/.gnubin:$PATH"
ZSHENV

if [ "$(id -u)" = 0 ]; then
  user=${CORVANE_SIM_USER:-501:20}
  chown 0:0 "$root" "$root/Users" "$root/private" "$root/private/var" "$root/private/var/folders" \
            "$root/private/var/run" "$root/private/var/log" "$root/bin" "$root/usr" "$root/usr/bin"
  chmod 0755 "$root" "$root/Users" "$root/private" "$root/private/var" "$root/private/var/folders" \
             "$root/private/var/run" "$root/private/var/log" "$root/bin" "$root/usr" "$root/usr/bin"
  chown 0:80 "$root/Applications"
  chmod 0775 "$root/Applications"
  chmod 1777 "$root/private/tmp" "$root/private/var/run/hdiutil-sim"
  chown -R "$user" "$home" "$root/private/var/folders/zz"
  chmod 0750 "$home"
  chmod 0755 "$root/private/var/folders/zz"
  chmod 0700 "$tmp"
  # The folders above ROOT in the temporary folder must let the user through (a test's mkdtemp
  # folder is root's, 0700).
  top=$(readlink -f "${TMPDIR:-/tmp}")
  parent=$(dirname "$root")
  while [ "${parent#"$top"/}" != "$parent" ]; do
    chmod o+x "$parent"
    parent=$(dirname "$parent")
  done
fi
emit() {
  if [ "$plain" = 1 ]; then
    printf '%s=%s\n' "$1" "$2"
  else
    printf "export %s='%s'\n" "$1" "$(printf '%s' "$2" | sed "s/'/'\\\\''/g")"
  fi
}
emit CORVANE_SIM_ROOT "$root"
emit HOME "$home"
emit TMPDIR "$tmp"
emit PATH "$root/usr/bin:$PATH"
