#!/usr/bin/env bash
# `cmake --install` of a built tree into a fresh prefix, then a small project of someone
# else's (tests/find_package) that finds the runtime with find_package, includes one of its
# headers, links its static libraries and runs.
#   scripts/test-find-package.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
start=$(date +%s)
work=$(mktemp -d /tmp/xelcfile-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }

# The plug-in carries the component's version, and its SONAME the major version.
lib=$(find "$prefix" -name 'libXelcFile.so.*.*.*' -type f)
[ -n "$lib" ] || fail "no versioned libXelcFile.so.X.YY.ZZ below $prefix"
readelf -d "$lib" | grep -q 'SONAME.*\[libXelcFile\.so\.[0-9]*\]' || fail "$lib has no versioned SONAME"
for tool in xelhost xelmaster xeltrace xelmsg; do
  [ -x "$prefix/bin/$tool" ] || fail "bin/$tool is not installed"
done

launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S tests/find_package -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" "${launcher[@]}" >"$work/configure.log" 2>&1 \
  || { cat "$work/configure.log"; fail "the consumer project does not configure"; }
cmake --build "$work/consumer" >"$work/build.log" 2>&1 \
  || { cat "$work/build.log"; fail "the consumer project does not build"; }
[ "$("$work/consumer/consumer")" = poll ] || fail "the consumer program read the wrong value"
echo "find_package test passed ($(( $(date +%s) - start )) s)"
