#!/usr/bin/env bash
# The Win32 settings dialog on a virtual X screen: a VBScript host calls ShowSettingsDlg while
# settings_robot.exe plays the user, once closing with OK and once with Cancel. Screenshots of the
# dialog and of the settings list are kept as PNG in ARTIFACT_DIR/ARCH.
# Usage: run_ui_tests.sh BUILD_DIR ARCH ARTIFACT_DIR
set -uo pipefail

here=$(dirname "$(realpath "$0")")
build=$(realpath "$1")
arch=$2
artifacts=$(realpath -m "$3")/$arch
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
convert=/usr/bin/convert
work=$(mktemp -d /tmp/ls_tallowmer_ui_XXXXXX)
passed=0
failed=0
skipped=0
xvfb_pid=
robot_pid=
host_pid=

export WINEDEBUG=-all WINEPREFIX="$work/prefix" LC_ALL=ru_RU.UTF-8
unset DISPLAY

source "$(dirname "$(realpath "$0")")/common.sh"

finish() {
  echo "$passed passed, $failed failed, $skipped skipped"
  [ "$failed" -eq 0 ]
  exit
}

stop_process() {
  kill "$1" 2>/dev/null || return 0
  for _ in $(seq 30); do kill -0 "$1" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$1" 2>/dev/null
  wait "$1" 2>/dev/null
}

cleanup() {
  [ -n "$host_pid" ] && stop_process "$host_pid"
  [ -n "$robot_pid" ] && stop_process "$robot_pid"
  [ -d "$WINEPREFIX" ] && "$wineserver" -k 2>/dev/null
  [ -n "$xvfb_pid" ] && stop_process "$xvfb_pid"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ "$arch" = "x86" ] && ! [ -x /usr/lib/wine/wine ]; then
  echo "skipped: the x86 settings dialog needs 32-bit Wine (wine32), which is not installed here"
  skipped=1
  finish
fi

# The robot reads the dialog's controls through their item structures, so it has the bitness of
# the script host that shows the dialog.
if [ "$arch" = "x86" ]; then
  system='C:\windows\syswow64'
else
  system='C:\windows\system32'
fi
regsvr32="$system\\regsvr32.exe"
cscript="$system\\cscript.exe"
dll="$build/driver/ls_tallowmer.dll"
robot="$build/tests/wine/settings_robot.exe"
devices='C:\ls_tallowmer_ui\devices'
shots="$work/shots"
mkdir -p "$shots" "$artifacts"
# Pictures of an earlier run would pass for this one's.
rm -f "$artifacts"/*.png

# Xvfb picks a free display itself and writes its number once it accepts connections.
start_xvfb() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -s "$work/display" ] || return 1
  DISPLAY=":$(head -n 1 "$work/display")"
  export DISPLAY
}

# No window manager runs on the virtual screen: Wine draws the captions and frames itself.
prepare_prefix() {
  WINEDLLOVERRIDES='mscoree,mshtml=' "$wine" wineboot -i >/dev/null 2>&1 || return 1
  "$wineserver" -p
  "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
}

wait_or_stop() {
  local pid=$1 tenths=$2
  for _ in $(seq "$tenths"); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    echo "    (stopped: still running $((tenths / 10)) s after the host returned)"
    stop_process "$pid"
    return 1
  fi
  wait "$pid" 2>/dev/null
}

# One dialog session: the robot plays the user while the host waits in ShowSettingsDlg.
run_dialog() {
  local mode=$1 saved_host=$2 typed_host=$3
  "$wine" "$robot" "$mode" "$typed_host" "$(windows_path "$shots")" "$saved_host" --wait=30 \
    >"$work/robot_$mode.log" 2>&1 &
  robot_pid=$!
  # In the background too, so that an interrupt is handled at once rather than after the host.
  timeout 45 "$wine" "$cscript" //nologo "$(windows_path "$work/settings_dialog.vbs")" \
    "$mode" "$saved_host" "$typed_host" "$devices" >"$work/host_$mode.log" 2>&1 &
  host_pid=$!
  wait "$host_pid"
  local host_status=$?
  host_pid=
  # Once the host has returned there is no dialog left to drive: the robot finishes or never will.
  wait_or_stop "$robot_pid" 50
  local robot_status=$?
  robot_pid=
  sed 's/^/    /' "$work/robot_$mode.log"
  result "$robot_status" "the robot drives the dialog and the settings list and closes with $mode"
  iconv -f cp1251 -t utf-8 "$work/host_$mode.log" 2>/dev/null | sed 's/^/    /'
  result "$host_status" "the host's ShowSettingsDlg answers $mode and the Host setting follows it"
}

convert_screenshots() {
  local status=0 count=0 picture
  for picture in "$shots"/*.bmp; do
    [ -f "$picture" ] || continue
    "$convert" "$picture" "$artifacts/$(basename "${picture%.bmp}").png" || status=1
    count=$((count + 1))
  done
  echo "    $count screenshots in $artifacts"
  [ "$status" -eq 0 ] && [ "$count" -ge 4 ]
}

start_xvfb
result $? "Xvfb answers on display ${DISPLAY:-(none)}"
[ "$failed" -eq 0 ] || { sed 's/^/    /' "$work/xvfb.log"; finish; }
prepare_prefix
result $? "a fresh Wine prefix with unmanaged windows"
"$wine" "$regsvr32" /s "$dll"
result $? "regsvr32 registers the module"
[ "$failed" -eq 0 ] || finish

host_script "$here/settings_dialog.vbs" "$work/settings_dialog.vbs"
run_dialog ok 'http://saved.example:8080/api' 'http://typed.example:9090/api'
run_dialog cancel 'http://saved.example:8080/api' 'http://typed.example:9090/api'
convert_screenshots
result $? "the screenshots are converted to PNG"

# The windows' own test drives them from a second thread of its process, once at the usual
# resolution and once at 144 dots per inch, which a new Wine session reads from the registry.
run_view_tests() {
  local dpi=$1
  timeout 60 "$wine" "$build/tests/ui/windows/ui_windows_tests.exe" "$dpi" >"$work/view_$dpi.log" 2>&1
  local status=$?
  sed 's/^/    /' "$work/view_$dpi.log"
  result "$status" "the settings windows follow the user's input at $dpi dots per inch"
}
run_view_tests 96
"$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
"$wineserver" -k
"$wineserver" -p
run_view_tests 144
finish
