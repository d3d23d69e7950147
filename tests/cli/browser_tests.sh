#!/usr/bin/env bash
# qvdisk -i in a real terminal: tmux runs it on fixtures at a fixed size,
# send-keys types, capture-pane reads the screen, and the screens of the main
# paths are compared with golden copies.
#   browser_tests.sh QVDISK GOLDEN_DIR WORK_DIR [update]
set -u
qvdisk=$(realpath "$1") golden=$(realpath "$2") work=$(realpath "$3") update=${4:-}
# The trash d moves to is the home trash of a home of the test's own.
export HOME="$work/home"
unset XDG_DATA_HOME
trash="$HOME/.local/share/Trash"
fail=0
pass=0
runs=0
sock=qvtest-$$-0
tm() { tmux -L "$sock" -f /dev/null "$@"; }
. "$(dirname "$0")/slowmount.sh"
trap 'tm kill-server 2>/dev/null; slow_umount' EXIT

expect() {  # description, condition result
    if [ "$2" -eq 0 ]; then pass=$((pass + 1)); else echo "FAIL $1"; fail=$((fail + 1)); fi
}

screen() { tm capture-pane -p -t qv; }

# Polls the screen until it holds text and stays the same for one more poll;
# 10 s at most.
settle() {
    local text=$1 last="" now i
    for i in $(seq 1 200); do
        now=$(screen)
        if [[ $now == *"$text"* ]] && [ "$now" = "$last" ]; then
            return 0
        fi
        last=$now
        sleep 0.05
    done
    echo "screen never showed '$text':"; printf '%s\n' "$now"
    return 1
}

# Polls the screen until it holds text, changing or not; 10 s at most.
shows() {
    local i
    for i in $(seq 1 200); do
        [[ $(screen) == *"$1"* ]] && return 0
        sleep 0.05
    done
    return 1
}

check() {  # name: the screen now against the golden copy
    local name=$1
    screen >"$work/$name.txt"
    [ "$update" = update ] && cp "$work/$name.txt" "$golden/$name.txt"
    if diff -u "$golden/$name.txt" "$work/$name.txt" >"$work/$name.diff"; then
        pass=$((pass + 1))
    else
        echo "FAIL screen $name:"; cat "$work/$name.diff"; fail=$((fail + 1))
    fi
}

# keys, then the text the screen must come to show, then the golden name.
step() {
    tm send-keys -t qv "${@:3}"
    settle "$1" || { fail=$((fail + 1)); return; }
    check "$2"
}

# Starts qvdisk -i with args in an 80x20 terminal without colour.
start() {
    # A server of its own each time: a new session on a server still going
    # down would fail.
    tm kill-server >/dev/null 2>&1
    runs=$((runs + 1))
    sock=qvtest-$$-$runs
    rm -f "$work/status" "$work/tty-before" "$work/tty-after"
    tm new-session -d -s qv -x 80 -y 20 \
        "cd '$work' && stty -g >tty-before && env TERM=tmux-256color LANG=C.UTF-8 LC_ALL=C.UTF-8 NO_COLOR=1 $* ;
         echo \$? >'$work/status'; stty -g >'$work/tty-after'; sleep 60"
}

status_is() {  # waits for the program's exit status
    for _ in $(seq 1 100); do
        [ -s "$work/status" ] && break
        sleep 0.05
    done
    [ "$(cat "$work/status" 2>/dev/null)" = "$1" ]
}

# The terminal is as it was before qvdisk ran: the same settings, the
# normal screen shown.
terminal_back() {
    for _ in $(seq 1 100); do
        [ -s "$work/tty-after" ] && break
        sleep 0.05
    done
    cmp -s "$work/tty-before" "$work/tty-after" && [ "$(tm display-message -p -t qv '#{alternate_on}')" = 0 ]
}

# The processes of the qvdisk running in the terminal.
qvdisk_procs() { with_child "$(pgrep -P "$(tm display-message -p -t qv '#{pane_pid}')")"; }

# Polls until the program's exit status is written, 10 s at most; prints
# the milliseconds it took from start_ms.
ended_after() {
    for _ in $(seq 1 1000); do
        [ -s "$work/status" ] && break
        sleep 0.01
    done
    echo $(($(now_ms) - $1))
}

