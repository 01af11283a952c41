#!/usr/bin/env bash
# Installs the Debian package and purges it again, twice in a row, as root,
# and checks that each install works (its programs run, Python imports it)
# and that nothing of it is left under /usr or /etc afterwards. It changes
# the system for those seconds, so it runs only as root and never over an
# arduinodrv that is already installed.
# Usage: packaging/check-install-cycle.sh <arduinodrv_*.deb>
# Exit status: 0 ok, 1 a check failed, 77 skipped (not root, or installed).
set -uo pipefail
[ $# -eq 1 ] || { echo "usage: check-install-cycle.sh <package.deb>" >&2; exit 2; }
deb=$(realpath "$1")
if [ "$(id -u)" != 0 ]; then
  echo "skipped: installing needs root"; exit 77
fi
if dpkg-query -W -f='${Status}' arduinodrv 2>/dev/null | grep -q installed; then
  echo "skipped: arduinodrv is installed on this machine, and stays as it is"; exit 77
fi
status=0
fail() { echo "FAIL: $*"; status=1; }
files() { find /usr /etc -xdev 2>/dev/null | sort; }

before=$(files)
for round in 1 2; do
  # The dependencies are those scripts/setup.sh installs: nothing to fetch.
  if ! out=$(apt-get install -y -q "$deb" 2>&1); then
    fail "install $round: $(tail -3 <<<"$out")"; break
  fi
  /usr/bin/portlist --help >/dev/null || fail "install $round: portlist --help failed"
  (cd / && /usr/bin/python3 -c 'import arduinodrv') || fail "install $round: Debian's Python cannot import arduinodrv"
  if ! out=$(apt-get remove -y -q --purge arduinodrv 2>&1); then
    fail "purge $round: $(tail -3 <<<"$out")"; break
  fi
  left=$(comm -13 <(echo "$before") <(files))
  [ -z "$left" ] || fail "purge $round left: $(head -5 <<<"$left")"
done
[ $status -eq 0 ] && echo "ok: installed and purged twice, nothing left behind"
exit $status
