#!/usr/bin/env bash
# Builds everything and runs every test: Linux, then the Windows builds under wine (x86_64, and
# i686 - the product - where 32-bit wine is installed).
#   ./test.sh                       Linux (build/), Windows x86_64 (build-win64/), i686 (build-win32/)
#   ./test.sh --asan                the AddressSanitizer + UndefinedBehaviorSanitizer build only (build-asan/)
#   ./test.sh --linux               Linux only
#   ./test.sh --windows             the Windows builds only
#   ./test.sh --pretend-no-wine32   as if wine32 could not be installed (the i686 tests are skipped)
set -euo pipefail
cd "$(dirname "$0")"

linux=1 windows=1 asan=0 deps_windows_args=()
for a in "$@"; do
  case "$a" in
    --asan) asan=1 windows=0 ;;
    --linux) windows=0 ;;
    --windows) linux=0 ;;
    --pretend-no-wine32) deps_windows_args+=(--pretend-no-wine32) ;;
    *) echo "usage: $0 [--asan | --linux | --windows] [--pretend-no-wine32]" >&2; exit 2 ;;
  esac
done
jobs=$(nproc)
start=$(date +%s)
stamp() { echo "== $1 ($(( $(date +%s) - start )) s)"; }

if [ "$linux" = 1 ]; then
  ./scripts/deps.sh
  preset=default
  [ "$asan" = 1 ] && preset=asan
  stamp "Linux: $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  stamp "Linux: tests"
  ctest --preset "$preset" -j "$jobs"
  if [ "$asan" = 0 ]; then
    stamp "Linux: install and Debian package"
    ./scripts/test-find-package.sh build
    ./scripts/test-deb.sh build
  fi
fi

if [ "$windows" = 1 ]; then
  stamp "Windows: dependencies"
  ./scripts/deps-windows.sh "${deps_windows_args[@]}"
  set -a
  . "${XEL_CACHE_DIR:-$HOME/.cache/xelcfile}/windows.env"
  set +a
  export WINEDEBUG=-all
  XEL_WINE32_MISSING=""
  [ "$XEL_WINE32" = yes ] || XEL_WINE32_MISSING="$XEL_WINE32"
  export XEL_WINE32_MISSING
  # One wine server for the whole run: every program start would otherwise pay for its own. A
  # first program started alone brings the prefix up before the tests start theirs in parallel.
  wineserver -p >/dev/null 2>&1 || true
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
  "$XEL_WINE" "${XEL_CACHE_DIR:-$HOME/.cache/xelcfile}/build/probe/probe64.exe" >/dev/null 2>&1 || true

  for preset in win64 win32; do
    stamp "Windows: $preset build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    if [ "$preset" = win32 ] && [ -n "$XEL_WINE32_MISSING" ]; then
      echo "The i686 tests are skipped: $XEL_WINE32_MISSING (the DLL's format, export and imports are checked)"
    fi
    stamp "Windows: $preset tests under wine"
    ctest --preset "$preset" -j "$jobs"
  done
fi
stamp "all tests passed"
