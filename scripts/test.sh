#!/usr/bin/env bash
# Installs what the build and the tests need, then builds and runs every
# test configuration: release, AddressSanitizer with UndefinedBehaviorSanitizer,
# ThreadSanitizer, the libFuzzer targets (clang) for a short while each, and
# the Windows DLL under Wine.
# Usage: scripts/test.sh [release|asan|tsan|fuzz|windows]...   (default: all)
set -uo pipefail
cd "$(dirname "$0")/.."

configs=("$@")
[ ${#configs[@]} -eq 0 ] && configs=(release asan tsan fuzz windows)

# Everything the Linux configurations use, asked of apt-get on every run
# (scripts/install-packages.sh): the compilers (gcc for the C host of the
# install test, clang and libFuzzer's runtime for the fuzz targets), GoogleTest,
# nlohmann-json, zstd (ncdu's compressed exports), ncurses and tmux (qvdisk -i),
# FUSE (the failing file system), Python (the ctypes host), SQLite (the
# table), Chromium and Node.js (the treemap page, DuckDB reading the table),
# ncdu, gdu, sqlite3 and zstd's own program (what qvdisk writes held against
# the tools that read and write it), gio with gvfs on a D-Bus session of its
# own (what the browser moves to the trash, read back). The Windows
# configuration installs its own in scripts/test-windows.sh.
packages=(cmake ninja-build gcc g++ clang libclang-rt-dev libgtest-dev libgmock-dev nlohmann-json3-dev libzstd-dev
          libsqlite3-dev pkg-config python3 fuse3 libfuse3-dev libncurses-dev tmux chromium nodejs ncdu gdu zstd
          sqlite3 libglib2.0-bin gvfs dbus-daemon)
# npm comes with some builds of nodejs (and conflicts with Debian's npm there).
dpkg-query -W -f='${Provides}' nodejs 2>/dev/null | grep -qw npm || packages+=(npm)
scripts/install-packages.sh "${packages[@]}" || exit 1

# playwright-core drives Debian's Chromium in the treemap page tests; the
# lock file pins it, so it is installed again whenever the lock file changes.
if [ ! tests/html/node_modules/.package-lock.json -nt tests/html/package-lock.json ]; then
    (cd tests/html && npm ci --no-audit --no-fund --loglevel=error) || exit 1
fi
# DuckDB's Node.js client reads the tables qvdisk writes; pinned the same way.
if [ ! tests/table/node_modules/.package-lock.json -nt tests/table/package-lock.json ]; then
    (cd tests/table && npm ci --no-audit --no-fund --loglevel=error) || exit 1
fi

jobs=$(nproc)
failed=()
passed_total=0
failed_total=0

# Adds the counts of a ctest summary ("N% tests passed, F tests failed out of T").
count_summary() {
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
    [ -n "$line" ] || return 0
    local f t
    f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    t=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
    passed_total=$((passed_total + t - f))
    failed_total=$((failed_total + f))
}

run_linux() {
    local name=$1; shift
    local dir=build/$name
    echo "=== $name"
    mkdir -p "$dir"
    local log=$dir/ctest.log
    # Every test has what it needs, or configure fails naming the package.
    if ! cmake -S . -B "$dir" -G Ninja -DQV_REQUIRE_TESTS=ON "$@" >"$dir/configure.log" 2>&1; then
        tail -n 20 "$dir/configure.log"
        failed+=("$name configure")
    elif ! cmake --build "$dir" -j "$jobs" >"$dir/build.log" 2>&1; then
        grep -E -A 8 'error|FAILED' "$dir/build.log" | head -n 60
        failed+=("$name build")
    else
        ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 600 >"$log" 2>&1
        local rc=$?
        tail -n 30 "$log"
        count_summary "$log"
        [ $rc -eq 0 ] || failed+=("$name")
    fi
}

# The README's quick start, as a new user runs it: its install line and its
# build run here too.
echo "=== quick start"
mkdir -p build
if scripts/qvdisk.sh include --top 3 >build/quickstart.log 2>&1 && grep -q "quorvel_disk.h" build/quickstart.log; then
    echo "scripts/qvdisk.sh include: the report lists quorvel_disk.h"
else
    cat build/quickstart.log
    failed+=("quick start")
fi

for c in "${configs[@]}"; do
    case $c in
    release) run_linux release -DCMAKE_BUILD_TYPE=Release ;;
    asan) ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_linux asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_SANITIZE=address ;;
    tsan) TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:allocator_may_return_null=1 \
        run_linux tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_SANITIZE=thread ;;
    # Each fuzz target for 20 s on a copy of its corpus in build/fuzz: one test each
    # (qvdisk's readers among them, so qvdisk's modules are built too).
    fuzz) run_linux fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
        -DCMAKE_CXX_COMPILER=clang++ -DQV_FUZZ=ON -DQV_FUZZ_SECONDS=20 ;;
    windows)
        if [ -x scripts/test-windows.sh ]; then
            echo "=== windows"
            mkdir -p build
            scripts/test-windows.sh 2>&1 | tee build/windows.log
            [ "${PIPESTATUS[0]}" -eq 0 ] || failed+=(windows)
            count_summary build/windows.log
        fi ;;
    *) echo "unknown configuration: $c"; exit 2 ;;
    esac
done

[ ${#failed[@]} -gt 0 ] && echo "FAILED configurations: ${failed[*]}"
echo "configurations: ${configs[*]}"
echo "total: $passed_total passed, $failed_total failed"
[ ${#failed[@]} -eq 0 ]
