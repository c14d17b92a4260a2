#!/bin/bash
# Cross-builds the libraries, the imaging engine, krimg.exe, the dialog
# krii.exe and the tests that need no Linux-only part for 64-bit Windows
# with Debian's mingw-w64 (posix threads), into build-win/ (BUILD_DIR
# overrides), with PuTTY's Windows pscp.exe and plink.exe beside them.
#
# LZ4, wolfSSL, OpenSSL's libcrypto and PuTTY's tools are built for mingw
# from Debian's own source packages of the versions installed for Linux (the
# JSON library, headers only, is copied from its Debian package), fetched
# with apt's source support through an apt configuration of this script's
# own (its sources file lists the machine's Debian archives with deb-src;
# the machine's apt setup is not touched). Nothing else is downloaded. The
# built libraries and tools, with the copyright files of their source
# packages, are kept in KRII_WIN_CACHE (default ~/.cache/krii-win), keyed by
# the versions, the compiler and the recipes below, so that a rerun reuses
# them.
#
#   scripts/win-build.sh               configure and build
#   scripts/win-build.sh --bundle      also the bundle folder, its zip and the
#                                      installer (build-win/bundle/), with the
#                                      ARMv7 daemon of the Linux build in
#                                      LINUX_BUILD_DIR (default build)
#   scripts/win-build.sh --test        the bundle, then the tests under Wine
# Further arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD="${BUILD_DIR:-build-win}"
CACHE="${KRII_WIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/krii-win}"
HOST=x86_64-w64-mingw32
LINUX_BUILD=$(realpath -m "${LINUX_BUILD_DIR:-build}")
RUN_TESTS=0
BUNDLE=0
case "${1:-}" in
  --test) RUN_TESTS=1; BUNDLE=1; shift ;;
  --bundle) BUNDLE=1; shift ;;
esac

scripts/install-deps.sh

# --- the libraries for mingw ---------------------------------------------

# Builds the library of source folder $1 into prefix $2.
build_lz4() {
  cmake -S "$1/build/cmake" -B "$1/_win" -G Ninja \
    -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER=$HOST-gcc-posix \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$2" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON \
    -DLZ4_BUILD_CLI=OFF -DLZ4_BUILD_LEGACY_LZ4C=OFF >/dev/null
  cmake --build "$1/_win" --target install >/dev/null
}

build_wolfssl() {
  # The source includes Wincrypt.h; mingw ships wincrypt.h.
  mkdir -p "$1/_inc"
  ln -sf "/usr/share/mingw-w64/include/wincrypt.h" "$1/_inc/Wincrypt.h"
  # long is 32 bits on 64-bit Windows: the big-integer words must be too.
  # The peer's certificate chain is kept for the krps:// fingerprint check.
  cmake -S "$1" -B "$1/_win" -G Ninja \
    -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER=$HOST-gcc-posix \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$2" \
    -DCMAKE_C_FLAGS="-DSP_WORD_SIZE=32 -DSESSION_CERTS -DKEEP_PEER_CERT -I$1/_inc" \
    -DBUILD_SHARED_LIBS=OFF -DWOLFSSL_EXAMPLES=no -DWOLFSSL_CRYPT_TESTS=no \
    -DWOLFSSL_TLS13=yes -DWOLFSSL_TLSV12=yes -DWOLFSSL_ECC=yes -DWOLFSSL_CURVE25519=yes \
    -DWOLFSSL_ED25519=yes -DWOLFSSL_AESGCM=yes -DWOLFSSL_CHACHA=yes -DWOLFSSL_POLY1305=yes \
    -DWOLFSSL_SHA384=yes -DWOLFSSL_SHA512=yes -DWOLFSSL_OPENSSLEXTRA=yes >/dev/null
  cmake --build "$1/_win" --target install >/dev/null
}

# libcrypto (the image hashes); libssl comes along with it.
build_openssl() {
  (cd "$1" && ./Configure mingw64 no-shared no-tests no-module \
     --cross-compile-prefix=$HOST- --prefix="$2" --libdir=lib >/dev/null &&
   make -j"$(nproc)" build_libs >/dev/null && make install_dev >/dev/null)
}

# PuTTY's Windows pscp.exe and plink.exe, with PuTTY's own toolchain file
# for mingw; they import only system DLLs.
build_putty() {
  cmake -S "$1" -B "$1/_win" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$1/cmake/toolchain-mingw.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$1/_win" --target pscp plink >/dev/null
  mkdir -p "$2/bin"
  local t
  for t in pscp plink; do
    $HOST-strip -o "$2/bin/$t.exe" "$1/_win/$t.exe"
  done
}

# The copyright file of source folder $1 (its Debian source package's) as
# licence $3 of prefix $2, for the bundle.
keep_licence() {
  mkdir -p "$2/share/licences"
  cp "$1/debian/copyright" "$2/share/licences/$3.txt"
}

