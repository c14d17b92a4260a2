#!/bin/bash
# The Windows build's tests under Wine (Debian's wine64, a fresh prefix):
#  - the unit tests of build-win/ that need no Linux-only part;
#  - krimg.exe imaging a local file and a krp:// source served by the Linux
#    daemon (build/bin/krsd) on loopback, each checked byte for byte and by
#    its MD5;
#  - the dialog krii.exe on a private X server, driven through its controls
#    by tests/windows/krii_win_test.cc: its controls and texts, a job from
#    the daemon on 127.0.0.1:6688 (under the lock /tmp/krii-6688.lock) into
#    a file with a Chinese name, its questions, the verification, the
#    settings in the registry; a picture of the window after it
#    (build-win/krii-windows.png);
#  - the bundle's refusal of the host build of krsd as its device daemon;
#  - the installer: silent installation per user and per machine, krimg.exe
#    run from the installed folder, and the uninstaller, after which nothing
#    it installed is left (the settings only when asked to stay);
#  - the main road from the unpacked zip: krimg.exe deploy with PuTTY's
#    Windows tools to the test host (scripts/testhost.sh, 192.168.191.2),
#    whose host key is unknown at first (refused, then trusted with
#    --hostkey, then a changed key refused), and krimg.exe acquire through
#    the krps:// URL the deployment printed; skipped, with the reason, where
#    the test host cannot be made.
# Run scripts/win-build.sh --bundle and the Linux build (scripts/test.sh)
# first.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$(realpath -m "${BUILD_DIR:-build-win}")
LINUX_BUILD=$(realpath -m "${LINUX_BUILD_DIR:-build}")
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
TESTHOST="$ROOT/scripts/testhost.sh"

fail() {
  echo "win-test: $*" >&2
  exit 1
}

# --- helpers -------------------------------------------------------------------

# Runs a Windows program under Wine for at most $1 seconds.
win() {
  local limit=$1
  shift
  timeout "$limit" "$WINE" "$@"
}

# The Windows name of a file of this machine (Wine's Z: drive is the root).
winpath() { echo "Z:${1//\//\\}"; }

# Data of registry value $2 of key $1, empty when there is none.
reg_value() {
  win 60 reg.exe query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
    awk -v n="$2" '$1 == n && $2 ~ /^REG_/ {sub(/^ *[^ ]+ +REG_[A-Z_]+ +/, ""); print; exit}'
}

# Every file and folder below the prefix's drive C: except the temporary
# folders, one a line.
prefix_files() {
  (cd "$WINEPREFIX/drive_c" && find . -path '*/Temp' -prune -o -print | sort)
}

# --- the main road on the test host (run under the test host's lock) -------------

