#!/usr/bin/env bash
# Large transfers against their baselines of the same run, as one table: the poll of a large
# file (the master counting the bytes, and storing them) and the file functions against the
# data link's throughput, the link against a plain
# shared-memory ring, the "GetWorkingDir" round trip against a Unix-socket ping-pong.
#   bench/large_files.sh [build dir, default build]
# LARGE_MIB=1000 bench/large_files.sh also polls a file of that many MiB for the peak-memory
# figure (a message holds at most 1 GiB, the answer's envelope included).
# Each benchmark runs REPS times (default 3) and the table shows the medians: on a shared
# machine single runs swing by a factor of two.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
for b in poll_bench link_bench files_bench roundtrip_bench; do
  if [[ ! -x "$build/bench/$b" ]]; then
    echo "large_files.sh: $build/bench/$b is missing (build with Google Benchmark)" >&2
    exit 1
  fi
done
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
run() {  # name, program, filter, extra arguments
  local name=$1 prog=$2 filter=$3
  shift 3
  "$build/bench/$prog" --benchmark_filter="$filter" --benchmark_format=json \
    --benchmark_repetitions="${REPS:-3}" --benchmark_report_aggregates_only=true "$@" \
    >"$out/$name.json" 2>"$out/$name.err" || { cat "$out/$name.err" >&2; }
}
run poll poll_bench 'BM_LargeFile'
[[ -n "${LARGE_MIB:-}" ]] && run poll1g poll_bench 'BM_LargeFile/stored:0' --large-mib "$LARGE_MIB"
# The link against the ring and the socket with both sides pinned to their own processor (the
# same placement for all three); as the poll's baseline, placed by the scheduler as the poll is.
run link link_bench 'BM_DataLink|BM_PlainRing|BM_UnixSocket'
run linkfree link_bench 'BM_DataLink' --no-pin
run files files_bench '.'
run rt roundtrip_bench '.'
python3 - "$out" <<'EOF'
import json, os, sys
d = sys.argv[1]
v = {}
for f in os.listdir(d):
    if not f.endswith(".json"):
        continue
    try:
        doc = json.load(open(os.path.join(d, f)))
    except ValueError:
        continue
    for b in doc.get("benchmarks", []):
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        name = b.get("run_name", b["name"])
        key = f[:-5] + ":" + name.split("/iterations")[0].split("/manual_time")[0]
        v[key] = b
def g(key, counter):
    b = v.get(key)
    return None if b is None or b.get("error_occurred") else b.get(counter)
def fmt(x, unit):
    return "-" if x is None else "%.1f %s" % (x, unit) if unit else "%.1f" % x
rows = []
def row(label, x, xu, base, bu):
    r = None
    if x is not None and base:
        r = x / base
    rows.append((label, fmt(x, xu), fmt(base, bu), "-" if r is None else "%.2f" % r))
link = g("linkfree:BM_DataLink", "MB_per_s")
pinned = g("link:BM_DataLink", "MB_per_s")
oneway = g("files:BM_LinkOneWay", "MB_per_s")
row("poll 256 MiB end to end", g("poll:BM_LargeFile/stored:0", "MB_per_s"), "MB/s", link,
    "MB/s link")
row("  first block after (ms)", g("poll:BM_LargeFile/stored:0", "first_block_ms"), "ms", None, "")
row("  plug-in peak memory", g("poll:BM_LargeFile/stored:0", "host_peak_MiB"), "MiB", None, "")
row("  the master storing the file", g("poll:BM_LargeFile/stored:1", "MB_per_s"), "MB/s", link,
    "MB/s link")
if any(k.startswith("poll1g:") for k in v):
    row("  peak memory, LARGE_MIB file", g("poll1g:BM_LargeFile/stored:0", "host_peak_MiB"), "MiB",
        None, "")
row("CreateFile binary 64 MiB", g("files:BM_CreateFileBinary", "MB_per_s"), "MB/s", oneway,
    "MB/s one way")
row("ReadFile 64 MiB whole", g("files:BM_ReadFileXml/streaming:0", "MB_per_s"), "MB/s", oneway,
    "MB/s one way")
row("ReadFile 64 MiB streamed", g("files:BM_ReadFileXml/streaming:1", "MB_per_s"), "MB/s",
    oneway, "MB/s one way")
row("link vs plain ring (pinned)", pinned, "MB/s", g("link:BM_PlainRing", "MB_per_s"), "MB/s ring")
row("link vs Unix socket (pinned)", pinned, "MB/s", g("link:BM_UnixSocket", "MB_per_s"),
    "MB/s socket")
row("GetWorkingDir round trip median",
    g("rt:BM_GetWorkingDirRoundTrip", "median_us"), "us",
    g("rt:BM_UnixSocketPingPong", "median_us"), "us socket")
w = [max(len(r[i]) for r in rows + [("Figure", "Now", "Baseline", "Ratio")]) for i in range(4)]
line = lambda r: "| " + " | ".join(c.ljust(w[i]) for i, c in enumerate(r)) + " |"
print(line(("Figure", "Now", "Baseline", "Ratio")))
print("|" + "|".join("-" * (x + 2) for x in w) + "|")
for r in rows:
    print(line(r))
EOF
