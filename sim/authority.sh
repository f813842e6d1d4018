#!/usr/bin/env bash
# The simulation's certificate authority, which stands for Apple's: an anchor ("Apple Root CA"),
# the Developer ID and the Worldwide Developer Relations intermediates, and the code-signing
# identities they issue. Real certificates and keys (openssl, EC P-256), so a signature made
# with any other key fails the chain check as it would on a Mac.
#   sim/authority.sh anchor                      prints the anchor certificate's path
#   sim/authority.sh identity TEAM [--development | --self-made]
#                                                prints two lines: the keychain folder that holds
#                                                an identity for TEAM (made on first use), and
#                                                the identity's name
#   sim/authority.sh install-anchor ROOT         puts the anchor certificate into a simulated root
# The authority lives in $CORVANE_SIM_AUTHORITY (default sim/.authority, made on first use, mode
# 0700): its keys never leave it, and only whoever builds test apps and images needs it. The
# setup under test reads only the anchor certificate that install-anchor copies into the root.
#
# Identities, as Apple issues them for a team:
#   (default)      "Developer ID Application: Corvane Test (TEAM)", from the Developer ID
#                  intermediate (marker 1.2.840.113635.100.6.2.6), leaf marker
#                  1.2.840.113635.100.6.1.13: what ships outside the App Store
#   --development  "Apple Development: Corvane Test (TEAM)", from the WWDR intermediate
#                  (1.2.840.113635.100.6.2.1), leaf marker 1.2.840.113635.100.6.1.12
#   --self-made    a Developer ID look-alike with the same names, markers and team, from a root
#                  of its own that no Mac trusts (kept in a keychain of its own, as on the
#                  forger's machine)
# The markers are non-critical here (Apple marks them critical), so that openssl's chain check
# stays strict about every other critical extension.
set -euo pipefail
usage() {
  echo "usage: $0 anchor | identity TEAM [--development | --self-made] | install-anchor ROOT" >&2
  exit 2
}
here=$(cd "$(dirname "$(readlink -f "$0")")" && pwd)
auth=${CORVANE_SIM_AUTHORITY:-$here/.authority}

cnf=""
openssl_req() {  # openssl_req KEY CERT SUBJECT [issuer CERT KEY] -- EXTENSIONS…
  local key=$1 cert=$2 subject=$3 signer=()
  shift 3
  if [ "$1" = issuer ]; then signer=(-CA "$2" -CAkey "$3"); shift 3; fi
  [ "$1" = -- ] && shift
  local ext=()
  for e in "$@"; do ext+=(-addext "$e"); done
  openssl req -config "$cnf" -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
    -keyout "$key" -out "$cert" -days 3650 -subj "$subject" "${signer[@]}" "${ext[@]}" \
    2>/dev/null
  chmod 600 "$key"
}

ca_ext=("basicConstraints=critical,CA:TRUE" "keyUsage=critical,keyCertSign,cRLSign")
leaf_ext=("basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature"
          "extendedKeyUsage=critical,codeSigning")
apple="/C=US/O=Apple Inc./OU=Apple Certification Authority"

# make_cas DIR: a root and the two intermediates in DIR.
make_cas() {
  local d=$1
  openssl_req "$d/anchor.key" "$d/anchor.pem" "$apple/CN=Apple Root CA" -- "${ca_ext[@]}"
  openssl_req "$d/devid-ca.key" "$d/devid-ca.pem" "$apple/CN=Developer ID Certification Authority" \
    issuer "$d/anchor.pem" "$d/anchor.key" -- "${ca_ext[@]}" "1.2.840.113635.100.6.2.6=DER:0500"
  openssl_req "$d/wwdr-ca.key" "$d/wwdr-ca.pem" \
    "$apple/CN=Apple Worldwide Developer Relations Certification Authority" \
    issuer "$d/anchor.pem" "$d/anchor.key" -- "${ca_ext[@]}" "1.2.840.113635.100.6.2.1=DER:0500"
}

# Everything below runs under one lock, so parallel builders make the authority once.
mkdir -p "$(dirname "$auth")"
exec 9> "$auth.lock"
flock 9
if [ ! -f "$auth/anchor.pem" ]; then
  new=$(mktemp -d "$auth.new.XXXXXX")
  cnf="$new/req.cnf"
  printf '[req]\ndistinguished_name = dn\nprompt = no\n[dn]\n' > "$cnf"
  make_cas "$new"
  mkdir -m 700 "$new/keychain" "$new/forger"
  chmod 700 "$new"
  rm -rf "$auth"
  mv "$new" "$auth"
fi
cnf="$auth/req.cnf"

[ $# -ge 1 ] || usage
case $1 in
  anchor) [ $# -eq 1 ] || usage; printf '%s\n' "$auth/anchor.pem" ;;
  install-anchor)
    [ $# -eq 2 ] || usage
    # Where the stand-in codesign looks for Apple's anchor: root's, readable by everyone.
    install -d -m 0755 "$2/System/Library/Security"
    install -m 0644 "$auth/anchor.pem" "$2/System/Library/Security/AppleAnchor.pem" ;;
  identity)
    [ $# -ge 2 ] && [[ $2 =~ ^[A-Za-z0-9]+$ ]] || usage
    team=$2 kind=${3:-}
    case $kind in
      "") prefix="Developer ID Application" ca=devid-ca leaf_marker=1.2.840.113635.100.6.1.13
          keychain=$auth/keychain ;;
      --development) prefix="Apple Development" ca=wwdr-ca leaf_marker=1.2.840.113635.100.6.1.12
          keychain=$auth/keychain ;;
      --self-made) prefix="Developer ID Application" ca=devid-ca leaf_marker=1.2.840.113635.100.6.1.13
          keychain=$auth/forger ;;
      *) usage ;;
    esac
    name="$prefix: Corvane Test ($team)"
    slug=$(printf '%s' "$name" | tr -c 'A-Za-z0-9' '-')
    if [ ! -f "$keychain/$slug.pem" ]; then
      cas=$auth
      if [ "$kind" = --self-made ]; then
        cas="$keychain/cas"
        [ -f "$cas/anchor.pem" ] || { mkdir -p -m 700 "$cas"; make_cas "$cas"; }
      fi
      openssl_req "$keychain/$slug.key" "$keychain/$slug.leaf" \
        "/UID=$team/CN=$name/OU=$team/O=Corvane Test/C=US" \
        issuer "$cas/$ca.pem" "$cas/$ca.key" -- "${leaf_ext[@]}" "$leaf_marker=DER:0500"
      # The identity's chain as a signature embeds it: its certificate, the intermediate, the root.
      cat "$keychain/$slug.leaf" "$cas/$ca.pem" "$cas/anchor.pem" > "$keychain/$slug.pem.tmp"
      rm -f "$keychain/$slug.leaf"
      printf '%s\n' "$name" > "$keychain/$slug.name"
      mv "$keychain/$slug.pem.tmp" "$keychain/$slug.pem"
    fi
    printf '%s\n%s\n' "$keychain" "$name" ;;
  *) usage ;;
esac