mkfile() { mkdir -p "$(dirname "$1")"; : >"$1"; truncate -s "$2" "$1"; }

rm -rf "$work/fx"
mkdir -p "$work/fx/empty"
cd "$work" || exit 1
mkfile fx/docs/a.txt 1500
mkfile fx/docs/b.md 700
mkfile fx/src/main.c 5000
mkfile fx/src/lib/x.c 2000
mkfile fx/src/lib/y.o 40000
mkfile fx/media/photo.jpg 65432
mkfile fx/media/clip.mp4 4294967303
mkfile fx/README 250
# A name that would colour the terminal red, with a byte that is not UTF-8,
# a C1 control (CSI) and a right-to-left override.
mkfile "fx/evil"$'\e[31m'"red"$'\xff\xc2\x9b'"2J"$'\xe2\x80\xae'"txt.exe" 99

# Open, up, sort, filter, the largest files, details, help, resize.
start "$qvdisk" -i -b fx
settle "sorted by size" && check browser_root
step "fx/src" browser_open Down Enter
step "/lib" browser_open_lib Enter
step "entries   sorted by size" browser_up Left
step "sorted by name" browser_sort_name Left n
step "sorted by name (reversed)" browser_sort_name_reversed n
step "filter: me" browser_filter s / m e Enter
step "Largest files below" browser_top Escape t
step "q quit" browser_back q
step "type   file" browser_info End i
step "rescan this directory" browser_help Escape '?'
tm send-keys -t qv Escape
tm resize-window -t qv -x 50 -y 10
settle "50" >/dev/null 2>&1
settle "entries" && check browser_resized
tm send-keys -t qv q
status_is 0
expect "q quits with status 0" $?
# Nothing of the hostile name reached the terminal raw.
! grep -q $'\e\\|\xc2\x9b\\|\xe2\x80\xae' "$work"/browser_*.txt
expect "no control sequence from a name on the screen" $?

# Delete for good (D), confirmed, on a throwaway copy: the entry goes from
# the disk, not to the trash, and the totals above it shrink at once.
rm -rf del "$HOME" && cp -a fx del
start "$qvdisk" -i -b del
settle "sorted by size"
step "PERMANENTLY delete the directory src/ (45.9 KiB, 3 files)? y/N" browser_delete_ask Down D
step "deleted src/" browser_delete_done y
[ ! -e del/src ] && [ -e del/media/clip.mp4 ] && [ ! -e "$trash" ]
expect "src deleted, the rest kept, nothing in the trash" $?
# The hostile name is found on the disk by what the screen shows.
step "PERMANENTLY delete the file evil" browser_delete_evil_ask End Up D
step "deleted evil" browser_delete_evil_done y
[ -z "$(find del -name 'evil*')" ]
expect "the file with the hostile name deleted" $?
tm send-keys -t qv n D n
settle "not deleted"
[ -e del/README ] && [ -e del/media ]
expect "n keeps what D asked about" $?
tm send-keys -t qv d n
settle "not moved"
[ -e del/README ] && [ ! -e "$trash" ]
expect "n keeps what d asked about" $?

# A .trashinfo file holds the path given, escaped as a URL's path, and a
# local date and time.
info_is() {
    python3 - "$1" "$2" <<'PY'
import os, re, sys, urllib.parse
text = open(sys.argv[1], 'rb').read().decode('ascii')
path = urllib.parse.quote(os.fsencode(sys.argv[2]), safe='/')
form = r'\[Trash Info\]\nPath=%s\nDeletionDate=\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\n' % re.escape(path)
sys.exit(0 if re.fullmatch(form, text) else 1)
PY
}

