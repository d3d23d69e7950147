#!/usr/bin/env bash
# Scans that travel, held against the real readers and writers of ncdu's
# export format (ncdu 1.18, gdu 5.22) and against du:
#  - ncdu and gdu read what --export writes: the same totals, names (one not
#    UTF-8 among them) and hard links;
#  - qvdisk -f reads what ncdu -o (with and without -e) and gdu -o write of
#    a tree with a sparse file, hard links across directories, an excluded
#    directory, a tmpfs inside (-x, as root) and an unreadable directory, and
#    gives du's totals less the directories' own sizes, and its own scan's;
#  - an export read back and written again is the same file; zstd and
#    standard input read the same; --compare takes two exports;
#  - broken files end with one line and status 2.
#   travel_tests.sh QVDISK WORK_DIR
# As root, what must not read the unreadable directory runs as nobody: the
# tree, the files and a copy of qvdisk with its library then lie in a
# folder of their own below /tmp that all can reach (the build may lie where
# nobody can, below /root), removed at the end.
set -u
qvdisk=$1 work=$2
[ "$(id -u)" = 0 ] && work=$(mktemp -d /tmp/qvtravel.XXXXXX)
here=$(cd "$(dirname "$0")" && pwd)
sums="python3 $here/ncdu_sums.py"
export NO_COLOR=1 LC_ALL=C
fail=0 pass=0

expect() {  # description, condition result
    if [ "$2" -eq 0 ]; then pass=$((pass + 1)); else echo "FAIL $1"; fail=$((fail + 1)); fi
}
same() {  # description, got, want
    if [ "$2" == "$3" ]; then pass=$((pass + 1)); else
        echo "FAIL $1"; echo "  got:  $2"; echo "  want: $3"; fail=$((fail + 1)); fi
}
for tool in ncdu gdu du python3 zstd sqlite3; do
    command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

root=$work/tree
mnt=$root/mnt
cleanup() { mountpoint -q "$mnt" 2>/dev/null && umount "$mnt"; chmod -R u+rwX "$work" 2>/dev/null; }
trap 'cleanup; [ "$work" != "$2" ] && rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
cleanup
rm -rf "$work"
mkdir -p "$work"
mkdata() { mkdir -p "$(dirname "$1")"; head -c "$2" /dev/urandom >"$1"; }

mkdata "$root/top.bin" 70000
mkdata "$root/docs/one.txt" 1
mkdata "$root/docs/"$'bad\xff\xfename.txt' 3000
mkdir -p "$root/img"
truncate -s 8M "$root/img/sparse.img"
dd if=/dev/urandom of="$root/img/sparse.img" bs=64K count=1 seek=16 conv=notrunc status=none
mkdata "$root/left/shared.bin" 45000
mkdir -p "$root/right/deeper"
ln "$root/left/shared.bin" "$root/right/deeper/shared-too.bin"
mkdata "$root/src/build/main.o" 9000
mkdata "$root/src/main.c" 3000
mkdata "$root/shut/hidden.bin" 8000
mkdir -p "$mnt"
as_root=0
if [ "$(id -u)" = 0 ] && mount -t tmpfs -o size=4M qvtravel "$mnt" 2>/dev/null; then
    as_root=1
    mkdata "$mnt/on-tmpfs.bin" 50000
fi
chmod -R a+rX "$work"
chmod 000 "$root/shut"

# Runs a program as a user who cannot read shut/ (root reads everything).
as_user() {
    if [ $as_root = 1 ]; then
        setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$work" LD_LIBRARY_PATH="$work/bin" "$@"
    else
        "$@"
    fi
}
if [ $as_root = 1 ]; then
    # qvdisk and its library, where nobody can run them.
    mkdir -p "$work/bin"
    cp "$qvdisk" "$work/bin/"
    lib=$(ldd "$qvdisk" | awk '/libquorvel-disk/ {print $3}')
    [ -n "$lib" ] && cp -L "$lib" "$work/bin/"
    qvdisk=$work/bin/$(basename "$qvdisk")
    chmod 777 "$work"
    chmod -R a+rX "$work/bin"
fi

# du's figure for the tree less the directories' own, with du's own options.
du_files() {  # -B1 or -b, then du's options
    local kind=$1; shift
    local total dirs
    total=$(as_user du -s "$kind" "$@" "$root" 2>/dev/null | cut -f1)
    dirs=$(as_user du "$kind" -a "$@" "$root" 2>/dev/null | while IFS=$'\t' read -r s p; do
        [ -d "$p" ] && [ ! -L "$p" ] && {
            if [ "$kind" = -b ]; then stat -c %s "$p"; else echo $(( $(stat -c %b "$p") * 512 )); fi; }
    done | awk '{s += $1} END {print s + 0}')
    echo $((total - dirs))
}
total_of() { sed -n 's/.*"total_size":\([0-9]*\).*/\1/p' | head -n 1; }

# --- ncdu and gdu read our export.
as_user "$qvdisk" "$root" -x --export "$work/ours.json" >/dev/null 2>"$work/ours.err"
expect "--export ends with status 0" $?
ours_total=$(as_user "$qvdisk" "$root" -x --json tree 2>/dev/null | total_of)
same "our export sums to our scan's total" "$($sums "$work/ours.json" | sed 's/.*size //')" "$ours_total"
ncdu -f "$work/ours.json" -o "$work/theirs.json" 2>"$work/ncdu.err"
expect "ncdu reads our export" $?
same "ncdu's re-export: the same entries, totals and hard links" \
    "$($sums "$work/theirs.json" --names | md5sum)" "$($sums "$work/ours.json" --names | md5sum)"