# The report's JSON library is headers only: Debian's own, with its CMake
# package, placed in the prefix so that nothing of the host's /usr/include
# reaches the Windows compiler.
copy_json() {
  mkdir -p "$1/include" "$1/share/cmake"
  cp -r /usr/include/nlohmann "$1/include/"
  cp -r /usr/share/cmake/nlohmann_json "$1/share/cmake/"
  # Its copyright, and that of the compiler's run-time libraries linked into
  # every program (the C++ library, libgcc, the mingw-w64 run-time and its
  # threads), from their Debian packages.
  mkdir -p "$1/share/licences"
  cp /usr/share/doc/nlohmann-json3-dev/copyright "$1/share/licences/nlohmann-json.txt"
  cp /usr/share/doc/mingw-w64-x86-64-dev/copyright "$1/share/licences/mingw-w64.txt"
  cp /usr/share/doc/gcc-mingw-w64-base/copyright "$1/share/licences/gcc-runtime.txt"
}

# apt with this script's own sources file, lists and cache.
APT_DIR="$CACHE/apt"
apt_own() {
  apt-get -q -o APT::Sandbox::User=root -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$APT_DIR/sources.list.d" \
    -o Dir::State::Lists="$APT_DIR/lists" -o Dir::Cache="$APT_DIR/cache" "$@"
}

apt_cache_own() {
  apt-cache -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$APT_DIR/sources.list.d" \
    -o Dir::State::Lists="$APT_DIR/lists" -o Dir::Cache="$APT_DIR/cache" "$@"
}

# The machine's Debian archives, as source archives.
write_sources() {
  mkdir -p "$APT_DIR/sources.list.d" "$APT_DIR/lists/partial" "$APT_DIR/cache/archives/partial"
  local out="$APT_DIR/sources.list.d/krii-win-src.sources"
  : >"$out"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    grep -q 'debian' "$f" || continue
    sed 's/^Types:.*/Types: deb-src/' "$f" >>"$out"
    echo >>"$out"
  done
  if [ -f /etc/apt/sources.list ]; then
    grep -E '^deb\s' /etc/apt/sources.list | sed 's/^deb\s/deb-src /' >"$APT_DIR/sources.list.d/krii-win-src.list" || true
  fi
}

# Whether folder $1 holds source package $2 of version $3 whole: its .dsc as
# the archive's index lists it, and every file the .dsc lists with the
# checksum it gives. The upstream signature (.asc) may be missing: some
# mirrors do not carry it, and apt then fails the whole download although
# the source itself arrived.
# The "sum size name" lines of the Checksums-Sha256 fields of its input.
sha256_lines() { awk '/^Checksums-Sha256:/ {s = 1; next} /^[^ ]/ {s = 0} s && NF == 3'; }

source_complete() {
  local dsc="$2_${3#*:}.dsc" sums
  [ -f "$1/$dsc" ] || return 1
  sums=$(apt_cache_own showsrc "$2" | sha256_lines | awk -v n="$dsc" '$3 == n {print $1 "  " $3; exit}')
  sums+=$'\n'$(sha256_lines <"$1/$dsc" | awk '{print $1 "  " $3}')
  local line n=0
  while read -r line; do
    [ -n "$line" ] || continue
    case "$line" in *.asc) [ -f "$1/${line#*  }" ] || continue ;; esac
    n=$((n + 1))
    (cd "$1" && echo "$line" | sha256sum --quiet --status -c - 2>/dev/null) || return 1
  done <<<"$sums"
  # The .dsc and at least one source file.
  [ "$n" -ge 2 ] && grep -q "  $dsc\$" <<<"$sums"
}

# Fetches and unpacks source package $1 of version $2 into $3; when the
# archive no longer serves that one (after a security update), the newest
# version it does serve. apt's exit status does not say whether the source
# arrived (see source_complete): the files do.
fetch_source() {
  local dir="$CACHE/src/$1-$2"
  if [ ! -d "$dir" ]; then
    rm -rf "$CACHE/src/dl"
    mkdir -p "$CACHE/src/dl"
    local v fetched=""
    for v in "$2" $(apt_cache_own showsrc "$1" | sed -n 's/^Version: //p' | sort -rV); do
      (cd "$CACHE/src/dl" && apt_own source --only-source --download-only "$1=$v" >/dev/null 2>&1) || true
      if source_complete "$CACHE/src/dl" "$1" "$v"; then
        fetched=$v
        break
      fi
      rm -f "$CACHE/src/dl/"*
    done
    [ -n "$fetched" ] || { echo "win-build: no source of $1 could be fetched" >&2; exit 1; }
    rm -rf "$dir.tmp"
    dpkg-source --no-check -x "$CACHE/src/dl/$1_${fetched#*:}.dsc" "$dir.tmp" >/dev/null
    mv "$dir.tmp" "$dir"
  fi
  eval "$3=\$dir"
}

