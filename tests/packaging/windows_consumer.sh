#!/usr/bin/env bash
# Builds the consumer with mingw-w64 against an unpacked Windows release
# archive alone (its header and import libraries: MinGW's .dll.a and the
# MSVC-style .lib), and runs it under Wine, with the archive's DLL beside it,
# against the simulator.
# usage: windows_consumer.sh <unpacked Windows archive> <simulator> <wine prefix>
set -euo pipefail
archive=$(cd "$1" && pwd) simulator=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/simulator.sh"
work=$(mktemp -d)
export WINEPREFIX=$3 WINEDEBUG=-all DISPLAY= WINEDLLOVERRIDES="mscoree,mshtml="
trap 'stop_simulator; /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

cp "$archive/bin/QuorvellanAPI.dll" "$work/"
for import_library in libQuorvellanAPI.dll.a QuorvellanAPI.lib; do
  x86_64-w64-mingw32-gcc-posix -Wall -Wextra -Werror -I"$archive/include" -o "$work/consumer-${import_library%%.*}.exe" \
    "$here/consumer/consumer.c" "$archive/lib/$import_library"
done
objdump -p "$work/consumer-QuorvellanAPI.exe" | grep "DLL Name: QuorvellanAPI.dll" >/dev/null \
  || { echo "the consumer does not import QuorvellanAPI.dll"; exit 1; }

start_simulator "$simulator" "$work/simulator.log" --identity local --serial WIN-PKG-0001
for program in "$work"/consumer-*.exe; do
  echo "$(basename "$program") under Wine:"
  (cd "$work" && /usr/lib/wine/wine64 "$program" WIN-PKG-0001 </dev/null)
done
