#!/usr/bin/env bash
# qvdisk -i in a real terminal: tmux runs it on fixtures at a fixed size,
# send-keys types, capture-pane reads the screen, and the screens of the main
# paths are compared with golden copies.
#   browser_tests.sh QVDISK GOLDEN_DIR WORK_DIR [update]
set -u
qvdisk=$(realpath "$1") golden=$(realpath "$2") work=$(realpath "$3") update=${4:-}
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
    rm -f "$work/status"
    tm new-session -d -s qv -x 80 -y 20 \
        "cd '$work' && env TERM=tmux-256color LANG=C.UTF-8 LC_ALL=C.UTF-8 NO_COLOR=1 $* ; echo \$? >'$work/status'; sleep 60"
}

status_is() {  # waits for the program's exit status
    for _ in $(seq 1 100); do
        [ -s "$work/status" ] && break
        sleep 0.05
    done
    [ "$(cat "$work/status" 2>/dev/null)" = "$1" ]
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

# Delete, confirmed, on a throwaway copy: the entry goes from the disk and
# the totals above it shrink at once.
rm -rf del && cp -a fx del
start "$qvdisk" -i -b del
settle "sorted by size"
step "Delete the directory src/ (45.9 KiB, 3 files)? y/N" browser_delete_ask Down d
step "deleted src/" browser_delete_done y
[ ! -e del/src ] && [ -e del/media/clip.mp4 ]
expect "src deleted, the rest kept" $?
# The hostile name is found on the disk by what the screen shows.
step "Delete the file evil" browser_delete_evil_ask End Up d
step "deleted evil" browser_delete_evil_done y
[ -z "$(find del -name 'evil*')" ]
expect "the file with the hostile name deleted" $?
tm send-keys -t qv n d n
settle "not deleted"
[ -e del/README ] && [ -e del/media ]
expect "n keeps what d asked about" $?

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
tm send-keys -t qv d
settle "Delete the directory build/"
mv swap swap.old && ln -s other swap
tm send-keys -t qv y
settle "deleted build/"
[ ! -e swap.old/build ] && [ -e other/build/precious ]
expect "a swapped root: the scanned build/ deleted, the other folder's kept" $?
tm send-keys -t qv q
rm -rf repl && mkdir -p repl && mkfile repl/notes.txt 300
start "$qvdisk" -i -b repl
settle "sorted by size"
tm send-keys -t qv d
settle "Delete the file notes.txt"
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
[ -e del/media/clip.mp4 ]
expect "--read-only deletes nothing" $?
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
    step "not deleted: a.txt: Permission denied" browser_delete_refused d y
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

echo "browser: $pass passed, $fail failed"
[ $fail -eq 0 ]
