#!/bin/bash
# Makes the private armhf sysroot of the device daemon's cross build: the
# armhf development packages of OpenSSL and LZ4 (headers and static
# libraries) from Debian, fetched with apt-get download through an armhf
# package index of its own and unpacked with dpkg -x. The machine's package
# set is not touched (no foreign architecture is added), so the armhf
# versions need not match the host's.
#   scripts/armhf-sysroot.sh DIR     a complete DIR is kept as it is (one
#                                    without a library of LIBS is made anew)
# Exit status 1 when the packages cannot be had.
set -euo pipefail
DIR=$(realpath -m "${1:?usage: armhf-sysroot.sh DIR}")
PACKAGES=(libssl-dev liblz4-dev)
LIBS=(libssl.a libcrypto.a liblz4.a)
LIBDIR=usr/lib/arm-linux-gnueabihf

complete() {
  [ -f "$DIR/.complete" ] || return 1
  local lib
  for lib in "${LIBS[@]}"; do [ -f "$DIR/$LIBDIR/$lib" ] || return 1; done
}
if complete; then
  echo "armhf-sysroot: $DIR is ready"
  exit 0
fi
rm -rf "$DIR"
APT="$DIR/.apt"
mkdir -p "$APT/lists/partial" "$APT/cache/archives/partial" "$APT/debs"
: > "$APT/status"
OPTS=(-q -o APT::Architecture=armhf -o "APT::Architectures::=armhf"
      -o "Dir::State::Lists=$APT/lists" -o "Dir::State::status=$APT/status"
      -o "Dir::Cache=$APT/cache" -o "APT::Sandbox::User=$(id -un)")

echo "armhf-sysroot: fetching ${PACKAGES[*]} (armhf)"
# An index that fails (a mirror in sync) is reported; the download below
# says whether what is needed was found.
apt-get "${OPTS[@]}" update >"$APT/update.log" 2>&1 ||
  echo "armhf-sysroot: warning: apt-get update: $(grep '^[EW]:' "$APT/update.log" | head -n 3)" >&2
if ! (cd "$APT/debs" && apt-get "${OPTS[@]}" download "${PACKAGES[@]}" >"$APT/download.log" 2>&1); then
  echo "armhf-sysroot: cannot download ${PACKAGES[*]} for armhf:" >&2
  cat "$APT/download.log" >&2
  exit 1
fi
for deb in "$APT"/debs/*.deb; do
  dpkg -x "$deb" "$DIR"
done
for lib in "${LIBS[@]}"; do
  [ -f "$DIR/$LIBDIR/$lib" ] || { echo "armhf-sysroot: $lib missing after unpacking" >&2; exit 1; }
done
(cd "$APT/debs" && ls) > "$DIR/.complete"
rm -rf "$APT"
echo "armhf-sysroot: $DIR holds $(tr '\n' ' ' < "$DIR/.complete")"
