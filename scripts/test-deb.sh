#!/usr/bin/env bash
# The Debian package as an operator uses it: builds it from a built tree (cpack), checks what
# it holds and that lintian finds no errors, installs it with dpkg -i, imports a small inbox
# with the installed xelmaster, xelhost and plug-in (the flow of ./run.sh), and removes the
# package again with dpkg -r - also when a check fails or the test is interrupted.
#   scripts/test-deb.sh [BUILD_DIR]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
start=$(date +%s)
fail() { echo "FAILED: $*" >&2; exit 1; }

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIPPED: installing a package with dpkg -i needs root"
  exit 0
fi
status=$(dpkg-query -W -f='${db:Status-Status}' xelcfile 2>/dev/null || true)
if [ -n "$status" ] && [ "$status" != not-installed ]; then
  fail "the package xelcfile is present here ($status); the test would replace and remove it"
fi

work=$(mktemp -d /tmp/xelcfile-deb.XXXXXX)
installed=0
cleanup() {
  local rc=$?
  if [ "$installed" = 1 ]; then dpkg -r xelcfile >"$work/remove.log" 2>&1 || cat "$work/remove.log" >&2; fi
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- the package -------------------------------------------------------------------------
(cd "$build" && cpack -G DEB -B "$work/pkg") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(echo "$work"/pkg/xelcfile_*_"$(dpkg --print-architecture)".deb)
[ -f "$deb" ] || { cat "$work/cpack.log"; fail "no xelcfile_<version>_<arch>.deb"; }
echo "package: $(basename "$deb") ($(du -k "$deb" | cut -f1) KiB); depends: $(dpkg-deb -f "$deb" Depends)"

dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents"
for want in '/usr/lib/(.*/)?libXelcFile\.so\.[0-9]+\.[0-9]+\.[0-9]+' \
            /usr/bin/xelhost /usr/bin/xelmaster /usr/bin/xeltrace /usr/bin/xelmsg \
            '/usr/share/man/man1/xelhost\.1\.gz' '/usr/share/man/man1/xelmaster\.1\.gz' \
            '/usr/share/man/man1/xeltrace\.1\.gz' '/usr/share/man/man1/xelmsg\.1\.gz' \
            /usr/share/doc/xelcfile/copyright '/usr/share/doc/xelcfile/changelog\.gz' \
            '/usr/share/doc/xelcfile/xelmaster\.md' '/usr/share/doc/xelcfile/examples/poll-config\.xml' \
            '/usr/include/xelcfile/xel/XmlParser\.h' '/usr/lib/(.*/)?libxel_runtime\.a' \
            '/usr/lib/(.*/)?cmake/XelcFile/XelcFileConfig\.cmake'; do
  grep -Eqx "$want" "$work/contents" || fail "the package lacks $want"
done

# Lintian's tags of severity warning and above are shown; an error fails the test.
rc=0
lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || rc=$?
grep -v 'running with root privileges' "$work/lintian.log" >"$work/lintian.tags" || true
[ -s "$work/lintian.tags" ] && { echo "lintian:"; cat "$work/lintian.tags"; }
[ "$rc" = 0 ] || fail "lintian reports errors"

# --- installed -----------------------------------------------------------------------------
installed=1
dpkg -i "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg -i"; }
master=$(dpkg -L xelcfile | grep -x '.*/bin/xelmaster')
plugin=$(dpkg -L xelcfile | grep -E '/libXelcFile\.so\.[0-9]+$')  # by its SONAME
examples=$(dpkg -L xelcfile | grep -x '.*/doc/xelcfile/examples')

# The inbox of ./run.sh, smaller: plain files, a trigger file with its companions, an import
# descriptor with its linked files.
inbox=$work/inbox
mkdir -p "$inbox/plain" "$inbox/trigger" "$inbox/descriptor/pages" "$work/received"
printf 'Hello from the inbox.\n' >"$inbox/plain/hello.txt"
head -c 70000 /dev/urandom >"$inbox/plain/data.bin"
: >"$inbox/plain/empty.txt"
printf 'id;amount\n1;9.50\n' >"$inbox/trigger/order1.csv"
head -c 5000 /dev/urandom >"$inbox/trigger/order1.pdf"
: >"$inbox/trigger/order1.trg"
printf 'page one\n' >"$inbox/descriptor/pages/page1.txt"
cat >"$inbox/descriptor/batch7.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<ImportSession><Batch><Page ImportFileName="pages/page1.txt"/></Batch></ImportSession>
XML
mkdir "$work/expected"
find "$inbox" -type f ! -name '*.trg' -exec cp {} "$work/expected/" \;

# The installed examples, pointed at this inbox. The installed xelmaster finds the installed
# plug-in by itself.
for f in poll-config poll-plain poll-trigger poll-descriptor; do
  sed "s|/tmp/xelcfile-demo/inbox|$inbox|" "$examples/$f.xml" >"$work/$f.xml"
done
rc=0
(cd "$work" && timeout 60 "$master" --config poll-config.xml \
   --poll-request poll-plain.xml --poll-request poll-trigger.xml \
   --poll-request poll-descriptor.xml --output received --until-empty) >"$work/master.log" 2>&1 \
  || rc=$?
[ "$rc" = 0 ] || { cat "$work/master.log"; fail "xelmaster exited with $rc"; }

for f in "$work"/expected/*; do
  cmp -s "$f" "$work/received/$(basename "$f")" \
    || { cat "$work/master.log"; fail "$(basename "$f") did not arrive intact"; }
done
[ "$(ls -A "$work/received" | wc -l)" = "$(ls -A "$work/expected" | wc -l)" ] || fail "more files arrived than were sent"
left=$(find "$inbox" -type f)
[ -z "$left" ] || fail "files left in the inbox: $left"

# --- removed -------------------------------------------------------------------------------
installed=0
dpkg -r xelcfile >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "dpkg -r"; }
[ ! -e "$master" ] && [ ! -e "$plugin" ] || fail "files left behind after dpkg -r"
echo "Debian package test passed ($(( $(date +%s) - start )) s)"