# d moves to the trash: the entry leaves the tree and the disk for the
# home trash's files/, with its record in info/.
rm -rf tr && cp -a fx tr
start "$qvdisk" -i -b tr
settle "sorted by size"
step "Move the directory src/ (45.9 KiB, 3 files) to the trash? y/N" browser_trash_ask Down d
step "moved src/ (45.9 KiB) to the trash: ~/.local/share/Trash" browser_trash_done y
[ ! -e tr/src ] && [ -e "$trash/files/src/lib/y.o" ] && info_is "$trash/info/src.trashinfo" "$(realpath tr)/src"
expect "d: src in the trash with its record" $?
tm send-keys -t qv End Up d
settle "Move the file evil"
tm send-keys -t qv y
settle "moved evil"
evil=$(cd "$trash/files" && ls -d evil*)
[ -z "$(find tr -name 'evil*')" ] && [ -n "$evil" ] && info_is "$trash/info/$evil.trashinfo" "$(realpath tr)/$evil"
expect "d: the hostile name in the trash, its path escaped in the record" $?
tm send-keys -t qv q
# Several PATHs: one root of no name above them; each is entered, and what
# lies below one goes to the trash through that root's own descriptor; a
# PATH itself is not deleted from here.
rm -rf tr tr2 && cp -a fx tr && mkdir tr2 && mkfile tr2/only.bin 9000
start "$qvdisk" -i -b tr "$work/tr2"
settle "(2 PATHs)"
expect "two PATHs browsed under one root (screen: $(screen))" $?
shows "tr/" && shows "2 entries"
expect "each PATH a row, named as given" $?
tm send-keys -t qv End d
settle "a PATH given to qvdisk, not deleted from here"
expect "d on a PATH itself says no" $([ -e tr2/only.bin ] && echo 0 || echo 1)
tm send-keys -t qv Enter d
settle "Move the file only.bin"
tm send-keys -t qv y
settle "moved only.bin"
[ ! -e tr2/only.bin ] && info_is "$trash/info/only.bin.trashinfo" "$(realpath tr2)/only.bin"
expect "d below the second PATH: in the trash with its own path" $?
tm send-keys -t qv q
# --no-trash: d deletes for good, as D does.
rm -rf tr && cp -a fx tr
start "$qvdisk" -i -b --no-trash tr
settle "sorted by size"
tm send-keys -t qv Down d
settle "PERMANENTLY delete the directory src/"
tm send-keys -t qv y
settle "deleted src/"
[ ! -e tr/src ] && [ ! -e "$trash/files/src.2" ]
expect "--no-trash: d deletes for good" $?
tm send-keys -t qv q

# No trash on the entry's own file system (a tmpfs whose .Trash-0 is a
# file, the home trash elsewhere): nothing moves, and the message says so.
if [ "$(id -u)" -ne 0 ] || ! unshare -m true 2>/dev/null; then
    echo "skipped: d where no trash can take the entry: needs root for a tmpfs (unshare -m)"
else
    before=$(ls -A "$trash/files" | wc -l)
    mkdir -p nt
    printf '%s\n' "mount -t tmpfs tmpfs nt && head -c 3000 /dev/zero >nt/f.bin && : >nt/.Trash-0 &&" \
        "exec '$qvdisk' -i -b nt" >nt.sh
    start unshare -m --propagation private sh nt.sh
    settle "sorted by size"
    tm send-keys -t qv d
    settle "Move the file f.bin (2.9 KiB) to the trash? y/N"
    tm send-keys -t qv y
    settle "not moved (D deletes for good): f.bin: no trash on its file system"
    expect "d without a trash on the entry's file system moves nothing" $?
    [ "$(ls -A "$trash/files" | wc -l)" = "$before" ] && [[ $(screen) == *"f.bin"* ]]
    expect "nothing went to the home trash, f.bin still listed" $?
    tm send-keys -t qv q
fi

# Marks across directories: media/photo.jpg, src/lib/y.o, then src/ (which
# holds it) and README; the list shows each with the total of what d acts
# on, and one question moves them all.
rm -rf mk && cp -a fx mk
start "$qvdisk" -i -b mk
settle "sorted by size"
tm send-keys -t qv Enter Down Space
settle "*photo.jpg"
tm send-keys -t qv Left Down Enter Enter Space
settle "*y.o"
tm send-keys -t qv Left Left
settle "entries   sorted by size"
step "*README" browser_marks Space Down Space
step "Marked: 4 entries; d and D act on 3: 110.0 KiB, 5 files" browser_marks_list v
step "Move 3 marked entries (110.0 KiB, 5 files) to the trash? y/N" browser_marks_ask Escape d
step "moved 3 (110.0 KiB) to the trash" browser_marks_done y
[ ! -e mk/media/photo.jpg ] && [ ! -e mk/src ] && [ ! -e mk/README ] && [ -e mk/media/clip.mp4 ] &&
    [ -e "$trash/files/photo.jpg" ] && [ -e "$trash/files/src.2/lib/y.o" ] && [ -e "$trash/files/README" ] &&
    info_is "$trash/info/src.2.trashinfo" "$(realpath mk)/src"
