# What a test script runs beside its checks: servers in the background (the service simulator, the
# proxies, an X server), each stopped by stop_servers however the script ends, and programs watched
# for a hang. Servers write their output into $work, the script's private folder; the simulator and
# the proxy come from the Linux build in $linux_build.

server_pids=()

# start_server NAME COMMAND...: COMMAND in the background, its output in $work/NAME.out and
# $work/NAME.err, its process id in NAME_pid.
start_server() {
  local name=$1
  shift
  "$@" >"$work/$name.out" 2>"$work/$name.err" &
  server_pids+=($!)
  printf -v "${name}_pid" '%s' $!
}

# wait_for_line FILE PATTERN PID: waits up to five seconds for a line of FILE that matches PATTERN
# while PID lives.
wait_for_line() {
  for _ in $(seq 50); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    kill -0 "$3" 2>/dev/null || break
    sleep 0.1
  done
  grep -q -- "$2" "$1" 2>/dev/null
}

# stop_process PID: asks the process to end, and ends it after three seconds if it has not.
stop_process() {
  kill "$1" 2>/dev/null || return 0
  for _ in $(seq 30); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$1" 2>/dev/null
  wait "$1" 2>/dev/null
}

stop_servers() {
  local pid
  for pid in "${server_pids[@]}"; do stop_process "$pid"; done
  server_pids=()
}

# start_plain_simulator NAME: the service simulator on loopback over plain HTTP; its URL in NAME_url.
start_plain_simulator() {
  start_server "$1" "$linux_build/tools/sim/tallowmer_sim" --plain --listen 127.0.0.1:0 --db :memory: --seed \
    --faults --token wine-test-token-1
  local pid_name=${1}_pid
  wait_for_line "$work/$1.out" . "${!pid_name}"
  printf -v "${1}_url" '%s' "$(head -n 1 "$work/$1.out")"
}

# start_https_simulator NAME: an HTTPS simulator with its own authority; its URL in NAME_url (named
# "localhost", which WinHTTP's name check needs) and its authority's file in NAME_ca.
start_https_simulator() {
  start_server "$1" "$linux_build/tools/sim/tallowmer_sim" --listen 127.0.0.1:0 --db :memory: --seed --faults \
    --token wine-test-token-1 --state-dir "$work/$1-state"
  local pid_name=${1}_pid
  wait_for_line "$work/$1.out" . "${!pid_name}" && wait_for_line "$work/$1.err" '^CA: ' "${!pid_name}"
  printf -v "${1}_url" '%s' "$(head -n 1 "$work/$1.out" | sed 's#//127\.0\.0\.1:#//localhost:#')"
  printf -v "${1}_ca" '%s' "$(sed -n 's/^CA: //p' "$work/$1.err" | head -n 1)"
}

# start_proxy NAME RECORD [MODE]: the Linux tests' CONNECT proxy, writing the tunnels it opens to
# RECORD; MODE refuse or garbage makes it a stand-in that fails so. Its URL in NAME_url.
start_proxy() {
  start_server "$1" "$linux_build/tests/support/connect_proxy" "$2" ${3:+"$3"}
  local pid_name=${1}_pid
  wait_for_line "$work/$1.out" . "${!pid_name}"
  printf -v "${1}_url" '%s' "$(head -n 1 "$work/$1.out")"
}

# start_hostile_server NAME: the server that answers with a scenario's exact bytes (the first
# segment of the path names it); its plain URL in NAME_url, its TLS URL in NAME_tls_url and its
# authority's file in NAME_ca.
start_hostile_server() {
  start_server "$1" "$linux_build/tests/support/hostile_server"
  local pid_name=${1}_pid
  wait_for_line "$work/$1.out" '^CA: ' "${!pid_name}"
  printf -v "${1}_url" '%s' "$(sed -n 1p "$work/$1.out")"
  printf -v "${1}_tls_url" '%s' "$(sed -n 2p "$work/$1.out")"
  printf -v "${1}_ca" '%s' "$(sed -n 's/^CA: //p' "$work/$1.out")"
}

# start_xvfb: a virtual X screen; Xvfb picks a free display itself and writes its number once it
# accepts connections. Exports DISPLAY.
start_xvfb() {
  start_server xvfb Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display"
  wait_for_line "$work/display" . "$xvfb_pid" || return 1
  DISPLAY=":$(head -n 1 "$work/display")"
  export DISPLAY
}

# run_watched QUIET_SECONDS LOG COMMAND...: COMMAND with its output in LOG, stopped only when LOG
# has not grown for QUIET_SECONDS: a hang, not a loaded machine, which makes a program slow but
# never silent that long. Returns COMMAND's status, or 124 when it was stopped. A program that has
# printed its closing "N passed, 0 failed" line passed its checks: when it is then slow to exit, it
# is stopped without failing, and a line says so.
run_watched() {
  local quiet=$1 log=$2 pid size last_size=-1 still=0
  shift 2
  "$@" >"$log" 2>&1 &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    sleep 1
    size=$(stat -c %s "$log" 2>/dev/null || echo 0)
    if [ "$size" != "$last_size" ]; then
      last_size=$size
      still=0
    elif [ $((still += 1)) -ge "$quiet" ]; then
      stop_process "$pid"
      if closes_without_failure "$log"; then
        echo "(still running $quiet s after its closing line, and stopped)" >>"$log"
        return 0
      fi
      echo "(stopped: no output for $quiet s)" >>"$log"
      return 124
    fi
  done
  wait "$pid"
}
