#!/usr/bin/env bash
# Builds the connector and runs it once under the master: "start" with the example
# configuration, a "GetWorkingDir" call and "GetState", printing every answer.
#   ./run.sh [extra xelmaster options]
set -euo pipefail
cd "$(dirname "$0")"

./scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default

trace_file="build/xelmaster-trace.txt"
echo "== xelmaster (trace lines of the plug-in go to $trace_file)" >&2
./build/tools/xelmaster \
  --plugin build/XELC_File/libXelcFile.so \
  --host build/tools/xelhost \
  --config examples/xelcfile-config.xml \
  --call examples/GetWorkingDir.xml \
  --state \
  --trace-file "$trace_file" \
  "$@"
