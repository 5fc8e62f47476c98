#!/usr/bin/env bash
# Builds the connector and runs it under the master program in poll mode: fills an example
# inbox (/tmp/xelcfile-demo/inbox) with plain files, a trigger file with companions and an
# import descriptor with linked files, imports until the inbox is empty into ./out/received,
# and shows the printed packages, the received files and the emptied inbox.
#   ./run.sh [extra xelmaster options]
set -euo pipefail
cd "$(dirname "$0")"

./scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default

inbox=/tmp/xelcfile-demo/inbox
received=out/received
rm -rf "$inbox" "$received"
mkdir -p "$inbox/plain" "$inbox/trigger" "$inbox/descriptor/pages" "$received"

# Plain files: each one is a package of its own.
printf 'Hello from the inbox.\n' >"$inbox/plain/hello.txt"
head -c 100000 /dev/urandom >"$inbox/plain/data.bin"
: >"$inbox/plain/empty.txt"
# A trigger file announcing its companions (same name up to the last ".").
printf 'id;amount\n1;9.50\n2;12.00\n' >"$inbox/trigger/order1.csv"
head -c 20000 /dev/urandom >"$inbox/trigger/order1.pdf"
: >"$inbox/trigger/order1.trg"
# An import descriptor with the files it links.
printf 'page one\n' >"$inbox/descriptor/pages/page1.txt"
head -c 5000 /dev/urandom >"$inbox/descriptor/pages/page2.tif"
cat >"$inbox/descriptor/batch7.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<ImportSession>
  <Batch>
    <Page ImportFileName="pages/page1.txt"/>
    <Page ImportFileName="pages/page2.tif"/>
  </Batch>
</ImportSession>
XML

echo "== inbox before"
(cd "$inbox" && find . -type f | sort)

trace_file="build/xelmaster-trace.txt"
echo "== xelmaster in poll mode (trace lines of the plug-in go to $trace_file)"
./build/tools/xelmaster \
  --plugin build/XELC_File/libXelcFile.so \
  --host build/tools/xelhost \
  --config examples/poll-config.xml \
  --poll-request examples/poll-plain.xml \
  --poll-request examples/poll-trigger.xml \
  --poll-request examples/poll-descriptor.xml \
  --output "$received" \
  --until-empty \
  --trace-file "$trace_file" \
  "$@"

echo "== received files ($received)"
ls -l "$received"
echo "== inbox after (files and folders left)"
(cd "$inbox" && find . -mindepth 1 | sort)
