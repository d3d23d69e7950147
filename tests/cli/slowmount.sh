# Sourced by the qvdisk tests: a tree that takes seconds to scan on any
# machine, whatever file system holds the work folder, for the cases that
# must catch a scan while it runs.
#
# slow_mount SRC MNT LOG: serves SRC at MNT through flakyfs (QV_FLAKYFS, built
# with the tests) with 200 ms of latency on every call. Returns 1 when
# flakyfs was not built or the mount was refused (no FUSE here); the caller
# then skips, saying so. slow_umount ends it (one mount at a time).
# hang_mount does the same with storage that stops answering.
slow_pid=""
slow_mnt=""

slow_mount() { flaky_mount "$1" "$2" "$3" --latency-us=200000; }

# flaky_mount SRC MNT LOG OPTION...: the same with flakyfs's own options.
flaky_mount() {
    local src=$1 mnt=$2 log=$3 i
    shift 3
    [ -n "${QV_FLAKYFS:-}" ] && [ -x "$QV_FLAKYFS" ] && [ -e /dev/fuse ] || return 1
    mkdir -p "$mnt"
    "$QV_FLAKYFS" "$@" "$src" "$mnt" -f >"$log" 2>&1 &
    slow_pid=$!
    slow_mnt=$mnt
    for i in $(seq 1 200); do
        mountpoint -q "$mnt" && return 0
        kill -0 "$slow_pid" 2>/dev/null || break
        sleep 0.05
    done
    slow_umount
    return 1
}

# The calls a --hang mount holds are answered first (SIGUSR1), so that no
# process is left waiting on them.
slow_umount() {
    [ -n "$slow_pid" ] || return 0
    kill -USR1 "$slow_pid" 2>/dev/null
    if mountpoint -q "$slow_mnt"; then
        umount "$slow_mnt" 2>/dev/null || fusermount3 -u "$slow_mnt" 2>/dev/null || umount -l "$slow_mnt" 2>/dev/null
    fi
    kill "$slow_pid" 2>/dev/null
    wait "$slow_pid" 2>/dev/null
    slow_pid=""
}

# hang_mount SRC MNT LOG: serves SRC at MNT with every call on an entry
# named media, or below one, left unanswered until slow_umount.
hang_mount() { flaky_mount "$1" "$2" "$3" --hang=media; }

# pid and the process it forked (qvdisk works in a child), once there.
with_child() {
    local i kid
    [ -n "$1" ] || return 0
    for i in $(seq 1 100); do
        kid=$(pgrep -P "$1")
        [ -n "$kid" ] && break
        sleep 0.01
    done
    echo "$1" $kid
}

# Waits up to 10 s for every thread of the processes pids to have ended (a
# zombie left to its reaper has); false if one goes on, as a thread left
# in a call the storage does not answer would.
ended_all() {
    local i p t live
    for i in $(seq 1 200); do
        live=""
        for p in "$@"; do
            for t in /proc/"$p"/task/*/stat; do
                [ -e "$t" ] || continue
                # the state follows the name, which is in parentheses
                [[ $(sed 's/.*) //' "$t" 2>/dev/null) == Z* ]] || live="$live $p"
            done
        done
        [ -z "$live" ] && return 0
        sleep 0.05
    done
    return 1
}

# The exit status of background job pid once it ends, or, if it has not
# within 20 s, of the job killed: then the calls a --hang mount holds are
# answered too, as a process with a thread in one cannot end.
status_of() {
    local i
    for i in $(seq 1 400); do
        [ -e "/proc/$1" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null || break
        sleep 0.05
    done
    if [ "$i" -eq 400 ]; then
        kill -KILL "$1" 2>/dev/null
        [ -z "$slow_pid" ] || kill -USR1 "$slow_pid" 2>/dev/null
    fi
    wait "$1"
}

# Milliseconds since boot (to 10 ms): a clock that only goes forward.
now_ms() {
    local up
    read -r up _ </proc/uptime
    echo $((${up%.*} * 1000 + 10#${up#*.} * 10))
}

# A source tree for slow_mount: 40 directories of 25 files, two thousand
# calls or so, each answered 200 ms late.
make_slow_tree() {
    local root=$1 d f
    [ -f "$root/.complete" ] && return 0
    rm -rf "$root"
    for d in $(seq -w 1 40); do
        mkdir -p "$root/d$d/sub"
        for f in $(seq 1 25); do : >"$root/d$d/sub/f$f"; done
    done
    : >"$root/.complete"
}
