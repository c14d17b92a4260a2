#!/bin/bash
# Writes a sample device image of mixed content: in every 4 MiB, 2 MiB of
# random bytes, 1 MiB of zeros and 1 MiB of text, so that packing has both
# incompressible and compressible data to move.
#   scripts/make-sample-image.sh OUT [SIZE_MIB]     (default 64; a multiple of 4)
set -euo pipefail
if [ $# -lt 1 ]; then
  echo "usage: $0 OUT [SIZE_MIB]" >&2
  exit 2
fi
out=$1
size_mib=${2:-64}
if ! [[ "$size_mib" =~ ^[0-9]+$ ]] || [ "$size_mib" -lt 4 ] || [ $((size_mib % 4)) -ne 0 ]; then
  echo "$0: SIZE_MIB must be a multiple of 4, at least 4" >&2
  exit 2
fi
MiB=1048576
{
  for ((i = 0; i < size_mib / 4; i++)); do
    head -c $((2 * MiB)) /dev/urandom
    head -c $MiB /dev/zero
    head -c $MiB < <(yes "block $i: The quick brown fox jumps over the lazy dog 0123456789")
  done
} > "$out"
actual=$(stat -c %s "$out")
if [ "$actual" -ne $((size_mib * MiB)) ]; then
  echo "$0: wrote $actual bytes instead of $((size_mib * MiB))" >&2
  exit 1
fi
