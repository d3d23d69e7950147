#!/usr/bin/env bash
# Golden-output tests of qvdisk on a small fixture tree, its error paths, the
# warning line for what a scan left out, and Ctrl-C during a scan.
#   run_cli_tests.sh QVDISK GOLDEN_DIR WORK_DIR [update]
set -u
# "... | check NAME" must count in this shell, not in a pipeline's subshell.
shopt -s lastpipe
qvdisk=$1 golden=$2 work=$3 update=${4:-}
src_root=$(cd "$(dirname "$0")/../.." && pwd)
. "$(dirname "$0")/slowmount.sh"
trap slow_umount EXIT
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
    echo "skipped: unreadable directories: needs a user namespace (unshare -U) as root, so that" \
         "permissions hold"
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

# What grew: a tree saved, changed (a file grown, one shrunk, one added, one
# removed, a directory moved and one removed) and compared, live (--since)
# and saved (--compare). The time between comes from the files' times.
rm -rf grow
mkfile grow/docs/a.txt 1500
mkfile grow/docs/b.md 700
mkfile grow/src/main.c 5000
mkfile grow/src/lib/x.c 2000
mkfile grow/src/lib/y.o 40000
mkfile grow/media/photo.jpg 65432
mkfile grow/old/log.txt 9000
mkfile grow/old/deeper/log.1 3000
mkfile 'grow/say "hi".txt' 77
"$qvdisk" grow --apparent-size --save "$work/grow1.json" >"$work/out.txt" 2>&1
expect "--save prints the normal report" $(cmp -s "$work/out.txt" <("$qvdisk" grow --apparent-size 2>&1) && echo 0 || echo 1)
expect "--save writes what --json tree prints" \
    $(diff <(normalise <"$work/grow1.json") <("$qvdisk" grow --apparent-size --json tree | normalise) >/dev/null && echo 0 || echo 1)
truncate -s 90000 grow/src/lib/y.o
truncate -s 8000 grow/src/main.c
truncate -s 100 grow/docs/a.txt
rm grow/docs/b.md
mkfile grow/media/clip.mp4 300000
mkfile grow/docs/new.txt 5
mv grow/src/lib grow/lib
rm -r grow/old
"$qvdisk" grow --apparent-size --save "$work/grow2.json" >/dev/null
touch -d @1700000000 "$work/grow1.json"
touch -d @1700093784 "$work/grow2.json"
"$qvdisk" --compare "$work/grow1.json" "$work/grow2.json" 2>&1 | check compare
"$qvdisk" --compare "$work/grow1.json" "$work/grow2.json" --levels 1 --top 1 2>&1 | check compare_short
"$qvdisk" --compare "$work/grow1.json" "$work/grow2.json" --json diff 2>&1 | check compare_json
"$qvdisk" --compare "$work/grow2.json" "$work/grow1.json" --json diff 2>&1 | check compare_json_reversed
# A live scan compares the same, but for the time, which runs to now.
"$qvdisk" grow --apparent-size --since "$work/grow1.json" >"$work/since.txt" 2>&1
expect "--since reports as --compare does" $(diff <(grep -v ' apart (' "$work/since.txt") \
    <("$qvdisk" --compare "$work/grow1.json" "$work/grow2.json" | grep -v ' apart (') >/dev/null && echo 0 || echo 1)
grep -q '^  [0-9].* apart (from the saved file.s modification time to this scan)$' "$work/since.txt"
expect "--since tells the time since the file was saved" $?
"$qvdisk" grow --apparent-size --since "$work/grow1.json" --json diff >"$work/since.json"
"$qvdisk" --compare "$work/grow1.json" "$work/grow2.json" --json diff | python3 -c '
import json, sys
live, saved = json.load(open(sys.argv[1])), json.load(sys.stdin)
for d in live, saved:
    del d["seconds_between"], d["time_from"]
sys.exit(0 if live == saved else 1)' "$work/since.json"
expect "--since --json diff is the --compare document but for the time" $?

