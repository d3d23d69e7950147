#!/bin/sh
# Cross-builds quorvel-disk.dll and its tests with mingw-w64 and runs the test
# suite under Wine through ctest. Installs the toolchain, Wine, and clang with
# lld (for a host built as MSVC builds one) through scripts/install-packages.sh.
# Leaves no Wine process running.
#
#   scripts/test-windows.sh [extra ctest arguments]
#
# QV_WINDOWS_BUILD: build folder (default build/windows); QV_JOBS: parallel
# jobs for the build and ctest (default 2).
set -eu

src=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_WINDOWS_BUILD:-$src/build/windows}
jobs=${QV_JOBS:-2}

# mingw-w64 builds the DLL and GoogleTest's sources, Wine runs the tests;
# clang and lld build a host as MSVC builds one, against the import library
# quorvel-disk.lib.
"$src/scripts/install-packages.sh" cmake ninja-build g++-mingw-w64-x86-64-posix googletest \
    nlohmann-json3-dev wine64 wine clang lld

cmake -S "$src" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DQV_REQUIRE_TESTS=ON
cmake --build "$build" -j "$jobs"

# The same settings as cmake/wine-run.sh, so that the server started here is
# the one every test program talks to.
export QV_WINE_DIR="$build/wine"
export WINEPREFIX="$QV_WINE_DIR/prefix"
export TMPDIR="$QV_WINE_DIR/tmp"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export XDG_DATA_HOME="$QV_WINE_DIR/xdg"
unset DISPLAY WAYLAND_DISPLAY || true
mkdir -p "$TMPDIR"

stop_wine() { wineserver -k 2>/dev/null || true; wineserver -w 2>/dev/null || true; }
trap stop_wine EXIT
trap 'exit 130' INT TERM

# A new prefix is created alone (two programs starting on a new prefix race).
# The persistent server and Wine's helper processes must inherit no file
# descriptor but 0-2 (pointing at /dev/null): one holding ctest's output pipe
# makes every test wait for it, or ctest hang.
echo "preparing the Wine prefix in $WINEPREFIX"
(
    set +e
    for fd in /proc/self/fd/*; do
        n=${fd##*/}
        [ "$n" -gt 2 ] && eval "exec $n>&-"
    done 2>/dev/null
    [ -f "$WINEPREFIX/system.reg" ] || wineboot -i
    wineserver -k; wineserver -w
    wineserver -p
    wine wineboot
) </dev/null >/dev/null 2>&1 || true

start=$(date +%s)
status=0
# A test program that Wine fails to start shows no output at all; one retry
# absorbs that (the Linux configurations run the same tests without retries).
ctest --test-dir "$build" --output-on-failure -j "$jobs" --repeat until-pass:2 "$@" || status=$?
echo "Windows suite: $(( $(date +%s) - start )) s under Wine, ctest status $status"
exit $status
