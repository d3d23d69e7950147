#!/bin/sh
# Runs a Windows program under Wine for ctest. The Wine prefix and the
# temporary folder live in the build directory (the current directory of
# every ctest run lies below it) unless the caller set WINEPREFIX/QV_WINE_DIR.
if [ -z "${QV_WINE_DIR:-}" ]; then
    d=$(pwd)
    while [ "$d" != / ] && [ ! -f "$d/CMakeCache.txt" ]; do d=$(dirname "$d"); done
    [ "$d" = / ] && d=$(pwd)
    QV_WINE_DIR="$d/wine"
fi
export WINEPREFIX="${WINEPREFIX:-$QV_WINE_DIR/prefix}"
export TMPDIR="$QV_WINE_DIR/tmp"
mkdir -p "$TMPDIR"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
exec wine "$@"
