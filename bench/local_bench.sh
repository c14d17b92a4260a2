#!/bin/bash
# krimg acquire of a local 512 MiB file with mixed content (random, zeros,
# text), which computes MD5 and SHA-256 and syncs the image before it
# reports success, against the physical limit measured in the same run on the
# same file: the slowest of the fastest MD5 (md5sum or openssl dgst -md5), the
# fastest SHA-256 (sha256sum or openssl dgst -sha256) and the copy by
# dd bs=1M conv=fsync. Then the imagers examiners use, on the same file with
# MD5 and SHA-256 and their output on the same disk: dc3dd, dcfldd and
# ewfacquire (no compression, one segment), each without and with a sync of
# its output afterwards (krimg always syncs); Debian's dc3dd, dcfldd and
# ewf-tools are installed when missing (as root).
# Every command runs RUNS times (default 3), the commands taking turns, on a
# warm cache; each figure is the median of its runs. Prints every throughput,
# the ratio krimg/limit of each round and their median (goal: at least 0.9),
# and the ratio krimg/imager for each imager. Then E01 (fast compression,
# MD5 + SHA-256 on both sides) beside raw and beside ewfacquire, RUNS runs
# each, when ewfacquire is there (goal: krimg's E01 at least as fast as
# ewfacquire).
#   bench/local_bench.sh [BUILD_DIR]     (default: build)
#   RUNS=5 IMAGERS=0 bench/local_bench.sh   (IMAGERS=0: krimg and the limit only)
# Needs about 1.1 GiB in ${TMPDIR:-/tmp} (TMPDIR=/dev/shm measures the copy
# without the disk). Not part of CI; run it on a quiet machine.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
KRIMG="$BUILD/bin/krimg"
RUNS=${RUNS:-3}
IMAGERS=${IMAGERS:-1}
[ -x "$KRIMG" ] || { echo "no $KRIMG: build the krimg target first" >&2; exit 1; }

if [ "$IMAGERS" = 1 ]; then
  missing=()
  command -v dc3dd >/dev/null || missing+=(dc3dd)
  command -v dcfldd >/dev/null || missing+=(dcfldd)
  command -v ewfacquire >/dev/null || missing+=(ewf-tools)
  if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" != 0 ]; then
      echo "local_bench: ${missing[*]} missing; install them as root (apt-get install ${missing[*]}) or run with IMAGERS=0" >&2
      exit 1
    fi
    echo "local_bench: installing ${missing[*]}" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null ||
      { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null; }
  fi
fi

WORK="$(mktemp -d "${TMPDIR:-/tmp}/krii-bench-XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
SRC="$WORK/source.bin"
IMG="$WORK/image.dd"
EWF="$WORK/image"  # ewfacquire adds .E01
MIB=512

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
declare -A times  # NAME -> the times of its runs in ns, space-separated
declare -a names
# time_run NAME COMMAND...: one run of COMMAND, its time added to times[NAME].
time_run() {
  local name=$1
  shift
  local t0 t1
  rm -f "$IMG" "$IMG".* "$EWF".* "$WORK"/ref.E??
  [ -n "${times[$name]+set}" ] || names+=("$name")
  t0=$(now_ns)
  "$@"
  t1=$(now_ns)
  times[$name]+="$((t1 - t0)) "
}
median() { tr ' ' '\n' | sed '/^$/d' | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }'; }

# The imagers with MD5 and SHA-256 and their output on the same disk, each
# as examiners run it: a tool without a block size of its own keeps its default.
run_dc3dd() { dc3dd if="$SRC" of="$IMG" hash=md5 hash=sha256 log="$WORK/dc3dd.log" 2>/dev/null; }
run_dcfldd() { dcfldd if="$SRC" of="$IMG" hash=md5,sha256 hashlog="$WORK/dcfldd.log" status=off 2>/dev/null; }
# Closest to a raw image: no compression, one segment for the whole file.
run_ewfacquire() {
  ewfacquire -u -q -c none -d sha256 -S 1T -l "$WORK/ewf.log" -t "$EWF" "$SRC" >/dev/null 2>&1
}
# The imager, then a sync of what it wrote (sync FILE: an fsync of each).
synced() {
  "$@"
  local f out=()
  for f in "$IMG" "$EWF".E01; do if [ -e "$f" ]; then out+=("$f"); fi; done
  sync "${out[@]}"
}

want_md5=$(md5sum "$SRC" | cut -d' ' -f1)
want_sha=$(sha256sum "$SRC" | cut -d' ' -f1)
ratios=()
for ((run = 0; run < RUNS; run++)); do
  time_run md5sum md5sum "$SRC" > /dev/null
  time_run openssl_md5 openssl dgst -md5 "$SRC" > /dev/null
  time_run sha256sum sha256sum "$SRC" > /dev/null
  time_run openssl_sha256 openssl dgst -sha256 "$SRC" > /dev/null
  time_run dd dd if="$SRC" of="$IMG" bs=1M conv=fsync status=none
  time_run krimg "$KRIMG" acquire --source "$SRC" --image "$IMG" 2> "$WORK/krimg.log"
  # The krimg run's image and digests must be right.
  got_md5=$(sed -n 's/.*md5: \([0-9a-f]\{32\}\)$/\1/p' "$WORK/krimg.log" | tail -1)
  got_sha=$(sed -n 's/.*sha256: \([0-9a-f]\{64\}\)$/\1/p' "$WORK/krimg.log" | tail -1)
  if [ "$got_md5" != "$want_md5" ] || [ "$got_sha" != "$want_sha" ]; then
    echo "digests differ: krimg $got_md5 $got_sha, reference $want_md5 $want_sha" >&2
    cat "$WORK/krimg.log" >&2
    exit 1
  fi
  cmp -s "$SRC" "$IMG" || { echo "image differs from the source" >&2; exit 1; }
  # This round's ratio, from this round's runs.
  ratios+=("$(for n in md5sum openssl_md5 sha256sum openssl_sha256 dd krimg; do
    echo "${times[$n]}" | awk '{ print $NF }'
  done | xargs | awk '{ md5 = $1 < $2 ? $1 : $2; sha = $3 < $4 ? $3 : $4; lim = md5 > sha ? md5 : sha;
    if ($5 > lim) lim = $5; printf "%.2f", lim / $6 }')")
  if [ "$IMAGERS" = 1 ]; then
    time_run dc3dd run_dc3dd
    time_run dc3dd_sync synced run_dc3dd
    time_run dcfldd run_dcfldd
    time_run dcfldd_sync synced run_dcfldd
    time_run ewfacquire run_ewfacquire
    time_run ewfacquire_sync synced run_ewfacquire
  fi
