#!/usr/bin/env bash
# Sets up what the Windows builds need, when missing:
#   - the mingw-w64 cross compilers (posix thread variants) and wine64 (Debian packages);
#   - wine32 (i386), when the i386 archive lets it install; otherwise the i386 architecture is
#     removed again, so that `apt-get update` keeps working, and the reason is recorded;
#   - OpenSSL's libcrypto and GoogleTest, cross-built from Debian's own source packages into a
#     cache folder outside the clone (built once, reused by later runs);
#   - one wine prefix for both architectures, made after wine32 is installed.
#
#   scripts/deps-windows.sh [--pretend-no-wine32]
#
# The cache folder is $XEL_CACHE_DIR (default ~/.cache/xelcfile). The script writes
# $XEL_CACHE_DIR/windows.env, which the build reads: the dependency prefixes of each
# architecture, WINEPREFIX, and XEL_WINE32 ("yes", or the reason why the 32-bit tests cannot
# run). --pretend-no-wine32 behaves as if wine32 could not be installed.
set -euo pipefail
cd "$(dirname "$0")/.."

pretend_no_wine32=0
for a in "$@"; do
  case "$a" in
    --pretend-no-wine32) pretend_no_wine32=1 ;;
    *) echo "usage: $0 [--pretend-no-wine32]" >&2; exit 2 ;;
  esac
done

cache="${XEL_CACHE_DIR:-${HOME}/.cache/xelcfile}"
mkdir -p "$cache/src"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# --- Debian packages ------------------------------------------------------------------------
packages=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64
          binutils-mingw-w64-i686 wine wine64 dpkg-dev make perl cmake ninja-build googletest)
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- wine32 -------------------------------------------------------------------------------------
wine32_reason=""
if installed wine32:i386; then
  [ "$pretend_no_wine32" = 1 ] && wine32_reason="wine32 taken as missing (--pretend-no-wine32)"
else
  added_i386=0
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    added_i386=1
  fi
  if [ "$pretend_no_wine32" = 1 ]; then
    wine32_reason="wine32:i386 taken as not installable (--pretend-no-wine32)"
  elif $SUDO apt-get update -qq >/dev/null 2>&1 &&
       $SUDO apt-get install -s -qq --no-install-recommends wine32:i386 wine >/dev/null 2>&1; then
    echo "Installing: wine32:i386"
    if ! $SUDO apt-get install -y -qq --no-install-recommends wine32:i386 wine >/dev/null 2>&1; then
      wine32_reason="wine32:i386 did not install"
    fi
  else
    wine32_reason="wine32:i386 cannot be installed: its dependencies do not resolve in the i386 archive"
  fi
  if [ -n "$wine32_reason" ] && [ "$added_i386" = 1 ]; then
    # Left enabled, an i386 archive that lags the amd64 one breaks every later update.
    $SUDO dpkg --remove-architecture i386 || true
    if $SUDO apt-get update -qq >/dev/null 2>&1; then
      echo "deps-windows: the i386 architecture is removed again; apt-get update works"
    else
      echo "deps-windows: apt-get update fails after removing the i386 architecture" >&2
      exit 1
    fi
  fi
fi
[ -n "$wine32_reason" ] && echo "deps-windows: the i686 tests will be skipped: $wine32_reason"

# --- source packages ------------------------------------------------------------------------------
# A fresh machine's apt knows binary packages only: add the source entries of the Debian archive
# that is configured, once.
ensure_source_entries() {
  if apt-cache showsrc openssl 2>/dev/null | grep -q '^Version:'; then return; fi
  local list=/etc/apt/sources.list.d/debian.sources
  if [ -f "$list" ]; then
    sed 's/^Types: deb$/Types: deb-src/' "$list" | $SUDO tee /etc/apt/sources.list.d/xelcfile-src.sources >/dev/null
  elif [ -f /etc/apt/sources.list ]; then
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      $SUDO tee /etc/apt/sources.list.d/xelcfile-src.list >/dev/null
  fi
  $SUDO apt-get update -qq
}

# Unpacks Debian's source package $1 below $cache/src and prints its folder. The security archive
# may list a version whose files it no longer serves: every listed version is tried, newest first.
fetch_source() {
  local pkg=$1 dir
  dir=$(find "$cache/src" -maxdepth 1 -type d -name "$pkg-[0-9]*" | sort | tail -1)
  if [ -n "$dir" ] && [ -f "$dir/.xel-unpacked" ]; then echo "$dir"; return; fi
  ensure_source_entries
  local v
  for v in $(apt-cache showsrc "$pkg" | awk '/^Version:/{print $2}' | sort -rV); do
    if (cd "$cache/src" && apt-get source -qq --download-only "$pkg=$v" >/dev/null 2>&1); then
      local dsc
      dsc=$(ls "$cache/src/${pkg}_${v#*:}.dsc")
      # A folder left by an interrupted unpack is made again.
      find "$cache/src" -maxdepth 1 -type d -name "$pkg-[0-9]*" -exec rm -rf {} +
      (cd "$cache/src" && dpkg-source -x --no-check "$dsc" >/dev/null)
      dir=$(find "$cache/src" -maxdepth 1 -type d -name "$pkg-[0-9]*" | sort | tail -1)
      touch "$dir/.xel-unpacked"
      echo "$dir"
      return
    fi
  done
  echo "deps-windows: cannot download the source package $pkg" >&2
  return 1
}