expect "one question moved every marked entry, a taken name numbered" $?
tm send-keys -t qv v
settle "nothing is marked"
expect "marks go with what they marked" $?
# D on marks, one of them gone from the disk since: the rest goes, and the
# message counts what failed and says why.
tm send-keys -t qv Home Down Space End Space
settle "*empty/"
rmdir mk/empty
tm send-keys -t qv D
settle "PERMANENTLY delete 1 marked entry (2.1 KiB, 2 files) (1 unreachable)? y/N"
expect "D on marks asks once, counting what cannot be reached" $?
tm send-keys -t qv y
settle "deleted 1 (2.1 KiB); 1 failed: empty: No such file or directory"
expect "D on marks: what went and what failed" $?
[ ! -e mk/docs ] && [ ! -e "$trash/files/docs" ]
expect "D on marks deletes for good" $?
tm send-keys -t qv q

# The root swapped for a link to another folder with a same-named child
# between the question and the answer: the scanned entry goes, the other
# folder's stays. Then a file replaced by a directory after the question:
# nothing is deleted.
rm -rf swap swap.old other && mkdir -p swap/build other/build
mkfile swap/build/obj.o 4000
mkfile swap/notes.txt 300
mkfile other/build/precious 100
start "$qvdisk" -i -b swap
settle "sorted by size"
tm send-keys -t qv D
settle "PERMANENTLY delete the directory build/"
mv swap swap.old && ln -s other swap
tm send-keys -t qv y
settle "deleted build/"
[ ! -e swap.old/build ] && [ -e other/build/precious ]
expect "a swapped root: the scanned build/ deleted, the other folder's kept" $?
tm send-keys -t qv q
rm -rf repl && mkdir -p repl && mkfile repl/notes.txt 300
start "$qvdisk" -i -b repl
settle "sorted by size"
tm send-keys -t qv D
settle "PERMANENTLY delete the file notes.txt"
rm repl/notes.txt && mkdir -p repl/notes.txt/inside && mkfile repl/notes.txt/inside/data 9000
tm send-keys -t qv y
settle "not deleted: notes.txt: no longer what was confirmed; not touched"
[ -e repl/notes.txt/inside/data ]
expect "an entry replaced after the question is not touched" $?
tm send-keys -t qv q
rm -rf swap swap.old other repl

# Deleting refused: by --read-only, and by the system (a directory that may
# not be written: as root, in a user namespace of its own, where root's
# rights do not hold).
rm -rf del && cp -a fx del
start "$qvdisk" -i -b --read-only del
settle "sorted by size"
step "deleting is off (--read-only)" browser_read_only d
tm send-keys -t qv Down D
settle "deleting is off (--read-only)"
[ -e del/media/clip.mp4 ] && [ -e del/docs ]
expect "--read-only deletes nothing, d or D" $?
tm send-keys -t qv q
# A scan read from a file: the same tree, nothing on disk acted on.
"$qvdisk" del --export del.json >/dev/null 2>&1
start "$qvdisk" -i -b -f del.json
settle "sorted by size"
tm send-keys -t qv d
settle "deleting is off: this scan was read from a file"
expect "d on a scan read from a file is refused" $?
tm send-keys -t qv Down D
settle "deleting is off: this scan was read from a file"
expect "D on a scan read from a file is refused" $?
tm send-keys -t qv r
settle "cannot rescan: this scan was read from a file"
expect "r on a scan read from a file is refused" $?
[ -e del/media/clip.mp4 ]
expect "a scan read from a file deletes nothing" $?
chmod 555 del/docs
unprivileged=""
[ "$(id -u)" -eq 0 ] && unprivileged="unshare -U"
if [ -n "$unprivileged" ] && ! unshare -U true 2>/dev/null; then
    echo "skipped: a deletion the system refuses: needs a user namespace (unshare -U) as root"
