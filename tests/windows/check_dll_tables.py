#!/usr/bin/env python3
"""Checks the export and import tables of QuorvellanAPI.dll or QuorvellanStream.dll,
or the import table of a program.

usage: check_dll_tables.py OBJDUMP DLL HEADER [DELAY_LOADED_DLL...]
       check_dll_tables.py OBJDUMP PROGRAM.exe --program [ALSO_ALLOWED_DLL...]
       check_dll_tables.py OBJDUMP DLL --exports NAME[,NAME...] [ALSO_ALLOWED_DLL...]

The DLL exports exactly the library's entry points, under their plain names,
and those are exactly the functions the public header declares (for the
stream, the header's QUORVELLAN_STREAM_API functions). It imports only DLLs
that every Windows machine has: no GCC runtime, no libstdc++, no winpthread.
The DLLs named on the command line (the stream's QuorvellanAPI.dll) are
delay-loaded, never in the import table: an import there would make loading
the stream by full path from a folder off the search path fail.
A program (the simulator, the monitor) exports nothing and imports only
system DLLs and those named after --program (the monitor: the stream).
With --exports, a DLL exports exactly the names given (the OpenXR layer: its
negotiation function) and imports system DLLs and those named after them.
"""
import re
import subprocess
import sys

ENTRY_POINTS = {
    "InitInternal", "DeInitInternal", "CheckConnection",
    "GetFloorSpeeds", "GetFloorSpeedsNormalized", "GetFloorSpeedMagnitude", "GetRing",
    "GetTreadmillRunState", "GetTreadmillSerialNumber", "GetTreadmillInfo", "GetAPILock",
    "SetBrake", "SetTreadmillRunState", "SetManualSpeeds", "SetUserPosition", "SetUserRotation",
    "SetAPILock",
}

# Lower-case names, or prefixes ending in "-", of the DLLs Windows ships.
SYSTEM_DLLS = {"kernel32.dll", "ntdll.dll", "advapi32.dll", "msvcrt.dll", "ucrtbase.dll",
               "ws2_32.dll", "mswsock.dll", "api-ms-win-"}


def read_tables(objdump, dll):
    text = subprocess.run([objdump, "-p", dll], check=True, capture_output=True, text=True).stdout
    imports = re.findall(r"^\s*DLL Name: (\S+)$", text, re.MULTILINE)
    # Every address in the export table, named or by ordinal only.
    count = re.search(r"^\s*Export Address Table\s+([0-9a-fA-F]+)$", text, re.MULTILINE)
    address_count = int(count.group(1), 16) if count else 0
    names_block = text.partition("[Ordinal/Name Pointer] Table\n")[2].split("\n\n", 1)[0]
    exports = re.findall(r"^\s*\[\s*\d+\] (\S+)$", names_block, re.MULTILINE)
    return exports, address_count, imports


def header_declarations(header):
    with open(header, encoding="utf-8") as source:
        return set(re.findall(r"^QUORVELLAN_API .*?QUORVELLAN_CALL (\w+)\(", source.read(), re.MULTILINE))


def stream_declarations(header):
    with open(header, encoding="utf-8") as source:
        return set(re.findall(r"^QUORVELLAN_STREAM_API .*?\b(QuorvellanStream\w+)\(", source.read(), re.MULTILINE))


def is_system_dll(name):
    lower = name.lower()
    return any(lower == known or (known.endswith("-") and lower.startswith(known)) for known in SYSTEM_DLLS)


def problems(exports, address_count, imports, declared, expected=ENTRY_POINTS, allowed=()):
    found = []
    if address_count != len(exports):
        found.append(f"{address_count} exported addresses for {len(exports)} names")
    if sorted(exports) != sorted(expected):
        found.append(f"exports: missing {sorted(expected - set(exports))}, "
                     f"unexpected {sorted(set(exports) - expected)}, {len(exports)} in all")
    if declared != expected:
        found.append(f"header declares {sorted(declared ^ expected)} differently")
    allowed_lower = {name.lower() for name in allowed}
    foreign = [name for name in imports if not is_system_dll(name) and name.lower() not in allowed_lower]
    if foreign:
        found.append(f"imports DLLs that Windows does not ship: {foreign}")
    if not imports:
        found.append("no import table found")
    return found


def main():
    objdump, dll, header = sys.argv[1:4]
    named = {name.lower() for name in sys.argv[4:]}
    exports, address_count, imports = read_tables(objdump, dll)
    if header == "--program":
        found = problems(exports, address_count, imports, set(), set(), allowed=named)
    elif header == "--exports":
        expected = set(sys.argv[4].split(","))
        allowed = {name.lower() for name in sys.argv[5:]}
        found = problems(exports, address_count, imports, expected, expected, allowed=allowed)
    else:
        streamed = stream_declarations(header)
        if streamed:
            found = problems(exports, address_count, imports, streamed, streamed)
        else:
            found = problems(exports, address_count, imports, header_declarations(header))
        found += [f"imports {name} when loaded (it must be delay-loaded)" for name in imports
                  if name.lower() in named]
    print(f"{dll}: {len(exports)} exports, imports {', '.join(imports)}")
    for problem in found:
        print("FAIL:", problem)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
