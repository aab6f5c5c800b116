# Shared by the Wine test scripts: counting results, Windows paths, and host scripts ready for
# cscript. The caller sets passed=0 and failed=0.

result() {
  if [ "$1" -eq 0 ]; then
    echo "ok: $2"
    passed=$((passed + 1))
  else
    echo "FAILED: $2"
    failed=$((failed + 1))
  fi
}

# How this machine runs 32-bit Windows programs, in x86_runtime: "native"; "emulated", where the
# kernel refuses 32-bit programs and binfmt_misc hands them to qemu's user-mode emulation (which
# ./run.sh test sets up there); or "none", with the reason in x86_reason. A 32-bit program is run
# to find out: wine32 installs on a kernel that cannot run it.
detect_x86_runtime() {
  x86_runtime=none
  x86_reason=
  if ! [ -e /usr/lib/wine/wine ]; then
    x86_reason="32-bit Wine (wine32) is not installed here"
  elif ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
    x86_reason="this kernel cannot run 32-bit programs"
  elif [ "$(head -n 1 /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null)" = enabled ]; then
    x86_runtime=emulated
  else
    x86_runtime=native
  fi
}

# One wineserver for $WINEPREFIX from now until `wineserver -k`. A Wine program starts its server
# with -p0 (Debian's wrapper), so that server quits with its last client, and `wineserver -p` does
# nothing while another server of the prefix still runs: the running one is waited out first.
# Between two servers the registry's volatile keys (the host's root certificates) are gone, and a
# key written just before may not yet be saved for the next server: an authority added to the
# Root store was then, now and then, not trusted by the next program.
keep_wineserver() {
  /usr/lib/wine/wineserver -w
  /usr/lib/wine/wineserver -p
}

# stop_process PID: asks the process to end, and ends it after three seconds if it has not.
stop_process() {
  kill "$1" 2>/dev/null || return 0
  for _ in $(seq 30); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$1" 2>/dev/null
  wait "$1" 2>/dev/null
}

# closes_without_failure LOG: LOG holds a program's closing "N passed, 0 failed" line, which tells
# a run that ended from one that died on its way (a process torn down can still exit 0).
closes_without_failure() {
  tr -d '\r' <"$1" | grep -E '^[0-9]+ passed, [0-9]+ failed' | tail -n 1 | grep -Eq '^[0-9]+ passed, 0 failed$'
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

# Script hosts take Windows paths; Wine maps the Unix root to drive Z:.
windows_path() { echo "Z:$1" | tr '/' '\\'; }

# host_script SCRIPT TARGET: host_common.vbs and SCRIPT as one file in the ANSI code page that
# script engines read, 1251 under the Russian locale.
host_script() {
  local here
  here=$(dirname "${BASH_SOURCE[0]}")
  cat "$here/host_common.vbs" "$1" | iconv -f utf-8 -t cp1251 >"$2"
}
