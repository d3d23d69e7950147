#!/usr/bin/env bash
# Scan wall times on four kinds of storage, this library beside the bare
# list-and-stat walk (floor), gdu, ncdu and du, all in the same run:
#   warm   the 1M-file tree, page cache warm            goal: <= 1.15 x floor -t 2
#   skew   the same tree bind-mounted at skew/a/b/c/tree, scanned from skew
#                                                       goal: <= 1.15 x floor -t 2
#   cold   the 100k tree, page cache dropped before every run (root)
#                                                       goal: <= 1.10 x floor -t 16
#   slow   the 20k tree behind slowfs (LATENCY us per request), mounted
#          afresh for every run                         goal: <= 1.25 x floor -t 64, < gdu
#   slowc  the same with slowfs -c 10 (kernel caching)  goal: as slow
#
#   bench/storage.sh [--case warm,skew,cold,slow,slowc] [--runs N]
#                    [--work DIR] [--shared DIR] [--files N] [--latency US]
#                    [--bench-scan PATH] [--floor PATH]
#
# --work (default /work/bench) holds the trees (tree1m, tree100k, tree20k,
# made with make_tree.py --seed 1 when absent), floor (built from the shared
# floor.c when absent), the skew bind mount and the slowfs mount point.
# --files N uses one tree of N files for every case (trying the script on a
# small tree). --runs: timed runs per tool (default 5; 3 for slow, slowc),
# printed each and as the median; warm and skew time after one untimed run.
# --shared defaults to ../shared beside the repository (make_tree.py,
# floor.c, slowfs/). bench_scan comes from build/bench (see bench/README.md).
# Ratios are the library's median over the goal peer's. Peak RSS is GNU
# time's; the library's bytes per entry leave out what a scan of an empty
# directory peaks at. Every mount is undone on exit, even on ^C.
set -u
repo=$(cd "$(dirname "$0")/.." && pwd)
shared=$repo/../shared
work=/work/bench
cases=warm,skew,cold,slow,slowc
runs=
files=
latency=1000
bench_scan=$repo/build/bench/bench/bench_scan
floor=

die() { echo "storage.sh: $*" >&2; exit 2; }
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || die "$1 needs a value"
    case $1 in
        --case) cases=$2 ;;
        --runs) runs=$2 ;;
        --work) work=$2 ;;
        --shared) shared=$2 ;;
        --files) files=$2 ;;
        --latency) latency=$2 ;;
        --bench-scan) bench_scan=$2 ;;
        --floor) floor=$2 ;;
        *) die "unknown option $1 (see the head of $0)" ;;
    esac
    shift 2
done
for c in ${cases//,/ }; do
    case $c in warm | skew | cold | slow | slowc) ;; *) die "unknown case $c" ;; esac
done
[ -z "$runs" ] || [ "$runs" -ge 1 ] 2>/dev/null || die "--runs takes a count"
[ -x "$bench_scan" ] || die "no $bench_scan: build it with
  cmake -S . -B build/bench -G Ninja -DQV_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release && ninja -C build/bench -j2"
[ -f "$shared/make_tree.py" ] || die "no make_tree.py in $shared (--shared DIR)"
shared=$(cd "$shared" && pwd)
mkdir -p "$work" || die "cannot make $work"
work=$(cd "$work" && pwd)
tmp=$(mktemp -d /tmp/qv-storage.XXXXXX)
skew_mnt=$work/skew/a/b/c/tree
slow_mnt=$work/slowmnt

cleanup() {
    if grep -q " $slow_mnt fuse" /proc/mounts; then
        "$shared/slowfs/run.sh" stop "$slow_mnt" >/dev/null 2>&1 || fusermount3 -u "$slow_mnt"
    fi
    if mountpoint -q "$skew_mnt" 2>/dev/null; then umount "$skew_mnt"; fi
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -z "$floor" ]; then
    floor=$work/floor
    if [ ! -x "$floor" ]; then
        cc -O2 -pthread -o "$floor" "$shared/floor.c" || die "cannot build $floor"
    fi
fi
[ -x "$floor" ] || die "no floor binary at $floor"
timer=/usr/bin/time
[ -x "$timer" ] || { timer=; echo "(no GNU time at /usr/bin/time: peak RSS not shown)"; }

