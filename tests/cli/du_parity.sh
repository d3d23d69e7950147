#!/usr/bin/env bash
# qvdisk's totals against GNU du on a tree of sparse files, hard links (in
# one directory and across directories), names to exclude, cache directories
# and, as root, a tmpfs mounted inside it.
#   du_parity.sh QVDISK WORK_DIR
#
# du counts the blocks (or lengths) of directories themselves, qvdisk counts
# only files: every du figure here is du's total less the own size of each
# directory du listed (du -a), so that the two count the same things.
set -u
shopt -s lastpipe
qvdisk=$1 work=$2
export NO_COLOR=1 LC_ALL=C
fail=0
pass=0

expect() {  # description, condition result
    if [ "$2" -eq 0 ]; then pass=$((pass + 1)); else echo "FAIL $1"; fail=$((fail + 1)); fi
}

mkdata() { mkdir -p "$(dirname "$1")"; head -c "$2" /dev/urandom >"$1"; }

root=$work/tree
mnt=$root/mnt
cleanup() { mountpoint -q "$mnt" 2>/dev/null && umount "$mnt"; }
trap cleanup EXIT
trap 'exit 130' INT TERM
cleanup
rm -rf "$work"
mkdir -p "$work"

# Files of real data, each its own count of blocks.
mkdata "$root/top.bin" 70000
mkdata "$root/docs/one.txt" 1
mkdata "$root/docs/five.txt" 5000
# Sparse: 8 MiB long, 64 KiB of it written.
mkdir -p "$root/img"
truncate -s 8M "$root/img/sparse.img"
dd if=/dev/urandom of="$root/img/sparse.img" bs=64K count=1 seek=16 conv=notrunc status=none
# Hard links: two names in one directory, two in different directories, and
# three names of which the first in path order is excluded below ("*.o").
mkdata "$root/links/orig.dat" 30000
ln "$root/links/orig.dat" "$root/links/same.dat"
mkdata "$root/left/shared.bin" 45000
mkdir -p "$root/right/deeper"
ln "$root/left/shared.bin" "$root/right/deeper/shared-too.bin"
mkdata "$root/build/obj.o" 20000
mkdir -p "$root/keep"
ln "$root/build/obj.o" "$root/keep/obj.bin"
ln "$root/build/obj.o" "$root/keep/obj-again.bin"
# Names to exclude: "*.o" at any depth, a directory name, a path fragment
# (a/b, but not a/bc, and a/b below another directory too).
mkdata "$root/src/main.o" 9000
mkdata "$root/src/main.c" 3000
mkdata "$root/node_modules/pkg/index.js" 12000
mkdata "$root/src/node_modules/dep.js" 6000
mkdata "$root/a/b/inner.txt" 11000
mkdata "$root/a/bc/kept.txt" 7000
mkdata "$root/src/a/b/deep.txt" 4000
# Cache directories: one tagged as the convention asks, one whose tag has
# the wrong signature (an ordinary directory).
mkdata "$root/cache/blob" 50000
printf 'Signature: 8a477f597d28d172789f06886806bc55\n# a cache\n' >"$root/cache/CACHEDIR.TAG"
mkdata "$root/notcache/blob" 25000
printf 'Signature: 00000000000000000000000000000000\n' >"$root/notcache/CACHEDIR.TAG"
excludes=(--exclude '*.o' --exclude node_modules --exclude a/b)

fstype=$(stat -f -c %T "$root")
blocks=$(stat -c %b "$root/img/sparse.img")
if [ $((blocks * 512)) -ge $((8 * 1048576)) ]; then
    echo "skipped: sparse files: needs a file system that keeps holes ($fstype here gives img/sparse.img its whole length)"
fi

# A tmpfs inside the tree, with a file, a sparse file and a directory.
mounted=0
mkdir -p "$mnt"
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: another file system inside the tree: needs root to mount a tmpfs"
elif ! mount -t tmpfs -o size=16m tmpfs "$mnt" 2>"$work/mount.err"; then
    echo "skipped: another file system inside the tree: needs a tmpfs mount, refused here: $(cat "$work/mount.err")"
else
    mounted=1
    mkdata "$mnt/on-tmpfs.bin" 300000
    truncate -s 4M "$mnt/hole.img"
    mkdata "$mnt/sub/more.bin" 5000
fi

