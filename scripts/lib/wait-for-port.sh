# Sourced by the bench scripts: wait_for_port [PID] returns once something
# accepts on 127.0.0.1:6158 (up to 5 s); it fails at once when PID, the
# program meant to listen there, has already exited. A fixed sleep is not
# enough on a loaded machine, and a bench that starts first finds no one.
wait_for_port() {
  local pid=${1:-}
  for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/6158) 2>/dev/null && return 0
    if [[ -n $pid ]] && ! kill -0 "$pid" 2>/dev/null; then break; fi
    sleep 0.05
  done
  echo "nothing listens on port 6158 (did the responder start? is the port taken?)" >&2
  return 1
}
