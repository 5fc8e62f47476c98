#!/usr/bin/env bash
# Folder import figures with the data link's own throughput of the same run beside them:
# poll_bench (256 MiB file end to end with the plug-in's peak memory, 1000 small files
# against the bare rename-read-unlink rate), then link_bench's DataLink transfer.
#   bench/poll_bench.sh [build dir, default build]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
for b in poll_bench link_bench; do
  if [[ ! -x "$build/bench/$b" ]]; then
    echo "poll_bench.sh: $build/bench/$b is missing (build with Google Benchmark)" >&2
    exit 1
  fi
done
"$build/bench/poll_bench"
echo "== the data link alone (100 MiB each way, MB/s over both directions)"
"$build/bench/link_bench" --benchmark_filter='BM_DataLink'