tree_for() {  # N -> $tree: the make_tree tree of N files, seed 1, made if absent
    local n=$1 name
    case $n in 1000000) name=tree1m ;; 100000) name=tree100k ;; 20000) name=tree20k ;; *) name=tree-$n ;; esac
    local dir=$work/$name
    if [ ! -d "$dir" ]; then
        echo "making $dir ($n files, seed 1)..." >&2
        rm -rf "$dir.part"
        python3 "$shared/make_tree.py" "$dir.part" --files "$n" --seed 1 >&2 && mv "$dir.part" "$dir" ||
            die "make_tree.py failed"
    fi
    tree=$dir
}

label_of() {
    case $1 in
        floor*) echo "floor -t ${1#floor}" ;;
        lib) echo "quorvel-disk" ;;
        gdu) echo "gdu -n -p -s -a" ;;
        ncdu) echo "ncdu -0 -o /dev/null" ;;
        du) echo "du -s" ;;
    esac
}

argv_of() {  # tool dir -> argv
    case $1 in
        floor*) argv=("$floor" -t "${1#floor}" "$2") ;;
        lib) argv=("$bench_scan" --one "$2") ;;
        gdu) argv=(gdu -n -p -s -a "$2") ;;
        ncdu) argv=(ncdu -0 -o /dev/null "$2") ;;
        du) argv=(du -s "$2") ;;
    esac
}

# Runs one tool once; sets ms, rss_kib, rc; its output is in $tmp/out, $tmp/err.
run_once() {
    argv_of "$1" "$2"
    local t0 t1
    t0=$(date +%s%N)
    if [ -n "$timer" ]; then
        "$timer" -f %M -o "$tmp/rss" "${argv[@]}" >"$tmp/out" 2>"$tmp/err"
        rc=$?
        rss_kib=$(tail -n 1 "$tmp/rss")
    else
        "${argv[@]}" >"$tmp/out" 2>"$tmp/err"
        rc=$?
        rss_kib=0
    fi
    t1=$(date +%s%N)
    ms=$(((t1 - t0) / 1000000))
}

median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

drop_caches() { sync && echo 3 >/proc/sys/vm/drop_caches; }

slow_opts=
mount_slow() {
    # shellcheck disable=SC2086
    "$shared/slowfs/run.sh" "$src" "$slow_mnt" "$latency" $slow_opts >/dev/null || die "slowfs did not mount"
}
unmount_slow() { "$shared/slowfs/run.sh" stop "$slow_mnt" 2>&1 | tail -n 1; }

