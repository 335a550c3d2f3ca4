#!/bin/sh
# Checks the binary contract of veldran.tlm from its PE headers: a 32-bit
# i386 DLL exporting exactly __main@8 and _FUNCTION_TABLE, importing the
# eight serial-library functions from comm.dll by name and otherwise only
# Windows system DLLs.
set -u
DLL=$1
OBJDUMP=${2:-i686-w64-mingw32-objdump}
. "$(cd "$(dirname "$0")/.." && pwd)/checks.sh"
dump=$("$OBJDUMP" -p "$DLL") || { echo "FAIL: objdump could not read $DLL"; exit 1; }

check "format" "pei-i386" "$(echo "$dump" | sed -n 's/.*file format \(.*\)/\1/p' | head -1)"
check "is a DLL" "yes" "$(echo "$dump" | grep -qx '[[:space:]]*DLL' && echo yes || echo no)"

exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
check "exports" "_FUNCTION_TABLE __main@8 " "$exports"

dlls=$(echo "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
check "imported DLLs" "comm.dll kernel32.dll msvcrt.dll " "$dlls"
for bad in libwinpthread libgcc_s libstdc++; do
    case "$dlls" in *$bad*) echo "FAIL: imports $bad"; fail=1 ;; esac
done

comm=$(echo "$dump" | awk '/DLL Name: comm.dll/{on=1; next} /DLL Name:/{on=0} on && /^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+_COM/{print $3}' | sort | tr '\n' ' ')
check "comm.dll imports by name" "_COMdisable _COMgetc _COMrcvclear _COMrcvqueue _COMsetup _COMwrite _COMxmitclear _COMxmitqueue " "$comm"

exit $fail