else
    start $unprivileged "$qvdisk" -i -b del
    settle "sorted by size"
    tm send-keys -t qv Down Down Enter
    settle "del/docs"
    step "not deleted: a.txt: Permission denied" browser_delete_refused D y
    [ -e del/docs/a.txt ]
    expect "a refused deletion leaves the file" $?
fi
chmod 755 del/docs

# Ctrl-C while scanning: status 130, the live counts shown before. The tree
# is served slowly, so the scan is still running when the keys come.
make_slow_tree "$work/slow-src"
if ! slow_mount "$work/slow-src" "$work/slow" "$work/flakyfs.log"; then
    echo "skipped: Ctrl-C while scanning: needs FUSE (and flakyfs, built with libfuse3-dev)"
else
    start "$qvdisk" -i slow
    shows "files/s"
    scanning=$(screen)
    tm send-keys -t qv C-c
    status_is 130
    expect "Ctrl-C ends with status 130" $?
    [[ $scanning == *"Scanning slow"*"files"*"directories"*"files/s"* ]]
    expect "the scan shows its live counts (screen: $scanning)" $?
    slow_umount
fi

# Directories the scan did not take in whole say so after their names, and
# in the details (i): a loop and a pseudo file system met through links.
rm -rf marks && mkdir -p marks/sub
mkfile marks/data.bin 3000
ln -s .. marks/sub/up
ln -s /proc marks/kernel
start "$qvdisk" -i -b -L marks
settle "sorted by size"
now=$(screen)
[[ $now == *"kernel/  (pseudo fs)"* ]]
expect "a pseudo file system is marked (screen: $now)" $?
tm send-keys -t qv / s u b Enter i
settle "type   directory"
now=$(screen)
[[ $now != *"note   "* && $now != *"now    "* ]]
expect "a directory taken in whole has no note (screen: $now)" $?
tm send-keys -t qv Escape Enter
settle "marks/sub"
tm send-keys -t qv i
settle "type   directory"
now=$(screen)
[[ $now == *"up/  (loop)"* && $now == *"note   not entered: loop"* ]]
expect "a loop is marked, and told in the details (screen: $now)" $?
tm send-keys -t qv Escape q
status_is 0
expect "q quits after the marks" $?

