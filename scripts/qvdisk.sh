#!/usr/bin/env bash
# Builds qvdisk on first use (installing the compiler, CMake and ncurses when they are
# missing), then runs it with the arguments given:  scripts/qvdisk.sh PATH [options]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/qvdisk

missing=()
# ncurses and nlohmann-json give qvdisk its browser (-i).
for p in cmake ninja-build g++ libncurses-dev nlohmann-json3-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    echo "qvdisk: installing ${missing[*]} ..." >&2
    $sudo apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi
if [ ! -x "$build/programs/qvdisk" ] || [ -n "$(find "$root/src" "$root/programs" "$root/include" -newer "$build/programs/qvdisk" -print -quit)" ]; then
    echo "qvdisk: building ..." >&2
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
    cmake --build "$build" --target qvdisk >/dev/null
fi
exec "$build/programs/qvdisk" "$@"
