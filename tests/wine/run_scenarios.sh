#!/usr/bin/env bash
# Runs Wine scenarios for one architecture of the module. Each scenario gets a fresh copy of a
# prefix booted once per run, a private work folder, and its own process group: however it ends,
# finished, failed or interrupted, every server and Wine process it started is stopped. Each
# prints its checks and its closing line; the run fails when any scenario failed.
#
# Usage: run_scenarios.sh [OPTION...] ARCH SCENARIO...
#   ARCH               x86 or x64: the module under test, and the bitness of the Windows tools
#                      (regsvr32, cscript) and of the clients that use it
#   SCENARIO           a scenario file, or a folder whose *.sh files run in name order
#   --build DIR        the Windows build of ARCH (default build/win32 or build/win64)
#   --linux-build DIR  the Linux build, for the simulator and the proxy (default build/linux)
#   --package DIR      run_package_tests.sh's output: dist, older, sequence (default build/package)
#   --artifacts DIR    where scenarios keep pictures (default build/ui-artifacts)
#
# Adding a scenario: put a file NAME.sh in the folder of its stage (tests/wine/scenarios for the
# module, tests/wine/dialog for the settings dialog, tests/package/scenarios for the installers);
# run.sh runs the folder, so no other line is needed. The file is sourced in a subshell with ARCH
# in $arch, and sets:
#   scenario_prefix=win64        the Windows it runs on: win64 (with its 32-bit half, the default)
#                                or win32
#   scenario_arches="x86 x64"    the passes it takes part in (the default: both)
#   scenario_run() { ...; }      its checks, through result and skip (tests/support/results.sh)
# and uses arch, build, linux_build, package, artifacts, root, work, wine, system, view, drive_c,
# x86_runtime, and the helpers of tests/support (servers, prefixes, results). For example:
#   scenario_prefix=win64
#   scenario_arches="x86 x64"
#   scenario_run() {
#     "$wine" "$system\\regsvr32.exe" /s "$build/driver/ls_tallowmer.dll"
#     result $? "regsvr32 registers the module"
#   }
set -uo pipefail

root=$(realpath "$(dirname "$0")/../..")
build=
linux_build=$root/build/linux
package=$root/build/package
artifacts=$root/build/ui-artifacts
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(realpath "$2"); shift 2 ;;
    --linux-build) linux_build=$(realpath "$2"); shift 2 ;;
    --package) package=$(realpath -m "$2"); shift 2 ;;
    --artifacts) artifacts=$(realpath -m "$2"); shift 2 ;;
    -*) echo "run_scenarios.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
arch=${1:-}
case "$arch" in
  x86) build=${build:-$root/build/win32} ;;
  x64) build=${build:-$root/build/win64} ;;
  *) echo "usage: run_scenarios.sh [OPTION...] x86|x64 SCENARIO..." >&2; exit 2 ;;
esac
shift
scenarios=()
shopt -s nullglob
for path in "$@"; do
  if [ -d "$path" ]; then
    scenarios+=("$(realpath "$path")"/*.sh)
  elif [ -f "$path" ]; then
    scenarios+=("$(realpath "$path")")
  else
    echo "run_scenarios.sh: no scenario file or folder $path" >&2
    exit 2
  fi
done
shopt -u nullglob

export LC_ALL=ru_RU.UTF-8
unset DISPLAY WINEPREFIX
source "$root/tests/support/results.sh"
source "$root/tests/support/servers.sh"
source "$root/tests/support/emulation.sh"
source "$root/tests/support/prefixes.sh"

scenario_pid=
# Cleanups ignore a broken pipe: an interrupt may have ended the reader of the output first.
runner_cleanup() {
  trap '' PIPE
  [ -n "$scenario_pid" ] && kill -TERM -- "-$scenario_pid" 2>/dev/null && wait "$scenario_pid"
  emulation_off
}
trap runner_cleanup EXIT
trap 'exit 130' INT TERM

# Inside a scenario's subshell: whatever it leaves running is stopped, its folder removed.
scenario_cleanup() {
  trap '' PIPE
  stop_servers
  [ -d "${WINEPREFIX:-}" ] && /usr/lib/wine/wineserver -k 2>/dev/null
  rm -rf "$work"
}

# scenario_defaults FILE: the file's settings, with those it leaves out at their defaults.
scenario_defaults() {
  scenario_prefix=win64
  scenario_arches="x86 x64"
  source "$1"
}

takes_part() {
  (
    scenario_defaults "$1" >/dev/null
    [[ " $scenario_arches " == *" $arch "* ]]
  )
}

run_scenario() {
  local file=$1 name
  name=$(basename "$file" .sh)
  echo "== $name ($arch)"
  work=$(mktemp -d "/tmp/ls_tallowmer_${name}_XXXXXX")
  trap scenario_cleanup EXIT
  trap 'exit 130' INT TERM
  scenario_defaults "$file"
  local started=$SECONDS
  if new_prefix "$scenario_prefix" "$work/prefix"; then
    use_prefix "$scenario_prefix" "$work/prefix"
    echo "    (a fresh $scenario_prefix prefix in $((SECONDS - started)) s)"
    scenario_run
  else
    result 1 "$name: a $scenario_prefix Wine prefix boots"
  fi
  echo "    ($name took $((SECONDS - started)) s)"
  closing_line
}

detect_x86_runtime
if [ "$arch" = x86 ] && ! emulation_on; then x86_runtime=none; fi
[ "$x86_runtime" = emulated ] && echo "32-bit programs run through qemu's emulation ($(/usr/bin/qemu-i386 -version | head -n 1))"

status=0
# Job control gives each scenario a process group of its own, which the trap above stops whole. Its
# input is empty: a program of a background group that touched the terminal would be stopped.
set -m
for file in "${scenarios[@]}"; do
  takes_part "$file" || continue
  if [ "$arch" = x86 ] && [ "$x86_runtime" = none ]; then
    echo "== $(basename "$file" .sh) ($arch)"
    skip "$(basename "$file" .sh): $x86_reason"
    continue
  fi
  run_scenario "$file" </dev/null &
  scenario_pid=$!
  wait "$scenario_pid" || status=1
  scenario_pid=
done
[ "$skipped" -eq 0 ] || closing_line
exit $status
