#!/usr/bin/env bash
# Builds the reference sketch for ATmega328P boards (Uno, Nano) with Debian's
# AVR toolchain (gcc-avr, avr-libc) and Arduino core (arduino-core-avr), with
# the compiler settings of the core's platform description, into a hex file
# that avrdude flashes. Our own sources must compile without warnings.
#
# Usage: board/build-sketch.sh [build-folder]     (default: build-sketch)
# Environment: VARIANT=standard (Uno) or eightanaloginputs (Nano: A6, A7 too);
#              ARDUINO_AVR_DIR=<core folder> (default: Debian's).
# Leaves <build-folder>/arduinodrv_board.hex and .elf, and beside them
# arduinodrv_board_classic.hex and .elf: the same sketch built with
# ARDUINODRV_BOARD_CLASSIC, a board that knows only the driver's four commands
# (for the tests).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
sketch_dir="$here/arduinodrv_board"
out=${1:-$here/../build-sketch}
mkdir -p "$out"
out=$(cd "$out" && pwd)

avr_dir=${ARDUINO_AVR_DIR:-/usr/share/arduino/hardware/arduino/avr}
variant=${VARIANT:-standard}
core_dir="$avr_dir/cores/arduino"
variant_dir="$avr_dir/variants/$variant"

for tool in avr-gcc avr-g++ avr-gcc-ar avr-objcopy avr-size; do
  command -v "$tool" >/dev/null || { echo "build-sketch: $tool missing (scripts/setup.sh installs gcc-avr)" >&2; exit 1; }
done
[ -f "$core_dir/Arduino.h" ] || { echo "build-sketch: no Arduino AVR core at $core_dir (scripts/setup.sh installs arduino-core-avr)" >&2; exit 1; }
[ -f "$variant_dir/pins_arduino.h" ] || { echo "build-sketch: no variant $variant in $avr_dir/variants" >&2; exit 1; }

mcu=atmega328p
target=(-mmcu=$mcu -DF_CPU=16000000L -DARDUINO=10819 -DARDUINO_AVR_UNO -DARDUINO_ARCH_AVR)
includes=(-I"$core_dir" -I"$variant_dir")
c_flags=(-c -g -Os -std=gnu11 -ffunction-sections -fdata-sections -flto -fno-fat-lto-objects)
cpp_flags=(-c -g -Os -std=gnu++11 -fpermissive -fno-exceptions -ffunction-sections -fdata-sections
           -fno-threadsafe-statics -Wno-error=narrowing -flto)
s_flags=(-c -g -x assembler-with-cpp -flto)
# Ours: strict. The core is built as the IDE builds it, warnings off.
own_flags=(-Wall -Wextra -Werror)
# Debian's core (1.8.7) uses DECIMAL_DIG in C++, which the float.h of Debian's
# avr-gcc 5.4 defines for C99 only; give it the compiler's own value.
core_fix=(-DDECIMAL_DIG=__DECIMAL_DIG__)

rm -rf "$out/core" "$out/sketch"
mkdir -p "$out/core" "$out/sketch"

# The Arduino core, as a static library.
objects=()
for src in "$core_dir"/*.c "$core_dir"/*.cpp "$core_dir"/*.S; do
  [ -e "$src" ] || continue
  obj="$out/core/$(basename "$src").o"
  case "$src" in
    *.c)   avr-gcc "${c_flags[@]}" -w "${target[@]}" "${includes[@]}" "$src" -o "$obj" ;;
    *.cpp) avr-g++ "${cpp_flags[@]}" -w "${core_fix[@]}" "${target[@]}" "${includes[@]}" "$src" -o "$obj" ;;
    *.S)   avr-gcc "${s_flags[@]}" "${target[@]}" "${includes[@]}" "$src" -o "$obj" ;;
  esac
  objects+=("$obj")
done
rm -f "$out/core/core.a"
avr-gcc-ar rcs "$out/core/core.a" "${objects[@]}"

# The sketch: the .ino is C++ with Arduino.h in front, as the IDE compiles it,
# and every .cpp beside it (the command interpreter). Once as it is, once
# classic.
build_sketch() {  # <name> [extra compiler flags...]
  local name=$1
  shift
  local objects_dir="$out/sketch/$name"
  mkdir -p "$objects_dir"
  local sketch_objects=()
  avr-g++ "${cpp_flags[@]}" "${own_flags[@]}" "$@" "${target[@]}" "${includes[@]}" -I"$sketch_dir" \
    -x c++ -include Arduino.h "$sketch_dir/arduinodrv_board.ino" -o "$objects_dir/arduinodrv_board.ino.o"
  sketch_objects+=("$objects_dir/arduinodrv_board.ino.o")
  for src in "$sketch_dir"/*.cpp; do
    local obj
    obj="$objects_dir/$(basename "$src").o"
    avr-g++ "${cpp_flags[@]}" "${own_flags[@]}" "$@" "${target[@]}" "${includes[@]}" "$src" -o "$obj"
    sketch_objects+=("$obj")
  done

  local elf="$out/$name.elf"
  local hex="$out/$name.hex"
  avr-gcc -w -Os -g -flto -fuse-linker-plugin -Wl,--gc-sections -mmcu=$mcu -o "$elf" \
    "${sketch_objects[@]}" "$out/core/core.a" -L"$out" -lm
  avr-objcopy -O ihex -R .eeprom "$elf" "$hex"

  # The board's limits: 32256 bytes of flash beside the bootloader, 2048 of
  # RAM of which the stack needs a good part.
  local text data bss
  read -r text data bss < <(avr-size -A "$elf" | awk '$1==".text"{t=$2} $1==".data"{d=$2} $1==".bss"{b=$2} END{print t+0, d+0, b+0}')
  local flash=$((text + data))
  local ram=$((data + bss))
  echo "build-sketch: $hex (flash $flash of 32256 bytes, static RAM $ram of 2048 bytes)"
  if [ "$flash" -gt 32256 ] || [ "$ram" -gt 1536 ]; then
    echo "build-sketch: the sketch does not fit the board" >&2
    exit 1
  fi
}

build_sketch arduinodrv_board
build_sketch arduinodrv_board_classic -DARDUINODRV_BOARD_CLASSIC
