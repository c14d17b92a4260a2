#!/bin/bash
# Installs what is missing, builds krii and runs every test.
#   scripts/test.sh                 build in ./build
#   BUILD_DIR=build-asan scripts/test.sh -DKRII_SANITIZE=ON
# Further arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
BUILD="${BUILD_DIR:-build}"
cmake -S . -B "$BUILD" -G Ninja -DKRII_WERROR="${KRII_WERROR:-OFF}" "$@"
cmake --build "$BUILD" -j "$(nproc)"
ctest --test-dir "$BUILD" --output-on-failure -j "$(nproc)" --timeout 600