# Names a terminal would obey (a right-to-left override that makes
# "evil<U+202E>txt.exe" read "evilexe.txt", an escape sequence, a C1
# control, a byte that is not UTF-8) are shown as '?' in the report, the
# comparison and the errors, and names are measured in the columns a
# terminal gives them (wide CJK 2, combining marks 0); --json keeps the
# bytes as the library writes them.
rm -rf names
rlo=$'\xe2\x80\xae' esc=$'\e'
wide=$'\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e'  # three CJK characters
mkfile "names/evil${rlo}txt.exe" 3000
mkfile "names/ctl"$'\e[31m'"red"$'\xc2\x9b'"2J.log" 500
mkfile "names/bad"$'\xff'".bin" 100
mkfile "names/dir-e"$'\xcc\x81'"/inside.txt" 1000
mkfile "names/$wide/$wide$wide$wide$wide$wide$wide$wide$wide$wide$wide$wide$wide.txt" 2000
mkfile "names/x.$wide" 20
"$qvdisk" names -b 2>&1 | normalise | check report_names
"$qvdisk" names -b --top 3 --levels 1 --exts 0 --save "$work/names1.json" >/dev/null 2>&1
truncate -s 9000 "names/evil${rlo}txt.exe"
mkfile "names/new${rlo}gpj.exe" 700
rm -r "names/dir-e"$'\xcc\x81'
"$qvdisk" names -b --save "$work/names2.json" >"$work/names.txt" 2>&1
touch -d @1700000000 "$work/names1.json"
touch -d @1700000060 "$work/names2.json"
"$qvdisk" --compare "$work/names1.json" "$work/names2.json" 2>&1 | check compare_names
# The lists of the comparison, where its names are (its totals above them
# are not names).
"$qvdisk" --compare "$work/names1.json" "$work/names2.json" 2>&1 | sed '1,/^$/d' >>"$work/names.txt"
python3 - "$work/names.txt" <<'PY'
import sys, unicodedata
def cols(line):
    return sum(0 if unicodedata.category(c) in ("Mn", "Me", "Cf") else
               2 if unicodedata.east_asian_width(c) in ("W", "F") else 1 for c in line)
text = open(sys.argv[1], "rb").read().decode("utf-8", "surrogateescape")
wide = [l for l in text.splitlines() if cols(l) > 80]
print("\n".join(wide)); sys.exit(1 if wide else 0)
PY
expect "reports with wide names fit 80 columns" $?
"$qvdisk" names -b --json tree | grep -q "\"name\":\"new${rlo}gpj.exe\""
expect "--json keeps a name's bytes" $?
rm -f "$work/names_errors.txt"
while read -r args; do
    "$qvdisk" $args >/dev/null 2>"$work/err.txt"; rc=$?
    echo "== $args: status $rc" | sed "s|$work/||g; s|$rlo|<U+202E>|g; s|$esc|<ESC>|g" >>"$work/names_errors.txt"
    sed "s|$work/||g" "$work/err.txt" >>"$work/names_errors.txt"
done <<ROWS
no-such${rlo}txt.exe
--compare $work/names1.json $work/gone${rlo}.json
--compare $work/names${rlo}.json $work/names2.json --html $work/x.html
names --save $work/no-dir${rlo}/x.json
names --exclude-from $work/no${rlo}patterns
names -x$esc
ROWS
check names_errors <"$work/names_errors.txt"
! LC_ALL=C grep -q $'\e\\|\xc2\x9b\\|\xe2\x80\xae\\|\xff' "$work/names.txt" "$work/names_errors.txt" \
    "$golden/report_names.txt" "$golden/compare_names.txt" "$golden/names_errors.txt"
expect "no name reached the reports or the errors raw" $?

# Saved scans that are not what a scan saves: one line on stderr, status 2,
# nothing on stdout, before any scan.
python3 - "$work/hostile" <<'PY'
import os, sys
d = sys.argv[1]
os.makedirs(d, exist_ok=True)
ok = ('{"path":"r","total_size":3,"total_files":1,"total_dirs":0,"scan_time_ms":0.1,'
      '"children":[{"name":"a","size":3,"files":1,"is_dir":false}]}')
