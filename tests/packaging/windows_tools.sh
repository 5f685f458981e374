#!/usr/bin/env bash
# The Windows archive's simulator and monitor under Wine, with the Linux
# archive's on the other side: the Windows simulator answers the Linux library
# (the Linux monitor) and the Windows DLLs (the Windows monitor, text output);
# the Windows monitor samples the Linux simulator, records, and serves its page
# (fetched with curl); the Windows simulator replays that recording.
# usage: windows_tools.sh <unpacked Windows archive> <unpacked Linux archive> <wine prefix>
set -euo pipefail
windows=$(cd "$1" && pwd) linux=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
source "$here/simulator.sh"
work=$(mktemp -d)
export WINEPREFIX=$3 WINEDEBUG=-all DISPLAY= WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
trap 'stop_simulator; /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

fail() { echo "windows tools: FAILED $1"; shift; for log in "$@"; do echo "--- $log"; cat "$log"; done; exit 1; }

# start_simulator takes a program: the Windows one through Wine.
cat >"$work/windows-simulator" <<SCRIPT
#!/bin/sh
exec $wine "$windows/bin/quorvellan-controller-sim.exe" "\$@"
SCRIPT
chmod +x "$work/windows-simulator"
windows_monitor() { (cd "$work" && "$wine" "$windows/bin/quorvellan-monitor.exe" "$@" </dev/null); }
linux_monitor() { "$linux/bin/quorvellan-monitor" "$@"; }

echo "Windows simulator, Linux and Windows monitors:"
start_simulator "$work/windows-simulator" "$work/windows-sim.log" --identity local --serial WIN-SIM-0001
linux_monitor --json --seconds 1 >"$work/linux-monitor.log" 2>&1 || fail "Linux monitor" "$work/linux-monitor.log"
grep -q '"connected":true.*"serial":"WIN-SIM-0001"' "$work/linux-monitor.log" \
  || fail "the Linux library read nothing from the Windows simulator" "$work/linux-monitor.log" "$work/windows-sim.log"
windows_monitor --seconds 1 >"$work/windows-monitor.log" 2>&1 || fail "Windows monitor" "$work/windows-monitor.log"
grep -q 'serial WIN-SIM-0001  connected' "$work/windows-monitor.log" \
  || fail "the Windows DLLs read nothing from the Windows simulator" "$work/windows-monitor.log" "$work/windows-sim.log"
stop_simulator

echo "Linux simulator, Windows monitor with --record and --web:"
start_simulator "$linux/bin/quorvellan-controller-sim" "$work/linux-sim.log" --identity local --serial LNX-SIM-0001
# The log exists before the loop reads it: a background job opens its
# redirection only once it has been scheduled.
: >"$work/web-monitor.log"
windows_monitor --json --enable --walk --rate 20 --seconds 4 --record walk.jsonl --web 127.0.0.1:0 \
  >>"$work/web-monitor.log" 2>&1 &
monitor_pid=$!
page=
for _ in $(seq 200); do   # Wine starts slowly: up to 20 s for the page
  url=$(tr -d '\r' <"$work/web-monitor.log" | sed -n 's|^web view: \(http://[^ ]*/\)$|\1|p')   # CRLF
  if [[ -n $url ]] && page=$(curl -sf -m 5 "$url"); then break; fi
  kill -0 "$monitor_pid" 2>/dev/null || break
  sleep 0.1
done
wait "$monitor_pid" || fail "Windows monitor with --web" "$work/web-monitor.log"
[[ $page == *"<title>Quorvellan treadmill</title>"* ]] || fail "the web view's page was not served" "$work/web-monitor.log"
grep -q '"connected":true.*"running":true.*"serial":"LNX-SIM-0001"' "$work/web-monitor.log" \
  || fail "the Windows monitor did not drive the Linux simulator" "$work/web-monitor.log" "$work/linux-sim.log"
grep -q '"serial":"LNX-SIM-0001"' "$work/walk.jsonl" || fail "the recording has no sample" "$work/walk.jsonl"
stop_simulator

echo "Windows simulator replays the Windows monitor's recording:"
start_simulator "$work/windows-simulator" "$work/replay-sim.log" --replay "Z:${work//\//\\}\\walk.jsonl"
linux_monitor --json --seconds 1 >"$work/replayed.log" 2>&1 || fail "Linux monitor on the replay" "$work/replayed.log"
grep -q '"connected":true.*"running":true.*"serial":"LNX-SIM-0001"' "$work/replayed.log" \
  || fail "the replay does not carry the recording" "$work/replayed.log" "$work/replay-sim.log"
echo "windows tools: ok (page $(wc -c <<<"$page") bytes, $(wc -l <"$work/walk.jsonl") recorded lines)"
