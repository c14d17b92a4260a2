#!/bin/bash
# TLS benchmark over loopback: random data (256 MiB by default) read by
# krimg acquire from krsd through krp:// and through krps:// with the pinned
# certificate, once with the suite the two ends agree by themselves and once
# with each suite of the daemon's ECDSA certificate forced (ssl-cipher=; the
# RSA suites have the same ciphers). Prints, best of RUNS runs (default 3;
# the rows take turns), MiB/s, the ratio to krp://, and the CPU seconds per
# GiB of krimg and of the daemon; the goal is krps/krp >= 0.8 for the agreed
# suite.
# Then the same against the ARMv7 daemon of the build (dev/armv7/krsd) under
# the user-mode emulator, with ARM_MIB (default 32) and the processor
# ARM_CPU (default cortex-a7: NEON, no AES instructions, as the devices):
# relative figures only, the device's processor is the real limit.
# Not part of CI.
#   bench/tls_bench.sh [SIZE_MIB]
#   RUNS=5 ARM_MIB=0 BUILD_DIR=build-release bench/tls_bench.sh
#   KRIMG=/other/krimg KRSD=/other/krsd bench/tls_bench.sh   (other builds)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SIZE_MIB=${1:-256}
RUNS=${RUNS:-3}
ARM_MIB=${ARM_MIB:-32}
ARM_CPU=${ARM_CPU:-cortex-a7}
BUILD="${BUILD_DIR:-build}"
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
if [ -z "${KRIMG:-}" ] || [ -z "${KRSD:-}" ]; then
  if [ ! -x "$BUILD/bin/krsd" ] || [ ! -x "$BUILD/bin/krimg" ]; then
    cmake -S . -B "$BUILD" -G Ninja >/dev/null
    cmake --build "$BUILD" --target krsd krimg
  fi
fi
KRIMG=${KRIMG:-$BUILD/bin/krimg}
KRSD=${KRSD:-$BUILD/bin/krsd}
ARM_KRSD=${ARM_KRSD:-$BUILD/lib/krii/dev/armv7/krsd}
SUITES=(ECDHE-ECDSA-AES128-GCM-SHA256 ECDHE-ECDSA-AES256-GCM-SHA384 ECDHE-ECDSA-CHACHA20-POLY1305)

