#!/usr/bin/env bash
# Checks what a build of the library shows to the dynamic loader: it must
# export exactly the functions of its list, nothing of the C++ runtime it
# carries inside, and depend on the C library alone. The list is a file of
# names (one a line, # for comments) or the public header itself, whose
# declarations are the 71 exports' one list.
# Usage: check_exports.sh <library> <list or header>
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: check_exports.sh <library> <list>" >&2; exit 2; }
lib=$1 list=$2
status=0

if [[ $list == *.h ]]; then
  expected=$(sed -n 's/^ARDUINODRV_\(STD\|C\)([^)]*) \([a-z]*\)(.*/\2/p' "$list" | sort)
else
  expected=$(grep -v -e '^#' -e '^$' "$list" | sort)
fi
symbols=$(nm -D --defined-only "$lib")
actual=$(awk '{print $NF}' <<<"$symbols" | sort)
if [ "$actual" != "$expected" ]; then
  echo "FAIL: exported names differ from $list (< expected, > exported):"
  diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' || true
  status=1
fi
# Every export is code: a data symbol or a weak one would be a leak of
# something internal.
not_code=$(awk '$(NF-1) != "T" {print}' <<<"$symbols")
if [ -n "$not_code" ]; then
  echo "FAIL: exported symbols that are not plain functions:"
  echo "$not_code"
  status=1
fi

needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort)
for n in $needed; do
  case $n in
    # The dynamic loader comes with the C library: the unwinder and
    # thread-local storage of the built-in C++ runtime need it.
    libc.so.6|ld-linux.so.2|ld-linux-x86-64.so.2) ;;
    *) echo "FAIL: depends on $n (only libc.so.6 and the dynamic loader are allowed)"; status=1 ;;
  esac
done
grep -qx 'libc.so.6' <<<"$needed" || { echo "FAIL: libc.so.6 is not among the dependencies: $needed"; status=1; }

count=$(wc -l <<<"$actual")
[ $status -eq 0 ] && echo "ok: $lib exports $count functions, needs: $(echo $needed)"
exit $status