# du's total for the tree, without the directories' own sizes.
#   du_files blocks|bytes DU-OPTIONS...
du_files() {
    local unit=$1 total=0 own=0 size path
    shift
    du -a0 "$@" "$root" | while IFS=$'\t' read -r -d '' size path; do
        [ "$path" = "$root" ] && total=$size
        if [ -d "$path" ] && [ ! -L "$path" ]; then
            if [ "$unit" = blocks ]; then
                own=$((own + $(stat -c %b "$path") * 512))
            else
                own=$((own + $(stat -c %s "$path")))
            fi
        fi
    done
    echo $((total - own))
}

# qvdisk's "total_size" for the tree.
qv_total() {
    "$qvdisk" "$root" --json tree "$@" | python3 -c 'import json, sys; print(json.load(sys.stdin)["total_size"])'
}

# Each row: qvdisk's options | du's unit | du's options. A row's label is
# its qvdisk options.
declare -A du_of
set -f  # the rows' patterns are no file names here
while IFS='|' read -r qv unit du_opts; do
    qv=$(echo $qv) unit=$(echo $unit) du_opts=$(echo $du_opts)
    eval "qv_args=($qv)" "du_args=($du_opts)"
    want=$(du_files "$unit" "${du_args[@]}")
    got=$(qv_total "${qv_args[@]}")
    du_of["${qv:-(default)}"]=$want
    printf '  %-62s qvdisk %12s  du %12s\n' "${qv:-(default)}" "$got" "$want"
    expect "qvdisk ${qv:-(default)}: $got, du ${du_opts}: $want" $([ "$got" = "$want" ] && echo 0 || echo 1)
done <<'ROWS'
                                           | blocks | -B1
--apparent-size                            | bytes  | -b
-b                                         | bytes  | -b
--count-links                              | blocks | -l -B1
-l --bytes                                 | bytes  | -l -b
-x                                         | blocks | -x -B1
--one-file-system --apparent-size          | bytes  | -x -b
--exclude '*.o' --exclude node_modules --exclude a/b   | blocks | -B1 --exclude '*.o' --exclude node_modules --exclude a/b
--exclude='*.o' --exclude=node_modules --exclude=a/b -b | bytes | -b --exclude '*.o' --exclude node_modules --exclude a/b
--exclude-caches                           | blocks | -B1 --exclude 'cache/*'
-x -b --exclude-caches --exclude '*.o' --exclude node_modules --exclude a/b | bytes | -x -b --exclude 'cache/*' --exclude '*.o' --exclude node_modules --exclude a/b
ROWS
set +f

# The fixture has to make each option matter, or the rows above prove little.
matters() {  # what, row, baseline row
    expect "the fixture makes $1 matter (du: ${du_of[$2]} vs ${du_of[$3]})" \
        $([ "${du_of[$2]}" != "${du_of[$3]}" ] && echo 0 || echo 1)
}
matters "the size kind" --apparent-size "(default)"
matters "hard links" --count-links "(default)"
matters "excludes" "--exclude '*.o' --exclude node_modules --exclude a/b" "(default)"
matters "the cache directory" --exclude-caches "(default)"
if [ $mounted -eq 1 ]; then
    matters "the tmpfs" -x "(default)"
fi

# The patterns of --exclude-from, as du reads them: one a line, trailing
# blanks dropped, empty lines skipped.
printf '*.o  \n\nnode_modules\r\na/b\n' >"$work/patterns"
got=$(qv_total --exclude-from "$work/patterns")
want=${du_of["--exclude '*.o' --exclude node_modules --exclude a/b"]}
expect "--exclude-from gives $got, the same patterns as --exclude give $want" $([ "$got" = "$want" ] && echo 0 || echo 1)
got=$(qv_total --exclude-from - <"$work/patterns")
expect "--exclude-from - reads standard input ($got)" $([ "$got" = "$want" ] && echo 0 || echo 1)

# The report says which size it shows, and shows the document's total.
for row in "|on disk" "--apparent-size|apparent size"; do
    opt=${row%%|*} words=${row#*|}
    line=$("$qvdisk" "$root" $opt --levels 0 --top 0 --exts 0 | sed -n 2p)
    total=$(qv_total $opt)
    grouped=$(python3 -c 'import sys; print(f"{int(sys.argv[1]):,}")' "$total")
    [[ $line =~ ^\ \ total\ \ [0-9.]+\ [KMGT]?i?B\ $words\ \($grouped\ bytes\)$ ]]
    expect "the totals line says '$words' and $grouped bytes (got: $line)" $?
done

echo "du parity: $pass passed, $fail failed"
[ $fail -eq 0 ]
