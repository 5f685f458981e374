# Sourced by the packaging tests: start_simulator <program> <log> [options]
# starts the simulator on port 6158 and waits until it listens;
# stop_simulator stops it (call it from the caller's EXIT trap).
simulator_pid=
start_simulator() {
  local program=$1 log=$2
  : >"$log"   # there before the wait below reads it
  "$program" --port 6158 "${@:3}" >>"$log" 2>&1 &
  simulator_pid=$!
  for _ in $(seq 100); do
    grep -q "^listening on" "$log" && return 0
    kill -0 "$simulator_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "simulator did not start:"; cat "$log"
  return 1
}
stop_simulator() {
  # The status of a killed simulator is no failure of the caller (set -e).
  if [[ -n $simulator_pid ]]; then kill "$simulator_pid" 2>/dev/null; wait "$simulator_pid" 2>/dev/null || true; fi
  simulator_pid=
  return 0
}