deep = '{"path":"r","total_size":0,"total_files":0,"total_dirs":1,"children":['
rows = {
    "truncated": ok[:70].encode(),
    "nested_100k": (deep + '{"name":"d","size":0,"files":0,"is_dir":true,"children":[' * 100000).encode(),
    "nested_arrays": b"[" * 100000,
    "over_2_64": ok.replace('"total_size":3', '"total_size":18446744073709551616').encode(),
    "not_utf8": ok.replace('"name":"a"', '"name":"a\udcff"').encode("utf-8", "surrogateescape"),
    "lone_surrogate": ok.replace('"name":"a"', '"name":"a\\ud800"').encode(),
    "duplicate_names": ok.replace('"total_size":3,"total_files":1', '"total_size":6,"total_files":2')
                         .replace('false}]', 'false},{"name":"a","size":3,"files":1,"is_dir":false}]').encode(),
    "not_an_object": b'"r"',
    "size_a_string": ok.replace('"size":3', '"size":"3"').encode(),
    "size_negative": ok.replace('"size":3', '"size":-3').encode(),
    "sum_edited": ok.replace('"size":3', '"size":4').encode(),
    "file_with_entries": ok.replace('"is_dir":false}', '"is_dir":false,"children":[]}').encode(),
    "name_with_slash": ok.replace('"name":"a"', '"name":"a/b"').encode(),
    "error_document": b'{"error":"out of memory"}',
    "empty": b"",
    "two_documents": (ok + ok).encode(),
    "empty_dir_with_size": ok.replace('"total_dirs":0', '"total_dirs":1')
                             .replace('"is_dir":false}', '"is_dir":true}').encode(),
    "total_dirs_wrong": ok.replace('"total_dirs":0', '"total_dirs":2').encode(),
    "file_count_zero": ok.replace('"total_files":1', '"total_files":0').replace('"files":1', '"files":0').encode(),
}
for name, data in rows.items():
    open(os.path.join(d, name + ".json"), "wb").write(data)
PY
# A huge file is read only as far as it goes: its length reserves nothing.
truncate -s 40G "$work/hostile/sparse_40G.json" 2>/dev/null || echo "skipped: a 40 GB sparse file: needs a file system that holds one"
rm -f "$work/hostile.txt"
for f in "$work"/hostile/*.json; do
    name=$(basename "$f" .json)
    out=$("$qvdisk" --compare "$f" "$work/grow2.json" 2>"$work/err.txt"); rc=$?
    { echo "== $name: status $rc"; sed "s|$work/||" "$work/err.txt"; } >>"$work/hostile.txt"
    expect "one line, nothing on stdout for $name" \
        $([ -z "$out" ] && [ "$(wc -l <"$work/err.txt")" -eq 1 ] && echo 0 || echo 1)
done
out=$("$qvdisk" grow --apparent-size --since "$work/hostile/truncated.json" --save "$work/not-saved.json" 2>"$work/err.txt"); rc=$?
{ echo "== --since truncated: status $rc"; sed "s|$work/||" "$work/err.txt"; } >>"$work/hostile.txt"
expect "no scan saved when --since cannot be read" $([ ! -e "$work/not-saved.json" ] && echo 0 || echo 1)
rm -f "$work/usage.txt"
while read -r args; do
    "$qvdisk" $args >/dev/null 2>"$work/err.txt"; rc=$?
    { echo "== $args: status $rc"; cat "$work/err.txt"; } | sed "s|$work/||g" >>"$work/usage.txt"
done <<ROWS
grow --json diff
grow --since $work/grow1.json --json tree
--compare $work/grow1.json
--compare $work/grow1.json $work/grow2.json grow
--compare $work/grow1.json $work/missing.json
grow --save $work/no-such-dir/x.json
ROWS
cat "$work/hostile.txt" "$work/usage.txt" | check saved_errors

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
fixture --stall-timeout
fixture --stall-timeout=-1
fixture --stall-timeout 1e3
fixture --stall-timeout 0x10
fixture --stall-timeout 1.5.0
fixture --stall-timeout .
fixture --stall-timeout 1000000.5
ROWS
check usage <"$work/usage.txt"
# Seconds in any of these forms scan as without the option (nothing here
# stops answering); 0 waits for ever.
base=$("$qvdisk" fixture -b --json tree 2>&1 | normalise)
bad=""
for t in 0 0.5 .25 3. 1000000; do
    [ "$("$qvdisk" fixture -b --stall-timeout $t --json tree 2>&1 | normalise)" = "$base" ] || bad="$bad $t"
done
expect "--stall-timeout takes seconds with decimals (refused:$bad)" $([ -z "$bad" ] && echo 0 || echo 1)

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
# --help as a whole; without PATH the same text on stderr, status 2.
"$qvdisk" --help 2>&1 | check help
"$qvdisk" 2>"$work/err.txt" >"$work/out.txt"; rc=$?
expect "no PATH: --help's text on stderr, nothing on stdout, status 2 (status $rc)" \
    $([ $rc -eq 2 ] && [ ! -s "$work/out.txt" ] && cmp -s "$work/err.txt" "$golden/help.txt" && echo 0 || echo 1)
version=$(sed -nE 's/^project\(quorvel-disk VERSION ([0-9.]+).*/\1/p' "$src_root/CMakeLists.txt")
got=$("$qvdisk" --version 2>&1)
expect "--version tells the project's version (got: $got)" $([ "$got" = "qvdisk $version" ] && echo 0 || echo 1)

