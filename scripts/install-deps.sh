#!/bin/bash
# Installs the Debian packages that building and testing krii needs.
# Idempotent: only what is missing is installed.
set -euo pipefail

PACKAGES=(
  # build
  cmake ninja-build g++ pkg-config
  # libraries
  libwolfssl-dev liblz4-dev libgtest-dev
  # image hashes (MD5, SHA-256) and the report's JSON
  libssl-dev nlohmann-json3-dev
  # E01 images, and the tools that check them in the tests
  libewf-dev ewf-tools sleuthkit
  # the tests' device with bad sectors (a loop device over a FUSE file)
  libfuse3-dev
  # manual pages from the README, the Debian package and its test
  go-md2man groff-base dpkg-dev desktop-file-utils
  # dialog, and Qt's own texts in the examiner's language
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-translations-l10n
  # fuzzing and sanitizer runtimes
  clang-14 libclang-rt-14-dev
  # device deployment and the test host
  putty-tools openssh-server iproute2 util-linux procps psmisc
  # the ARMv7 device daemon: cross compiler (its armhf libraries come from
  # scripts/armhf-sysroot.sh) and the emulator the test host runs it with
  g++-arm-linux-gnueabihf qemu-user-static
  # screenshots of the dialog, Chinese text; the dialog's keys under a real
  # window manager with real key presses
  xvfb xauth fonts-wqy-microhei x11-apps imagemagick openbox xdotool
  # reference tools of the benchmarks and the demo
  netcat-openbsd coreutils openssh-client
  # the Windows build (scripts/win-build.sh) and its tests under Wine; the
  # dialog's there: Wine's own fonts (a Recommends of wine64) and the locale
  # sources for a Chinese code page
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix dpkg-dev wine64 googletest
  fonts-wine locales
  # the Windows bundle's installer
  nsis
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
