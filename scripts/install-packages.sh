#!/usr/bin/env bash
# Installs Debian packages for the project's scripts, as root or through sudo:
#
#   scripts/install-packages.sh PACKAGE...
#
# apt-get is asked for the whole list on every run, installed or not: with
# everything there it answers in a second or two, and the line a new machine
# runs is the line every run runs. The package lists are fetched only when
# apt-get cannot find or download a package (a new machine has none).
# Exits 1, with apt-get's own message, when a package cannot be installed.
set -euo pipefail
[ $# -gt 0 ] || exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "install-packages: not root and no sudo: as root, run apt-get install $*" >&2
        exit 1
    fi
    as_root=(sudo)
fi
# A new machine may be running its own updates: wait for dpkg's lock.
lock=(-o DPkg::Lock::Timeout=600)
install=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive
         apt-get "${lock[@]}" install -y -q --no-install-recommends "$@")

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! "${install[@]}" >"$log" 2>&1; then
    echo "install-packages: fetching the package lists" >&2
    if ! "${as_root[@]}" apt-get "${lock[@]}" update -q >"$log" 2>&1 || ! "${install[@]}" >"$log" 2>&1; then
        cat "$log" >&2
        echo "install-packages: could not install: $*" >&2
        exit 1
    fi
fi
# apt-get's summary, e.g. "3 newly installed", only when it did something.
summary=$(grep -E '^[0-9]+ upgraded, [0-9]+ newly installed' "$log" || true)
case $summary in
    "" | "0 upgraded, 0 newly installed"*) ;;
    *) echo "install-packages: $summary" >&2 ;;
esac
