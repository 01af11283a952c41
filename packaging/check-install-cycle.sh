#!/usr/bin/env bash
# Installs the Debian packages and purges them again, twice in a row, as
# root, and checks that each install works (its programs run with their
# manual pages, Debian's Python imports the module, a virtual environment
# does not see it), that removing keeps nothing in /etc, and that nothing
# is left under /usr or /etc after the purge. It changes the system for
# those seconds, so it runs only as root and never over packages of
# arduinodrv that are already installed.
# Usage: packaging/check-install-cycle.sh <package.deb...>
# Exit status: 0 ok, 1 a check failed, 77 skipped (not root, or installed).
set -uo pipefail
[ $# -ge 1 ] || { echo "usage: check-install-cycle.sh <package.deb...>" >&2; exit 2; }
debs=()
names=()
for deb in "$@"; do
  debs+=("$(realpath "$deb")")
  names+=("$(dpkg-deb -f "$deb" Package)")
done
if [ "$(id -u)" != 0 ]; then
  echo "skipped: installing needs root"; exit 77
fi
for name in "${names[@]}" arduinodrv; do
  if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q installed; then
    echo "skipped: $name is installed on this machine, and stays as it is"; exit 77
  fi
done
status=0
fail() { echo "FAIL: $*"; status=1; }
files() { find /usr /etc -xdev 2>/dev/null | sort; }

before=$(files)
for round in 1 2; do
  # The dependencies are those scripts/setup.sh installs: nothing to fetch.
  if ! out=$(apt-get install -y -q "${debs[@]}" 2>&1); then
    fail "install $round: $(tail -3 <<<"$out")"; break
  fi
  /usr/bin/portlist --help >/dev/null || fail "install $round: portlist --help failed"
  for program in portlist boardsim arduinodrv-shell firmsim; do
    [ -f "/usr/share/man/man1/$program.1.gz" ] || fail "install $round: no manual page for $program"
  done
  (cd / && /usr/bin/python3 -c 'import arduinodrv; arduinodrv.Board') ||
    fail "install $round: Debian's Python cannot import arduinodrv"
  # In a login shell, as a user's: nothing of the packages on its Python path.
  (cd / && env -i HOME=/nonexistent PATH=/usr/bin:/bin bash -lc '/usr/bin/python3 -m venv /tmp/arduinodrv-cycle-venv &&
      ! /tmp/arduinodrv-cycle-venv/bin/python -c "import arduinodrv"' >/dev/null 2>&1) ||
    fail "install $round: a virtual environment sees the system's arduinodrv"
  rm -rf /tmp/arduinodrv-cycle-venv
  if ! out=$(apt-get remove -y -q "${names[@]}" 2>&1); then
    fail "remove $round: $(tail -3 <<<"$out")"; break
  fi
  left=$(comm -13 <(echo "$before") <(files))
  [ -z "$left" ] || fail "remove $round left: $(head -5 <<<"$left")"
  if ! out=$(dpkg --purge "${names[@]}" 2>&1); then
    fail "purge $round: $(tail -3 <<<"$out")"; break
  fi
  left=$(comm -13 <(echo "$before") <(files))
  [ -z "$left" ] || fail "purge $round left: $(head -5 <<<"$left")"
done
[ $status -eq 0 ] && echo "ok: installed and purged twice, nothing left behind"
exit $status