# krimg.exe of the unpacked bundle $1 deploys to the test host and images it.
device_road() {
  local dir=$1 exe="$1/krimg.exe" out="$WORK/device" hostkeys='HKCU\Software\SimonTatham\PuTTY\SshHostKeys'
  local entry='ssh-ed25519@22:192.168.191.2'
  mkdir -p "$out"
  # Not under /tmp: the device has a /tmp of its own.
  img=$(mktemp /var/tmp/krii-win-device.XXXXXX)
  DIALOG_XVFB=""
  trap '"$TESTHOST" down >/dev/null 2>&1 || true; rm -f "$img"; "$WINESERVER" -k 2>/dev/null || true
        kill $DIALOG_XVFB 2>/dev/null || true' EXIT
  head -c 3000000 /dev/urandom >"$img"
  printf 'end' >>"$img"
  local up rc=0
  up=$("$TESTHOST" up --password --image "$img" 2>&1) || rc=$?
  if [ "$rc" = 77 ]; then
    echo "win-test: skipped the main road on the test host: $up"
    return 0
  fi
  [ "$rc" = 0 ] || fail "the test host did not come up: $up"

  # An unknown host key: shown and refused, nothing stored.
  rc=0
  win 120 "$exe" deploy </dev/null >"$out/first.out" 2>"$out/first.log" || rc=$?
  [ "$rc" = 1 ] || { cat "$out/first.log" >&2; fail "deploy with an unknown host key: exit $rc, not 1"; }
  grep -q '初始化设备环境: 复制文件错误' "$out/first.log" || { cat "$out/first.log" >&2; fail "no copy error"; }
  local fp
  fp=$(sed -n 's/.*设备主机密钥未知, 指纹: \(ssh-ed25519 255 SHA256:[^ ]*\)\r*$/\1/p' "$out/first.log" | head -1)
  [ -n "$fp" ] || { cat "$out/first.log" >&2; fail "no fingerprint shown"; }
  [ -z "$(reg_value "$hostkeys" "$entry")" ] || fail "a host key was stored without trust"

  # Trusted with --hostkey: stored in the registry, the daemon copied with
  # the usual command line and started.
  win 120 "$exe" deploy --debug --hostkey "${fp##* }" </dev/null >"$out/trusted.out" 2>"$out/trusted.log" ||
    { cat "$out/trusted.log" >&2; fail "deploy with --hostkey failed"; }
  local want
  for want in "已信任并保存设备主机密钥: $fp" "设备初始化完成" \
      "os_system:[pscp.exe -pw ****** -P 22 -batch dev/armv7/krsd root@192.168.191.2:/tmp]" \
      'os_system:[plink.exe -pw ****** -P 22 -batch root@192.168.191.2 "killall krsd; chmod 755 /tmp/krsd; /tmp/krsd -d"]'; do
    grep -qF "$want" "$out/trusted.log" || { cat "$out/trusted.log" >&2; fail "not logged: $want"; }
  done
  ! grep -q tazmok "$out/trusted.log" || fail "the password was logged"
  local stored
  stored=$(reg_value "$hostkeys" "$entry")
  [ -n "$stored" ] || fail "the trusted key is not in $hostkeys"
  "$TESTHOST" exec cat /tmp/krsd | cmp - "$dir/dev/armv7/krsd" || fail "the device's /tmp/krsd is not the bundle's"

  # The pinned URL it printed images the device.
  local url
  url=$(tr -d '\r' <"$out/trusted.out" | grep '^krps://192.168.191.2/dev/rdisk0s1s2?ssl-sha256=' | head -1)
  [ -n "$url" ] || { cat "$out/trusted.out" >&2; fail "no pinned krps:// URL printed"; }
  local served=""
  for _ in $(seq 100); do
    timeout 1 bash -c 'exec 3<>/dev/tcp/192.168.191.2/6686' 2>/dev/null && { served=1; break; }
    sleep 0.1
  done
  [ -n "$served" ] || fail "the daemon does not listen on 192.168.191.2:6686"
  win 120 "$exe" acquire --source "$url" --image "$(winpath "$out/phone.dd")" 2>"$out/acquire.log" ||
    { cat "$out/acquire.log" >&2; fail "krimg.exe acquire $url failed"; }
  cmp "$img" "$out/phone.dd" || fail "the image is not the device's"
  grep -q "md5: $(md5sum <"$img" | cut -d' ' -f1)" "$out/acquire.log" ||
    { cat "$out/acquire.log" >&2; fail "the logged MD5 is not the device's"; }

  # A key other than the stored one is refused, whatever --hostkey says, and
  # the stored one stays.
  local changed
  changed=${stored:0:2}$([ "${stored:2:1}" = 1 ] && echo 2 || echo 1)${stored:3}
  win 60 reg.exe add "$hostkeys" /v "$entry" /d "$changed" /f >/dev/null
  rc=0
  win 120 "$exe" deploy --hostkey "$fp" </dev/null >/dev/null 2>"$out/changed.log" || rc=$?
  [ "$rc" = 1 ] && grep -q '可能受到攻击' "$out/changed.log" ||
    { cat "$out/changed.log" >&2; fail "a changed host key was not refused (exit $rc)"; }
  [ "$(reg_value "$hostkeys" "$entry")" = "$changed" ] || fail "the changed key was stored"
  echo "win-test: krimg.exe deploy and acquire on the test host: $(stat -c %s "$out/phone.dd") bytes, host key trusted once, a changed one refused"

  # The bundle's krii.exe on the same device, its key unknown again: Connect
  # asks on the deployment's thread and the dialog answers (No, then Yes);
  # Start images the device.
  win 60 reg.exe delete "$hostkeys" /v "$entry" /f >/dev/null || fail "the stored key could not be removed"
  mkdir -p "$out/dialog/images"
  dialog_display_up "$out/dialog"
  KRII_EXE="$(winpath "$dir/krii.exe")" KRII_TEST_DIR="$(winpath "$out/dialog/images")" \
    KRII_TEST_SAMPLE="$(winpath "$img")" KRII_TEST_MD5="$(md5sum <"$img" | cut -c1-32)" KRII_TEST_DEVICE=1 \
    dialog_driver zh_CN.UTF-8 'KriiWindowsDevice.*' "$out/dialog/driver"
  echo "win-test: krii.exe deploy and acquire on the test host: the host key asked about, refused, then trusted; $(stat -c %s "$out/dialog/images/设备.img") bytes"
}

