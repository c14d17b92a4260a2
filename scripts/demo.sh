#!/bin/bash
# The main job on one machine: installs what is missing, builds krsd and
# krimg in build/ (the ARMv7 daemon with its armhf sysroot when it can be
# made), makes a sample device image and brings up the test host
# (scripts/testhost.sh) with it as /dev/rdisk0s1s2, delivers the daemon
# there with krimg deploy (PuTTY's tools, the device's host key trusted by
# its fingerprint), images the device through the krps:// URL the
# deployment printed (the daemon's certificate pinned), takes the test host
# down, verifies the image with krimg verify and prints its report's
# summary. Where the test host cannot be made (not root, no network
# namespaces) or cannot run the daemon, the daemon serves the sample on
# loopback instead and krimg images it over krp://; the demo says why.
# Exits 0 only when krimg and the verification succeeded, the MD5 that
# krimg logs is md5sum's of the sample and the image is byte for byte the
# sample.
#   scripts/demo.sh                  64 MiB sample
#   DEMO_SIZE_MIB=256 scripts/demo.sh
#   DEMO_LOOPBACK=1 scripts/demo.sh  the loopback daemon, without the test host
#   DEMO_KEEP=1 scripts/demo.sh      keep the work folder
#   KRII_ARMV7=AUTO|ON|OFF           as for scripts/test.sh; an existing build
#                                    folder keeps what it was configured with
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

scripts/install-deps.sh
SECONDS=0
BUILD="${BUILD_DIR:-build}"
# A build folder is reused as it is configured (CI's: KRII_ARMV7=ON,
# KRII_WERROR=ON), so it builds incrementally; the environment overrides.
cached() { sed -n "s/^$1:[A-Z]*=//p" "$BUILD/CMakeCache.txt" 2>/dev/null || true; }
ARMV7=${KRII_ARMV7:-$(cached KRII_ARMV7)}
ARMV7=${ARMV7:-AUTO}
WERROR=${KRII_WERROR:-$(cached KRII_WERROR)}
WERROR=${WERROR:-OFF}
SYSROOT=$(cached KRII_ARMHF_SYSROOT)
SYSROOT=${SYSROOT:-$(realpath -m "$BUILD/armhf-sysroot")}
if [ "$ARMV7" != OFF ] && ! scripts/armhf-sysroot.sh "$SYSROOT"; then
  echo "demo: warning: no armhf sysroot; see the configuration's message" >&2
fi
cmake -S . -B "$BUILD" -G Ninja -DKRII_WERROR="$WERROR" -DKRII_ARMV7="$ARMV7" \
  -DKRII_ARMHF_SYSROOT="$SYSROOT" >/dev/null
