#!/usr/bin/env bash
# Drain rate of 1 KiB files through the plug-in against the bare design model at 100, 1000 and
# 10 000 files in the folder, with the ratio of the two measured in the same run.
#   bench/smallfiles.sh [build dir, default build] [--polls N]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
if [[ ! -x "$build/bench/smallfiles_bench" ]]; then
  echo "smallfiles.sh: $build/bench/smallfiles_bench is missing (build with Google Benchmark)" >&2
  exit 1
fi
"$build/bench/smallfiles_bench" "$@"