# A save or a page replaces its file whole or not at all: on a full file
# system the previous one stays as it was, and nothing is left beside it.
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: saving on a full file system: needs root to mount a tmpfs"
elif ! { mkdir -p "$work/full" && mount -t tmpfs -o size=512k tmpfs "$work/full"; } 2>/dev/null; then
    echo "skipped: saving on a full file system: needs a tmpfs mount, refused here"
else
    # First of an empty folder, then of a larger tree: the new text needs
    # more room than the old one leaves.
    mkdir -p "$work/nothing"
    "$qvdisk" "$work/nothing" --save "$work/full/s.json" --html "$work/full/s.html" >/dev/null 2>&1
    cp "$work/full/s.json" "$work/s-before.json"
    cp "$work/full/s.html" "$work/s-before.html"
    dd if=/dev/zero of="$work/full/filler" bs=4k 2>/dev/null
    "$qvdisk" grow --save "$work/full/s.json" >/dev/null 2>"$work/err.txt"; rc=$?
    expect "a save that does not fit fails (status $rc: $(cat "$work/err.txt"))" \
        $([ $rc -ne 0 ] && grep -q "cannot write.*No space left" "$work/err.txt" && echo 0 || echo 1)
    cmp -s "$work/full/s.json" "$work/s-before.json" &&
        "$qvdisk" --compare "$work/full/s.json" "$work/full/s.json" >/dev/null 2>&1
    expect "the previous save is whole and reads" $?
    "$qvdisk" grow --html "$work/full/s.html" >/dev/null 2>&1
    cmp -s "$work/full/s.html" "$work/s-before.html"
    expect "a page that does not fit leaves the previous page" $?
    [ -z "$(find "$work/full" -name '*.part-*')" ]
    expect "no partial file left beside them" $?
    umount "$work/full"
fi

# Replacing a file whole must not change what stands at its name: a link
# stays a link and the file it names gets the text, a private file stays
# private, a pipe is written to (not swapped for a plain file, which as root
# would also swap /dev/null), and a name as long as a folder takes still
# has room for the new file beside it.
t="$work/targets"
rm -rf "$t" && mkdir -p "$t"
long=$(printf 'n%.0s' $(seq 1 250))
same() { diff -q <(normalise <"$1") <(normalise <"$t/want") >/dev/null; }
for opt in --save --html; do
    "$qvdisk" grow $opt "$t/want" >/dev/null 2>&1
    : >"$t/real" && ln -sfn real "$t/link"
    : >"$t/private" && chmod 600 "$t/private"
    rm -f "$t/pipe" && mkfifo "$t/pipe"
    timeout 20 cat "$t/pipe" >"$t/piped" &
    reader=$!
    for to in link private pipe "$long"; do
        "$qvdisk" grow $opt "$t/$to" >/dev/null 2>"$work/err.txt"
        rc=$?
        expect "$opt ${to:0:20}: status 0 (status $rc: $(head -c 200 "$work/err.txt"))" $rc
    done
    wait $reader
    expect "$opt through a link: still a link, the file it names written" \
        $([ -L "$t/link" ] && same "$t/real" && echo 0 || echo 1)
    expect "$opt keeps a private file private" \
        $([ "$(stat -c %a "$t/private")" = 600 ] && same "$t/private" && echo 0 || echo 1)
    expect "$opt to a pipe: still a pipe, the text through it" \
        $([ -p "$t/pipe" ] && same "$t/piped" && echo 0 || echo 1)
    expect "$opt to a 250-byte name" $(same "$t/$long" && echo 0 || echo 1)
    rm -f "$t/$long"
