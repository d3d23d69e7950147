#!/bin/sh
# Reads a Windows DLL's import and export tables with objdump -p: it must
# import only system DLLs (no C++ or GCC runtime to ship beside it) and export
# exactly the seven functions under their plain names.
# Usage: check_dll.sh OBJDUMP DLL
set -eu
objdump="$1"
dll="$2"
dump=$("$objdump" -p "$dll")

imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u)
bad=$(printf '%s\n' "$imports" | grep -viE '^(kernel32|msvcrt|ntdll|advapi32|ucrtbase)\.dll$|^api-ms-win-.*\.dll$' || true)
status=0
if [ -z "$imports" ]; then
    echo "no import table found in $dll"; status=1
fi
if [ -n "$bad" ]; then
    echo "imports DLLs that are not part of Windows:"; printf '  %s\n' $bad; status=1
fi

# The rows of the export name table: "[   0] disk_free".
exports=$(printf '%s\n' "$dump" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
          sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort)
want=$(printf '%s\n' disk_free disk_get_extensions disk_get_top disk_scan disk_scan_cancel \
       disk_scan_result disk_scan_status | sort)
if [ "$exports" != "$want" ]; then
    echo "exports differ"; echo "got:"; printf '  %s\n' $exports; echo "want:"; printf '  %s\n' $want; status=1
fi

[ $status -eq 0 ] && echo "imports: $(echo $imports); exports: $(echo $exports)"
exit $status
