#!/bin/sh
# Exactly-once delivery at full size: four master/plug-in pairs drain one folder of FILES
# files (default 1000) concurrently, each file delivered once and byte-identical, the folder
# left empty. Prints the elapsed time and the files per second of the four together.
#
#   bench/poll_competition.sh BUILD_DIR [FILES]
set -eu
build=${1:?usage: $0 BUILD_DIR [FILES]}
files=${2:-1000}
test_binary="$build/XELC_File/xelc_PollEndToEnd_test"
[ -x "$test_binary" ] || { echo "not built: $test_binary" >&2; exit 1; }
start=$(date +%s.%N)
XEL_POLL_E2E_FILES=$files "$test_binary" \
  --gtest_filter='PollEndToEndTest.CompetingPluginsDeliverEveryFileExactlyOnce' --gtest_brief=1
end=$(date +%s.%N)
awk -v s="$start" -v e="$end" -v n="$files" \
  'BEGIN { t = e - s; printf "%d files by 4 competing pairs in %.2f s: %.0f files/s\n", n, t, n / t }'