done
expect "no partial file left beside the targets" $([ -z "$(find "$t" -name '*.part-*')" ] && echo 0 || echo 1)

# Out of memory anywhere while reading or comparing is one line and a
# status, never an abort: the same comparison under address-space limits
# from too small to read one scan up to enough for all of it.
python3 - "$work/flat.json" <<'PY'
import sys
n = 200000
kids = ",".join('{"name":"f%d","size":1,"files":1,"is_dir":false}' % i for i in range(n))
open(sys.argv[1], "w").write('{"path":"r","total_size":%d,"total_files":%d,"total_dirs":0,'
                             '"scan_time_ms":1.0,"children":[%s]}' % (n, n, kids))
PY
if ! (ulimit -v 200000 && "$qvdisk" --help) >/dev/null 2>&1; then
    echo "skipped: out of memory: needs a build that runs under an address-space limit (no sanitizer)"
else
    for kb in $(seq 30000 3000 120000); do
        (ulimit -v $kb && exec "$qvdisk" --compare "$work/flat.json" "$work/flat.json" --html "$work/flat.html") \
            >/dev/null 2>"$work/err.txt"
        rc=$?
        [ $rc -eq 0 ] || { [ $rc -le 2 ] && [ "$(wc -l <"$work/err.txt")" -eq 1 ] && grep -q "out of memory" "$work/err.txt"; }
        ok=$?
        expect "within $kb KiB: status 0 or one line on running out (status $rc: $(head -c 200 "$work/err.txt"))" $ok
    done
    expect "the largest limit is enough" $rc
fi
rm -f "$work/flat.json" "$work/flat.html"

# Comparing is linear in the depth of the trees: 200,000 levels of long
# names (a path copied at every level would move 4 TB; the whole work here
# is a few seconds). Both scans the same but one file grown by a byte.
python3 - "$work/deep-old.json" "$work/deep-new.json" <<'PY'
import sys
depth, name = 200000, "d" * 200
def doc(size):
    head = '{"path":"deep","total_size":%d,"total_files":1,"total_dirs":%d,"scan_time_ms":1.0,"children":[' % (size, depth)
    level = '{"name":"%s","size":%d,"files":1,"is_dir":true,"children":[' % (name, size)
    return head + level * depth + '{"name":"f","size":%d,"files":1,"is_dir":false}' % size + "]}" * (depth + 1)
for path, size in zip(sys.argv[1:], (1, 2)):
    open(path, "w").write(doc(size))
PY
out=$(timeout 120 "$qvdisk" --compare "$work/deep-old.json" "$work/deep-new.json" --json diff --levels 0 --top 1 \
      2>"$work/err.txt"); rc=$?
expect "a 200,000-level comparison ends (status $rc: $(head -c 200 "$work/err.txt"))" \
    $([ $rc -eq 0 ] && [[ $out == *'"added":1,"removed":0'* ]] && echo 0 || echo 1)
rm -f "$work/deep-old.json" "$work/deep-new.json"

# Bytes added and removed saturate at 2^64-1 as the change does: three
# files of 2^63-1 bytes against an empty scan.
printf '%s' '{"path":"r","total_size":0,"total_files":0,"total_dirs":0,"scan_time_ms":0.1}' >"$work/sat-old.json"
big=9223372036854775807
printf '{"path":"r","total_size":18446744073709551615,"total_files":3,"total_dirs":0,"scan_time_ms":0.1,"children":[%s]}' \
    "{\"name\":\"a\",\"size\":$big,\"files\":1,\"is_dir\":false},{\"name\":\"b\",\"size\":$big,\"files\":1,\"is_dir\":false},{\"name\":\"c\",\"size\":$big,\"files\":1,\"is_dir\":false}" \
    >"$work/sat-new.json"
