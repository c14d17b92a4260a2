#!/bin/bash
# Builds the fuzz targets with clang and runs each for a fixed number of
# runs, after replaying its kept regression inputs (fuzz/regress/<name>/).
#   scripts/fuzz.sh [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
RUNS="${1:-20000}"
BUILD=build-fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B "$BUILD" -G Ninja -DKRII_FUZZ=ON -DKRII_TESTS=OFF \
  -DKRII_GUI=OFF -DKRII_BENCH=OFF -DKRII_WERROR="${KRII_WERROR:-OFF}" \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
cmake --build "$BUILD" -j "$(nproc)"
shopt -s nullglob
for bin in "$BUILD"/fuzz/*_fuzz; do
  name="$(basename "$bin")"
  regress="fuzz/regress/$name"
  if [ -d "$regress" ] && [ -n "$(ls -A "$regress")" ]; then
    echo "fuzz: $name replays $regress"
    "$bin" "$regress"/*
  fi
  corpus="$BUILD/corpus/$name"
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/corpus/$name" ] && seeds=("fuzz/corpus/$name")
  echo "fuzz: $name, $RUNS runs"
  "$bin" -runs="$RUNS" -max_len=4096 -rss_limit_mb=2048 "$corpus" "${seeds[@]}"
done
echo "fuzz: all targets passed"
