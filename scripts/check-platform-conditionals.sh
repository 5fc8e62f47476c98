#!/bin/sh
# The platform is chosen by whole files in the operating-system layer: no preprocessor conditional
# on the operating system anywhere else, except the one export-macro header.
#   scripts/check-platform-conditionals.sh [SOURCE_DIR]
set -eu
cd "${1:-$(dirname "$0")/..}"
pattern='^[[:space:]]*#[[:space:]]*(if|ifdef|ifndef|elif)\b.*\b(_WIN32|_WIN64|WIN32|_WINDOWS|__MINGW32__|__MINGW64__|_MSC_VER|__CYGWIN__|__linux__|__linux|linux|__unix__|__unix|__APPLE__|__FreeBSD__|_POSIX_VERSION)\b'
found=$(grep -rnE --include='*.cc' --include='*.h' --include='*.inc' "$pattern" \
          XelLib XELC_File tools bench fuzz 2>/dev/null |
        grep -v '^XelLib/src/osal/' | grep -v '^XelLib/inc/xel/Export.h:' || true)
if [ -n "$found" ]; then
  echo "Platform conditionals outside XelLib/src/osal and XelLib/inc/xel/Export.h:"
  echo "$found"
  exit 1
fi
echo "ok: no platform conditionals outside the operating-system layer and the export header"
