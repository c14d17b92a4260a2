#!/bin/bash
# Latency benchmark: one mixed-content image (64 MiB by default) read through
# a delay proxy (bench/delay_proxy.cc: a fixed one-way delay in each
# direction, bandwidth not limited) at round trips of 0, 2, 10 and 20 ms,
#   krimg acquire through krp:// from krsd behind the proxy, and
#   nc | tee IMAGE | md5sum from an nc server behind the same proxy.
# Prints MiB/s of both and their ratio per round trip (best of RUNS runs each,
# default 3), krimg's peak resident memory, and krimg's peak resident memory
# imaging a 4 GiB source (sparse, to /dev/null) at the largest round trip.
# Then the salvage row: an 8 MiB image (SALVAGE_MIB) with one unreadable
# MiB (krsd --bad-range, from 1 MiB on) against the same image readable,
# both through the proxy at 20 ms (SALVAGE_RTT), and the ratio of the times.
# Then the long link: LONG_MIB (256) at LONG_RTT (100 ms), both ways.
# Goals: ratio >= 0.9 at 20 ms and on the long link; memory at most 64 MiB;
# salvage within 2x. Not part of CI.
#   bench/latency_bench.sh [SIZE_MIB]              (default 64)
#   RTTS="0 20" RUNS=5 BIG_GIB=0 SALVAGE_MIB=0 LONG_MIB=0 bench/latency_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SIZE_MIB=${1:-64}
RTTS=${RTTS:-0 2 10 20}
RUNS=${RUNS:-3}
BIG_GIB=${BIG_GIB:-4}
SALVAGE_MIB=${SALVAGE_MIB:-8}
SALVAGE_RTT=${SALVAGE_RTT:-20}
LONG_MIB=${LONG_MIB:-256}
LONG_RTT=${LONG_RTT:-100}
BUILD="${BUILD_DIR:-build}"
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac
BIN="$BUILD/bin"
PROXY="$BUILD/bench/krii_delay_proxy"
if [ ! -x "$BIN/krsd" ] || [ ! -x "$BIN/krimg" ] || [ ! -x "$PROXY" ]; then
  cmake -S . -B "$BUILD" -G Ninja >/dev/null
  cmake --build "$BUILD" --target krsd krimg krii_delay_proxy
fi
for tool in nc md5sum tee /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "latency_bench: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/krii-latbench-XXXXXX")
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

now() { date +%s.%N; }
rate() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / 1048576 / s }'; }
wait_file() { for _ in $(seq 100); do [ -s "$1" ] && return 0; sleep 0.1; done; return 1; }
# A delay proxy to 127.0.0.1:$1 with a one-way delay of $2 ms; its port in
# PROXY_PORT.
proxy() {
  local pf="$WORK/proxy.$1.$2"
  "$PROXY" --to "$1" --delay "$2" --port-file "$pf" > /dev/null &
  PIDS+=("$!")
  wait_file "$pf" || { echo "latency_bench: the proxy did not start" >&2; exit 1; }
  PROXY_PORT=$(awk '$1 == "port" { print $2 }' "$pf")
}
# A krsd serving $1 as /dev/rdisk0s1s2 with the further options $2...; its
# port in KSD_PORT.
serve() {
  local file=$1 pf="$WORK/ports.$RANDOM"
  shift
  "$BIN/krsd" --listen 127.0.0.1 --port 0 --tls-port 0 --port-file "$pf" \
    --map "/dev/rdisk0s1s2=$file" --read-only "$@" 2>/dev/null &
  PIDS+=("$!")
  wait_file "$pf" || { echo "latency_bench: krsd did not start" >&2; exit 1; }
  KSD_PORT=$(awk '$1 == "port" { print $2 }' "$pf")
}
# Runs krimg on source $1 into image $2; prints seconds and peak RSS in KiB.
krimg_run() {
  local t0 t1
  t0=$(now)
  /usr/bin/time -f "%M" -o "$WORK/krimg.rss" \
    "$BIN/krimg" acquire --source "$1" --image "$2" --restart 2> "$WORK/krimg.log"
  t1=$(now)
  echo "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }') $(cat "$WORK/krimg.rss")"
}