WOLFSSL_VER=$(dpkg-query -W -f='${source:Version}' libwolfssl-dev)
LZ4_VER=$(dpkg-query -W -f='${source:Version}' liblz4-dev)
OPENSSL_VER=$(dpkg-query -W -f='${source:Version}' libssl-dev)
JSON_VER=$(dpkg-query -W -f='${Version}' nlohmann-json3-dev)
PUTTY_VER=$(dpkg-query -W -f='${source:Version}' putty-tools)
GCC_VER=$($HOST-gcc-posix -dumpversion)
RECIPE=$( (declare -f build_lz4 build_wolfssl build_openssl copy_json keep_licence; echo "$JSON_VER $GCC_VER") |
  sha1sum | cut -c1-12)
DEPS="$CACHE/deps-wolfssl-$WOLFSSL_VER-lz4-$LZ4_VER-openssl-$OPENSSL_VER-$RECIPE"
PUTTY_RECIPE=$( (declare -f build_putty keep_licence; echo "$GCC_VER") | sha1sum | cut -c1-12)
PUTTY="$CACHE/putty-$PUTTY_VER-$PUTTY_RECIPE"
# One build of the libraries at a time: two checkouts share the cache, and a
# second run would wipe what the first is building.
mkdir -p "$CACHE"
exec 8>"$CACHE/.lock"
flock 8
if [ ! -f "$DEPS/.done" ] || [ ! -f "$PUTTY/.done" ]; then
  write_sources
  apt_own update >/dev/null
fi
if [ ! -f "$DEPS/.done" ]; then
  echo "win-build: building LZ4 $LZ4_VER, wolfSSL $WOLFSSL_VER and OpenSSL $OPENSSL_VER for mingw into $DEPS"
  fetch_source lz4 "$LZ4_VER" LZ4_SRC
  fetch_source wolfssl "$WOLFSSL_VER" WOLFSSL_SRC
  fetch_source openssl "$OPENSSL_VER" OPENSSL_SRC
  rm -rf "$DEPS" "$LZ4_SRC/_win" "$WOLFSSL_SRC/_win"
  build_lz4 "$LZ4_SRC" "$DEPS"
  build_wolfssl "$WOLFSSL_SRC" "$DEPS"
  build_openssl "$OPENSSL_SRC" "$DEPS"
  copy_json "$DEPS"
  keep_licence "$LZ4_SRC" "$DEPS" lz4
  keep_licence "$WOLFSSL_SRC" "$DEPS" wolfssl
  keep_licence "$OPENSSL_SRC" "$DEPS" openssl
  touch "$DEPS/.done"
fi
if [ ! -f "$PUTTY/.done" ]; then
  echo "win-build: building PuTTY $PUTTY_VER's pscp.exe and plink.exe for mingw into $PUTTY"
  fetch_source putty "$PUTTY_VER" PUTTY_SRC
  rm -rf "$PUTTY" "$PUTTY_SRC/_win"
  build_putty "$PUTTY_SRC" "$PUTTY"
  keep_licence "$PUTTY_SRC" "$PUTTY" putty
  echo "$PUTTY_VER" >"$PUTTY/VERSION"
  touch "$PUTTY/.done"
fi
# What a rerun needs is built; the sources and older builds are not needed.
rm -rf "$CACHE/src"
find "$CACHE" -maxdepth 1 \( -name 'deps-*' -o -name 'putty-*' \) ! -path "$DEPS" ! -path "$PUTTY" \
  -exec rm -rf {} +

flock -u 8

# --- krii ----------------------------------------------------------------------

# Libraries built anew live elsewhere: what the build folder found of the
# old ones is forgotten.
if [ "$(cat "$BUILD/.krii-win-deps" 2>/dev/null)" != "$DEPS" ]; then
  rm -f "$BUILD/CMakeCache.txt"
  mkdir -p "$BUILD"
  echo "$DEPS" >"$BUILD/.krii-win-deps"
fi
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
  -DKRII_WIN_DEPS="$DEPS" -DKRII_WIN_PUTTY="$PUTTY" -DKRII_LINUX_BUILD="$LINUX_BUILD" \
  -DKRII_GUI=ON -DKRII_E01=OFF -DKRII_MAN=OFF -DKRII_BENCH=OFF -DKRII_WERROR="${KRII_WERROR:-OFF}" "$@"
cmake --build "$BUILD" -j "$(nproc)"
echo "win-build: $BUILD/bin/krimg.exe, $BUILD/bin/krii.exe"
if [ "$BUNDLE" = 1 ]; then
  cmake --build "$BUILD" --target krii_win_installer
fi

if [ "$RUN_TESTS" = 1 ]; then
  scripts/win-test.sh
fi
