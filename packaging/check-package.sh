#!/usr/bin/env bash
# Checks the Debian packages as a user gets them: each one's metadata and
# contents, and that a host program built with the pkg-config files loads
# the libraries of both widths, from copies unpacked into a temporary folder
# (no install).
# Usage: packaging/check-package.sh <package folder> <ports...>
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: check-package.sh <folder of the .debs> <ports of the build...>" >&2; exit 2; }
folder=$1; shift
ports=("$@")
here=$(cd "$(dirname "$0")" && pwd)
status=0
fail() { echo "FAIL: $*"; status=1; }

# The packages, and what each must hold.
packages=(libarduinoboard1 lib32arduinoboard1 libarduinoboard-dev arduinodrv-tools python3-arduinodrv)
declare -A expected
expected[libarduinoboard1]="/usr/lib/x86_64-linux-gnu/libarduinoboard.so.1 /usr/lib/udev/rules.d/60-arduinodrv.rules
  /usr/share/arduinodrv/usb_ids.txt"
expected[lib32arduinoboard1]="/usr/lib32/libarduinoboard.so.1"
expected[libarduinoboard-dev]="/usr/include/arduinodrv.h /usr/include/arduinoboard.h /usr/lib/pkgconfig/arduinodrv.pc
  /usr/lib/x86_64-linux-gnu/pkgconfig/arduinoboard.pc /usr/lib/pkgconfig/arduinoboard32.pc
  /usr/lib/x86_64-linux-gnu/libarduinoboard.so /usr/lib32/libarduinoboard.so"
expected[arduinodrv-tools]="/usr/share/arduinodrv/arduinodrv_board.hex
  /usr/share/arduinodrv/arduinodrv_board/arduinodrv_board.ino"
expected[python3-arduinodrv]="/usr/lib/python3/dist-packages/arduinodrv/__init__.py
  /usr/lib/python3/dist-packages/arduinodrv/web/page/vendor/uPlot.iife.min.js"
for program in portlist boardsim arduinodrv-shell firmsim; do
  expected[arduinodrv-tools]+=" /usr/bin/$program /usr/share/man/man1/$program.1.gz"
done
for port in "${ports[@]}"; do
  expected[libarduinoboard1]+=" /usr/lib/arduinodrv/$port/libarduinodrv.so"
  expected[lib32arduinoboard1]+=" /usr/lib32/arduinodrv/$port/libarduinodrv.so"
  expected[libarduinoboard-dev]+=" /usr/lib/pkgconfig/arduinodrv-$port.pc /usr/lib/pkgconfig/arduinodrv32-$port.pc"
done

debs=()
for name in "${packages[@]}"; do
  found=("$folder/${name}"_*.deb)
  [ -f "${found[0]}" ] || { fail "no $name package in $folder"; continue; }
  deb=${found[0]}
  debs+=("$deb")
  info=$(dpkg-deb -I "$deb")
  field() { sed -n "s/^ $1: //p" <<<"$info"; }
  [ "$(field Package)" = "$name" ] || fail "$deb: package name $(field Package)"
  [ "$(field Source)" = arduinodrv ] || fail "$name: source $(field Source)"
  for f in Maintainer Section Description Version Architecture; do
    [ -n "$(field $f)" ] || fail "$name: no $f field"
  done
  contents=$(dpkg-deb -c "$deb" | sed 's/ -> .*//' | awk '{print $NF}' | sed 's|^\./|/|')
  for f in ${expected[$name]} /usr/share/doc/$name/copyright /usr/share/doc/$name/changelog.Debian.gz; do
    grep -qx -- "$f" <<<"$contents" || fail "$f is not in $name"
  done
  grep -q '^/etc/' <<<"$contents" && fail "$name installs in /etc: $(grep '^/etc/' <<<"$contents" | head -3)"
  case $name in
    libarduinoboard1)   grep -q 'libc6 ' <<<"$(field Depends)" || fail "$name does not depend on libc6: $(field Depends)"
                        grep -q 'i386' <<<"$(field Depends)" && fail "$name depends on 32-bit parts: $(field Depends)" ;;
    lib32arduinoboard1) grep -q 'libc6-i386' <<<"$(field Depends)" || fail "$name: no libc6-i386: $(field Depends)" ;;
    libarduinoboard-dev) grep -q 'lib32arduinoboard1' <<<"$(field Recommends)" ||
                          fail "$name does not recommend the 32-bit libraries: $(field Recommends)" ;;
    python3-arduinodrv) [ "$(field Architecture)" = all ] || fail "$name: architecture $(field Architecture)"
                        grep -q 'python3' <<<"$(field Depends)" || fail "$name: no python3 in $(field Depends)"
                        grep -q 'python3-serial' <<<"$(field Depends)" || fail "$name: no python3-serial in $(field Depends)" ;;
  esac
done
[ ${#debs[@]} -eq ${#packages[@]} ] || { echo "FAIL: packages missing"; exit 1; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
for deb in "${debs[@]}"; do dpkg -x "$deb" "$root"; done
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
export PKG_CONFIG_PATH="$root/usr/lib/x86_64-linux-gnu/pkgconfig:$root/usr/lib/pkgconfig"
for module in arduinodrv arduinodrv32; do
  host="$root/host-$module"
  # shellcheck disable=SC2046
  if ! gcc -Wall -Wextra -Werror "$example" -o "$host" \
       $(pkg-config --define-variable=prefix="$root/usr" --cflags --libs "$module"); then
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
       $(pkg-config --define-variable=prefix="$root/usr" --cflags --libs "$module"); then
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
[ $status -eq 0 ] && echo "ok: ${#debs[@]} packages (${packages[*]}); libraries of both widths load"
exit $status
