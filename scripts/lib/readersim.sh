# Sourced by the scripts that run Quillmere against the emulated reader.

# start_readersim BINARY OUTPUT [OPTIONS...]: starts readersim in the background with its
# output in OUTPUT; sets sim_pid, and sim_port once it listens (fails if it never does).
start_readersim() {
  local binary=$1 output=$2
  shift 2
  "$binary" "$@" > "$output" &
  sim_pid=$!
  for _ in $(seq 50); do grep -q listening "$output" && break; sleep 0.1; done
  sim_port=$(sed -n 's/.*127\.0\.0\.1:\([0-9]*\).*/\1/p' "$output")
  [ -n "$sim_port" ] || { echo "readersim did not start" >&2; return 1; }
}

# stop_readersim: ends it the way Ctrl-C would, so it prints what its log still holds.
stop_readersim() {
  [ -n "${sim_pid:-}" ] || return 0
  kill -INT "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
}
