#!/bin/bash
# Installs what is missing, builds krii and runs every test.
#   scripts/test.sh                 build in ./build
#   BUILD_DIR=build-asan scripts/test.sh -DKRII_SANITIZE=ON
#   KRII_ARMV7=ON|OFF|AUTO          the device daemon's ARMv7 build: required,
#                                   the host build instead, or when possible
# Further arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
BUILD="${BUILD_DIR:-build}"
ARMV7="${KRII_ARMV7:-AUTO}"
# The cross build's armhf libraries, kept in the build folder once fetched.
SYSROOT=$(realpath -m "$BUILD/armhf-sysroot")
if [ "$ARMV7" != OFF ] && ! scripts/armhf-sysroot.sh "$SYSROOT"; then
  echo "test.sh: warning: no armhf sysroot; see the configuration's message" >&2
fi
cmake -S . -B "$BUILD" -G Ninja -DKRII_WERROR="${KRII_WERROR:-OFF}" -DKRII_ARMV7="$ARMV7" \
  -DKRII_ARMHF_SYSROOT="$SYSROOT" "$@"
cmake --build "$BUILD" -j "$(nproc)"
ctest --test-dir "$BUILD" --output-on-failure -j "$(nproc)" --timeout 600
