#!/bin/sh
# Runs a Windows program under Wine for ctest. The Wine prefix and the
# temporary folder (where Debian's Wine also keeps its server socket) live in
# QV_WINE_DIR, by default the folder "wine" of the build directory that holds
# the current directory (ctest runs every test below it).
if [ -z "${QV_WINE_DIR:-}" ]; then
    d=$(pwd)
    while [ "$d" != / ] && [ ! -f "$d/CMakeCache.txt" ]; do d=$(dirname "$d"); done
    [ "$d" = / ] && d=$(pwd)
    QV_WINE_DIR="$d/wine"
fi
export WINEPREFIX="$QV_WINE_DIR/prefix"
export TMPDIR="$QV_WINE_DIR/tmp"
mkdir -p "$TMPDIR"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine's Recycle Bin is the Unix side's home trash: one of the build's own.
export XDG_DATA_HOME="$QV_WINE_DIR/xdg"
unset DISPLAY WAYLAND_DISPLAY
exec wine "$@"
