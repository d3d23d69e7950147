#!/bin/sh
# Builds tests/windows/msvc_host.c as an MSVC host would be built (clang for
# x86_64-pc-windows-msvc, lld-link, no MinGW library) against the import
# library quorvel-disk.lib, and runs it beside quorvel-disk.dll.
# Usage: check_msvc_link.sh DLLTOOL EMULATOR SOURCE_DIR DLL_DIR WORK_DIR
set -eu
dlltool=$1 emulator=$2 src=$3 dlldir=$4 work=$5
rm -rf "$work"
mkdir -p "$work"
cd "$work"
cp "$dlldir/quorvel-disk.dll" "$dlldir/quorvel-disk.lib" .
# The two functions of kernel32 the host calls, as an import library.
printf 'LIBRARY KERNEL32.dll\nEXPORTS\n    Sleep\n    ExitProcess\n' > kernel32.def
"$dlltool" --machine i386:x86-64 --dllname KERNEL32.dll --input-def kernel32.def --output-lib kernel32.lib
clang --target=x86_64-pc-windows-msvc -ffreestanding -fno-stack-protector -O1 -Wall -Wextra -Werror \
      -I "$src/include" -c "$src/tests/windows/msvc_host.c" -o msvc_host.obj
lld-link /nologo /entry:host_main /subsystem:console /nodefaultlib /out:msvc_host.exe \
         msvc_host.obj quorvel-disk.lib kernel32.lib
status=0
"$emulator" ./msvc_host.exe || status=$?
if [ "$status" -ne 0 ]; then
    echo "msvc_host.exe exited with $status"
    exit 1
fi
echo "msvc_host.exe, linked by lld-link against quorvel-disk.lib, scanned through the DLL"
