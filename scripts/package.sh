#!/bin/bash
# Builds the Debian package krii_<version>_<arch>.deb with CPack and prints
# its path.
#   scripts/package.sh                     configure and build in ./build-pkg
#   BUILD_DIR=build scripts/package.sh     package an existing build
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${BUILD_DIR:-build-pkg}"
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
  scripts/install-deps.sh >&2
  # The ARMv7 device daemon needs its armhf libraries (kept in the build).
  scripts/armhf-sysroot.sh "$(realpath -m "$BUILD/armhf-sysroot")" >&2 || true
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKRII_TESTS=OFF -DKRII_BENCH=OFF \
    -DKRII_WERROR="${KRII_WERROR:-OFF}" -DKRII_ARMV7="${KRII_ARMV7:-AUTO}" \
    -DKRII_ARMHF_SYSROOT="$(realpath -m "$BUILD/armhf-sysroot")" >&2
fi
# A package holds the examiner's programs: the dialog, no sanitizer runtime.
for want in KRII_GUI:BOOL=ON KRII_SANITIZE:BOOL=OFF KRII_TSAN:BOOL=OFF KRII_MAN:BOOL=ON; do
  if ! grep -qx "$want" "$BUILD/CMakeCache.txt"; then
    echo "package: $BUILD is not configured with ${want/:BOOL/}" >&2
    exit 1
  fi
done
cmake --build "$BUILD" -j "$(nproc)" >&2
rm -f "$BUILD"/krii_*.deb
(cd "$BUILD" && cpack -G DEB) >&2
ls "$PWD/$BUILD"/krii_*.deb
