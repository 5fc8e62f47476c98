#!/bin/sh
# Checks a Windows DLL as the platform's host loads it: the expected PE format, "XelEvent" in its
# export table under exactly that name, and nothing in its import table but Windows' own DLLs.
#   scripts/check-pe.sh OBJDUMP DLL FORMAT      (FORMAT: pei-i386 or pei-x86-64)
set -eu
objdump=$1 dll=$2 format=$3
dump=$("$objdump" -p "$dll")
status=0
if ! printf '%s\n' "$dump" | grep -q "file format $format\$"; then
  echo "FAIL: $dll is not $format:"; printf '%s\n' "$dump" | grep 'file format' || true
  status=1
fi
# The name pointer table lists "[ordinal] name" lines after its heading.
exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^.*\] //p')
if ! printf '%s\n' "$exports" | grep -qx 'XelEvent'; then
  echo "FAIL: XelEvent is not exported by $dll; exports: $exports"
  status=1
fi
# Windows' own DLLs (compared without case); libgcc, libstdc++, winpthread and OpenSSL are linked in.
allowed='kernel32.dll advapi32.dll user32.dll msvcrt.dll ws2_32.dll crypt32.dll shell32.dll
rpcrt4.dll bcrypt.dll mpr.dll ole32.dll netapi32.dll userenv.dll secur32.dll ntdll.dll'
imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
for dll_name in $imports; do
  case " $(echo $allowed) " in
    *" $dll_name "*) ;;
    *) echo "FAIL: $dll imports $dll_name, which is not a Windows system DLL"; status=1 ;;
  esac
done
[ $status = 0 ] && echo "ok: $format, exports XelEvent, imports only:" $imports
exit $status
