#!/bin/bash
# Network benchmark over loopback: one 512 MiB mixed-content image (random,
# zeros, text) read three ways into an image file with its MD5:
#   krimg acquire through krp:// (codec lz4) from krsd,
#   nc | tee IMAGE | md5sum,
#   ssh HOST dd | tee IMAGE | md5sum against an sshd started here on loopback
#   (its own host key and authorized key in a temporary folder).
# Prints the three throughputs, the ratios krimg/nc (goal >= 0.6) and
# krimg/ssh (goal >= 1.3), and the CPU time per GiB of krimg and of krsd.
# Needs root for sshd. Not part of CI.
#   bench/net_bench.sh [SIZE_MIB]      (default 512)
#   BUILD_DIR=build-release bench/net_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SIZE_MIB=${1:-512}
BUILD="${BUILD_DIR:-build}"
BIN="$ROOT/$BUILD/bin"
if [ ! -x "$BIN/krsd" ] || [ ! -x "$BIN/krimg" ]; then
  cmake -S . -B "$BUILD" -G Ninja >/dev/null
  cmake --build "$BUILD" --target krsd krimg
fi
for tool in nc ssh ssh-keygen /usr/sbin/sshd md5sum tee; do
  command -v "$tool" >/dev/null || { echo "net_bench: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/krii-netbench-XXXXXX")
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
now() { date +%s.%N; }
# CPU seconds (user + system) of a running process.
cpu_of() {
  awk -v hz="$(getconf CLK_TCK)" '{ print ($14 + $15) / hz }' "/proc/$1/stat"
}
rate() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / 1048576 / s }'; }

SAMPLE="$WORK/sample.img"
IMAGE="$WORK/image.dd"
BYTES=$((SIZE_MIB * 1048576))
echo "net_bench: making a $SIZE_MIB MiB mixed-content image"
scripts/make-sample-image.sh "$SAMPLE" "$SIZE_MIB"
WANT=$(md5sum "$SAMPLE" | cut -d' ' -f1)
cat "$SAMPLE" > /dev/null  # every run reads it from the page cache

# --- krimg through krsd ------------------------------------------------------
"$BIN/krsd" --listen 127.0.0.1 --port 0 --tls-port 0 --port-file "$WORK/ports" \
  --map "/dev/rdisk0s1s2=$SAMPLE" --read-only 2>/dev/null &
KRSD=$!
PIDS+=("$KRSD")
for _ in $(seq 100); do [ -s "$WORK/ports" ] && break; sleep 0.1; done
PORT=$(awk '$1 == "port" { print $2 }' "$WORK/ports")
rm -f "$IMAGE"
krsd_cpu0=$(cpu_of "$KRSD")
t0=$(now)
/usr/bin/time -f "%U %S" -o "$WORK/krimg.time" \
  "$BIN/krimg" acquire --source "krp://127.0.0.1:$PORT/dev/rdisk0s1s2?pack=lz4" \
  --image "$IMAGE" --restart 2> "$WORK/krimg.log"
t1=$(now)
krsd_cpu1=$(cpu_of "$KRSD")
GOT=$(sed -n 's/.*md5: \([0-9a-f]\{32\}\)$/\1/p' "$WORK/krimg.log" | tail -n 1)
[ "$GOT" = "$WANT" ] || { echo "net_bench: krimg MD5 $GOT differs from $WANT" >&2; cat "$WORK/krimg.log" >&2; exit 1; }
T_KRIMG=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')
KRIMG_CPU=$(awk '{ print $1 + $2 }' "$WORK/krimg.time")
KRSD_CPU=$(awk -v a="$krsd_cpu0" -v b="$krsd_cpu1" 'BEGIN { print b - a }')

# --- nc | tee | md5sum -------------------------------------------------------
NPORT=$(free_port)
nc -N -l 127.0.0.1 "$NPORT" < "$SAMPLE" &
PIDS+=("$!")
for _ in $(seq 50); do ss -ltn | grep -q ":$NPORT " && break; sleep 0.1; done
rm -f "$IMAGE"
t0=$(now)
GOT=$(nc 127.0.0.1 "$NPORT" < /dev/null | tee "$IMAGE" | md5sum | cut -d' ' -f1)
t1=$(now)
[ "$GOT" = "$WANT" ] || { echo "net_bench: nc MD5 $GOT differs from $WANT" >&2; exit 1; }
T_NC=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')

# --- ssh dd | tee | md5sum ---------------------------------------------------
SPORT=$(free_port)
mkdir -p /run/sshd  # privilege separation folder of sshd (a tmpfs path)
ssh-keygen -q -t ed25519 -N '' -f "$WORK/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$WORK/user_key"
cp "$WORK/user_key.pub" "$WORK/authorized_keys"
chmod 600 "$WORK/authorized_keys"
cat > "$WORK/sshd_config" <<EOF
Port $SPORT
ListenAddress 127.0.0.1
HostKey $WORK/host_key
AuthorizedKeysFile $WORK/authorized_keys
PidFile $WORK/sshd.pid
StrictModes no
UsePAM no
PermitRootLogin prohibit-password
PasswordAuthentication no
EOF
/usr/sbin/sshd -D -e -f "$WORK/sshd_config" 2> "$WORK/sshd.log" &
PIDS+=("$!")
for _ in $(seq 50); do ss -ltn | grep -q ":$SPORT " && break; sleep 0.1; done
rm -f "$IMAGE"
SSH=(ssh -i "$WORK/user_key" -p "$SPORT" -o BatchMode=yes -o StrictHostKeyChecking=no
     -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR "$(id -un)@127.0.0.1")
t0=$(now)
GOT=$("${SSH[@]}" "dd if=$SAMPLE bs=1M status=none" | tee "$IMAGE" | md5sum | cut -d' ' -f1)
t1=$(now)
[ "$GOT" = "$WANT" ] || { echo "net_bench: ssh MD5 $GOT differs from $WANT" >&2; cat "$WORK/sshd.log" >&2; exit 1; }
T_SSH=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')

# --- figures -----------------------------------------------------------------
R_KRIMG=$(rate "$BYTES" "$T_KRIMG")
R_NC=$(rate "$BYTES" "$T_NC")
R_SSH=$(rate "$BYTES" "$T_SSH")
GIB=$(awk -v b="$BYTES" 'BEGIN { print b / 1073741824 }')
echo
echo "image: $SIZE_MIB MiB mixed content, MD5 $WANT (all three runs)"
printf "krimg via krp:// (lz4)   %8s MiB/s   (%.2f s)\n" "$R_KRIMG" "$T_KRIMG"
printf "nc | tee | md5sum        %8s MiB/s   (%.2f s)\n" "$R_NC" "$T_NC"
printf "ssh dd | tee | md5sum    %8s MiB/s   (%.2f s)\n" "$R_SSH" "$T_SSH"
awk -v k="$R_KRIMG" -v n="$R_NC" -v s="$R_SSH" 'BEGIN {
  printf "ratio krimg/nc   %.2f   (goal >= 0.6)\n", k / n
  printf "ratio krimg/ssh  %.2f   (goal >= 1.3)\n", k / s }'
awk -v c="$KRIMG_CPU" -v d="$KRSD_CPU" -v g="$GIB" 'BEGIN {
  printf "CPU per GiB: krimg %.2f s, krsd %.2f s\n", c / g, d / g }'
