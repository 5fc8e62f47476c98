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
# Encryption: every text of 0 to 100 characters, markup and non-ASCII among them, comes back
# byte for byte through the reader, with the key from a file only its owner may read.
printf 'test key 42\n' > "$T/key"
chmod 600 "$T/key"
text=''
i=0
while [ $i -le 100 ]; do
  printf '%s' "$text" > "$T/plain"
  "$@" encrypt --text --key-file "$T/key" "$T/plain" > "$T/enc" || fail "encrypt $i characters"
  { printf '<v>'; cat "$T/enc"; printf '</v>'; } > "$T/doc.xml"
  "$@" get /v --key-file "$T/key" "$T/doc.xml" > "$T/back" || fail "decrypt $i characters"
  printf '%s\n' "$text" | cmp -s - "$T/back" || fail "round trip of $i characters"
  case $((i % 7)) in
    0) c='a' ;; 1) c='&' ;; 2) c='<' ;; 3) c='Ã¼' ;; 4) c='â¬' ;;
    5) c='ð' ;; *) c=' ' ;;
  esac
  text="$text$(printf "$c")"
  i=$((i + 1))
done
# An XML fragment, the methods without key (0) and with the cluster's (2, the key given here).
printf '<a n="1">hi</a>' | "$@" encrypt --method 0 > "$T/enc0" || fail "encrypt method 0"
printf '<a>two</a>' | "$@" encrypt --method 2 --key 'cluster key' > "$T/enc2" || fail "method 2"
{ printf '<v>'; cat "$T/enc0" "$T/enc2"; printf '</v>'; } > "$T/doc.xml"
[ "$("$@" get /v/a/@n --key '' "$T/doc.xml")" = "1" ] || fail "method 0 fragment"
[ "$("$@" get '/v/a[2]' --key 'cluster key' "$T/doc.xml")" = "two" ] || fail "method 2 fragment"
"$@" get '/v/a[2]' --key 'wrong key' "$T/doc.xml" > /dev/null 2>&1; [ $? -eq 3 ] || fail "wrong key"
# A key file that others may read is refused.
chmod 644 "$T/key"
printf x | "$@" encrypt --key-file "$T/key" > /dev/null 2>&1; [ $? -eq 3 ] || fail "open key file"
echo "ok"