SAMPLE="$WORK/sample.img"
IMAGE="$WORK/image.dd"
BYTES=$((SIZE_MIB * 1048576))
echo "latency_bench: making a $SIZE_MIB MiB mixed-content image"
scripts/make-sample-image.sh "$SAMPLE" "$SIZE_MIB"
WANT=$(md5sum "$SAMPLE" | cut -d' ' -f1)
BIG="$WORK/big.img"
truncate -s "${BIG_GIB}G" "$BIG"

"$BIN/krsd" --listen 127.0.0.1 --port 0 --tls-port 0 --port-file "$WORK/ports" \
  --map "/dev/rdisk0s1s2=$SAMPLE" --map "/big=$BIG" --read-only 2>/dev/null &
PIDS+=("$!")
wait_file "$WORK/ports"
KPORT=$(awk '$1 == "port" { print $2 }' "$WORK/ports")
NPORT_FILE="$WORK/nc.port"
python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' > "$NPORT_FILE"
NPORT=$(cat "$NPORT_FILE")

printf "\n%-8s %12s %12s %8s %12s\n" "RTT ms" "krimg MiB/s" "nc MiB/s" "ratio" "krimg RSS"
LAST_KPROXY=
# One row: the file $1 ($2 bytes, served by krsd on port $3 as $4) at a round
# trip of $5 ms, krimg and nc each best of RUNS; the row's label is $6.
row() {
  local file=$1 bytes=$2 kport=$3 kpath=$4 rtt=$5 label=$6 want one_way kproxy nproxy best_k= best_n= rss=0
  want=$(md5sum "$file" | cut -d' ' -f1)
  one_way=$(awk -v r="$rtt" 'BEGIN { printf "%d", r / 2 }')
  proxy "$kport" "$one_way"
  kproxy=$PROXY_PORT
  proxy "$NPORT" "$one_way"
  nproxy=$PROXY_PORT
  LAST_KPROXY=$kproxy
  for _ in $(seq "$RUNS"); do
    rm -f "$IMAGE"
    read -r t r < <(krimg_run "krp://127.0.0.1:$kproxy$kpath" "$IMAGE")
    GOT=$(sed -n 's/.*md5: \([0-9a-f]\{32\}\)$/\1/p' "$WORK/krimg.log" | tail -n 1)
    [ "$GOT" = "$want" ] || { echo "latency_bench: krimg MD5 $GOT differs from $want" >&2; cat "$WORK/krimg.log" >&2; exit 1; }
    [ -z "$best_k" ] || awk -v a="$t" -v b="$best_k" 'BEGIN { exit !(a < b) }' && best_k=$t
    [ "$r" -gt "$rss" ] && rss=$r

    nc -N -l 127.0.0.1 "$NPORT" < "$file" &
    ncpid=$!
    for _ in $(seq 50); do ss -ltn | grep -q ":$NPORT " && break; sleep 0.05; done
    rm -f "$IMAGE"
    t0=$(now)
    GOT=$(nc 127.0.0.1 "$nproxy" < /dev/null | tee "$IMAGE" | md5sum | cut -d' ' -f1)
    t1=$(now)
    wait "$ncpid" 2>/dev/null || true
    [ "$GOT" = "$want" ] || { echo "latency_bench: nc MD5 $GOT differs from $want" >&2; exit 1; }
    t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
    [ -z "$best_n" ] || awk -v a="$t" -v b="$best_n" 'BEGIN { exit !(a < b) }' && best_n=$t
  done
  rk=$(rate "$bytes" "$best_k")
  rn=$(rate "$bytes" "$best_n")
  printf "%-8s %12s %12s %8.2f %9.1f MiB\n" "$label" "$rk" "$rn" \
    "$(awk -v k="$rk" -v n="$rn" 'BEGIN { print k / n }')" "$(awk -v r="$rss" 'BEGIN { print r / 1024 }')"
}
for rtt in $RTTS; do row "$SAMPLE" "$BYTES" "$KPORT" /dev/rdisk0s1s2 "$rtt" "$rtt"; done
BIG_KPROXY=$LAST_KPROXY
echo "(best of $RUNS runs each; $SIZE_MIB MiB; goal: ratio >= 0.9 at 20 ms)"
if [ "$LONG_MIB" -gt 0 ]; then
  LONG="$WORK/long.img"
  scripts/make-sample-image.sh "$LONG" "$LONG_MIB" > /dev/null
  serve "$LONG"
  row "$LONG" $((LONG_MIB * 1048576)) "$KSD_PORT" /dev/rdisk0s1s2 "$LONG_RTT" "$LONG_RTT"
  echo "($LONG_MIB MiB at $LONG_RTT ms, best of $RUNS runs each; goal: ratio >= 0.9)"