# --- the dialog ------------------------------------------------------------------

# What krii.exe needs under Wine to show and be driven as on a Chinese
# Windows: the code page 936, Wine's own fonts (the caption buttons are
# Marlett's), a CJK font behind the dialog's faces ("宋体", and Tahoma
# behind "MS Shell Dlg" by a font link: the multi-string
# "wqy-microhei.ttc,WenQuanYi Micro Hei"), frames drawn by Wine (so that
# Alt+Space reaches the system menu) and a private X server. Exports
# DISPLAY and LOCPATH; DIALOG_XVFB is the server's process.
dialog_display_up() {
  local out=$1
  mkdir -p "$out/locale"
  # The locale is made here: the machine's locales stay as they are.
  localedef -i zh_CN -f UTF-8 "$out/locale/zh_CN.UTF-8" 2>/dev/null ||
    [ -e "$out/locale/zh_CN.UTF-8/LC_CTYPE" ] || fail "localedef zh_CN.UTF-8 failed"
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  { printf '\xff\xfe'; sed 's/$/\r/' <<'REG' | iconv -f UTF-8 -t UTF-16LE; } >"$out/fonts.reg"
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink]
"Tahoma"=hex(7):77,00,71,00,79,00,2d,00,6d,00,69,00,63,00,72,00,6f,00,68,00,65,00,69,00,2e,00,74,00,74,00,63,00,2c,00,57,00,65,00,6e,00,51,00,75,00,61,00,6e,00,59,00,69,00,20,00,4d,00,69,00,63,00,72,00,6f,00,20,00,48,00,65,00,69,00,00,00,00,00

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]
"宋体"="WenQuanYi Micro Hei"
"SimSun"="WenQuanYi Micro Hei"

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
REG
  win 60 regedit.exe /S "$(winpath "$out/fonts.reg")" || fail "regedit of the fonts failed"
  # Wine's desktop takes its display when it starts: the one the earlier
  # tests (and regedit) started without a display must be gone first.
  timeout 60 "$WINESERVER" -w || fail "Wine did not end its processes"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$out/display" 2>"$out/xvfb.log" &
  DIALOG_XVFB=$!
  for _ in $(seq 100); do [ -s "$out/display" ] && break; sleep 0.1; done
  [ -s "$out/display" ] || { cat "$out/xvfb.log" >&2; fail "Xvfb did not start"; }
  export DISPLAY=":$(tr -d '\n' <"$out/display")" LOCPATH="$out/locale"
}

# Runs the dialog's driver (tests/windows/krii_win_test.cc) with LANG $1 and
# the gtest filter $2; its results in $3.log, krii.exe's log lines (standard
# error) in $3.err. A test skipped for want of its code page or its device
# fails the run.
dialog_driver() {
  local rc=0
  LANG=$1 win 300 "$BUILD/tests/krii_win_test.exe" --gtest_brief=1 --gtest_filter="$2" >"$3.log" 2>"$3.err" || rc=$?
  if [ "$rc" != 0 ] || grep -aq SKIPPED "$3.log"; then
    cat "$3.log" >&2
    tail -30 "$3.err" >&2
    fail "the dialog's tests ($2) failed under LANG=$1"
  fi
}