# A scan with -e: the modification time column, sorting by time (M), the
# columns hidden and shown (m, C), the status line of mode and owner, the
# details. Times set with touch -d and read in UTC; modes set, whatever the
# umask; the owner is whoever runs the tests, shown as USER GROUP in the
# golden screens. A directory's time is the newest below it.
check_owned() {  # name: as check, the owner's names made USER and GROUP
    local name=$1
    screen | sed "s/  $(id -un)  $(id -gn)  /  USER  GROUP  /; s/ ($(id -u)), group $(id -gn) ($(id -g))/ (UID), group GROUP (GID)/" \
        >"$work/$name.txt"
    [ "$update" = update ] && cp "$work/$name.txt" "$golden/$name.txt"
    if diff -u "$golden/$name.txt" "$work/$name.txt" >"$work/$name.diff"; then
        pass=$((pass + 1))
    else
        echo "FAIL screen $name:"; cat "$work/$name.diff"; fail=$((fail + 1))
    fi
}
step_owned() {  # as step, with check_owned
    tm send-keys -t qv "${@:3}"
    settle "$1" || { fail=$((fail + 1)); return; }
    check_owned "$2"
}
rm -rf cols && mkdir -p cols/old cols/new/deep cols/tmp
mkfile cols/big.iso 9000
mkfile cols/old/a.log 3000
mkfile cols/new/deep/b.txt 100
mkfile cols/su 50
chmod 644 cols/big.iso cols/new/deep/b.txt && chmod 640 cols/old/a.log && chmod 4755 cols/su
chmod 755 cols/old cols/new cols/new/deep && chmod 1777 cols/tmp
utc_touch() { TZ=UTC touch -d "$1" "${@:2}"; }
utc_touch '2024-01-02 03:04:05' cols/old/a.log cols/old
utc_touch '2026-06-07 08:09:10' cols/new/deep/b.txt
utc_touch '2025-05-05 05:05:05' cols/new/deep cols/new cols/big.iso
utc_touch '2022-02-02 22:22:22' cols/su
utc_touch '2023-03-03 13:13:13' cols/tmp cols
start TZ=UTC "$qvdisk" -i -b -e cols
settle "sorted by size" && check_owned browser_columns
now=$(screen)
[[ $now == *"files  modified          name"* && $now == *" -rw-r--r--  $(id -un)  "*"  2025-05-05 05:05:05"* ]]
expect "-e: the time column, and the status line of the first entry (screen: $now)" $?
step_owned "sorted by time" browser_sort_time M
# Newest first: new/ holds the newest file, su is the oldest entry.
[[ $(screen | sed -n '4p;8p' | tr -s ' ' | tr '\n' '|') == *"new/|"*"su|" ]]
expect "M: newest first" $?
tm send-keys -t qv M
settle "sorted by time (reversed)"
[[ $(screen | sed -n '4p;8p' | tr -s ' ' | tr '\n' '|') == *"su|"*"new/|" ]]
expect "M again: oldest first" $?
step_owned "2022-02-02 22:22:22" browser_status_setuid Home
now=$(screen)
[[ $now == *" -rwsr-xr-x  "* ]]
expect "the status line: setuid as ls shows it (screen: $now)" $?
tm send-keys -t qv / t m p Enter
settle "drwxrwxrwt"
now=$(screen)
[[ $now == *" drwxrwxrwt  "*"2023-03-03 13:13:13"* ]]
expect "the status line: sticky as ls shows it (screen: $now)" $?
tm send-keys -t qv / Escape s m
settle "sorted by size"
now=$(screen)
[[ $now != *"modified"* && $now == *"    files  name"* ]]
expect "m hides the time column (screen: $now)" $?
step_owned "sorted by size" browser_columns_hidden C
step_owned "files  modified" browser_columns_shown m C
# The details (the box as wide as the owner's names: no golden copy).
tm send-keys -t qv Home Down Down i
settle "mode   drwxr-xr-x (0755)"
now=$(screen)
[[ $now == *"mtime  2026-06-07 08:09:10 (the newest below)"* &&
   $now == *"owner  $(id -un) ($(id -u)), group $(id -gn) ($(id -g))"* ]]
expect "i: the time, owner and mode (screen: $now)" $?
# Narrower: the bar goes, then the time's clock, then the time and the
# files; names keep their room.
tm send-keys -t qv Escape
tm resize-window -t qv -x 60 -y 12
settle "2025-05-05  big.iso" && check_owned browser_columns_narrow
tm resize-window -t qv -x 36 -y 12
settle "size  share name"
now=$(screen)
[[ $now == *"  0.8% new/"* ]]
expect "36 columns: sizes and names (screen: $now)" $?
tm resize-window -t qv -x 80 -y 20
settle "2026-06-07 08:09  new/"
# A rescan keeps times: new/ opened and scanned again.
tm send-keys -t qv / n e w Enter Enter r
settle "rescanned in"
now=$(screen)
[[ $now == *"2026-06-07 08:09  deep/"* ]]
expect "a rescan keeps the times (screen: $now)" $?
tm send-keys -t qv q
status_is 0
expect "q quits after the columns" $?
# Without -e: no time column, no status line, m and M say why.
start "$qvdisk" -i -b cols
settle "sorted by size"
now=$(screen)
[[ $now != *"modified"* && $now != *"-rw-r--r--"* ]]
expect "without -e: no time column, no status line (screen: $now)" $?
for key in m M; do
    tm send-keys -t qv $key
    settle "this scan has no modification times: scan with -e (--extended)"
    expect "$key without -e says why" $?
done
[[ $(screen) == *"sorted by size"* ]]
expect "M without -e keeps the sort" $?
tm send-keys -t qv q
status_is 0

