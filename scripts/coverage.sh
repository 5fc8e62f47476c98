#!/usr/bin/env bash
# Line and branch coverage of the runtime (XelLib/) and the connector (XELC_File/) by the whole
# Linux test suite: builds the "coverage" preset (gcov instrumentation), runs every test, and
# prints the totals and the per-file table (gcovr). Test sources and test fixtures are not
# counted. Installs gcovr from Debian when it is missing.
#   scripts/coverage.sh [--no-build] [--jobs N]
# Leaves build-coverage/coverage.txt (table) and build-coverage/coverage-summary.txt (totals).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-coverage
jobs=$(nproc)
do_build=1
while [ $# -gt 0 ]; do
  case "$1" in
    --no-build) do_build=0 ;;
    --jobs) jobs=$2; shift ;;
    -h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
  shift
done

if ! command -v gcovr >/dev/null; then
  sudo_cmd=""; [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
  $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get install -y -q gcovr >/dev/null
fi

if [ "$do_build" = 1 ]; then
  cmake --preset coverage >/dev/null
  cmake --build --preset coverage -j "$jobs"
fi
# Counters from an earlier run would add up with this one.
find "$build" -name '*.gcda' -delete
ctest --preset coverage -j "$jobs" || echo "coverage: some tests failed; the figures below include the run anyway" >&2

filters=(--filter 'XelLib/' --filter 'XELC_File/'
         --exclude '.*_test\.cc$' --exclude '.*Test[A-Za-z]*\.h$' --exclude 'XelLib/testing/')
# gcovr reads the .gcda files next to the objects; the source root maps them back to files.
common=(-r . "$build" "${filters[@]}" --exclude-unreachable-branches --exclude-throw-branches -j "$jobs")
gcovr "${common[@]}" --branches --txt "$build/coverage-branches.txt" >/dev/null
gcovr "${common[@]}" --txt "$build/coverage.txt" --print-summary >"$build/coverage-summary.txt"
cat "$build/coverage.txt"
echo
echo "Branches per file: $build/coverage-branches.txt"
grep -E '^(lines|branches):' "$build/coverage-summary.txt"
