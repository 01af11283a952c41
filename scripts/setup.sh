#!/usr/bin/env bash
# Installs every Debian 12 package that the build, the tests, the tools and the
# board sketch need. Non-interactive and safe to run again: when everything is
# there already it does nothing.
set -euo pipefail

packages=(
  build-essential cmake g++-multilib   # 32-bit x86 C++ toolchain
  libgtest-dev                         # GoogleTest sources, built here for 32-bit
  qemu-user                            # runs 32-bit programs where the kernel cannot
  binutils file
  pkgconf                              # the package's pkg-config files, checked by scripts/test.sh
  gcc-avr avr-libc arduino-core-avr    # the board sketch (board/build-sketch.sh)
  simavr libsimavr-dev libelf-dev pkg-config  # firmsim, the firmware emulator
  python3-pytest                       # the Python package's tests (python/)
  python3-venv                         # the Python package installed with pip into a venv (python/ tests)
  lintian dpkg-dev                     # the Debian package's check; Depends from the binaries (dpkg-shlibdeps)
  chromium chromium-driver             # the board page's tests, in a real headless browser
  python3-selenium                     # drives that browser from the page's tests
  python3-serial                       # the bare request the board object is measured against (scripts/bench.sh --board)
  ser2net socat                        # a board on another machine, tested over loopback
  libedit-dev libedit-dev:i386         # the shell's line editing, for both widths
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup: installing ${missing[*]}"
# The 32-bit shell's libraries (libedit-dev:i386) come from the i386
# architecture.
dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
$sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