out=$("$qvdisk" --compare "$work/sat-old.json" "$work/sat-new.json" --json diff 2>&1)
[[ $out == *'"change":{"size":18446744073709551615,'* && $out == *'"added":18446744073709551615,'* ]]
expect "added saturates as the change does (got: ${out:0:300})" $?
out=$("$qvdisk" --compare "$work/sat-new.json" "$work/sat-old.json" --json diff 2>&1)
[[ $out == *'"removed":18446744073709551615'* ]]
expect "removed saturates too (got: ${out:0:300})" $?

# A listing that gives a name twice (flakyfs --twice): the save says so,
# keeps the name once with the tree's true totals, and reads back; --since
# on the same tree works.
rm -rf "$work/twice-src" && mkdir -p "$work/twice-src/dup/sub"
mkfile "$work/twice-src/dup/a.bin" 5000
mkfile "$work/twice-src/dup/b.bin" 3000
mkfile "$work/twice-src/dup/sub/f" 20
if ! flaky_mount "$work/twice-src" "$work/twice" "$work/flakyfs.log" --twice=dup; then
    echo "skipped: a name listed twice: needs root and FUSE (and flakyfs, built with libfuse3-dev)"
else
    want=$("$qvdisk" "$work/twice-src" -b --json tree | python3 -c 'import json,sys; d=json.load(sys.stdin); print(d["total_size"], d["total_files"])')
    "$qvdisk" "$work/twice" -b --save "$work/twice.json" >/dev/null 2>"$work/err.txt"; rc=$?
    expect "a save over a listing with a name twice succeeds and warns (status $rc: $(cat "$work/err.txt"))" \
        $([ $rc -eq 0 ] && grep -q "listed 1 name twice" "$work/err.txt" && echo 0 || echo 1)
    got=$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(d["total_size"], d["total_files"])' "$work/twice.json")
    expect "the save holds the tree's true totals ($got, want $want)" $([ "$got" = "$want" ] && echo 0 || echo 1)
    "$qvdisk" --compare "$work/twice.json" "$work/twice.json" >/dev/null 2>&1
    expect "the save reads back" $?
    "$qvdisk" "$work/twice" -b --since "$work/twice.json" >/dev/null 2>&1
    expect "--since on the tree works" $?
    slow_umount
fi

# Ctrl-C during a scan: status 130 (and, in sanitizer builds, no leak). The
# tree is served slowly, so the scan is still running when the signal comes.
make_slow_tree "$work/slow-src"
if ! slow_mount "$work/slow-src" "$work/slow" "$work/flakyfs.log"; then
    echo "skipped: Ctrl-C during a scan: needs FUSE (and flakyfs, built with libfuse3-dev)"
else
    "$qvdisk" "$work/slow" >/dev/null 2>"$work/sigint.txt" &
    pid=$!
    sleep 0.5
    kill -INT $pid
    wait $pid
    rc=$?
    slow_umount
    expect "status 130 after SIGINT (got $rc)" $([ $rc -eq 130 ] && echo 0 || echo 1)
    grep -q interrupted "$work/sigint.txt"
    expect "interrupted message" $?
fi

# Storage that stops answering (flakyfs --hang=media: every call on media/
# or below it waits until the mount is let go). With --stall-timeout the
# scan gives up on media/ and tells it as it tells anything left out: the
# report or the document on stdout, one warning, status 0, the page marking
# it. qvdisk ends at once although a library thread stays in the call.
# media/ has no siblings: a name looked up in a FUSE directory can hold up
# the other lookups there, which would stall them too.
rm -rf "$work/hang-src" && mkdir -p "$work/hang-src/data/media/deep"
mkfile "$work/hang-src/docs/a.txt" 1000
mkfile "$work/hang-src/data/media/deep/clip.bin" 5000
: >"$work/hang-src/data/media/skip.txt"
if ! hang_mount "$work/hang-src" "$work/hang" "$work/flakyfs.log"; then
    echo "skipped: storage that stops answering: needs root and FUSE (and flakyfs, built with libfuse3-dev)"