# One case: case name, directory scanned, goal peer, goal ratio, tools...
bench_case() {
    local name=$1 dir=$2 peer=$3 goal=$4
    shift 4
    local tools=("$@") n=${runs:-5} t r
    case $name in slow*) n=${runs:-3} ;; esac
    declare -A times rss fails notes
    if [ "$name" = warm ] || [ "$name" = skew ]; then
        for t in "${tools[@]}"; do run_once "$t" "$dir"; done
    fi
    for ((r = 1; r <= n; r++)); do
        for t in "${tools[@]}"; do  # interleaved: a busy spell of the machine hits every tool
            case $name in
                cold) drop_caches ;;
                slow*) mount_slow ;;
            esac
            run_once "$t" "$dir"
            case $name in slow*) notes[$t]=$(unmount_slow) ;; esac
            times[$t]="${times[$t]:-} $ms"
            [ "${rss[$t]:-0}" -ge "$rss_kib" ] || rss[$t]=$rss_kib
            if [ "$rc" -ne 0 ]; then
                fails[$t]="exit $rc: $(head -c 200 "$tmp/err" | head -n 1)"
            fi
            case $t in
                lib) notes[lib_out]=$(tail -n 1 "$tmp/out") ;;
                floor*) notes[floor_out]=$(tail -n 1 "$tmp/out") ;;
            esac
        done
    done

    local entries
    entries=$(echo "${notes[lib_out]:-}" | awk '{print $1}')
    printf '\n== %s: %s, %s entries (library), %d runs each, load %s\n' "$name" "$dir" "${entries:-?}" "$n" \
        "$(cut -d' ' -f1-3 /proc/loadavg)"
    printf '%-22s %10s %10s  %s\n' tool "median ms" "peak MiB" "runs (ms)"
    declare -A med
    for t in "${tools[@]}"; do
        # shellcheck disable=SC2086
        med[$t]=$(median ${times[$t]})
        printf '%-22s %10s %10.1f %s\n' "$(label_of "$t")" "${med[$t]}" "$(awk -v k="${rss[$t]:-0}" 'BEGIN {print k / 1024}')" \
            "${times[$t]}"
    done
    for t in "${tools[@]}"; do
        [ -z "${fails[$t]:-}" ] || printf '  FAILED %s: %s\n' "$(label_of "$t")" "${fails[$t]}"
    done
    printf '  library prints "%s" (entries bytes ms); floor prints "%s"\n' "${notes[lib_out]:-}" "${notes[floor_out]:-}"
    local ratio
    ratio=$(awk -v a="${med[lib]}" -v b="${med[$peer]}" 'BEGIN {if (b > 0) printf "%.3f", a / b; else print "?"}')
    printf '  quorvel-disk / %s: %s (goal <= %s)\n' "$(label_of "$peer")" "$ratio" "$goal"
    if [[ " ${tools[*]} " == *" gdu "* ]] && [[ $name == slow* ]]; then
        printf '  quorvel-disk / gdu: %s (goal < 1)\n' \
            "$(awk -v a="${med[lib]}" -v b="${med[gdu]}" 'BEGIN {if (b > 0) printf "%.3f", a / b; else print "?"}')"
    fi
    if [ -n "$timer" ] && [ -n "$entries" ] && [ "$entries" -gt 0 ]; then
        local base
        mkdir -p "$tmp/empty"
        run_once lib "$tmp/empty"
        base=$rss_kib
        printf '  quorvel-disk tree alone: %.1f B/entry (peak %d KiB less %d KiB of an empty scan; goal <= 80)\n' \
            "$(awk -v p="${rss[lib]}" -v b="$base" -v e="$entries" 'BEGIN {print (p - b) * 1024 / e}')" "${rss[lib]}" "$base"
    fi
    if [[ $name == slow* ]]; then
        for t in "${tools[@]}"; do printf '  slowfs, last run of %-20s %s\n' "$(label_of "$t"):" "${notes[$t]}"; done
    fi
}

echo "storage bench $(date -u +%FT%TZ), $(nproc) cores, $(gdu --version 2>/dev/null | head -n 1 | tr -s '\t ' ' '),"\
    "$(ncdu -v 2>/dev/null), $(du --version | head -n 1)"
for t in gdu ncdu; do command -v "$t" >/dev/null || die "$t missing (apt-get install gdu ncdu)"; done
peers=(lib gdu ncdu du)
for c in ${cases//,/ }; do
    case $c in
        warm)
            tree_for "${files:-1000000}"
            bench_case warm "$tree" floor2 1.15 floor2 "${peers[@]}" ;;
        skew)
            if [ "$(id -u)" != 0 ]; then
                echo; echo "== skew: skipped, a bind mount needs root"; continue
            fi
            tree_for "${files:-1000000}"
            src=$tree
            mkdir -p "$skew_mnt"
            mountpoint -q "$skew_mnt" && die "$skew_mnt is already a mount point (another run? umount it)"
            mount --bind "$src" "$skew_mnt" || die "cannot bind-mount $src at $skew_mnt"
            bench_case skew "$work/skew" floor2 1.15 floor2 "${peers[@]}"
            umount "$skew_mnt" ;;
        cold)
            if [ "$(id -u)" != 0 ] || ! drop_caches 2>/dev/null; then
                echo; echo "== cold: skipped, dropping the page cache needs root"; continue
            fi
            tree_for "${files:-100000}"
            bench_case cold "$tree" floor16 1.10 floor16 "${peers[@]}" ;;
        slow | slowc)
            tree_for "${files:-20000}"
            src=$tree
            "$floor" -t 2 "$src" >/dev/null  # the source side warm: only slowfs's latency counts
            slow_opts="-c 10"
            [ "$c" = slow ] && slow_opts=
            bench_case "$c" "$slow_mnt" floor64 1.25 floor64 "${peers[@]}"
            echo "  (slowfs $latency us per request${slow_opts:+, $slow_opts}, source $src)" ;;
    esac
done
