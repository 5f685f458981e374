#!/usr/bin/env bash
# Builds the consumers (core and stream) with mingw-w64 against an unpacked
# Windows release archive alone (its headers and import libraries: MinGW's
# .dll.a and the MSVC-style .lib made from the .def files), and runs them
# under Wine, with the archive's DLLs beside them, against the simulator. The
# archive's DLLs and programs import only system DLLs and ours.
# usage: windows_consumer.sh <unpacked Windows archive> <simulator> <wine prefix>
set -euo pipefail
archive=$(cd "$1" && pwd) simulator=$2
here=$(cd "$(dirname "$0")" && pwd)
source "$here/simulator.sh"
work=$(mktemp -d)
export WINEPREFIX=$3 WINEDEBUG=-all DISPLAY= WINEDLLOVERRIDES="mscoree,mshtml="
trap 'stop_simulator; /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

objdump=x86_64-w64-mingw32-objdump
check_tables() { python3 "$here/../windows/check_dll_tables.py" "$objdump" "$@"; }
check_tables "$archive/bin/QuorvellanAPI.dll" "$archive/include/QuorvellanAPI.h"
check_tables "$archive/bin/QuorvellanStream.dll" "$archive/include/QuorvellanStream.h" QuorvellanAPI.dll
check_tables "$archive/bin/quorvellan-controller-sim.exe" --program
check_tables "$archive/bin/quorvellan-monitor.exe" --program QuorvellanStream.dll QuorvellanAPI.dll

cp "$archive/bin/QuorvellanAPI.dll" "$archive/bin/QuorvellanStream.dll" "$work/"
for program in consumer stream_consumer; do
  library=QuorvellanAPI
  [[ $program == stream_consumer ]] && library=QuorvellanStream
  for import_library in "lib$library.dll.a" "$library.lib"; do
    x86_64-w64-mingw32-gcc-posix -Wall -Wextra -Werror -I"$archive/include" \
      -o "$work/$program-${import_library%%.*}.exe" "$here/consumer/$program.c" "$archive/lib/$import_library"
  done
  "$objdump" -p "$work/$program-$library.exe" | grep "DLL Name: $library.dll" >/dev/null \
    || { echo "$program does not import $library.dll through $library.lib"; exit 1; }
done

start_simulator "$simulator" "$work/simulator.log" --identity local --serial WIN-PKG-0001
for program in "$work"/*consumer-*.exe; do
  echo "$(basename "$program") under Wine:"
  (cd "$work" && /usr/lib/wine/wine64 "$program" WIN-PKG-0001 </dev/null)
done
