#!/bin/bash
# Builds the Debian package from a build folder, installs it into this
# machine with apt-get (root), runs the installed programs from their
# installed paths, removes the package again and checks that nothing of it
# is left behind.
#   scripts/package-test.sh [BUILD_DIR]      default: build
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
TOOLS=/usr/lib/krii
APT=(apt-get -y -qq -o DPkg::Lock::Timeout=300)
export DEBIAN_FRONTEND=noninteractive

fail() { echo "package-test: $*" >&2; exit 1; }
# dpkg's two-letter state of krii ("ii" installed, "rc" configuration left),
# empty when dpkg does not know it.
state() { dpkg-query -W -f='${db:Status-Abbrev}' krii 2>/dev/null | cut -c1-2 || true; }
[ "$(id -u)" -eq 0 ] || fail "installs into this machine: run as root"
case "$(state)" in ""|un|pn) ;; *) fail "krii is on this machine already ($(state)); not touching it" ;; esac

deb=$(BUILD_DIR="$BUILD" scripts/package.sh)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
for dep in libqt6widgets6 libssl3 liblz4 putty-tools; do
  [[ $depends == *"$dep"* ]] || fail "Depends lacks $dep: $depends"
done

WORK=$(mktemp -d)
installed=0
cleanup() {
  for tool in pscp plink; do
    [ -L "$WORK/$tool.exe" ] && mv -f "$WORK/$tool.exe" "$TOOLS/$tool.exe"
  done
  [ "$installed" -eq 1 ] && "${APT[@]}" remove krii >/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

"${APT[@]}" install --no-install-recommends "$deb" >/dev/null
installed=1
dpkg -L krii > "$WORK/files"
for f in /usr/bin/krii /usr/bin/krimg /usr/bin/krsd $TOOLS/dev/armv7/krsd \
         /usr/share/man/man1/krimg.1.gz /usr/share/man/man8/krsd.8.gz \
         /usr/share/applications/krii.desktop /usr/share/icons/hicolor/48x48/apps/krii.png; do
  [ -f "$f" ] || fail "not installed: $f"
done
for tool in pscp plink; do
  [ "$(readlink "$TOOLS/$tool.exe")" = "/usr/bin/$tool" ] || fail "$TOOLS/$tool.exe is no link to /usr/bin/$tool"
done
desktop-file-validate /usr/share/applications/krii.desktop

# The programs run from their installed paths.
[ "$(/usr/bin/krimg --version)" = "krimg $version" ] || fail "krimg --version: $(/usr/bin/krimg --version)"
/usr/bin/krsd --help | grep -q -- --listen || fail "krsd --help"
head -c $((3 * 102400 + 77)) /dev/urandom > "$WORK/source"
/usr/bin/krimg acquire --source "$WORK/source" --image "$WORK/image" 2> "$WORK/acquire.log" ||
  fail "krimg acquire: $(cat "$WORK/acquire.log")"
cmp "$WORK/source" "$WORK/image"
grep -q "md5: $(md5sum < "$WORK/source" | cut -d' ' -f1)" "$WORK/acquire.log" || fail "no MD5 line"

# krimg deploy runs the tools of the private folder there, with the daemon
# installed beside them: stand-ins in place of the links record how (the
# start's stand-in prints a daemon's certificate fingerprint).
fp=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef
for tool in pscp plink; do
  mv "$TOOLS/$tool.exe" "$WORK/$tool.exe"
  printf '#!/bin/sh\necho "$0|$(pwd)|$*" >> %s/calls\n' "$WORK" > "$TOOLS/$tool.exe"
  chmod 755 "$TOOLS/$tool.exe"
done
echo "echo 'TLS certificate SHA-256: $fp'" >> "$TOOLS/plink.exe"
url=$(/usr/bin/krimg deploy --password '' 2> "$WORK/deploy.log") || fail "krimg deploy: $(cat "$WORK/deploy.log")"
[ "$url" = "krps://192.168.191.2/dev/rdisk0s1s2?ssl-sha256=$fp" ] || fail "krimg deploy printed: $url"
expected="$TOOLS/pscp.exe|$TOOLS|-P 22 -batch dev/armv7/krsd root@192.168.191.2:/tmp
$TOOLS/plink.exe|$TOOLS|-P 22 -batch root@192.168.191.2 killall krsd; chmod 755 /tmp/krsd; /tmp/krsd -d"
[ "$(cat "$WORK/calls")" = "$expected" ] || fail "the tools were run as:$(printf '\n%s' "$(cat "$WORK/calls")")"
for tool in pscp plink; do mv -f "$WORK/$tool.exe" "$TOOLS/$tool.exe"; done

"${APT[@]}" remove krii >/dev/null
installed=0
case "$(state)" in ""|un|pn) ;; *) fail "dpkg still lists krii after removal ($(state))" ;; esac
left=$(while read -r f; do
  if [ -L "$f" ] || { [ -e "$f" ] && [ ! -d "$f" ]; }; then echo "$f"; fi
done < "$WORK/files")
[ ! -e "$TOOLS" ] || left+=" $TOOLS"
[ -z "$left" ] || fail "left behind after removal: $left"
echo "package-test: $(basename "$deb") installed, ran and removed cleanly"
