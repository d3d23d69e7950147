#!/usr/bin/env bash
# Builds qvdisk on first use, and again when the sources change, then runs it
# with the arguments given:  scripts/qvdisk.sh PATH [options]
# Before each build it installs the compiler, CMake and Ninja, ncurses with
# nlohmann-json for the browser (-i), zstd for ncdu's compressed exports and
# SQLite for the table, through scripts/install-packages.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/qvdisk

stamp=$build/built
if [ ! -x "$build/programs/qvdisk" ] || [ ! -e "$stamp" ] ||
   [ -n "$(find "$root/src" "$root/programs" "$root/include" "$root/cmake" "$root/CMakeLists.txt" \
           -type f -newer "$stamp" -print -quit)" ]; then
    "$root/scripts/install-packages.sh" cmake ninja-build g++ libncurses-dev nlohmann-json3-dev libzstd-dev \
        libsqlite3-dev
    echo "qvdisk: building ..." >&2
    mkdir -p "$build"
    log=$build/build.log
    if ! { cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF &&
           cmake --build "$build" --target qvdisk; } >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        echo "qvdisk: the build failed (all of it in $log)" >&2
        exit 1
    fi
    touch "$stamp"
fi
exec "$build/programs/qvdisk" "$@"
