#!/usr/bin/env bash
# The Unity package's own Plugins/x86_64 folder copied into an empty folder,
# nothing on LD_LIBRARY_PATH: a C# program under mono whose first call is
# TreadmillStream.Start, and Python given only the core's path, read samples
# from the simulator. Without the stream library, the error lists the paths.
# usage: unity_layout_test.sh <source dir> <mcs> <mono> <simulator> <library> ...
set -euo pipefail
source_dir=$1 mcs=$2 mono=$3 simulator=$4
shift 4
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
simulator_pid=
trap '[[ -z $simulator_pid ]] || kill "$simulator_pid" 2>/dev/null; rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH QUORVELLAN_LIBRARY QUORVELLAN_STREAM_LIBRARY QUORVELLAN_CONTROLLER

"$source_dir/scripts/build-unity-package" "$work/package" "$@"
game=$work/game
mkdir "$game"
cp "$work/package/Plugins/x86_64/"*.so "$game/"
"$mcs" -nologo -warnaserror+ -target:exe -out:"$game/StreamFirst.exe" "$work/package/Runtime/"*.cs "$here/StreamFirst.cs"
echo "game folder: $(cd "$game" && ls)"

serial=UNITY-LAYOUT-7
: >"$work/simulator.log"   # there before the wait below reads it
"$simulator" --serial "$serial" >>"$work/simulator.log" 2>&1 &
simulator_pid=$!
for _ in $(seq 100); do
  grep -q "listening on" "$work/simulator.log" && break
  sleep 0.1
done
grep -q "listening on" "$work/simulator.log" || { cat "$work/simulator.log"; exit 1; }

cd "$work"  # neither the game's folder nor the sources
"$mono" "$game/StreamFirst.exe" "$serial"

QUORVELLAN_LIBRARY=$game/libQuorvellanAPI.so PYTHONPATH=$source_dir/bindings/python PYTHONDONTWRITEBYTECODE=1 \
  python3 - "$serial" "$game" <<'PYTHON'
import sys, time
from quorvellan import TreadmillStream
with TreadmillStream() as stream:
    first = stream.latest()
    assert 0 <= stream.clock_ns() - first.time_ns < 10e9, "first sample's age"
    until = time.monotonic() + 20
    while time.monotonic() < until:
        sample = stream.latest()
        if sample.connected and sample.serial_number == sys.argv[1]:
            break
        time.sleep(0.01)
    else:
        sys.exit("python: no samples from the simulator")
    with open("/proc/self/maps") as maps:
        cores = {line.split()[-1] for line in maps if "libQuorvellanAPI" in line}
    assert cores == {sys.argv[2] + "/libQuorvellanAPI.so"}, f"cores loaded: {cores}"
    print("python: read", sample.serial_number, "through", stream._lib._name)
PYTHON

rm "$game/libQuorvellanStream.so"
message=$("$mono" "$game/StreamFirst.exe" --missing)
echo "$message"
grep -qF "$game/libQuorvellanStream.so (absent)" <<<"$message"
echo "unity layout: C# and Python read the stream from the package's plugin folder"
