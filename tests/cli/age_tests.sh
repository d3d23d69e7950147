#!/usr/bin/env bash
# qvdisk -e and the choice of files by age, on a tree whose times are set
# (touch -d): the report's oldest directories and owners, and --older-than /
# --newer-than checked against what find picks with -newermt.
#   age_tests.sh QVDISK WORK_DIR
set -u
qvdisk=$1 work=$2
export NO_COLOR=1 TZ=UTC
fail=0 pass=0
expect() {  # description, condition result
    if [ "$2" -eq 0 ]; then pass=$((pass + 1)); else echo "FAIL $1"; fail=$((fail + 1)); fi
}
mkfile() { mkdir -p "$(dirname "$1")"; head -c "$2" /dev/zero >"$1"; touch -d "$3" "$1"; }

t=$work/tree
rm -rf "$work" && mkdir -p "$t"
mkfile "$t/archive/2019/a.tar" 300000 '2019-03-01 10:00'
mkfile "$t/archive/2019/b.tar" 200000 '2019-06-01 10:00'
mkfile "$t/archive/2021/c.tar" 100000 '2021-01-01 10:00'
mkfile "$t/work/recent.txt" 50000 '1 hour ago'
mkfile "$t/work/old/notes.txt" 70000 '2018-01-01 10:00'
mkfile "$t/mixed/fresh.log" 20000 '2 days ago'
mkfile "$t/mixed/stale.log" 90000 '2020-01-01 10:00'
touch -d '2019-06-01 10:00' "$t/archive/2019"
touch -d '2021-01-01 10:00' "$t/archive/2021" "$t/archive"
touch -d '2018-01-01 10:00' "$t/work/old"
if [ "$(id -u)" -eq 0 ]; then chown 65534 "$t/archive/2021/c.tar" "$t/mixed/stale.log"; fi

"$qvdisk" "$t" -e -b >"$work/report.txt" 2>&1
expect "-e ends with status 0" $?
# The outermost directories unchanged for a year, largest first; work/old is
# old, but work is not (recent.txt).
sed -n '/^Oldest large directories/,/^$/p' "$work/report.txt" | grep -o '/tree/[^ ]*' >"$work/old.txt"
expect "oldest large directories: archive, then work/old (got: $(tr '\n' ' ' <"$work/old.txt"))" \
    $([ "$(tr '\n' ' ' <"$work/old.txt")" = "/tree/archive/ /tree/work/old/ " ] && echo 0 || echo 1)
grep -q '2021-01-01 10:00  .*/tree/archive/$' "$work/report.txt"
expect "a directory's time is the newest below it" $?
owners=$(sed -n '/^Largest owners/,$p' "$work/report.txt")
if [ "$(id -u)" -eq 0 ]; then
    echo "$owners" | grep -Eq '^ +185\.5 KiB +.*nobody \(65534\) +2 files$'
    expect "the files of another owner are summed under its name (got: $owners)" $?
fi
mine=$(find "$t" -type f -user "$(id -u)" -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
mine=$(awk -v b="$mine" 'BEGIN { printf "%.1f KiB", b / 1024 }')
echo "$owners" | grep -Eq "^ +$mine .*\\($(id -u)\\)"
expect "the files of this user are summed as find sums them ($mine)" $?

# The files a span picks, and their sum, as find picks them.
span_sum() { "$qvdisk" "$t" -b "$@" --json tree | python3 -c 'import json,sys; print(json.load(sys.stdin)["total_size"])'; }
find_sum() { find "$t" -type f "$@" -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }'; }
for span in "1y" "30d" "2020-06-01" "2019-01-01 00:00"; do
    got=$(span_sum --older-than "$span")
    want=$(find_sum ! -newermt "$(date -d "$( [[ $span == *-* ]] && echo "$span" || echo "${span/d/ days} ago" | sed 's/1y/1 year/')" '+%F %T')")
    expect "--older-than $span sums what find picks ($got, $want)" $([ "$got" = "$want" ] && echo 0 || echo 1)
done
got=$(span_sum --newer-than 3d)
want=$(find_sum -newermt "$(date -d '3 days ago' '+%F %T')")
expect "--newer-than 3d sums what find picks ($got, $want)" $([ "$got" = "$want" ] && echo 0 || echo 1)
got=$(span_sum --newer-than 2019-05-01 --older-than 2020-06-01)
expect "a span on both sides keeps b.tar and stale.log ($got)" $([ "$got" = 290000 ] && echo 0 || echo 1)
"$qvdisk" "$t" -b --older-than 1y --json top | grep -q 'recent.txt'
expect "the largest files leave out what the span does" $([ $? -ne 0 ] && echo 0 || echo 1)
"$qvdisk" "$t" -b --older-than 1y --top 3 | grep -q '^  only files modified before '
expect "the report says which files it shows" $?

# Without -e, not a byte of it.
"$qvdisk" "$t" -b --json tree | grep -Eq '"(mtime|uid|fields)"'
expect "a scan without -e has no times in its documents" $([ $? -ne 0 ] && echo 0 || echo 1)
"$qvdisk" "$t" -b | grep -Eq 'Oldest large|Largest owners'
expect "a report without -e has no sections of it" $([ $? -ne 0 ] && echo 0 || echo 1)

# Times and owners travel through ncdu's format: an export of -e read back
# with -e, and ncdu's own -e export, give the scan's document.
strip_time() { python3 -c 'import json,sys; d=json.load(sys.stdin); d.pop("scan_time_ms"); print(json.dumps(d, sort_keys=True))'; }
"$qvdisk" "$t" -e --json tree | strip_time >"$work/scan.json"
"$qvdisk" "$t" -e --export "$work/export.json" >/dev/null &&
    "$qvdisk" -f "$work/export.json" -e --json tree | strip_time | cmp -s - "$work/scan.json"
expect "-e --export read back with -f -e gives the scan's document" $?
if command -v ncdu >/dev/null; then
    ncdu -e -o "$work/ncdu.json" "$t" 2>/dev/null &&
        "$qvdisk" -f "$work/ncdu.json" -e --json tree | strip_time | cmp -s - "$work/scan.json"
    expect "ncdu -e's export read with -f -e gives the scan's document" $?
fi

echo "age tests: $pass passed, $fail failed"
[ "$fail" -eq 0 ]
