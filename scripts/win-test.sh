#!/bin/bash
# The Windows build's tests under Wine (Debian's wine64, a fresh prefix):
# the unit tests of build-win/ that need no Linux-only part, then krimg.exe
# imaging a local file and a krp:// source served by the Linux daemon
# (build/bin/krsd) on loopback, each checked byte for byte and by its MD5.
# Run scripts/win-build.sh and the Linux build (scripts/test.sh) first.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${BUILD_DIR:-build-win}"
LINUX_BUILD="${LINUX_BUILD_DIR:-build}"
WINE=/usr/lib/wine/wine64
KRIMG="$BUILD/bin/krimg.exe"
KRSD="$LINUX_BUILD/bin/krsd"
for f in "$WINE" "$KRIMG" "$KRSD"; do
  [ -x "$f" ] || { echo "win-test: $f is missing" >&2; exit 1; }
done

WORK=$(mktemp -d)
KRSD_PID=""
cleanup() {
  [ -n "$KRSD_PID" ] && kill "$KRSD_PID" 2>/dev/null || true
  WINEPREFIX="$WORK/prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
export WINEPREFIX="$WORK/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Making the prefix takes most of Wine's start-up; once is enough.
timeout 120 "$WINE" cmd.exe /c exit 0 >/dev/null 2>&1 || true

ctest --test-dir "$BUILD" --output-on-failure -j "$(nproc)" --timeout 300

# One acquisition: krimg.exe from source $1 into $2 (a Windows path is fine),
# then the image must be the sample byte for byte and the logged MD5 its MD5.
acquire() {
  local source="$1" image="$2" log="$WORK/acquire.log"
  rm -f "$image"
  if ! timeout 120 "$WINE" "$KRIMG" acquire --source "$source" --image "$image" 2>"$log"; then
    cat "$log" >&2
    echo "win-test: krimg.exe acquire $source failed" >&2
    return 1
  fi
  cmp "$WORK/sample.img" "$image"
  local want got
  want=$(md5sum <"$WORK/sample.img" | cut -d' ' -f1)
  got=$(sed -n 's/.*md5: \([0-9a-f]\{32\}\).*/\1/p' "$log")
  if [ "$got" != "$want" ]; then
    cat "$log" >&2
    echo "win-test: krimg.exe logged md5 '$got', the sample's is $want" >&2
    return 1
  fi
  echo "win-test: krimg.exe acquire $source: $(stat -c %s "$image") bytes, md5 $got"
}

# A sample that is neither a whole number of blocks nor all alike.
head -c 5000000 /dev/urandom >"$WORK/sample.img"
printf 'tail' >>"$WORK/sample.img"

# A local file, named the Windows way (Wine's Z: drive is the root).
acquire "Z:${WORK//\//\\}\\sample.img" "$WORK/local.img"

# A krp:// source: the Linux daemon on loopback, on a free port.
"$KRSD" --listen 127.0.0.1 --port 0 --tls-port 0 --read-only \
  --map /dev/rdisk0s1s2="$WORK/sample.img" --port-file "$WORK/port" >"$WORK/krsd.log" 2>&1 &
KRSD_PID=$!
for _ in $(seq 100); do
  [ -s "$WORK/port" ] && grep -q '^pid' "$WORK/port" && break
  sleep 0.1
done
PORT=$(awk '/^port /{print $2}' "$WORK/port")
[ -n "$PORT" ] || { cat "$WORK/krsd.log" >&2; echo "win-test: krsd did not start" >&2; exit 1; }
acquire "krp://127.0.0.1:$PORT/dev/rdisk0s1s2" "$WORK/remote.img"
echo "win-test: all passed"
