#!/usr/bin/env bash
# Golden-output tests of qvdisk on a small fixture tree, its error paths, the
# warning line for what a scan left out, and Ctrl-C during the scan of a large
# tree.
#   run_cli_tests.sh QVDISK GOLDEN_DIR WORK_DIR [update]
set -u
# "... | check NAME" must count in this shell, not in a pipeline's subshell.
shopt -s lastpipe
qvdisk=$1 golden=$2 work=$3 update=${4:-}
export NO_COLOR=1
fail=0
pass=0

check() {  # name, then the command's normalised output on stdin
    local name=$1 got
    got=$(cat)
    if [ "$update" = update ]; then
        printf '%s\n' "$got" >"$golden/$name.txt"
    fi
    if diff -u "$golden/$name.txt" <(printf '%s\n' "$got") >"$work/$name.diff"; then
        pass=$((pass + 1))
    else
        echo "FAIL $name:"; cat "$work/$name.diff"; fail=$((fail + 1))
    fi
}

expect() {  # description, condition result
    if [ "$2" -eq 0 ]; then pass=$((pass + 1)); else echo "FAIL $1"; fail=$((fail + 1)); fi
}

# Scan times vary from run to run; everything else is fixed.
normalise() {
    sed -E 's/scanned in [0-9]+\.[0-9] s/scanned in T s/; s/"scan_time_ms":[0-9]+\.[0-9]/"scan_time_ms":T/'
}

mkfile() { mkdir -p "$(dirname "$1")"; : >"$1"; truncate -s "$2" "$1"; }

rm -rf "$work/fixture"
mkdir -p "$work/fixture/empty"
cd "$work"
mkfile fixture/docs/a.txt 1500
mkfile fixture/docs/b.md 700
mkfile fixture/docs/notes. 3
mkfile fixture/src/main.c 5000
mkfile fixture/src/util.h 300
mkfile fixture/src/lib/x.c 2000
mkfile fixture/src/lib/y.o 40000
mkfile fixture/media/photo.JPG 123456
mkfile fixture/media/photo.jpg 65432
mkfile fixture/media/clip.mp4 4294967303
mkfile fixture/.profile 11
mkfile fixture/README 250
mkfile 'fixture/docs/say "hi".txt' 77
mkfile fixture/deep/er/still/a-file-name-long-enough-to-need-cutting-in-any-eighty-column-report.dat 30000

# The fixture's files are sparse (truncate), so that their lengths, not the
# space they take on the file system at hand, give fixed reports; du_parity.sh
# checks the space on disk.
"$qvdisk" fixture --apparent-size 2>&1 | normalise | check report
# The human report fits an 80-column terminal (columns counted per code point).
"$qvdisk" fixture --levels 3 -b 2>&1 | python3 -c '
import sys
wide = [l for l in sys.stdin.read().splitlines() if len(l) > 80]
print("\n".join(wide)); sys.exit(1 if wide else 0)'
expect "report lines fit 80 columns" $?
"$qvdisk" fixture --levels 1 --top 3 --exts 2 --bytes 2>&1 | normalise | check report_short
for mode in tree top ext; do
    "$qvdisk" fixture --json $mode --apparent-size 2>&1 | normalise | check json_$mode
done

# A root that cannot be scanned: one line on stderr, status 2, nothing on
# stdout and no page written. The library's verdict on the root decides.
rm -f "$work/errors.txt" "$work/no.html"
for bad in missing fixture/README; do
    out=$("$qvdisk" "$bad" --html "$work/no.html" 2>"$work/err.txt"); rc=$?
    { echo "== $bad: status $rc"; cat "$work/err.txt"; } >>"$work/errors.txt"
    expect "nothing on stdout for $bad" $([ -z "$out" ] && echo 0 || echo 1)
    expect "no page written for $bad" $([ ! -e "$work/no.html" ] && echo 0 || echo 1)
done
check errors <"$work/errors.txt"

# What a scan leaves out: exactly one warning line on stderr, status 0, stdout
# unchanged. Loops and pseudo file systems are met through symbolic links
# followed with --follow-links.
rm -rf problems
mkfile problems/loop/sub/a.txt 100
ln -s .. problems/loop/sub/up
mkfile problems/mixed/b.txt 10
ln -s /proc problems/mixed/proc
ln -s /sys problems/mixed/sys
mkdir -p problems/mixed/d/e
ln -s ../.. problems/mixed/d/e/up
mkdir problems/many
python3 -c 'import os; [os.symlink(".", "problems/many/l%04d" % i) for i in range(1000)]'
rm -f "$work/warnings.txt"
while read -r args; do  # each row: the arguments, split at spaces
    "$qvdisk" $args >"$work/out.txt" 2>"$work/err.txt"; rc=$?
    { echo "== $args: status $rc"; cat "$work/err.txt"; } >>"$work/warnings.txt"
    case $args in
    *--json*) python3 -c 'import json, sys; json.load(open(sys.argv[1]))' "$work/out.txt"
              expect "stdout is one JSON document: $args" $? ;;
    *) grep -q '^Largest files' "$work/out.txt"
       expect "the report on stdout: $args" $? ;;
    esac
