#!/usr/bin/env bash
# Installs the build tree into a fresh prefix and checks that the files a user
# looks for are there, identical to what the build made.
# Usage: check_install.sh <cmake> <build dir> <prefix> <installed path>=<source path>...
# (an empty source path checks only that the file is there)
set -euo pipefail
[ $# -ge 4 ] || { echo "usage: check_install.sh <cmake> <build dir> <prefix> <installed>=<source>..." >&2; exit 2; }
cmake=$1 build=$2 prefix=$3
shift 3
rm -rf "$prefix"
if ! "$cmake" --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1; then
  echo "FAIL: cmake --install failed:"; cat "$prefix.log"; exit 1
fi
status=0
for pair in "$@"; do
  installed=${pair%%=*} source=${pair#*=}
  if [ ! -f "$prefix/$installed" ]; then
    echo "FAIL: $installed is not installed"; status=1
  elif [ -n "$source" ] && ! cmp -s "$prefix/$installed" "$source"; then
    echo "FAIL: $installed differs from $source"; status=1
  else
    echo "ok: $installed"
  fi
done
exit $status
