#!/usr/bin/env bash
# Golden-output tests of qvdisk on a small fixture tree, its error paths, and
# Ctrl-C during the scan of a large tree.
#   run_cli_tests.sh QVDISK GOLDEN_DIR WORK_DIR [update]
set -u
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

"$qvdisk" fixture 2>&1 | normalise | check report
# The human report fits an 80-column terminal (columns counted per code point).
"$qvdisk" fixture --levels 3 2>&1 | python3 -c '
import sys
wide = [l for l in sys.stdin.read().splitlines() if len(l) > 80]
print("\n".join(wide)); sys.exit(1 if wide else 0)'
expect "report lines fit 80 columns" $?
"$qvdisk" fixture --levels 1 --top 3 --exts 2 2>&1 | normalise | check report_short
for mode in tree top ext; do
    "$qvdisk" fixture --json $mode 2>&1 | normalise | check json_$mode
done

# Errors: one line on stderr, status 2, nothing on stdout.
for bad in missing fixture/README; do
    out=$("$qvdisk" "$bad" 2>"$work/err.txt"); rc=$?
    expect "status 2 for $bad (got $rc)" $([ $rc -eq 2 ] && echo 0 || echo 1)
    expect "nothing on stdout for $bad" $([ -z "$out" ] && echo 0 || echo 1)
    expect "one line on stderr for $bad" $([ "$(wc -l <"$work/err.txt")" -eq 1 ] && echo 0 || echo 1)
done
"$qvdisk" --bogus fixture >/dev/null 2>&1
expect "status 2 for an unknown option" $([ $? -eq 2 ] && echo 0 || echo 1)
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