# The host build of krsd only when it is delivered or needed below.
cmake --build "$BUILD" --target krimg krsd_device krii_ssh_tools -j "$(nproc)"
BUILT=$SECONDS
BIN="$ROOT/$BUILD/bin"
DEVICE_DAEMON="$ROOT/$BUILD/lib/krii/dev/armv7/krsd"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/krii-demo-XXXXXX")
KRSD_PID=""
TESTHOST=""
LOCK=/tmp/krii-testhost.lock
testhost_down() {
  if [ -n "$TESTHOST" ]; then
    echo "demo: taking the test host down"
    scripts/testhost.sh down 9>&- || true
    TESTHOST=""
  fi
  exec 9>&-  # the test host's lock
}
cleanup() {
  testhost_down
  if [ -n "$KRSD_PID" ]; then
    kill "$KRSD_PID" 2>/dev/null || true
    wait "$KRSD_PID" 2>/dev/null || true
  fi
  if [ "${DEMO_KEEP:-0}" = 1 ]; then
    echo "demo: work folder kept: $WORK"
  else
    rm -rf "$WORK"
  fi
  echo "demo: elapsed $((SECONDS / 60))m$((SECONDS % 60))s after the package check" \
       "(building $((BUILT / 60))m$((BUILT % 60))s)"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM
fail() { echo "demo: FAILED: $*" >&2; exit 1; }

SAMPLE="$WORK/sample.img"
IMAGE="$WORK/image.dd"
SIZE_MIB="${DEMO_SIZE_MIB:-64}"
echo "demo: making a $SIZE_MIB MiB sample device image"
scripts/make-sample-image.sh "$SAMPLE" "$SIZE_MIB"

# Whether this machine runs the delivered daemon (ELF machine 40: ARM,
# through the emulator; else the host build).
DAEMON="$BIN/krsd"
NO_DEVICE=""
if [ "$(od -An -tx1 -j18 -N2 "$DEVICE_DAEMON" | tr -d ' ')" = 2800 ]; then
  if reason=$(scripts/arm-emulation.sh "$DEVICE_DAEMON" 2>&1); then
    DAEMON="$DEVICE_DAEMON"
    echo "demo: the delivered daemon is the ARMv7 build; it runs here emulated"
  else
    NO_DEVICE="the delivered ARMv7 daemon cannot run here: ${reason#arm-emulation: }"
    cmake --build "$BUILD" --target krsd -j "$(nproc)"
  fi
else
  echo "demo: the delivered daemon is the host build (no ARMv7 build was made)"
fi

# The test host is shared with the tests: it is ours while we hold the lock.
# (The test host's own processes must not inherit the lock's descriptor.)
if [ -z "$NO_DEVICE" ] && [ "${DEMO_LOOPBACK:-0}" = 1 ]; then
  NO_DEVICE="DEMO_LOOPBACK=1"
fi
if [ -z "$NO_DEVICE" ]; then
  # (Read-only where another user's file cannot be opened for writing.)
  { exec 9>>"$LOCK"; } 2>/dev/null || exec 9<"$LOCK"
  if ! flock -n 9; then
    echo "demo: waiting for the test host (another run holds $LOCK)"
    flock -w 600 9 || NO_DEVICE="the test host stayed busy for 10 minutes"
  fi
fi
if [ -z "$NO_DEVICE" ]; then
  TESTHOST=1
  set +e
  up=$(scripts/testhost.sh up --image "$SAMPLE" 2>&1 9>&-)
  status=$?
  set -e
  if [ "$status" -eq 77 ]; then
    TESTHOST=""
    NO_DEVICE="no test host: $(sed -n 's/^testhost: unavailable: //p' <<<"$up" | head -n 1)"
  elif [ "$status" -ne 0 ]; then
    echo "$up" >&2
    fail "the test host did not come up"
  else
    echo "demo: $(tail -n 1 <<<"$up")"
  fi
fi

if [ -z "$NO_DEVICE" ]; then
  # PuTTY's tools with the test host's agent and a host-key cache of their
  # own that does not know the device yet: the key is trusted for the
  # fingerprint the device shows.
  PUTTY_HOME="$WORK/putty-home"
  mkdir -p "$PUTTY_HOME/.putty"
  chmod 700 "$PUTTY_HOME/.putty"
  AGENT=$(scripts/testhost.sh env | sed -n 's/^SSH_AUTH_SOCK=//p')
  HOSTKEY=$(scripts/testhost.sh hostkey)
  echo "demo: krimg deploy --hostkey $HOSTKEY (the device's host key)"
  URL=$(env -u XDG_CONFIG_HOME -u PUTTYDIR -u PUTTYSSHHOSTKEYS HOME="$PUTTY_HOME" SSH_AUTH_SOCK="$AGENT" \
        "$BIN/krimg" deploy --hostkey "$HOSTKEY" </dev/null 9>&-) || fail "krimg deploy failed"
  case "$URL" in
    krps://192.168.191.2/dev/rdisk0s1s2\?ssl-sha256=[0-9a-f]*) ;;
    *) fail "krimg deploy printed no pinned krps:// URL: $URL" ;;
  esac
  # The daemon returns to the shell before it listens.
  for _ in $(seq 100); do
    timeout 1 bash -c 'exec 3<>/dev/tcp/192.168.191.2/6686' 2>/dev/null && break
    sleep 0.1
  done
  SOURCE=$URL
else
  exec 9>&-
  echo "demo: imaging on loopback instead of the test host: $NO_DEVICE"
  echo "demo: starting krsd on loopback ($( [ "$DAEMON" = "$BIN/krsd" ] && echo "the host build" ||
    echo "the delivered ARMv7 daemon, emulated"))"
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
    cat "$WORK/krsd.log" >&2 || true
    fail "krsd did not start"
  fi
  SOURCE="krp://127.0.0.1:$PORT/dev/rdisk0s1s2"
fi

echo "demo: krimg acquire --source $SOURCE --image $IMAGE --restart"
set +e
"$BIN/krimg" acquire --source "$SOURCE" --image "$IMAGE" --restart 2> >(tee "$WORK/krimg.log" >&2) 9>&-
STATUS=$?
set -e
wait_for_log=0
while [ $wait_for_log -lt 50 ] && ! grep -q "copied" "$WORK/krimg.log" 2>/dev/null; do
  sleep 0.1  # the tee of standard error may still be writing
  wait_for_log=$((wait_for_log + 1))
done
testhost_down

echo "demo: krimg verify $IMAGE"
set +e
"$BIN/krimg" verify "$IMAGE"
VERIFIED=$?
set -e
echo
echo "demo: the summary of the report $IMAGE.txt:"
sed '/^Run [0-9]/,$d' "$IMAGE.txt" 2>/dev/null || echo "(no report)"

LOGGED=$(sed -n 's/.*md5: \([0-9a-f]\{32\}\)$/\1/p' "$WORK/krimg.log" | tail -n 1)
ACTUAL=$(md5sum "$SAMPLE" | cut -d' ' -f1)
echo "krimg exit status:        $STATUS"
echo "krimg verify exit status: $VERIFIED"
echo "MD5 logged by krimg:      ${LOGGED:-(none)}"
echo "md5sum of the sample:     $ACTUAL"

[ "$STATUS" -eq 0 ] || fail "krimg ended with status $STATUS"
[ "$VERIFIED" -eq 0 ] || fail "krimg verify ended with status $VERIFIED"
[ "$LOGGED" = "$ACTUAL" ] || fail "the MD5 differs"
cmp -s "$SAMPLE" "$IMAGE" || fail "the image differs from the sample"
echo "demo: OK: the image is identical to the sample, the MD5 matches and the image verifies"