# krii.exe driven through its controls, with the daemon on 127.0.0.1:6688,
# where the dialog's URL without a port goes (run under the port's lock).
dialog_road() {
  local out="$WORK/dialog"
  DIALOG_XVFB="" DIALOG_KRSD=""
  trap 'kill $DIALOG_KRSD 2>/dev/null || true; "$WINESERVER" -k 2>/dev/null || true
        kill $DIALOG_XVFB 2>/dev/null || true' EXIT
  mkdir -p "$out/images"
  dialog_display_up "$out"
  # The device: silent for a minute once, after its first MiB, so that a job
  # can be stopped while a read waits.
  "$KRSD" --listen 127.0.0.1 --port 6688 --tls-port 0 --read-only --map /dev/rdisk0s1s2="$WORK/sample.img" \
    --stall-after 1m:60000,once --port-file "$out/port" >"$out/krsd.log" 2>&1 &
  DIALOG_KRSD=$!
  for _ in $(seq 100); do grep -q '^pid' "$out/port" 2>/dev/null && break; sleep 0.1; done
  grep -q '^port 6688$' "$out/port" 2>/dev/null || { cat "$out/krsd.log" >&2; fail "krsd did not start on 127.0.0.1:6688"; }

  export KRII_EXE="$(winpath "$BUILD/bin/krii.exe")" KRII_TEST_DIR="$(winpath "$out/images")" \
    KRII_TEST_SAMPLE="$(winpath "$WORK/sample.img")" KRII_TEST_SHOT="$(winpath "$out/shot.bmp")" \
    KRII_TEST_MD5="$(md5sum <"$WORK/sample.img" | cut -c1-32)" KRII_TEST_SHA256="$(sha256sum <"$WORK/sample.img" | cut -c1-64)"
  # A Chinese system, then one whose code page has no Chinese.
  dialog_driver zh_CN.UTF-8 '-KriiWindowsCodePage.*:KriiWindowsDevice.*' "$out/zh"
  dialog_driver C.UTF-8 'KriiWindowsCodePage.*' "$out/latin"
  # The image as the examiner named it, on this machine's disk too.
  cmp "$WORK/sample.img" "$out/images/证据 镜像.img" || fail "the dialog's image is not the device's"
  convert "$out/shot.bmp" "$BUILD/krii-windows.png" || fail "no picture of the dialog"
  echo "win-test: krii.exe driven through its controls: $(stat -c %s "$out/images/证据 镜像.img") bytes imaged, stopped, resumed and verified; picture $BUILD/krii-windows.png"
}

if [ "${1:-}" = --device-road ]; then
  device_road "$2"
  exit 0
fi
if [ "${1:-}" = --dialog ]; then
  dialog_road
  exit 0
fi

# --- the programs ----------------------------------------------------------------

KRIMG="$BUILD/bin/krimg.exe"
KRSD="$LINUX_BUILD/bin/krsd"
VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
BUNDLE="$BUILD/bundle/krii-$VERSION-win64"
SETUP="$BUILD/bundle/krii-$VERSION-setup.exe"
for f in "$WINE" "$KRIMG" "$BUILD/bin/krii.exe" "$BUILD/tests/krii_win_test.exe" "$KRSD" "$BUNDLE.zip" "$SETUP"; do
  [ -e "$f" ] || fail "$f is missing (scripts/win-build.sh --bundle)"
done