WORK=$(mktemp -d "${TMPDIR:-/tmp}/krii-tlsbench-XXXXXX")
DAEMON=""
cleanup() {
  if [ -n "$DAEMON" ]; then kill "$DAEMON" 2>/dev/null || true; wait "$DAEMON" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

now() { date +%s.%N; }
# CPU seconds (user + system) of a running process.
cpu_of() { awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat"; }

# Starts daemon program $1 serving file $2 (environment: the rest, as
# NAME=VALUE); PORT, TLS_PORT, PIN.
start_daemon() {
  local program=$1 file=$2
  shift 2
  rm -f "$WORK/ports"
  env "$@" "$program" --listen 127.0.0.1 --port 0 --tls-port any --port-file "$WORK/ports" \
    --map "/dev/rdisk0s1s2=$file" --read-only -v 2> "$WORK/krsd.log" &
  DAEMON=$!
  for _ in $(seq 300); do grep -q '^tls-sha256 ' "$WORK/ports" 2>/dev/null && break; sleep 0.1; done
  grep -q '^tls-sha256 ' "$WORK/ports" || { echo "tls_bench: $program did not start" >&2; cat "$WORK/krsd.log" >&2; exit 1; }
  PORT=$(awk '$1 == "port" { print $2 }' "$WORK/ports")
  TLS_PORT=$(awk '$1 == "tls-port" { print $2 }' "$WORK/ports")
  PIN=$(awk '$1 == "tls-sha256" { print $2 }' "$WORK/ports")
}
stop_daemon() {
  kill "$DAEMON" 2>/dev/null || true
  wait "$DAEMON" 2>/dev/null || true
  DAEMON=""
}

# One acquisition of URL $1 whose image must have MD5 $2; its seconds and
# the CPU seconds of krimg and of the daemon in RUN_S, RUN_CLI, RUN_SRV.
acquire() {
  rm -f "$WORK"/image.dd*
  local c0 t0 t1 c1 got
  c0=$(cpu_of "$DAEMON")
  t0=$(now)
  /usr/bin/time -f "%U %S" -o "$WORK/krimg.time" \
    "$KRIMG" acquire --source "$1" --image "$WORK/image.dd" --restart 2> "$WORK/krimg.log"
  t1=$(now)
  c1=$(cpu_of "$DAEMON")
  got=$(sed -n 's/.*md5: \([0-9a-f]\{32\}\)$/\1/p' "$WORK/krimg.log" | tail -n 1)
  [ "$got" = "$2" ] || { echo "tls_bench: $1: MD5 $got, not $2" >&2; cat "$WORK/krimg.log" >&2; exit 1; }
  RUN_S=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
  RUN_CLI=$(awk '{ print $1 + $2 }' "$WORK/krimg.time")
  RUN_SRV=$(awk -v a="$c0" -v b="$c1" 'BEGIN { print b - a }')
}

# The table of daemon $1 (a title in $2, environment in the rest) serving
# $SIZE random MiB.
table() {
  local program=$1 title=$2
  shift 2
  local sample="$WORK/sample.$SIZE"
  [ -f "$sample" ] || head -c $((SIZE * 1048576)) /dev/urandom > "$sample"
  local want
  want=$(md5sum "$sample" | cut -d' ' -f1)
  start_daemon "$program" "$sample" "$@"
  local base="127.0.0.1:$PORT/dev/rdisk0s1s2" tls="127.0.0.1:$TLS_PORT/dev/rdisk0s1s2?ssl-sha256=$PIN"
  local names=("krp://" "krps:// agreed") urls=("krp://$base" "krps://$tls")
  local s
  for s in "${SUITES[@]}"; do
    names+=("krps:// $s")
    urls+=("krps://$tls&ssl-cipher=$s")
  done
  local -a best cli srv
  local i r
  for ((r = 0; r < RUNS; r++)); do
    for i in "${!urls[@]}"; do
      acquire "${urls[$i]}" "$want"
      if [ -z "${best[$i]:-}" ] || awk -v a="$RUN_S" -v b="${best[$i]}" 'BEGIN { exit !(a < b) }'; then
        best[$i]=$RUN_S cli[$i]=$RUN_CLI srv[$i]=$RUN_SRV
      fi
    done
  done
  # The suite the two ends agreed without ssl-cipher: the daemon's session line.
  local agreed
  agreed=$(grep -o 'TLSv1\.[23] [A-Z0-9-]*' "$WORK/krsd.log" | sort | uniq -c | sort -rn | head -n 1 | awk '{ print $3 }')
  stop_daemon
  echo
  echo "$title: $SIZE MiB of random data, best of $RUNS; agreed by themselves: $agreed"
  printf "%-46s %9s %9s %12s %12s\n" "" "MiB/s" "krps/krp" "krimg s/GiB" "krsd s/GiB"
  for i in "${!urls[@]}"; do
    awk -v n="${names[$i]}" -v size="$SIZE" -v t="${best[$i]}" -v t0="${best[0]}" -v c="${cli[$i]}" \
      -v d="${srv[$i]}" -v first="$i" 'BEGIN {
        gib = size / 1024
        ratio = first == 0 ? "-" : sprintf("%.2f", t0 / t)
        printf "%-46s %9.1f %9s %12.2f %12.2f\n", n, size / t, ratio, c / gib, d / gib }'
  done
  RATIO=$(awk -v a="${best[0]}" -v b="${best[1]}" 'BEGIN { printf "%.2f", a / b }')
}

SIZE=$SIZE_MIB
aes=no
grep -qw aes /proc/cpuinfo && grep -qw pclmulqdq /proc/cpuinfo && aes=yes
table "$KRSD" "krsd on this host ($(uname -m), AES instructions: $aes)"
echo "ratio krps/krp (agreed suite)  $RATIO   (goal >= 0.8)"

# e_machine 40 at byte 18: an ARM program, not the host build in its place.
if [ "$ARM_MIB" -gt 0 ]; then
  if [ "$(od -An -tu2 -j18 -N2 "$ARM_KRSD" 2>/dev/null | tr -d ' ')" != 40 ]; then
    echo "tls_bench: no ARMv7 daemon at $ARM_KRSD (a build with KRII_ARMV7=ON makes it)"
  elif ! scripts/arm-emulation.sh "$ARM_KRSD"; then
    echo "tls_bench: ARM programs do not run here (scripts/arm-emulation.sh)"
  else
    SIZE=$ARM_MIB
    table "$ARM_KRSD" "ARMv7 krsd under emulation (QEMU_CPU=$ARM_CPU)" QEMU_CPU="$ARM_CPU"
    echo "ratio krps/krp (agreed suite)  $RATIO   (emulated: relative only)"
  fi
fi
