#!/usr/bin/env bash
# Installs every Debian 12 package that the build, the tests, the tools and the
# board sketch need, and the board page's chart library from npm (at the
# version python/chart/package-lock.json names). Non-interactive and safe to
# run again: when everything is there already it does nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

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
  python3-wheel-whl                    # ... built offline there with the venv's setuptools (--no-build-isolation)
  lintian dpkg-dev                     # the Debian packages' check; Depends from the binaries (dpkg-shlibdeps)
  help2man                             # the programs' manual pages, from their --help
  chromium chromium-driver             # the board page's tests, in a real headless browser
  python3-selenium                     # drives that browser from the page's tests
  python3-serial                       # the Python package lists serial devices with it; the bare request of scripts/bench.sh --board
  ser2net socat                        # a board on another machine, tested over loopback
  libedit-dev libedit-dev:i386         # the shell's line editing, for both widths
)

# npm for the page's chart library, unless a Node.js with its own npm is there.
command -v npm >/dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
else
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "setup: installing ${missing[*]}"
  # The 32-bit shell's libraries (libedit-dev:i386) come from the i386
  # architecture.
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The page's plots (uPlot), from the npm registry at the locked version, into
# python/chart/node_modules: the build, pip install and the packages take it
# from there.
chart=python/chart
if cmp -s "$chart/package-lock.json" "$chart/node_modules/.installed-from-lock.json" 2>/dev/null &&
   [ -f "$chart/node_modules/uplot/dist/uPlot.iife.min.js" ]; then
  echo "setup: the chart library is present"
else
  echo "setup: installing the chart library (npm ci in $chart)"
  npm ci --prefix "$chart" --no-audit --no-fund --loglevel=error
  cp "$chart/package-lock.json" "$chart/node_modules/.installed-from-lock.json"
fi
