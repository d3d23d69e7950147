#!/usr/bin/env bash
# What comparing two saved scans costs next to the scan itself: scans TREE
# once with --save, makes a changed copy of the saved scan
# (perturb_scan.py), then compares the two. Prints wall time and peak RSS
# of each step (GNU time).
#   bench/diff_bench.sh QVDISK TREE [WORK_DIR]
set -eu
qvdisk=$1 tree=$2 work=${3:-$(mktemp -d)}
here=$(dirname "$0")
mkdir -p "$work"
measure() {  # label, command...
    local label=$1; shift
    /usr/bin/time -f "%e %M" -o "$work/time.txt" "$@" >/dev/null
    read -r secs kb <"$work/time.txt"
    printf '%-34s %8.2f s  %8.1f MB peak RSS\n' "$label" "$secs" "$(echo "$kb / 1024" | bc -l)"
}
measure "scan + --save" "$qvdisk" "$tree" --save "$work/old.json"
python3 "$here/perturb_scan.py" "$work/old.json" "$work/new.json"
printf '%-34s %8.1f MB, %8.1f MB\n' "saved documents" \
    "$(echo "$(stat -c %s "$work/old.json") / 1048576" | bc -l)" "$(echo "$(stat -c %s "$work/new.json") / 1048576" | bc -l)"
measure "--compare (text report)" "$qvdisk" --compare "$work/old.json" "$work/new.json"
measure "--compare --json diff" "$qvdisk" --compare "$work/old.json" "$work/new.json" --json diff
measure "--since (scan + compare)" "$qvdisk" "$tree" --since "$work/old.json"
