#!/bin/bash
# The whole acquisition on one machine: installs what is missing, builds
# krsd and krimg in build/, makes a sample device image, serves it on
# loopback as /dev/rdisk0s1s2 with the daemon delivered to devices (the
# ARMv7 dev/armv7/krsd, through the user-mode emulator; where that cannot
# run here, the host build, saying why), images it with krimg over krp://,
# and compares the MD5 that krimg logs with md5sum of the sample.
# Exits 0 only when they match and the image is byte-for-byte the sample.
#   scripts/demo.sh                  64 MiB sample
#   DEMO_SIZE_MIB=256 scripts/demo.sh
#   DEMO_KEEP=1 scripts/demo.sh      keep the work folder
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

scripts/install-deps.sh
BUILD="${BUILD_DIR:-build}"
cmake -S . -B "$BUILD" -G Ninja -DKRII_WERROR="${KRII_WERROR:-OFF}" >/dev/null
cmake --build "$BUILD" --target krsd krsd_device krimg -j "$(nproc)"
BIN="$ROOT/$BUILD/bin"
DEVICE_DAEMON="$ROOT/$BUILD/lib/krii/dev/armv7/krsd"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/krii-demo-XXXXXX")
KRSD_PID=""
cleanup() {
  if [ -n "$KRSD_PID" ]; then
    kill "$KRSD_PID" 2>/dev/null || true
    wait "$KRSD_PID" 2>/dev/null || true
  fi
  if [ "${DEMO_KEEP:-0}" = 1 ]; then
    echo "demo: work folder kept: $WORK"
  else
    rm -rf "$WORK"
  fi
}
trap cleanup EXIT

SAMPLE="$WORK/sample.img"
IMAGE="$WORK/image.dd"
SIZE_MIB="${DEMO_SIZE_MIB:-64}"
echo "demo: making a $SIZE_MIB MiB sample device image"
scripts/make-sample-image.sh "$SAMPLE" "$SIZE_MIB"

# The device's program when this machine can run it (ELF machine 40: ARM).
DAEMON="$BIN/krsd"
if [ "$(od -An -tx1 -j18 -N2 "$DEVICE_DAEMON" | tr -d ' ')" = 2800 ]; then
  if reason=$(scripts/arm-emulation.sh "$DEVICE_DAEMON" 2>&1); then
    DAEMON="$DEVICE_DAEMON"
    echo "demo: serving with the delivered ARMv7 daemon (emulated)"
  else
    echo "demo: skipping the ARMv7 daemon: ${reason#arm-emulation: }; serving with the host build"
  fi
else
  echo "demo: the delivered daemon is the host build (no ARMv7 build was made)"
fi

echo "demo: starting krsd on loopback"
"$DAEMON" --listen 127.0.0.1 --port 0 --tls-port 0 --port-file "$WORK/ports" \
  --map "/dev/rdisk0s1s2=$SAMPLE" --read-only --log "$WORK/krsd.log" 2>/dev/null &
KRSD_PID=$!
PORT=""
for _ in $(seq 100); do
  if [ -s "$WORK/ports" ]; then
    PORT=$(awk '$1 == "port" { print $2 }' "$WORK/ports")
    break
  fi
  if ! kill -0 "$KRSD_PID" 2>/dev/null; then break; fi
  sleep 0.1
done
if [ -z "$PORT" ]; then
  echo "demo: krsd did not start" >&2
  cat "$WORK/krsd.log" >&2 || true
  exit 1
fi

SOURCE="krp://127.0.0.1:$PORT/dev/rdisk0s1s2"
echo "demo: krimg acquire --source $SOURCE --image $IMAGE --restart"
set +e
"$BIN/krimg" acquire --source "$SOURCE" --image "$IMAGE" --restart 2> >(tee "$WORK/krimg.log" >&2)
STATUS=$?
set -e
wait_for_log=0
while [ $wait_for_log -lt 50 ] && ! grep -q "copied" "$WORK/krimg.log" 2>/dev/null; do
  sleep 0.1  # the tee of standard error may still be writing
  wait_for_log=$((wait_for_log + 1))
done

LOGGED=$(sed -n 's/.*md5: \([0-9a-f]\{32\}\)$/\1/p' "$WORK/krimg.log" | tail -n 1)
ACTUAL=$(md5sum "$SAMPLE" | cut -d' ' -f1)
echo
echo "krimg exit status: $STATUS"
echo "MD5 logged by krimg:   ${LOGGED:-(none)}"
echo "md5sum of the sample:  $ACTUAL"

if [ "$STATUS" -ne 0 ]; then
  echo "demo: FAILED: krimg ended with status $STATUS" >&2
  exit 1
fi
if [ "$LOGGED" != "$ACTUAL" ]; then
  echo "demo: FAILED: the MD5 differs" >&2
  exit 1
fi
if ! cmp -s "$SAMPLE" "$IMAGE"; then
  echo "demo: FAILED: the image differs from the sample" >&2
  exit 1
fi
echo "demo: OK: the image is identical to the sample and the MD5 matches"
