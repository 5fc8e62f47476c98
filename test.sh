#!/usr/bin/env bash
# Builds everything and runs every test.
#   ./test.sh          normal build (build/)
#   ./test.sh --asan   AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/)
set -euo pipefail
cd "$(dirname "$0")"

preset=default
for a in "$@"; do
  case "$a" in
    --asan) preset=asan ;;
    *) echo "usage: $0 [--asan]" >&2; exit 2 ;;
  esac
done

./scripts/deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" -j "$(nproc)"