fi

if [ "$BIG_GIB" -gt 0 ]; then
  read -r t r < <(krimg_run "krp://127.0.0.1:$BIG_KPROXY/big" /dev/null)
  grep -q "镜像文件成功完成" "$WORK/krimg.log" || { echo "latency_bench: the $BIG_GIB GiB run failed" >&2; cat "$WORK/krimg.log" >&2; exit 1; }
  printf "krimg peak RSS imaging %s GiB at %s ms: %.1f MiB (%.1f s; goal < 64 MiB)\n" "$BIG_GIB" \
    "$(echo "$RTTS" | awk '{ print $NF }')" "$(awk -v r="$r" 'BEGIN { print r / 1024 }')" "$t"
fi

if [ "$SALVAGE_MIB" -gt 0 ]; then
  # The same bytes once readable and once with one MiB that every read of it
  # fails (errno 5), as a bad area of a disk; the image must hold zeros there.
  SMALL="$WORK/salvage.img"
  head -c $((SALVAGE_MIB * 1048576)) "$SAMPLE" > "$SMALL"
  BAD_OFF=1048576
  BAD_LEN=1048576
  cp "$SMALL" "$WORK/salvage.want"
  dd if=/dev/zero of="$WORK/salvage.want" bs=1M seek=1 count=1 conv=notrunc status=none
  WANT_CLEAN=$(md5sum "$SMALL" | cut -d' ' -f1)
  WANT_BAD=$(md5sum "$WORK/salvage.want" | cut -d' ' -f1)
  one_way=$(awk -v r="$SALVAGE_RTT" 'BEGIN { printf "%d", r / 2 }')
  serve "$SMALL"
  proxy "$KSD_PORT" "$one_way"
  clean_port=$PROXY_PORT
  serve "$SMALL" --bad-range "$BAD_OFF:$BAD_LEN"
  proxy "$KSD_PORT" "$one_way"
  bad_port=$PROXY_PORT
  best_c=; best_b=
  for _ in $(seq "$RUNS"); do
    for kind in clean bad; do
      port=$clean_port want=$WANT_CLEAN
      [ $kind = bad ] && port=$bad_port want=$WANT_BAD
      rm -f "$IMAGE"
      read -r t _ < <(krimg_run "krp://127.0.0.1:$port/dev/rdisk0s1s2" "$IMAGE")
      GOT=$(sed -n 's/.*md5: \([0-9a-f]\{32\}\)$/\1/p' "$WORK/krimg.log" | tail -n 1)
      [ "$GOT" = "$want" ] || { echo "latency_bench: salvage ($kind) MD5 $GOT differs from $want" >&2; cat "$WORK/krimg.log" >&2; exit 1; }
      if [ $kind = clean ]; then
        [ -z "$best_c" ] || awk -v a="$t" -v b="$best_c" 'BEGIN { exit !(a < b) }' && best_c=$t
      else
        [ -z "$best_b" ] || awk -v a="$t" -v b="$best_b" 'BEGIN { exit !(a < b) }' && best_b=$t
      fi
    done
  done
  printf "salvage at %s ms: %s MiB with 1 MiB unreadable %.2f s, readable %.2f s, ratio %.2f (best of %s; goal <= 2)\n" \
    "$SALVAGE_RTT" "$SALVAGE_MIB" "$best_b" "$best_c" "$(awk -v b="$best_b" -v c="$best_c" 'BEGIN { print b / c }')" "$RUNS"
fi
