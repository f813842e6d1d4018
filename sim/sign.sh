#!/usr/bin/env bash
# Signs an app bundle or a file with the codesign stand-in, as a release engineer signs with an
# identity from the keychain:
#   sim/sign.sh PATH TEAM [--development | --self-made]
# The identity is the one sim/authority.sh issues to TEAM (made on first use): Developer ID by
# default, an Apple Development one, or a self-made look-alike from a root no Mac trusts.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 PATH TEAM [--development | --self-made]" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
{ IFS= read -r keychain; IFS= read -r name; } < <(bash "$here/authority.sh" identity "$2" "${@:3}")
[ -n "${name:-}" ] || { echo "sign: no identity for team $2" >&2; exit 1; }
CORVANE_SIM_KEYCHAIN=$keychain bash "$here/bin/codesign" --force -s "$name" "$1"
