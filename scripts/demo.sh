#!/usr/bin/env bash
# The demo: installs what is needed, builds, starts the board emulator on the
# device folder of the demo build of the library (build/demo/dev, so neither
# a board nor root is needed), and drives that build from a scripted console
# session. It ends by itself and leaves nothing running.
#
# Usage: scripts/demo.sh [--firmware] [--no-setup] [--no-build] [--build-dir DIR]
#   --firmware   run the sketch's own firmware on firmsim (an emulated chip)
#                instead of boardsim
#   --no-setup   skip scripts/setup.sh (the packages are there)
#   --no-build   use the build as it is (the tests run the demo this way)
#   --build-dir  the build folder (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."

firmware=0
setup=1
build=1
dir=build
while [ $# -gt 0 ]; do
  case $1 in
    --firmware) firmware=1 ;;
    --no-setup) setup=0 ;;
    --no-build) build=0 ;;
    --build-dir) dir=${2:?--build-dir needs a folder}; shift ;;
    -h|--help) sed -n '2,12s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "demo: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done

if [ $setup = 1 ]; then
  ./scripts/setup.sh
fi
if [ $build = 1 ]; then
  cmake -S . -B "$dir" >/dev/null
  cmake --build "$dir" -j "${JOBS:-2}"
fi

shell=$dir/bin/arduinodrv-shell
library=$dir/demo/lib/libarduinodrv.so
devices=$dir/demo/dev
link=$devices/ttyUSB0
if [ $firmware = 1 ]; then
  sim=$dir/bin/firmsim
  sim_name=firmsim
  image=$dir/board/sketch/arduinodrv_board.hex
  needs=("$shell" "$sim" "$library" "$image")
else
  sim=$dir/bin/boardsim
  sim_name=boardsim
  needs=("$shell" "$sim" "$library")
fi
log=$dir/demo/boardsim.log
sim_out=$dir/demo/$sim_name.out
control=$dir/demo/firmsim.in
for needed in "${needs[@]}"; do
  [ -e "$needed" ] || { echo "demo: $needed is missing: build first (without --no-build)" >&2; exit 1; }
done

if [ -t 1 ]; then
  heading() { printf '\n\033[1m== %s ==\033[0m\n' "$*"; }
else
  heading() { printf '\n== %s ==\n' "$*"; }
fi

# The same emulator, seen live in a browser through the Python package.
page_hint() {
  echo "      The board page: with the emulator running, PYTHONPATH=python python3 -m arduinodrv \\"
  echo "      --port $link serve, then open the address it prints"
}

# The emulator runs for the session only, whatever way the demo ends.
sim_pid=""
sweep_pid=""
stop_sim() {
  if [ -n "$sweep_pid" ]; then
    kill -TERM "$sweep_pid" 2>/dev/null || true
    wait "$sweep_pid" 2>/dev/null || true
    sweep_pid=""
  fi
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=""
  fi
}
trap stop_sim EXIT
trap 'exit 130' INT TERM

mkdir -p "$devices"
rm -f "$link" "$log"
if [ $firmware = 1 ]; then
  heading "Starting the firmware emulator: $image on an emulated ATmega328P"
  # Voltages in millivolts and levels; A0 and A1 are swept below through
  # firmsim's commands on its standard input.
  rm -f "$control"
  mkfifo "$control"
  "$sim" --link "$link" --analog 0=2500 --analog 1=1000 --analog 2=3300 --analog 3=500 \
    --analog 4=4000 --analog 5=5000 --digital 2=1 --digital 4=1 --digital 7=0 --digital 8=1 \
    "$image" <"$control" >"$sim_out" 2>&1 &
  sim_pid=$!
  exec 9>"$control"
  # A0 climbs and A1 falls by 0.1 V every 100 ms, round and round.
  (mv=0; while sleep 0.1; do
     mv=$(( (mv + 100) % 5100 )); echo "adc 0 $mv"; echo "adc 1 $(( 5000 - mv ))"
   done) >&9 2>/dev/null &
  sweep_pid=$!
else
  heading "Starting the board emulator"
  # Moving analog inputs, a blinking digital input, answers at the pace of a
  # real 9600-baud line.
  scripts/run32 "$sim" --link "$link" --pace --quiet --summary --log "$log" \
    --analog 0=sine:512:400:2s --analog 1=ramp:0:1023:3s --analog 2=noise:700:40 \
    --analog 3=sine:300:250:5s --analog 4=512 --analog 5=1023 \
    --digital 2=square:1s --digital 4=1 --digital 7=0 --digital 8=1 \
    >"$sim_out" 2>&1 &
  sim_pid=$!
