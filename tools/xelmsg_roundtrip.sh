#!/bin/sh
# Round trip through xelmsg: XML text -> token stream -> XML text, path reads, comparison
# and the exit codes for a difference and for bad input.
# Usage: xelmsg_roundtrip.sh XELMSG [EMULATOR [ARG...]]
# A cross-built XELMSG (a Windows program) is run through the emulator, e.g. wine.
set -u
X="$1"
shift
set -- "$@" "$X"  # from here on "$@" is the command that runs the tool
T=$(mktemp -d) || exit 1
trap 'rm -rf "$T"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

printf '<r xmlns:p="urn:p"><p:item n="1">one &amp; two</p:item><bin>AAECAw==</bin></r>' > "$T/in.xml"
"$@" encode "$T/in.xml" > "$T/in.bin" || fail "encode"
head -c 3 "$T/in.bin" | od -An -tx1 | grep -q '02 01 00' || fail "token stream header"
"$@" decode --indent 0 < "$T/in.bin" > "$T/out.xml" || fail "decode"
"$@" encode --compact "$T/out.xml" | "$@" decode --indent 0 > "$T/out2.xml" || fail "compact"
cmp -s "$T/out.xml" "$T/out2.xml" || fail "compact round trip differs"
[ "$("$@" get r/item/@n "$T/in.bin")" = "1" ] || fail "get attribute"
[ "$("$@" get /r/item "$T/out.xml")" = "one & two" ] || fail "get text"
"$@" compare "$T/in.xml" "$T/in.bin" || fail "compare equal"

printf '<r><p:item xmlns:p="urn:p" readcomparemode="wildcard"/><bin>AAECBA==</bin></r>' > "$T/templ.xml"
out=$("$@" compare "$T/templ.xml" "$T/in.bin"); rc=$?
[ $rc -eq 1 ] || fail "compare difference exit code $rc"
case "$out" in "text content different at \"/r/bin\""*) ;; *) fail "compare text: $out" ;; esac

"$@" get /r/missing "$T/in.bin" 2>/dev/null; [ $? -eq 1 ] || fail "missing path exit code"
printf '<r><a></r>' | "$@" decode > /dev/null 2> "$T/err"; rc=$?
[ $rc -eq 3 ] && [ -s "$T/err" ] || fail "bad input exit code $rc"
echo "ok"
