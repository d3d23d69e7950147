#!/bin/sh
# Lists the dynamic symbols a shared library defines and compares them with
# the exports.
set -e
lib="$1"
got=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtDdBbVWiu]$/ {print $3}' | grep -v '^_\(init\|fini\|edata\|end\|_bss_start\)$' | sort)
want=$(printf '%s\n' disk_free disk_get_dir disk_import_begin disk_import_end disk_import_entry disk_get_extensions disk_get_problems disk_get_top disk_scan disk_scan_cancel disk_scan_ex disk_scan_get_options disk_scan_problems disk_scan_progress disk_scan_result disk_scan_status disk_visit | sort)
if [ "$got" != "$want" ]; then
    echo "exports differ:"; echo "got:"; echo "$got"; echo "want:"; echo "$want"
    exit 1
fi
echo "exports: $(echo "$got" | tr '\n' ' ')"