WORK=$(mktemp -d)
KRSD_PID=""
cleanup() {
  [ -n "$KRSD_PID" ] && kill "$KRSD_PID" 2>/dev/null || true
  "$WINESERVER" -k 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
# No menu entries of the desktop for the Start-menu entries the installer
# makes: they would land in this machine's home folder.
export WORK WINEPREFIX="$WORK/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
# Making the prefix takes most of Wine's start-up; once is enough.
win 120 cmd.exe /c exit 0 >/dev/null 2>&1 || true

ctest --test-dir "$BUILD" --output-on-failure -j "$(nproc)" --timeout 300

# One acquisition: krimg.exe from source $1 into $2 (a Windows path is fine),
# then the image must be the sample byte for byte and the logged MD5 its MD5.
acquire() {
  local source="$1" image="$2" log="$WORK/acquire.log"
  rm -f "$image"
  if ! win 120 "$KRIMG" acquire --source "$source" --image "$image" 2>"$log"; then
    cat "$log" >&2
    fail "krimg.exe acquire $source failed"
  fi
  cmp "$WORK/sample.img" "$image"
  local want got
  want=$(md5sum <"$WORK/sample.img" | cut -d' ' -f1)
  got=$(sed -n 's/.*md5: \([0-9a-f]\{32\}\).*/\1/p' "$log")
  if [ "$got" != "$want" ]; then
    cat "$log" >&2
    fail "krimg.exe logged md5 '$got', the sample's is $want"
  fi
  echo "win-test: krimg.exe acquire $source: $(stat -c %s "$image") bytes, md5 $got"
}

# A sample that is neither a whole number of blocks nor all alike.
head -c 5000000 /dev/urandom >"$WORK/sample.img"
printf 'tail' >>"$WORK/sample.img"

# A local file, named the Windows way.
acquire "$(winpath "$WORK/sample.img")" "$WORK/local.img"

# A krp:// source: the Linux daemon on loopback, on a free port.
"$KRSD" --listen 127.0.0.1 --port 0 --tls-port 0 --read-only \
  --map /dev/rdisk0s1s2="$WORK/sample.img" --port-file "$WORK/port" >"$WORK/krsd.log" 2>&1 &
KRSD_PID=$!
for _ in $(seq 100); do
  [ -s "$WORK/port" ] && grep -q '^pid' "$WORK/port" && break
  sleep 0.1
done
PORT=$(awk '/^port /{print $2}' "$WORK/port")
[ -n "$PORT" ] || { cat "$WORK/krsd.log" >&2; fail "krsd did not start"; }
acquire "krp://127.0.0.1:$PORT/dev/rdisk0s1s2" "$WORK/remote.img"

export KRSD BUILD
flock -o /tmp/krii-6688.lock "$0" --dialog

# --- the bundle and its installer --------------------------------------------------

# The bundle delivers an ARMv7 daemon: the Linux host build of krsd in its
# place is refused, and no bundle is made.
sed "s|^set(DAEMON .*|set(DAEMON \"$KRSD\")|; s|^set(OUT .*|set(OUT \"$WORK/refused\")|" \
  "$BUILD/krii-win-bundle.cmake" >"$WORK/refused.cmake"
if cmake -DCONFIG="$WORK/refused.cmake" -P cmake/win-bundle.cmake >"$WORK/refused.log" 2>&1 ||
   [ -e "$WORK/refused" ] || ! grep -q 'is not a 32-bit ARM program' "$WORK/refused.log"; then
  cat "$WORK/refused.log" >&2
  fail "the bundle took the host build of krsd as its device daemon"
fi
echo "win-test: the bundle refuses the host build of krsd as dev/armv7/krsd"

UNINST='Software\Microsoft\Windows\CurrentVersion\Uninstall\krii'
SETTINGS='HKCU\Software\korin\krii\config'
# mode        root of its entry  uninstaller's switch  krii's settings afterwards
while read -r mode hive unswitch settings; do
  [ "$unswitch" != - ] || unswitch=""
  win 60 reg.exe add "$SETTINGS" /v ip /d 192.168.191.2 /f >/dev/null
  before=$(prefix_files)
  win 120 "$SETUP" /S "/$mode" || fail "setup.exe /S /$mode failed"
  dir=$(reg_value "$hive\\$UNINST" InstallLocation)
  [ -n "$dir" ] || fail "/$mode: no entry in $hive\\$UNINST"
  unix=$(win 60 winepath.exe -u "$dir" | tr -d '\r')
  # What is installed is the bundle and the uninstaller.
  diff <(cd "$BUNDLE" && find . -type f | sort) <(cd "$unix" && find . -type f ! -name uninstall.exe | sort) ||
    fail "/$mode: $dir does not hold the bundle"
  version=$(win 60 "$unix/krimg.exe" --version | tr -d '\r')
  [[ "$version" == *"$VERSION"* ]] || fail "/$mode: krimg.exe --version printed '$version'"
  win 60 "$unix/krimg.exe" deploy --help | grep -qF 'HKEY_CURRENT_USER\Software\SimonTatham\PuTTY\SshHostKeys' ||
    fail "/$mode: krimg.exe deploy --help does not say where the tools keep trusted host keys"
  [ -n "$(diff <(echo "$before") <(prefix_files) | grep 'Start Menu/Programs/krimg.lnk$')" ] ||
    fail "/$mode: no Start-menu entry"
  # The uninstaller copies itself away and returns at once: wait for Wine's
  # processes to end.
  win 120 "$unix/uninstall.exe" /S $unswitch || fail "/$mode: uninstall.exe failed"
  timeout 120 "$WINESERVER" -w
  left=$(diff <(echo "$before") <(prefix_files) || true)
  [ -z "$left" ] || fail "/$mode: the uninstaller left: $left"
  [ -z "$(reg_value "$hive\\$UNINST" InstallLocation)" ] || fail "/$mode: the program list still has krii"
  kept=$([ -n "$(reg_value "$SETTINGS" ip)" ] && echo kept || echo removed)
  [ "$kept" = "$settings" ] || fail "/$mode $unswitch: settings $kept, not $settings"
  echo "win-test: setup.exe /S /$mode into $dir, krimg.exe --version: $version; uninstall.exe /S $unswitch: nothing left, settings $kept"
done <<'EOF'
CurrentUser HKCU - kept
AllUsers    HKLM /RemoveSettings removed
EOF

# --- the main road -----------------------------------------------------------------

mkdir -p "$WORK/unzipped"
(cd "$WORK/unzipped" && cmake -E tar xf "$BUNDLE.zip")
flock -o /tmp/krii-testhost.lock "$0" --device-road "$WORK/unzipped/krii-$VERSION-win64"
echo "win-test: all passed"