fi
for _ in $(seq 100); do
  [ -L "$link" ] && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    cat "$sim_out" >&2
    echo "demo: the emulator did not start" >&2
    exit 1
  fi
  sleep 0.1
done
[ -L "$link" ] || { echo "demo: the emulator made no link $link" >&2; exit 1; }
echo "$sim_name answers on $(readlink "$link"), linked as $link,"
echo "the device that the demo build of the library opens ($library)."

heading "check: does the board answer? (arduinodrv-shell check)"
scripts/run32 "$shell" --library "$library" check "$link"

heading "A scripted session: arduinodrv-shell --library $library < script"
scripts/run32 "$shell" --library "$library" <<'SESSION'
echo -- title and description: plain, std and c forms --
titre; detail
stdtitre; stddetail
ctitre; cdetail

echo -- labels of every channel --
echo analog in:; nea 0; nea 1; nea 2; nea 3; nea 4; nea 5
echo volts:; nead 0; nead 1; nead 2; nead 3; nead 4; nead 5
echo digital in:; neb 0; neb 1; neb 2; neb 3
echo analog out:; nsa 0; nsa 1; nsa 2; nsa 3
echo volts:; nsad 0; nsad 1; nsad 2; nsad 3
echo digital out:; nsb 0; nsb 1; nsb 2; nsb 3

echo -- all analog inputs: label, raw reading, volts (twice: they move) --
nead 0; ea 0; ead 0
nead 1; ea 1; ead 1
nead 2; ea 2; ead 2
nead 3; ea 3; ead 3
nead 4; ea 4; ead 4
nead 5; ea 5; ead 5
echo again, through the cdecl and double forms:
nead 0; cea 0; eadouble 0
nead 1; cea 1; eadouble 1
nead 2; cea 2; eadouble 2
nead 3; cea 3; eadouble 3
nead 4; cea 4; eadouble 4
nead 5; cea 5; eadouble 5

echo -- digital inputs --
neb 0; eb 0
neb 1; eb 1
neb 2; eb 2
neb 3; eb 3

echo -- outputs: set (the result), then read back --
echo sb 0 1:; sb 0 1; rsb 0
echo sb 3 1:; sb 3 1; rsb 3
echo sa 0 255:; sa 0 255; rsa 0
echo sa 2 64:; csa 2 64; crsa 2
echo sad 1 2.5:; sad 1 2.5; rsad 1; rsa 1
echo stdsad 3 1.0 (traces itself):
stdsad 3 1.0

echo -- watch ead 0: a live plot at a terminal, plain lines otherwise --
watch ead 0 --every 100ms --count 30

echo -- record ead 1 --every 100ms --count 15: CSV, time in seconds and value --
record ead 1 --every 100ms --count 15
SESSION

stop_sim
exec 9>&-
heading "What the emulator saw"
if [ $firmware = 1 ]; then
  # The chip's own registers at the end: the outputs the session set.
  report=$(grep '^report ' "$sim_out" | tail -n 1)
  grep -v -e '^ok$' -e '^report ' "$sim_out" || true
  echo "$report"
  for field in d10=1 d13=1 pwm3=255 pwm5=128 pwm6=64 pwm9=51; do
    [[ " $report " == *" $field "* ]] || { echo "demo: the firmware did not end with $field" >&2; exit 1; }
  done
  echo
  echo "demo: done. Try it yourself: scripts/run32 $shell --library $library"
  echo "      (with firmsim running: $sim --link $link $image)"
  page_hint
  exit 0
fi
cat "$sim_out"
echo "Output commands in its log ($log):"
grep -E '^ *[0-9.]+ +S[AB]' "$log" || true

# The demo proves something only if the board really got the commands.
for line in SBA1 SBD1 SA3255 SA664 SA5128 SA951; do
  grep -q "$line" "$log" || { echo "demo: the emulator never received $line" >&2; exit 1; }
done
echo
echo "demo: done. Try it yourself: scripts/run32 $shell --library $library"
echo "      (with boardsim running: scripts/run32 $sim --link $link)"
page_hint
