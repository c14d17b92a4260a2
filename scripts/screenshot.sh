#!/bin/bash
# Shows the dialog with a job running and saves a screenshot of it.
#   scripts/screenshot.sh [BUILD_DIR] [OUT.png]
# Starts the project's daemon krsd on 127.0.0.1:6688 serving a 256 MiB sample
# image as /dev/rdisk0s1s2, pre-seeds the dialog's settings (address
# 127.0.0.1 and an image path) in a temporary XDG_CONFIG_HOME, runs krii
# under Xvfb with the hidden switch --autostart (it presses Start once the
# dialog is up) and grabs the screen while the job runs. The daemon pauses
# after 160 MiB so that the picture shows the job in progress.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
OUT="$(realpath -m "${2:-krii-screenshot.png}")"
BIN="$(realpath "$BUILD/bin")"
for p in "$BIN/krii" "$BIN/krsd"; do
  [ -x "$p" ] || { echo "screenshot: $p not built" >&2; exit 1; }
done
for t in xvfb-run import; do
  command -v "$t" >/dev/null || { echo "screenshot: $t missing (scripts/install-deps.sh)" >&2; exit 1; }
done

work="$(mktemp -d /tmp/krii-shot-XXXXXX)"
daemon=""
cleanup() {
  [ -n "$daemon" ] && kill "$daemon" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

head -c 256M /dev/urandom > "$work/device.img"
"$BIN/krsd" --listen 127.0.0.1 --port 6688 --tls-port 0 \
  --map "/dev/rdisk0s1s2=$work/device.img" --port-file "$work/ports" \
  --stall-after 160m:30000 2> "$work/krsd.err" &
daemon=$!
for _ in $(seq 100); do
  grep -q '^pid' "$work/ports" 2>/dev/null && break
  kill -0 "$daemon" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q '^port 6688' "$work/ports" 2>/dev/null; then
  echo "screenshot: the daemon did not start on 127.0.0.1:6688:" >&2
  cat "$work/krsd.err" >&2
  exit 1
fi

mkdir -p "$work/config/korin"
cat > "$work/config/korin/krii.conf" <<CONF
[config]
ip=127.0.0.1
LastImgFile=$work/evidence.img
CONF

export XDG_CONFIG_HOME="$work/config" HOME="$work" OUT BIN
unset QT_QPA_PLATFORM
xvfb-run -a -s "-screen 0 800x600x24" bash -c '
  "$BIN/krii" --autostart 2> "$HOME/krii.err" &
  pid=$!
  sleep 10
  import -window root "$OUT"
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
'
echo "screenshot: $OUT"
