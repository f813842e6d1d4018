#!/usr/bin/env bash
# The packaging script's team check, run as the script runs it: sourced for its functions, fed
# identity strings and a codesign report. Usage: signing_team_test.sh <repository>
set -uo pipefail
# shellcheck source=../../scripts/package-macos.sh
source "$1/scripts/package-macos.sh"

team=A1B2C3D4E5
failures=0
# expected status | identity
while IFS='|' read -r expected identity; do
  check_identity_team "$identity" "$team" 2>/dev/null
  status=$?
  if [ "$status" != "$expected" ]; then
    echo "FAILED: '$identity' gave $status, expected $expected"
    failures=$((failures + 1))
  fi
done <<TABLE
0|Developer ID Application: Corvane Software Ltd. (A1B2C3D4E5)
0|Developer ID Application: Name (With Parentheses) (A1B2C3D4E5)
1|Developer ID Application: Someone Else (Z9Y8X7W6V5)
1|Developer ID Application: Corvane Software Ltd. (a1b2c3d4e5)
1|Developer ID Application: Corvane Software Ltd. (A1B2C3D4E5) 
1|Developer ID Application: Corvane Software Ltd. (A1B2C3D4E)
1|Apple Development: Corvane Software Ltd. (A1B2C3D4E5)
1|Developer ID Installer: Corvane Software Ltd. (A1B2C3D4E5)
1|Developer ID Application: (A1B2C3D4E5)
1|0123456789ABCDEF0123456789ABCDEF01234567
1|-
1|
TABLE

report=$'Executable=/x/Setup.app/Contents/MacOS/Setup\nAuthority=Developer ID Application: Corvane Software Ltd. (A1B2C3D4E5)\nTeamIdentifier=A1B2C3D4E5\nSealed Resources version=2'
if [ "$(signed_team <<<"$report")" != "$team" ]; then
  echo "FAILED: signed_team did not read TeamIdentifier=$team"
  failures=$((failures + 1))
fi
if [ -n "$(signed_team <<<$'Signature=adhoc\nTeamIdentifier=not set' | grep -x "$team")" ]; then
  echo "FAILED: an ad-hoc signature read as team $team"
  failures=$((failures + 1))
fi
refusal=$(check_identity_team "Developer ID Application: Someone Else (Z9Y8X7W6V5)" "$team" 2>&1)
if [[ $refusal != *"team Z9Y8X7W6V5, not CORVANE_TEAM_ID $team"* ]]; then
  echo "FAILED: a foreign team's refusal does not name both teams"
  failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] && echo "signing team checks passed"
exit $((failures > 0))