grep -q $'bad\xff\xfename.txt' "$work/theirs.json"
expect "ncdu keeps the name that is not UTF-8 byte for byte" $?
# gdu gives every directory it imports 4 KiB of its own, root included.
gdu_total=$(gdu -f "$work/ours.json" -n -s --no-prefix 2>/dev/null | awk '{print $1}')
dirs=$($sums "$work/ours.json" | sed 's/.*dirs \([0-9]*\).*/\1/')
same "gdu reads our export to our total" "$gdu_total" "$((ours_total + 4096 * (dirs + 1)))"

# --- we read theirs, as du counts and as our own scan counts.
for kind in ncdu ncdu-e gdu; do
    case $kind in
    ncdu) as_user ncdu -x --exclude build -o "$work/$kind.json" "$root" 2>/dev/null ;;
    ncdu-e) as_user ncdu -x -e --exclude build -o "$work/$kind.json" "$root" 2>/dev/null ;;
    # gdu's patterns leave out directories only.
    gdu) as_user gdu -x -n -p -I '.*/build$' -o "$work/$kind.json" "$root" >/dev/null ;;
    esac
    for size in "-B1:" "-b:-b"; do
        du_kind=${size%%:*} our_kind=${size#*:}
        want=$(du_files "$du_kind" -x --exclude build)
        scan=$(as_user "$qvdisk" "$root" -x --exclude build $our_kind --json tree 2>/dev/null | total_of)
        got=$("$qvdisk" -f "$work/$kind.json" $our_kind --json tree 2>"$work/$kind.err" | total_of)
        same "$kind -o read back ($du_kind): du's total" "$got" "$want"
        same "$kind -o read back ($du_kind): our own scan's total" "$got" "$scan"
    done
    # gdu's exports do not say which directories it could not read.
    if [ $kind != gdu ]; then
        grep -q "1 directory unreadable" "$work/$kind.err"
        expect "$kind: the unreadable directory is told ($(cat "$work/$kind.err"))" $?
    fi
done

# --- read back and written again; zstd; standard input; --compare.
"$qvdisk" -f "$work/ours.json" --export "$work/again.json" >/dev/null 2>&1
same "an export read and written again is the same" \
    "$(sed 1d "$work/again.json" | md5sum)" "$(sed 1d "$work/ours.json" | md5sum)"
zstd -q -f "$work/ours.json" -o "$work/ours.json.zst"
same "zstd reads the same" "$("$qvdisk" -f "$work/ours.json.zst" --json tree 2>/dev/null | total_of)" "$ours_total"
same "standard input reads the same" "$("$qvdisk" -f - --json tree <"$work/ours.json.zst" 2>/dev/null | total_of)" \
    "$ours_total"
mkdata "$root/docs/grown.bin" 200000
as_user "$qvdisk" "$root" -x --export "$work/later.json" >/dev/null 2>&1
"$qvdisk" --compare "$work/ours.json" "$work/later.json" --json diff >"$work/diff.json" 2>/dev/null
expect "--compare takes two exports" $?
grep -q '/docs/grown.bin"' "$work/diff.json"
expect "--compare of two exports finds the file that came" $?
same "--export - writes the export alone on standard output" \
    "$("$qvdisk" -f "$work/ours.json" --export - 2>/dev/null | sed 1d | md5sum)" "$(sed 1d "$work/ours.json" | md5sum)"

# --- the flat table of a scan and of an export read, summed by sqlite3 and
# DuckDB (when its Node.js client is installed).
rm -f "$work/scans.sqlite"
now_total=$("$qvdisk" "$root" -x --json tree 2>/dev/null | total_of)
"$qvdisk" "$root" -x --table "$work/scans.sqlite" >/dev/null 2>&1
"$qvdisk" -f "$work/ours.json" --table "$work/scans.sqlite" >/dev/null 2>&1
expect "--table of a scan and of an export into one database" $?
same "sqlite3 sums each scan's files to its total" \
    "$(sqlite3 "$work/scans.sqlite" "SELECT group_concat(s, ' ') FROM (SELECT sum(size) AS s FROM entries
       WHERE kind = 'file' GROUP BY scan ORDER BY scan)")" "$now_total $ours_total"
same "the scans table holds both, with their totals" \
    "$(sqlite3 "$work/scans.sqlite" "SELECT group_concat(total_size, ' ') FROM scans")" "$now_total $ours_total"
duck=$here/../table/duck.mjs
if command -v node >/dev/null && [ -d "$here/../table/node_modules/@duckdb" ]; then
    "$qvdisk" -f "$work/ours.json" --table "$work/ours.csv" >/dev/null 2>&1
    same "DuckDB sums the CSV's files to the total" \
        "$(node "$duck" "SELECT sum(size) FROM read_csv('$work/ours.csv') WHERE kind = 'file'")" "[[$ours_total]]"
else
    echo "note: DuckDB's client is not installed (cd tests/table && npm ci): its check is left out"
fi

# --- broken files: one line, status 2.
head -c 300 "$work/ours.json" >"$work/cut.json"
printf '[1,2,{},{"name":"/x"}]' >"$work/file-root.json"
printf '[2,0,{},[{"name":"/x"}]]' >"$work/major.json"
printf '[1,2,{},[{"name":"/x"},{"name":"a/b"}]]' >"$work/slash.json"
printf 'not json' >"$work/text.json"
head -c 100 "$work/ours.json.zst" >"$work/cut.zst"
for f in cut.json file-root.json major.json slash.json text.json cut.zst missing.json; do
    "$qvdisk" -f "$work/$f" >"$work/out" 2>"$work/err"
    rc=$?
    same "$f: status 2" "$rc" 2
    same "$f: one line on stderr" "$(wc -l <"$work/err")" 1
    same "$f: nothing on stdout" "$(wc -c <"$work/out")" 0
done

echo "travel: $pass passed, $fail failed"
[ $fail -eq 0 ]
