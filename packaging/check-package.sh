#!/usr/bin/env bash
# Checks the Debian package as a user gets it: its metadata and contents, and
# that a host program built with its pkg-config files loads its libraries of
# both widths, from a copy unpacked into a temporary folder (no install).
# Usage: packaging/check-package.sh <arduinodrv_*.deb> <ports...>
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: check-package.sh <package.deb> <ports of the build...>" >&2; exit 2; }
deb=$1; shift
ports=("$@")
here=$(cd "$(dirname "$0")" && pwd)
status=0
fail() { echo "FAIL: $*"; status=1; }

info=$(dpkg-deb -I "$deb")
field() { sed -n "s/^ $1: //p" <<<"$info"; }
[ "$(field Package)" = arduinodrv ] || fail "package name: $(field Package)"
[ "$(field Architecture)" = amd64 ] || fail "architecture: $(field Architecture)"
grep -q 'libc6' <<<"$(field Depends)" || fail "does not depend on libc6: $(field Depends)"
grep -q 'libc6-i386' <<<"$(field Depends) $(field Recommends)" || fail "no libc6-i386 for the 32-bit libraries"
for f in Maintainer Section Description Version; do
  [ -n "$(field $f)" ] || fail "no $f field"
done

# A symbolic link's line ends "path -> target": its path is the name.
contents=$(dpkg-deb -c "$deb" | awk '{print ($(NF-1) == "->") ? $(NF-2) : $NF}' | sed 's|^\./|/|')
expected=(/usr/include/arduinodrv.h /usr/lib/pkgconfig/arduinodrv.pc
          /usr/include/arduinoboard.h /usr/lib/pkgconfig/arduinoboard.pc /usr/lib/pkgconfig/arduinoboard32.pc
          /usr/lib/x86_64-linux-gnu/libarduinoboard.so.1 /usr/lib/x86_64-linux-gnu/libarduinoboard.so
          /usr/lib32/libarduinoboard.so.1 /usr/lib32/libarduinoboard.so
          /usr/lib/udev/rules.d/60-arduinodrv.rules
          /usr/bin/portlist /usr/bin/boardsim /usr/bin/arduinodrv-shell
          /usr/share/arduinodrv/arduinodrv_board.hex
          /usr/share/arduinodrv/arduinodrv_board/arduinodrv_board.ino
          /usr/lib/python3/dist-packages/arduinodrv/__init__.py)
for port in "${ports[@]}"; do
  expected+=(/usr/lib/arduinodrv/$port/libarduinodrv.so /usr/lib32/arduinodrv/$port/libarduinodrv.so
             /usr/lib/pkgconfig/arduinodrv-$port.pc /usr/lib/pkgconfig/arduinodrv32-$port.pc)
done
for f in "${expected[@]}"; do
  grep -qx -- "$f" <<<"$contents" || fail "$f is not in the package"
done

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
for port in "${ports[@]}"; do
  for lib in "$root/usr/lib/arduinodrv/$port/libarduinodrv.so" "$root/usr/lib32/arduinodrv/$port/libarduinodrv.so"; do
    "$here/../tests/exports/check_exports.sh" "$lib" "$here/../include/arduinodrv.h" >/dev/null ||
      fail "$lib: $("$here/../tests/exports/check_exports.sh" "$lib" "$here/../include/arduinodrv.h" | head -3)"
  done
done

for lib in "$root/usr/lib/x86_64-linux-gnu/libarduinoboard.so.1" "$root/usr/lib32/libarduinoboard.so.1"; do
  "$here/../tests/exports/check_exports.sh" "$lib" "$here/../driver/arduinoboard.list" >/dev/null ||
    fail "$lib: $("$here/../tests/exports/check_exports.sh" "$lib" "$here/../driver/arduinoboard.list" | head -3)"
done

# The README's host example, built as a user of the package builds it; the
# prefix of the unpacked copy stands in for /usr.
example="$here/../examples/host.c"
shown=$(sed 's/^\(.\)/    \1/' "$example")
if [[ $(<"$here/../README.md") != *"$shown"* ]]; then
  fail "README.md does not show examples/host.c as it is"
fi
export PKG_CONFIG_PATH="$root/usr/lib/pkgconfig"
for module in arduinodrv arduinodrv32; do
  host="$root/host-$module"
  # shellcheck disable=SC2046
  if ! gcc -Wall -Wextra -Werror "$example" -o "$host" \
       $(pkg-config --define-prefix --cflags --libs "$module"); then
    fail "the host example does not build with pkg-config $module"; continue
  fi
  runner=()
  [ $module = arduinodrv32 ] && runner=("$here/../scripts/run32")
  out=$("${runner[@]}" "$host" 2>&1) || fail "$module host exited with $?: $out"
  grep -qx 'Arduino' <<<"$out" || fail "$module host did not print the title: $out"
done
# The board object's example likewise, run without a board: it names the
# device it could not open. Unpacked, not installed: the loader is told where.
board_example="$here/../examples/board_host.c"
if [[ $(<"$here/../README.md") != *"$(sed 's/^\(.\)/    \1/' "$board_example")"* ]]; then
  fail "README.md does not show examples/board_host.c as it is"
fi
for module in arduinoboard arduinoboard32; do
  host="$root/host-$module"
  # shellcheck disable=SC2046
  if ! gcc -Wall -Wextra -Werror "$board_example" -o "$host" \
       $(pkg-config --define-prefix --cflags --libs "$module"); then
    fail "the board example does not build with pkg-config $module"; continue
  fi
  runner=()
  libs=$root/usr/lib/x86_64-linux-gnu
  [ $module = arduinoboard32 ] && { runner=("$here/../scripts/run32"); libs=$root/usr/lib32; }
  out=$(LD_LIBRARY_PATH=$libs "${runner[@]}" "$host" /nonexistent/ttyUSB0 2>&1) &&
    fail "$module example exited 0 without a board: $out"
  grep -qx 'no board: /nonexistent/ttyUSB0: No such file or directory' <<<"$out" ||
    fail "$module example did not say why there is no board: $out"
done
[ $status -eq 0 ] && echo "ok: $deb ($(wc -l <<<"$contents") entries; libraries of both widths load)"
exit $status
