#!/usr/bin/env bash
# qvdisk --mounts: the list against df, mounts made for the test (as root),
# a mount that never answers (FUSE), and the chooser of -i in tmux.
#   mounts_tests.sh QVDISK WORK_DIR
set -u
qvdisk=$(realpath "$1") work=$(realpath "$2")
fail=0
pass=0
sock=qvmounts-$$
tm() { tmux -L "$sock" -f /dev/null "$@"; }
. "$(dirname "$0")/slowmount.sh"
made_mounts=()
cleanup() {
    tm kill-server 2>/dev/null
    slow_umount
    local i
    for ((i = ${#made_mounts[@]} - 1; i >= 0; i--)); do umount "${made_mounts[i]}" 2>/dev/null; done
}
trap cleanup EXIT

expect() {  # description, condition result
    if [ "$2" -eq 0 ]; then pass=$((pass + 1)); else echo "FAIL $1"; fail=$((fail + 1)); fi
}

# The figures of mount point $2 in the table of file $1, as "size used free":
# the last four fields of its row, or of the next line when its names did
# not leave room.
figures_of() {
    awk -v p="$2" 'index($0, p "  ") == 1 {
        if ($NF ~ /%$/) print $(NF-3), $(NF-2), $(NF-1); else { getline; print $1, $2, $3 }; exit }' "$1"
}

within() {  # value, bounds...: whether value lies between the least and the most of them, 16 MiB of slack
    local v=$1 lo=$2 hi=$2 b
    shift
    for b in "$@"; do
        [ "$b" -lt "$lo" ] && lo=$b
        [ "$b" -gt "$hi" ] && hi=$b
    done
    [ "$v" -ge $((lo - 16777216)) ] && [ "$v" -le $((hi + 16777216)) ]
}

mkdir -p "$work"
cd "$work" || exit 1

# / as df -B1 gives it: the same size; used and free between what df said
# before and after, as other processes write meanwhile.
read -r size0 used0 free0 < <(df -B1 --output=size,used,avail / | tail -n 1)
"$qvdisk" --mounts -b >list.txt 2>list.err
rc=$?
read -r size1 used1 free1 < <(df -B1 --output=size,used,avail / | tail -n 1)
read -r size used free < <(figures_of list.txt /)
expect "--mounts ends with status 0 (got $rc: $(head -c 300 list.err))" $rc
expect "/ has df's size ($size0, got ${size:-none})" $([ "${size:-}" = "$size0" ] && echo 0 || echo 1)
within "${used:-0}" "$used0" "$used1"
expect "/ has df's used ($used0..$used1, got ${used:-none})" $?
within "${free:-0}" "$free0" "$free1"
expect "/ has df's free ($free0..$free1, got ${free:-none})" $?
kernel=$(awk '$1 == "/proc" || $1 == "/sys" || $1 ~ "^/sys/fs/cgroup/" || $3 == "proc" || $3 == "sysfs" ||
    $3 ~ /^cgroup/ || $3 == "devpts"' list.txt)
expect "no proc, sysfs, cgroup or devpts listed (got: $kernel)" $([ -z "$kernel" ] && echo 0 || echo 1)
dups=$(awk 'NR > 1 && $1 ~ "^/" { print $1 }' list.txt | sort | uniq -d)
expect "each mount point once (twice: $dups)" $([ -z "$dups" ] && echo 0 || echo 1)
"$qvdisk" --mounts >human.txt 2>&1
awk -v s="$size0" 'function h(b,  u, n) { split("B KiB MiB GiB TiB", u, " "); n = 1
        while (b >= 1024 && n < 5) { b /= 1024; n++ } return n == 1 ? b " B" : sprintf("%.1f %s", b, u[n]) }
    index($0, "/  ") == 1 && index($0, h(s)) { found = 1 } END { exit !found }' human.txt
expect "without -b, / shows its size as the report does: $(grep '^/  ' human.txt)" $?

# Mounts made here: a tmpfs at a path with a space, the same file system
# bound at a longer path (listed once, at the shorter), and two tmpfs on
# one point (the later hides the earlier: its size is listed).
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: mounts made for the test: needs root"
elif ! mkdir -p "mnt with space" "mnt with space-bound-again" over ||
    ! mount -t tmpfs -o size=4m qvtest "$work/mnt with space" 2>/dev/null; then
    echo "skipped: mounts made for the test: mounting a tmpfs was refused"
else
    made_mounts+=("$work/mnt with space")
    head -c 1048576 /dev/zero >"mnt with space/f"
    mount --bind "$work/mnt with space" "$work/mnt with space-bound-again" &&
        made_mounts+=("$work/mnt with space-bound-again")
    mount -t tmpfs -o size=1m qvunder "$work/over" && made_mounts+=("$work/over")
    mount -t tmpfs -o size=2m qvover "$work/over" && made_mounts+=("$work/over")
    "$qvdisk" --mounts -b >made.txt 2>&1
    read -r size used free < <(figures_of made.txt "$work/mnt with space")
    expect "a tmpfs at a path with a space: 4 MiB, 1 MiB used (got ${size:-none} ${used:-none})" \
        $([ "${size:-}" = 4194304 ] && [ "${used:-0}" -ge 1048576 ] && echo 0 || echo 1)
    expect "a bind mount listed once, at the shorter path" \
        $(grep -qF "$work/mnt with space-bound-again" made.txt && echo 1 || echo 0)
    read -r size used free < <(figures_of made.txt "$work/over")
    expect "two mounts on one point: once, the upper one (got ${size:-none})" \
        $([ "${size:-}" = 2097152 ] && [ "$(grep -c "^$work/over " made.txt)" = 1 ] && echo 0 || echo 1)
fi

# A mount that never answers (flakyfs holding every call on its root,
# statfs among them): the list still ends, marks it, and warns once.
# `mountpoint` would stat the dead root: the mount is looked for in the
# kernel's table instead.
dead_mount() {
    [ -n "${QV_FLAKYFS:-}" ] && [ -x "$QV_FLAKYFS" ] && [ -e /dev/fuse ] || return 1
    mkdir -p "$work/dead-src" "$1"
    "$QV_FLAKYFS" --hang=/ "$work/dead-src" "$1" -f >"$work/flakyfs.log" 2>&1 &
    slow_pid=$!
    slow_mnt=$1
    for _ in $(seq 1 200); do
        awk -v m="$1" '$5 == m { f = 1 } END { exit !f }' /proc/self/mountinfo && return 0
        kill -0 "$slow_pid" 2>/dev/null || break
        sleep 0.05
    done
    slow_umount
    return 1
}
if [ "$(id -u)" -ne 0 ] || ! dead_mount "$work/dead"; then
    echo "skipped: a mount that does not answer: needs root and FUSE (and flakyfs, built with libfuse3-dev)"
else
    start=$(now_ms)
    "$qvdisk" --mounts --stall-timeout 1 >dead.txt 2>dead.err &
    procs=$(with_child $!)
    status_of ${procs%% *}
    rc=$?
    took=$(($(now_ms) - start))
    slow_umount
    expect "--mounts ends though a mount does not answer (status $rc after $took ms)" \
        $([ $rc -eq 0 ] && [ $took -lt 10000 ] && echo 0 || echo 1)
    grep -q "^$work/dead .*did not answer in 1 s\$" dead.txt
    expect "the mount is marked: $(grep -F "$work/dead" dead.txt)" $?
    expect "one warning (got: $(head -c 300 dead.err))" \
        $([ "$(cat dead.err)" = "qvdisk: warning: 1 file system did not answer" ] && echo 0 || echo 1)
    grep -q '^/  ' dead.txt
    expect "the others are listed as ever" $?
    ended_all $procs
    expect "nothing left running once the storage answers" $?
fi

# The chooser: Enter on / scans it as qvdisk -i / would, with the options
# given (-b, and an --exclude that leaves everything below / out, so that
# the scan is instant).
screen() { tm capture-pane -p -t qv; }
shows() {
    for _ in $(seq 1 200); do
        [[ $(screen) == *"$1"* ]] && return 0
        sleep 0.05
    done
    echo "screen never showed '$1':"
    screen
    return 1
}
if ! command -v tmux >/dev/null; then
    echo "skipped: the chooser of --mounts -i: needs tmux"
elif "$qvdisk" --mounts -i 2>&1 </dev/null | grep -q "not available"; then
    echo "skipped: the chooser of --mounts -i: qvdisk was built without -i"
else
    rm -f status
    tm new-session -d -s qv -x 100 -y 30 \
        "cd '$work' && env TERM=tmux-256color LANG=C.UTF-8 LC_ALL=C.UTF-8 NO_COLOR=1 '$qvdisk' --mounts -i -b \
         --exclude '/?*'; echo \$? >'$work/status'; sleep 60"
    shows "Mounted file systems"
    expect "the chooser shows the mounts" $?
    # Down until / is selected: its row ends "TYPE  /  DEVICE".
    for _ in $(seq 1 100); do
        [[ $(screen | grep '^>') =~ \ \ /\ \  ]] && break
        tm send-keys -t qv j
        sleep 0.1
    done
    tm send-keys -t qv Enter
    shows "sorted by size"
    expect "Enter opens the browser on the chosen mount" $?
    top=$(screen | head -n 2)
    [[ $top == "/"$'\n'*"0 B apparent size"*"0 entries"* ]]
    expect "it is / scanned with -b and the --exclude given (screen: $top)" $?
    tm send-keys -t qv q
    for _ in $(seq 1 100); do
        [ -s status ] && break
        sleep 0.05
    done
    expect "q quits with status 0" $([ "$(cat status 2>/dev/null)" = 0 ] && echo 0 || echo 1)
fi

echo "mounts: $pass passed, $fail failed"
[ $fail -eq 0 ]