done

declare -A med
for n in "${names[@]}"; do med[$n]=$(echo "${times[$n]}" | median); done
rate() { awk -v mib=$MIB -v ns="$1" 'BEGIN { printf "%8.1f MiB/s", mib / (ns / 1e9) }'; }
md5=$((med[md5sum] < med[openssl_md5] ? med[md5sum] : med[openssl_md5]))
sha=$((med[sha256sum] < med[openssl_sha256] ? med[sha256sum] : med[openssl_sha256]))
limit=$((md5 > sha ? md5 : sha))
limit=$((med[dd] > limit ? med[dd] : limit))
kr=${med[krimg]}

echo "median of $RUNS runs each, 512 MiB, warm cache:"
printf "md5sum:                 %s\n" "$(rate "${med[md5sum]}")"
printf "openssl dgst -md5:      %s\n" "$(rate "${med[openssl_md5]}")"
printf "sha256sum:              %s\n" "$(rate "${med[sha256sum]}")"
printf "openssl dgst -sha256:   %s\n" "$(rate "${med[openssl_sha256]}")"
printf "dd bs=1M conv=fsync:    %s\n" "$(rate "${med[dd]}")"
printf "physical limit:         %s (the slowest of the fastest MD5, SHA-256 and dd)\n" "$(rate "$limit")"
printf "krimg (MD5 + SHA-256):  %s (%s s)\n" "$(rate "$kr")" "$(awk -v ns="$kr" 'BEGIN { printf "%.2f", ns / 1e9 }')"
printf "ratio krimg/limit: %s (medians); per run: %s; median of the runs: %s (goal >= 0.9)\n" \
  "$(awk -v l="$limit" -v k="$kr" 'BEGIN { printf "%.2f", l / k }')" "${ratios[*]}" \
  "$(printf '%s ' "${ratios[@]}" | median)"

if [ "$IMAGERS" = 1 ]; then
  echo
  echo "imagers, MD5 + SHA-256, image on the same disk (krimg syncs its image in both columns):"
  echo "| imager | MiB/s | krimg / imager | MiB/s, then sync | krimg / (imager + sync) |"
  echo "|---|---|---|---|---|"
  for n in dc3dd dcfldd ewfacquire; do
    awk -v mib=$MIB -v n="$n" -v a="${med[$n]}" -v s="${med[${n}_sync]}" -v k="$kr" 'BEGIN {
      printf "| %s | %.1f | %.2f | %.1f | %.2f |\n", n, mib / (a / 1e9), a / k, mib / (s / 1e9), s / k }'
  done
  printf "| krimg | %.1f | 1.00 | %.1f | 1.00 |\n" "$(awk -v mib=$MIB -v k="$kr" 'BEGIN { print mib / (k / 1e9) }')" \
    "$(awk -v mib=$MIB -v k="$kr" 'BEGIN { print mib / (k / 1e9) }')"
fi

command -v ewfacquire > /dev/null || { echo "no ewfacquire (ewf-tools): E01 not compared"; exit 0; }
E01="$WORK/image.E01"
for ((run = 0; run < RUNS; run++)); do
  time_run ewfacquire_fast ewfacquire -u -q -t "$WORK/ref" -c deflate:fast -d sha256 -f encase6 -S 2GiB "$SRC" > /dev/null
  time_run krimg_e01 "$KRIMG" acquire --source "$SRC" --image "$E01" --format e01 2> "$WORK/krimg_e01.log"
  stored=$(ewfverify -q "$E01" | sed -n 's/^MD5 hash stored in file:[[:space:]]*//p')
  [ "$stored" = "$want_md5" ] || { echo "E01 stored MD5 $stored, source $want_md5" >&2; exit 1; }
done
ke=$(echo "${times[krimg_e01]}" | median)
ea=$(echo "${times[ewfacquire_fast]}" | median)
echo
awk -v mib=$MIB -v kr="$kr" -v ke="$ke" -v ea="$ea" 'function rate(ns) { return mib / (ns / 1e9) }
BEGIN {
  printf "krimg raw:              %8.1f MiB/s\n", rate(kr);
  printf "krimg E01 fast:         %8.1f MiB/s (%.2f s)\n", rate(ke), ke / 1e9;
  printf "ewfacquire fast:        %8.1f MiB/s (%.2f s)\n", rate(ea), ea / 1e9;
  printf "ratio E01/raw: %.2f; ratio krimg E01/ewfacquire: %.2f (goal >= 1)\n", kr / ke, ea / ke;
}'