done <<'ROWS'
problems/loop
problems/loop --follow-links
problems/mixed --follow-links --json top
problems/many --follow-links --json tree
ROWS
check warnings <"$work/warnings.txt"
last=$("$qvdisk" problems/loop --follow-links 2>&1 | tail -n 1)
expect "the warning comes after the report (got: $last)" $([[ $last == "qvdisk: warning: "* ]] && echo 0 || echo 1)

# Directories the scan cannot read. Permissions do not hold for root: as root
# the cases run in a user namespace of their own (unshare -U), where root's
# files are no longer root's to override.
unprivileged() { if [ "$(id -u)" -ne 0 ]; then "$@"; else unshare -U "$@"; fi; }
rm -rf perm
mkdir -p perm/locked perm/shut
mkfile perm/shut/f1 10
mkfile perm/shut/f2 20
mkfile perm/ok.txt 30
ln -s . perm/up
ln -s /proc perm/proc
chmod 000 perm/locked
chmod 444 perm/shut  # names can be listed, attributes not read
if unprivileged ls perm/locked >/dev/null 2>&1 || ! unprivileged true 2>/dev/null; then
    echo "SKIP unreadable directories: permissions do not hold here (running as root, no user namespace" \
         "to be had), so no directory can be made unreadable"
else
    rm -f "$work/perm.txt"
    while read -r args; do
        out=$(unprivileged "$qvdisk" $args 2>"$work/err.txt"); rc=$?
        { echo "== $args: status $rc"; cat "$work/err.txt"; } >>"$work/perm.txt"
        [ $rc -ne 2 ] || expect "nothing on stdout for $args" $([ -z "$out" ] && echo 0 || echo 1)
    done <<'ROWS'
perm
perm --follow-links --json ext
perm/locked
perm/locked --json tree
ROWS
    check permissions <"$work/perm.txt"
fi
chmod 755 perm/locked perm/shut

"$qvdisk" --bogus fixture >/dev/null 2>&1
expect "status 2 for an unknown option" $([ $? -eq 2 ] && echo 0 || echo 1)

# Options given wrong: one line on stderr, status 2, nothing on stdout.
rm -f "$work/usage.txt"
set -f
while read -r args; do
    out=$("$qvdisk" $args 2>"$work/err.txt"); rc=$?
    { echo "== $args: status $rc"; cat "$work/err.txt"; } >>"$work/usage.txt"
    expect "nothing on stdout for $args" $([ -z "$out" ] && echo 0 || echo 1)
done <<'ROWS'
fixture --exclude
fixture --exclude=
fixture --exclude-from no-such-file
fixture --apparent-size=yes
fixture -xq
fixture --max-depth=deep
ROWS
check usage <"$work/usage.txt"

# Short, bundled and joined forms do what the long ones do, and the long ones
# do something on these trees (the fixture's files are sparse: nothing on
# disk, so any size option shows).
while IFS='|' read -r short long; do
    a=$("$qvdisk" $short --json tree 2>&1 | normalise)
    b=$("$qvdisk" $long --json tree 2>&1 | normalise)
    base=$("$qvdisk" ${long%% *} --json tree 2>&1 | normalise)
    expect "'$short' is '$long'" $([ "$a" = "$b" ] && [ "$b" != "$base" ] && echo 0 || echo 1)
done <<'ROWS'
fixture -b|fixture --apparent-size
fixture --bytes|fixture --apparent-size
problems/mixed -L|problems/mixed --follow-links
fixture -xbl|fixture --one-file-system --apparent-size --count-links
fixture --exclude=*.o --exclude=docs -b|fixture --exclude *.o --exclude docs -b
ROWS
set +f
"$qvdisk" --help | grep -q "exit status"
expect "--help lists exit codes" $?

# Ctrl-C during a long scan: status 130 (and, in sanitizer builds, no leak).
if [ ! -f "$work/big/.complete" ]; then
    rm -rf "$work/big"
    python3 - "$work/big" <<'PY'
import os, sys
root = sys.argv[1]
for d in range(400):
    p = os.path.join(root, "d%03d" % d, "sub")
    os.makedirs(p)
    for f in range(750):
        open(os.path.join(p, "f%d" % f), "w").close()
open(os.path.join(root, ".complete"), "w").close()
PY
fi
"$qvdisk" "$work/big" >/dev/null 2>"$work/sigint.txt" &
pid=$!
sleep 0.1
kill -INT $pid
wait $pid
rc=$?
expect "status 130 after SIGINT (got $rc)" $([ $rc -eq 130 ] && echo 0 || echo 1)
grep -q interrupted "$work/sigint.txt"
expect "interrupted message" $?

echo "cli: $pass passed, $fail failed"
[ $fail -eq 0 ]