# --- OpenSSL's libcrypto, static, per architecture ---------------------------------------------------
build_openssl() {
  local arch=$1 target=$2 prefix="$cache/$1/openssl"
  if [ -f "$prefix/lib/libcrypto.a" ]; then return; fi
  local src
  src=$(fetch_source openssl)
  local work="$cache/build/openssl-$arch"
  rm -rf "$work" && mkdir -p "$work"
  echo "Building OpenSSL's libcrypto for $arch (once; cached in $prefix)"
  (
    cd "$work"
    "$src/Configure" "$target" --cross-compile-prefix="$arch-w64-mingw32-" --prefix="$prefix" \
      --libdir=lib no-shared no-asm no-tests no-module no-ssl no-tls no-dtls no-sock no-engine \
      no-ui-console no-async >/dev/null
    make -j"$(nproc)" build_libs >/dev/null
    make install_dev >/dev/null
  ) > "$cache/build/openssl-$arch.log" 2>&1 || {
    echo "deps-windows: building OpenSSL for $arch failed; see $cache/build/openssl-$arch.log" >&2
    return 1
  }
  rm -rf "$work"
}

# --- GoogleTest, static, per architecture ---------------------------------------------------------------
build_googletest() {
  local arch=$1 prefix="$cache/$1/googletest"
  if [ -f "$prefix/lib/libgtest.a" ]; then return; fi
  echo "Building GoogleTest for $arch (once; cached in $prefix)"
  local work="$cache/build/googletest-$arch"
  rm -rf "$work"
  cmake -S /usr/src/googletest -B "$work" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-$arch-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -Dgtest_disable_pthreads=OFF \
    > "$cache/build/googletest-$arch.log" 2>&1
  cmake --build "$work" >> "$cache/build/googletest-$arch.log" 2>&1
  cmake --install "$work" >> "$cache/build/googletest-$arch.log" 2>&1
  rm -rf "$work"
}

mkdir -p "$cache/build"
build_openssl x86_64 mingw64
build_openssl i686 mingw
build_googletest x86_64
build_googletest i686

# --- the wine prefix ---------------------------------------------------------------------------------------
export WINEPREFIX="$cache/wineprefix"
export WINEDEBUG=-all
wine_cmd=$(command -v wine || true)
[ -n "$wine_cmd" ] || wine_cmd=/usr/lib/wine/wine64
probe_dir="$cache/build/probe"
mkdir -p "$probe_dir"
cat > "$probe_dir/probe.c" <<'EOF'
int main(void) { return 42; }
EOF
i686-w64-mingw32-gcc -o "$probe_dir/probe32.exe" "$probe_dir/probe.c"
x86_64-w64-mingw32-gcc -o "$probe_dir/probe64.exe" "$probe_dir/probe.c"
runs() { local rc=0; timeout 120 "$wine_cmd" "$1" >/dev/null 2>&1 || rc=$?; [ "$rc" = 42 ]; }
if [ -z "$wine32_reason" ]; then
  # A prefix made before wine32 was installed starts no 32-bit program: make it again.
  if [ -d "$WINEPREFIX" ] && ! runs "$probe_dir/probe32.exe"; then
    echo "Making the wine prefix again: it cannot start a 32-bit program"
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  fi
  if ! runs "$probe_dir/probe32.exe"; then
    wine32_reason="wine cannot start a 32-bit program in $WINEPREFIX"
    echo "deps-windows: the i686 tests will be skipped: $wine32_reason"
  fi
fi
if ! runs "$probe_dir/probe64.exe"; then
  echo "deps-windows: wine cannot start a 64-bit program in $WINEPREFIX" >&2
  exit 1
fi

{
  printf 'XEL_DEPS_X86_64=%q\n' "$cache/x86_64"
  printf 'XEL_DEPS_I686=%q\n' "$cache/i686"
  printf 'WINEPREFIX=%q\n' "$WINEPREFIX"
  printf 'XEL_WINE=%q\n' "$wine_cmd"
  printf 'XEL_WINE32=%q\n' "${wine32_reason:-yes}"
} > "$cache/windows.env"
