#!/usr/bin/env bash
# qvdisk with several PATHs: one tree under a root of no name, held against
# each root scanned alone and against du given the same arguments (a file
# linked from two roots and a root inside another counted once, as du -c
# counts them); a PATH that fails among good ones, a PATH given twice; the
# page, --save/--since, --export read back, --table.
#   roots_tests.sh QVDISK WORK_DIR
set -u
qvdisk=$1 work=$2
export NO_COLOR=1 LC_ALL=C
fail=0 pass=0

expect() {  # description, condition result
    if [ "$2" -eq 0 ]; then pass=$((pass + 1)); else echo "FAIL $1"; fail=$((fail + 1)); fi
}
same() {  # description, got, want
    if [ "$2" == "$3" ]; then pass=$((pass + 1)); else
        echo "FAIL $1"; echo "  got:  $2"; echo "  want: $3"; fail=$((fail + 1)); fi
}
mkdata() { mkdir -p "$(dirname "$1")"; head -c "$2" /dev/urandom >"$1"; }
# A member of the JSON document on stdin, by a Python expression on d.
get() { python3 -c 'import json, sys; d = json.load(sys.stdin); print('"$1"')'; }

rm -rf "$work"
mkdir -p "$work"
cd "$work" || exit 1
# a holds in/, given as a root of its own too; b shares a file with a and
# one with a/in; c shares nothing.
mkdata a/top.bin 70000
mkdata a/sub/one.txt 5000
mkdata a/in/deep/inner.bin 40000
mkdata b/own.bin 12000
ln a/top.bin b/top-link.bin
ln a/in/deep/inner.bin b/inner-link.bin
mkdata c/alone.dat 9000
mkdir c/empty

# The tree of A and C: a root of no name, each PATH a child named as given,
# totals the sums of each scanned alone, each root now a directory.
both=$("$qvdisk" a c --json tree)
same "several roots: the root has no name" "$(get 'd["path"]' <<<"$both")" ""
same "several roots: each PATH a child, as given" "$(get 'sorted(c["name"] for c in d["children"])' <<<"$both")" \
    "['a', 'c']"
for key in total_size total_files; do
    alone=$(($("$qvdisk" a --json tree | get "d['$key']") + $("$qvdisk" c --json tree | get "d['$key']")))
    same "several roots: $key is the sum" "$(get "d['$key']" <<<"$both")" "$alone"
done
alone=$(($("$qvdisk" a --json tree | get "d['total_dirs']") + $("$qvdisk" c --json tree | get "d['total_dirs']") + 2))
same "several roots: total_dirs counts each root" "$(get 'd["total_dirs"]' <<<"$both")" "$alone"
same "several roots: a file's path begins with its root" "$("$qvdisk" a c --json top --top 1 | get 'd[0]["path"]')" \
    "a/top.bin"

report=$("$qvdisk" a c)
expect "several roots: the report" "$(grep -q '^2 roots$' <<<"$report" && grep -q '^ .*%.* a/$' <<<"$report" &&
    grep -q '^ .*%.* c/$' <<<"$report"; echo $?)"
same "several roots: the title counts them at --levels 0 too" "$("$qvdisk" a c --levels 0 | head -1)" "2 roots"

# du's total for its arguments, less the own size of each directory it
# counted (qvdisk counts files only).
#   du_files blocks|bytes DU-OPTION PATH...
du_files() {
    local unit=$1 opt=$2 total own=0 size path
    shift 2
    total=$(du -sc "$opt" "$@" | tail -1 | cut -f1)
    while IFS=$'\t' read -r -d '' size path; do
        [ -d "$path" ] || continue
        if [ "$unit" = blocks ]; then own=$((own + $(stat -c %b "$path") * 512)); else
            own=$((own + $(stat -c %s "$path"))); fi
    done < <(du -a0 "$opt" "$@")
    echo $((total - own))
}
for order in "a b c" "a/in b a c" "b a/in a"; do
    for row in "blocks -B1 " "bytes -b -b"; do
        read -r unit du_opt qv_opt <<<"$row"
        # shellcheck disable=SC2086
        same "du parity: $order $qv_opt" "$("$qvdisk" $order $qv_opt --json tree 2>/dev/null | get 'd["total_size"]')" \
            "$(du_files "$unit" "$du_opt" $order)"
    done
done
nested=$("$qvdisk" a/in a --json tree 2>"$work/err")
same "a root inside another: shown as its own" "$(get '[c["name"] for c in d["children"] if c["name"] == "a"][0]' \
    <<<"$nested")" "a"
same "a root inside another: left out of the outer one" \
    "$(get '[x["name"] for c in d["children"] if c["name"] == "a" for x in c["children"]]' <<<"$nested" | grep -c "'in'")" \
    0
expect "a root inside another: said" "$(grep -q "'a/in' lies inside 'a'" "$work/err"; echo $?)"

# A PATH given twice (or by another name) counts once.
twice=$("$qvdisk" c ./c/ --json tree 2>"$work/err")
same "a PATH twice: one child" "$(get 'len(d["children"])' <<<"$twice")" 1
same "a PATH twice: counted once" "$(get 'd["total_size"]' <<<"$twice")" "$("$qvdisk" c --json tree | get 'd["total_size"]')"
expect "a PATH twice: said" "$(grep -q "'./c/' is 'c' again" "$work/err"; echo $?)"

# A PATH that cannot be scanned among good ones: said by name, left out,
# status 1 once the others are shown; all of them: status 2, as for one.
out=$("$qvdisk" a missing c --json tree 2>"$work/err")
same "a missing root: status 1" "$?" 1
same "a missing root: the others shown" "$(get 'sorted(c["name"] for c in d["children"])' <<<"$out")" "['a', 'c']"
expect "a missing root: named" "$(grep -q "cannot scan 'missing': " "$work/err"; echo $?)"
"$qvdisk" missing gone --json tree >"$work/out" 2>"$work/err"
same "every root missing: status 2" "$?" 2
same "every root missing: no document" "$(wc -c <"$work/out")" 0
same "every root missing: each named" "$(grep -c "cannot scan '\(missing\|gone\)'" "$work/err")" 2

# The sinks: the page holds every root; a saved scan compares with a new
# one; an export reads back as the same tree; the table has each root's row.
"$qvdisk" a c --html "$work/page.html" --save "$work/saved.json" --export "$work/export.ncdu" \
    --table "$work/table.csv" >/dev/null
same "the sinks: status" "$?" 0
expect "the page names both roots" "$(grep -q '"name":"a"' "$work/page.html" && grep -q '"name":"c"' "$work/page.html"
    echo $?)"
same "--since with several roots: nothing changed" \
    "$("$qvdisk" a c --since "$work/saved.json" --json diff | get 'd["change"]')" "{'size': 0, 'files': 0, 'dirs': 0}"
same "--export of several roots read back" "$("$qvdisk" -f "$work/export.ncdu" --json tree | get 'd["children"]')" \
    "$(get 'd["children"]' <"$work/saved.json")"
same "--table of several roots: each root a row" "$(grep -c '^\(a\|c\),,' "$work/table.csv")" 2

# Bad usage: options that take no PATH take no several.
for args in "-f x a b" "--mounts a b" "--compare x y a"; do
    # shellcheck disable=SC2086
    "$qvdisk" $args >/dev/null 2>&1
    same "refused: $args" "$?" 2
done

echo "roots: $pass passed, $fail failed"
[ "$fail" -eq 0 ]
