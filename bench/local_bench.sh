#!/bin/bash
# krimg acquire of a local 512 MiB file with mixed content (random, zeros,
# text), which computes MD5 and SHA-256 and syncs the image before it
# reports success, against the physical limit measured in the same run on the
# same file: the slowest of the fastest MD5 (md5sum or openssl dgst -md5), the
# fastest SHA-256 (sha256sum or openssl dgst -sha256) and the copy by
# dd bs=1M conv=fsync. Each timing is the best of three runs, on a warm cache.
# Prints every throughput and the ratio krimg/limit (goal: at least 0.9).
# Then E01 (fast compression, MD5 + SHA-256 on both sides) beside raw and
# beside ewfacquire on the same file, when ewf-tools are installed (goal:
# krimg's E01 at least as fast as ewfacquire).
#   bench/local_bench.sh [BUILD_DIR]     (default: build)
# Needs about 1.1 GiB in ${TMPDIR:-/tmp} (TMPDIR=/dev/shm measures the copy
# without the disk). Not part of CI; run it on a quiet machine.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
KRIMG="$BUILD/bin/krimg"
[ -x "$KRIMG" ] || { echo "no $KRIMG: build the krimg target first" >&2; exit 1; }

WORK="$(mktemp -d "${TMPDIR:-/tmp}/krii-bench-XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
SRC="$WORK/source.bin"
IMG="$WORK/image.dd"
MIB=512
RUNS=3

# 128 MiB each of random bytes, zeros, text and random bytes again.
{
  head -c $((128 << 20)) /dev/urandom
  head -c $((128 << 20)) /dev/zero
  { yes "examiner notes: block copy of a raw data partition, line after line" || true; } |
    head -c $((128 << 20))
  head -c $((128 << 20)) /dev/urandom
} > "$SRC"
cat "$SRC" > /dev/null  # warm the cache for every command

now_ns() { date +%s%N; }
declare -A best
# time_best NAME COMMAND...: the best of RUNS runs, in ns, into best[NAME].
time_best() {
  local name=$1
  shift
  local run t0 t1
  for ((run = 0; run < RUNS; run++)); do
    rm -f "$IMG" "$IMG".*
    t0=$(now_ns)
    "$@"
    t1=$(now_ns)
    if [ -z "${best[$name]:-}" ] || [ $((t1 - t0)) -lt "${best[$name]}" ]; then
      best[$name]=$((t1 - t0))
    fi
  done
}

want_md5=$(md5sum "$SRC" | cut -d' ' -f1)
want_sha=$(sha256sum "$SRC" | cut -d' ' -f1)
time_best md5sum md5sum "$SRC" > /dev/null
time_best openssl_md5 openssl dgst -md5 "$SRC" > /dev/null
time_best sha256sum sha256sum "$SRC" > /dev/null
time_best openssl_sha256 openssl dgst -sha256 "$SRC" > /dev/null
time_best dd dd if="$SRC" of="$IMG" bs=1M conv=fsync status=none
time_best krimg "$KRIMG" acquire --source "$SRC" --image "$IMG" 2> "$WORK/krimg.log"

# The last krimg run's image and digests must be right.
got_md5=$(sed -n 's/.*md5: \([0-9a-f]\{32\}\)$/\1/p' "$WORK/krimg.log" | tail -1)
got_sha=$(sed -n 's/.*sha256: \([0-9a-f]\{64\}\)$/\1/p' "$WORK/krimg.log" | tail -1)
if [ "$got_md5" != "$want_md5" ] || [ "$got_sha" != "$want_sha" ]; then
  echo "digests differ: krimg $got_md5 $got_sha, reference $want_md5 $want_sha" >&2
  cat "$WORK/krimg.log" >&2
  exit 1
fi
cmp -s "$SRC" "$IMG" || { echo "image differs from the source" >&2; exit 1; }

awk -v mib=$MIB -v m1="${best[md5sum]}" -v m2="${best[openssl_md5]}" \
    -v s1="${best[sha256sum]}" -v s2="${best[openssl_sha256]}" -v dd="${best[dd]}" \
    -v kr="${best[krimg]}" 'function rate(ns) { return mib / (ns / 1e9) }
BEGIN {
  md5 = m1 < m2 ? m1 : m2; sha = s1 < s2 ? s1 : s2;
  limit = md5; if (sha > limit) limit = sha; if (dd > limit) limit = dd;
  printf "md5sum:                 %8.1f MiB/s\n", rate(m1);
  printf "openssl dgst -md5:      %8.1f MiB/s\n", rate(m2);
  printf "sha256sum:              %8.1f MiB/s\n", rate(s1);
  printf "openssl dgst -sha256:   %8.1f MiB/s\n", rate(s2);
  printf "dd bs=1M conv=fsync:    %8.1f MiB/s\n", rate(dd);
  printf "physical limit:         %8.1f MiB/s (the slowest of the fastest MD5, SHA-256 and dd)\n", rate(limit);
  printf "krimg (MD5 + SHA-256):  %8.1f MiB/s (%.2f s)\n", rate(kr), kr / 1e9;
  printf "ratio krimg/limit: %.2f (goal >= 0.9)\n", limit / kr;
}'

command -v ewfacquire > /dev/null || { echo "no ewfacquire (ewf-tools): E01 not compared"; exit 0; }
E01="$WORK/image.E01"
time_e01() {
  local name=$1
  shift
  local run t0 t1
  for ((run = 0; run < RUNS; run++)); do
    rm -f "$WORK"/image.E?? "$WORK"/image.E01.* "$WORK"/ref.E??
    t0=$(now_ns)
    "$@"
    t1=$(now_ns)
    if [ -z "${best[$name]:-}" ] || [ $((t1 - t0)) -lt "${best[$name]}" ]; then
      best[$name]=$((t1 - t0))
    fi
  done
}
time_e01 ewfacquire ewfacquire -u -q -t "$WORK/ref" -c deflate:fast -d sha256 -f encase6 -S 2GiB "$SRC" > /dev/null
time_e01 krimg_e01 "$KRIMG" acquire --source "$SRC" --image "$E01" --format e01 2> "$WORK/krimg_e01.log"
stored=$(ewfverify -q "$E01" | sed -n 's/^MD5 hash stored in file:[[:space:]]*//p')
[ "$stored" = "$want_md5" ] || { echo "E01 stored MD5 $stored, source $want_md5" >&2; exit 1; }
awk -v mib=$MIB -v kr="${best[krimg]}" -v ke="${best[krimg_e01]}" -v ea="${best[ewfacquire]}" \
    'function rate(ns) { return mib / (ns / 1e9) }
BEGIN {
  printf "krimg raw:              %8.1f MiB/s\n", rate(kr);
  printf "krimg E01 fast:         %8.1f MiB/s (%.2f s)\n", rate(ke), ke / 1e9;
  printf "ewfacquire fast:        %8.1f MiB/s (%.2f s)\n", rate(ea), ea / 1e9;
  printf "ratio E01/raw: %.2f; ratio krimg E01/ewfacquire: %.2f (goal >= 1)\n", kr / ke, ea / ke;
}'
