#!/bin/bash
# Runs a command on a private X server (Xvfb) under a real window manager
# (openbox, with its stock key bindings), as on an examiner's desktop where
# the window manager takes some keys for itself before a program sees them.
#   with_wm.sh COMMAND [ARGS...]
set -euo pipefail
for tool in Xvfb openbox xdotool; do
  command -v "$tool" >/dev/null || { echo "with_wm: $tool missing (scripts/install-deps.sh)" >&2; exit 1; }
done

dir="$(mktemp -d /tmp/krii-wm-XXXXXX)"
xvfb="" wm=""
cleanup() {
  [ -n "$wm" ] && kill "$wm" 2>/dev/null || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT

# Waits up to 10 s until the file has content (or exists, with -e) while the
# process lives; else shows its log and fails.
wait_for() {
  local test="$1" file="$2" pid="$3" log="$4"
  for _ in $(seq 100); do
    [ "$test" "$file" ] && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  [ "$test" "$file" ] && return 0
  echo "with_wm: $log:" >&2
  cat "$log" >&2
  exit 1
}

# The server picks a free display itself and names it once it accepts
# clients, so that runs beside each other never share one.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/display" 2>"$dir/xvfb.log" &
xvfb=$!
wait_for -s "$dir/display" "$xvfb" "$dir/xvfb.log"
export DISPLAY=":$(tr -d '\n' < "$dir/display")"

openbox --sm-disable --startup "touch $dir/wm-ready" >"$dir/wm.log" 2>&1 &
wm=$!
wait_for -e "$dir/wm-ready" "$wm" "$dir/wm.log"

export QT_QPA_PLATFORM=xcb
# The X11 platform brings system libraries whose own leaks a sanitizer build
# would report.
export LSAN_OPTIONS="suppressions=$(dirname "$(realpath "$0")")/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
"$@"
