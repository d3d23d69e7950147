#!/bin/sh
# Reads a Windows DLL's import and export tables with objdump -p: it must
# import KERNEL32.dll, msvcrt.dll and ntdll.dll and nothing else, all three
# in every Windows process (no C++ or GCC runtime to ship beside it), import no TlsAlloc (a TLS slot taken by a DLL that
# hosts load and unload again and again is never given back), and export under their plain names exactly the
# functions the public header declares QV_API, the eleven below among them.
# Usage: check_dll.sh OBJDUMP DLL HEADER
set -eu
objdump="$1"
dll="$2"
header="$3"
dump=$("$objdump" -p "$dll")
status=0

imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -u)
bad=$(printf '%s\n' "$imports" | grep -viE '^(kernel32|msvcrt|ntdll)\.dll$' || true)
if [ -z "$imports" ]; then
    echo "no import table found in $dll"; status=1
fi
if [ -n "$bad" ]; then
    echo "imports other DLLs than KERNEL32.dll, msvcrt.dll and ntdll.dll:"; printf '  %s\n' $bad; status=1
fi

# The import rows: "	2eb94	 1443  TlsAlloc".
if printf '%s\n' "$dump" | grep -qE '^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+TlsAlloc$'; then
    echo "imports TlsAlloc: something pulls in thread-local storage (thread_local, a guarded static, winpthreads)"
    status=1
fi

# The rows of the export name table: "[   0] disk_free".
exports=$(printf '%s\n' "$dump" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
          sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort)
declared=$(grep -E '^QV_API' "$header" | sed -E 's/^[^(]*[^A-Za-z0-9_]([A-Za-z_][A-Za-z0-9_]*)\(.*/\1/' | sort)
if [ "$exports" != "$declared" ]; then
    echo "exports differ from the header's declarations"
    echo "exported:"; printf '  %s\n' $exports; echo "declared:"; printf '  %s\n' $declared; status=1
fi
for f in disk_scan disk_scan_status disk_scan_progress disk_scan_cancel disk_free disk_scan_result disk_get_top \
         disk_get_extensions disk_scan_problems disk_get_problems disk_get_dir; do
    printf '%s\n' "$exports" | grep -qx "$f" || { echo "not exported: $f"; status=1; }
done

[ $status -eq 0 ] && echo "imports: $(echo $imports); exports: $(echo $exports)"
exit $status
