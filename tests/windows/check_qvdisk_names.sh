#!/bin/sh
# qvdisk.exe with names outside the ANSI code page: the folder scanned, the
# files --save, --html, --since, --compare and --exclude-from name, and an
# error naming one. Wine hands the names over as UTF-16, as Windows does.
# Usage: check_qvdisk_names.sh EMULATOR QVDISK_EXE WORK_DIR
set -u
emulator=$1 qvdisk=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
export LC_ALL=C.UTF-8
fail=0
win() { printf 'Z:%s' "$1" | tr / '\\'; }
run() { "$emulator" "$qvdisk" "$@" >"$work/out.txt" 2>"$work/err.txt"; }
expect() {  # description, condition result
    if [ "$2" -eq 0 ]; then echo "ok   $1"; else echo "FAIL $1"; cat "$work/err.txt"; fail=1; fi
}

tree="$work/tree-Zürich-日本"
mkdir -p "$tree"
head -c 1234 /dev/zero >"$tree/data-ü.bin"
head -c 999 /dev/zero >"$tree/skip-日本.tmp"
printf 'skip*\n' >"$work/pätterns-日本.txt"
save="$work/säve-日本.json"

run "$(win "$tree")" -b --save "$(win "$save")" --html "$(win "$work/päge-日本.html")" \
    --exclude-from "$(win "$work/pätterns-日本.txt")"
expect "scan, --save, --html and --exclude-from (status $?)" $?
grep -q '"name":"data-ü.bin","size":1234' "$save" 2>/dev/null && ! grep -q 'skip' "$save"
expect "the save holds the scan's names, the excluded one left out" $?
[ -s "$work/päge-日本.html" ]
expect "the page written" $?

run --compare "$(win "$save")" "$(win "$save")" --html "$(win "$work/vergleich-日本.html")"
expect "--compare reads both, writes the page (status $?)" $?
[ -s "$work/vergleich-日本.html" ]
expect "the comparison's page written" $?

run "$(win "$tree")" -b --since "$(win "$save")"
expect "--since reads the save (status $?)" $?

run "$(win "$work/fehlt-日本")"
[ $? -eq 2 ] && grep -q "cannot scan '.*fehlt-日本'" "$work/err.txt"
expect "a missing folder is named as given" $?
exit $fail