else
    slow_umount
    while read -r args; do
        hang_mount "$work/hang-src" "$work/hang" "$work/flakyfs.log"
        rm -f "$work/hang.html"
        start=$(now_ms)
        "$qvdisk" "$work/hang" -b --stall-timeout 1 $args >"$work/out.txt" 2>"$work/err.txt" &
        procs=$(with_child $!)
        status_of ${procs%% *}
        rc=$?
        took=$(($(now_ms) - start))
        slow_umount
        expect "$args: a scan with a directory that does not answer ends (status $rc after $took ms)" \
            $([ $rc -eq 0 ] && [ $took -lt 10000 ] && echo 0 || echo 1)
        expect "$args: one warning counts the stalled directory (got: $(head -c 300 "$work/err.txt"))" \
            $([ "$(cat "$work/err.txt")" = "qvdisk: warning: 1 directory stalled (storage did not answer)" ] && echo 0 || echo 1)
        python3 - "$work" "$args" <<'PY'
import json, re, sys
work, args = sys.argv[1:]
out = open(work + "/out.txt").read()
if not out:
    sys.exit("nothing on stdout")
if "--json" in args:
    doc = json.loads(out)
    kids = {c["name"]: c for c in doc.get("children", [])}
    data = {c["name"]: c for c in kids.get("data", {}).get("children", [])}
    ok = kids.get("docs", {}).get("size") == 1000 and data.get("media", {}).get("is_dir") is True
else:
    page = open(work + "/hang.html").read()
    problems = json.loads(re.search(r'class="qv-problems">([^<]*)</script>', page).group(1))
    ok = ("Largest files" in out and problems["stalled_dirs"] == 1 and
          problems["dirs"] == [{"path": work + "/hang/data/media", "problem": "stalled"}])
    if not ok:
        print("page problems:", problems)
sys.exit(0 if ok else 1)
PY
        expect "$args: what was read is there, the stalled directory named" $?
        ended_all $procs
        expect "$args: nothing left running once the storage answers" $?
    done <<ROWS
--html $work/hang.html
--json tree
ROWS
fi

# Ctrl-C while storage does not answer and qvdisk waits for ever
# (--stall-timeout 0): status 130 within a second, whether a library thread
# waits below the root or at the root itself, or qvdisk's own reading of a
# file there does. A signal to the group reaches both of qvdisk's processes,
# as a terminal's Ctrl-C does; a SIGTERM to qvdisk alone ends it by SIGTERM.
# The slack is for a loaded machine.
while read -r sig to args; do
    hang_mount "$work/hang-src" "$work/hang" "$work/flakyfs.log" || break
    setsid "$qvdisk" $args --stall-timeout 0 >/dev/null 2>"$work/err.txt" &
    pid=$!
    procs=$(with_child $pid)
    sleep 1  # held by now
    start=$(now_ms)
    if [ "$to" = group ]; then kill -"$sig" -- -$pid; else kill -"$sig" $pid; fi
    status_of $pid
    rc=$?
    took=$(($(now_ms) - start))
    slow_umount
    want=$((128 + $(kill -l "$sig")))
    expect "SIG$sig to the $to, $args: status $want within 3 s (status $rc after $took ms)" \
        $([ $rc -eq $want ] && [ $took -lt 3000 ] && echo 0 || echo 1)
    said=$(grep -c '^qvdisk: interrupted$' "$work/err.txt")
    expect "SIG$sig, $args: 'interrupted' said $([ "$sig" = INT ] && echo once || echo never) (stderr: $(head -c 300 "$work/err.txt"))" \
        $([ "$said" -eq "$([ "$sig" = INT ] && echo 1 || echo 0)" ] && [ "$(wc -l <"$work/err.txt")" -eq "$said" ] && echo 0 || echo 1)
    ended_all $procs
    expect "SIG$sig, $args: nothing left running once the storage answers" $?
done <<ROWS
INT group $work/hang
INT group $work/hang/data/media
INT group $work/hang --exclude-from $work/hang/data/media/skip.txt
TERM qvdisk $work/hang
ROWS

echo "cli: $pass passed, $fail failed"
[ $fail -eq 0 ]