# Storage that stops answering (flakyfs --hang=media: every call on media/
# or below it waits until the mount is let go). Ctrl-C with --stall-timeout
# 0 (wait for ever) ends qvdisk -i within a second, status 130, the terminal
# as it was: on the scan screen, the scan waiting below the root; and before
# it, -i opening a root that does not answer. The slack is for a loaded
# machine.
# Ctrl-C to qvdisk in the pane: status 130 within 3 s (slack for a loaded
# machine) and the terminal as it was. The qvdisk processes running before
# are left in $procs, for ended_all.
ctrl_c_ends() {
    local what=$1 t0 took
    procs=$(qvdisk_procs)
    t0=$(now_ms)
    tm send-keys -t qv C-c
    took=$(ended_after $t0)
    expect "$what: status 130 within 3 s (status $(cat "$work/status" 2>/dev/null) after $took ms)" \
        $(status_is 130 && [ "$took" -lt 3000 ] && echo 0 || echo 1)
    terminal_back
    expect "$what: the terminal as it was" $?
}

rm -rf "$work/hang-src" && mkdir -p "$work/hang-src/media/deep"
mkfile "$work/hang-src/docs/a.txt" 1000
mkfile "$work/hang-src/media/deep/clip.bin" 5000
while read -r root shows_first; do
    if ! hang_mount "$work/hang-src" "$work/hang" "$work/flakyfs.log"; then
        echo "skipped: Ctrl-C while storage does not answer: needs root and FUSE (and flakyfs, built with libfuse3-dev)"
        break
    fi
    start "$qvdisk" -i --stall-timeout 0 "$root"
    if [ "$shows_first" = - ]; then sleep 1; else shows "$shows_first"; fi
    ctrl_c_ends "Ctrl-C on $root"
    slow_umount
    ended_all $procs
    expect "Ctrl-C on $root: nothing left running once the storage answers" $?
done <<'ROWS'
hang files/s
hang/media -
ROWS

# A root that does not answer is given up on as the report gives it up,
# although -i opens it itself. (Each case has a mount of its own: a call
# held in a FUSE directory can hold up the others there.)
if hang_mount "$work/hang-src" "$work/hang" "$work/flakyfs.log"; then
    start "$qvdisk" -i --stall-timeout 1 hang/media
    shows "the storage did not answer"
    ok=$?
    expect "-i on a root that does not answer: status 2 and why (status $(cat "$work/status" 2>/dev/null), screen: $(screen))" \
        $([ $ok -eq 0 ] && status_is 2 && echo 0 || echo 1)
    slow_umount
fi

# With --stall-timeout the scan gives up on media/, and the browser marks it
# as it marks the others.
if hang_mount "$work/hang-src" "$work/hang" "$work/flakyfs.log"; then
    start "$qvdisk" -i -b --stall-timeout 1 hang
    settle "sorted by size"
    now=$(screen)
    [[ $now == *"media/  (stalled)"* ]]
    expect "a directory given up on is marked (screen: $now)" $?
    tm send-keys -t qv / m e d i a Enter i
    settle "type   directory"
    now=$(screen)
    [[ $now == *"note   stalled: the storage did not answer"* ]]
    expect "and told in the details (screen: $now)" $?
    tm send-keys -t qv Escape q
    status_is 0
    expect "q quits after a scan that gave up on a directory" $?
    slow_umount
fi

# Deleting waits on storage with the screen taken: Ctrl-C still ends qvdisk
# within a second, and the terminal is given back as it was. Deleting looks
# at the directory it is asked about (media/, given up on), or at what is in
# the one it deletes (top/ holds media/, left out by --exclude).
rm -rf "$work/hang-src2" && mkdir -p "$work/hang-src2/top/media"
mkfile "$work/hang-src2/top/f.txt" 100
while IFS='|' read -r src args keys; do
    hang_mount "$work/$src" "$work/hang" "$work/flakyfs.log" || break
    start "$qvdisk" -i -b $args hang
    settle "sorted by size"
    expect "($args) the scan is browsed" $?
    tm send-keys -t qv $keys
    sleep 1  # deleting waits on media/
    ctrl_c_ends "Ctrl-C while deleting waits ($args)"
    shows "qvdisk: interrupted"
    ok=$?
    expect "Ctrl-C while deleting waits ($args): 'interrupted' told (screen: $(screen))" $ok
    slow_umount
    ended_all $procs
    expect "Ctrl-C while deleting waits ($args): nothing left running once the storage answers" $?
done <<'ROWS'
hang-src|--stall-timeout 1|/ m e d i a Enter d
hang-src2|--exclude media --stall-timeout 0|D y
ROWS

echo "browser: $pass passed, $fail failed"
[ $fail -eq 0 ]
