#!/usr/bin/env bash
# The Win32 settings dialog on a virtual X screen: a VBScript host calls ShowSettingsDlg while
# settings_robot.exe plays the user, once closing with OK and once with Cancel; the windows' own
# test drives them from inside. Both measure every static text against its control, at 96, 120
# and 144 dots per inch, in Wine's Tahoma (the font the dialog font stands for) and again with the
# dialog font mapped to the wider DejaVu Sans, as wide as Segoe UI 9 pt or wider. Screenshots of the
# dialog, its tabs, the settings list and each popup are kept as PNG in ARTIFACT_DIR/ARCH, named
# after the font and the resolution. The module's manifest is read first.
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

cleanup() {
  [ -n "$host_pid" ] && stop_process "$host_pid"
  [ -n "$robot_pid" ] && stop_process "$robot_pid"
  [ -d "$WINEPREFIX" ] && "$wineserver" -k 2>/dev/null
  [ -n "$xvfb_pid" ] && stop_process "$xvfb_pid"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Under qemu's user-mode emulation a prefix alone takes minutes to boot, and each of the six
# sessions below starts its Wine processes anew: the x86 dialog is left to machines that run 32-bit
# programs themselves.
if [ "$arch" = "x86" ]; then
  detect_x86_runtime
  [ "$x86_runtime" = emulated ] && x86_reason="this kernel cannot run 32-bit programs, and the dialog's six sessions under emulation would take most of the run's time"
  if [ "$x86_runtime" != native ]; then
    echo "skipped: the x86 settings dialog: $x86_reason"
    skipped=1
    finish
  fi
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
manifest_check="$build/tests/wine/manifest_check.exe"
font_substitutes='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'

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

# No window manager runs on the virtual screen: Wine draws the captions and frames itself. Wine
# here finds the Tahoma and Marlett of fonts-wine only in the prefix's font folder; without them
# it draws everything in DejaVu Sans and the title bar's buttons as letters.
prepare_prefix() {
  WINEDLLOVERRIDES='mscoree,mshtml=' "$wine" wineboot -i >/dev/null 2>&1 || return 1
  "$wineserver" -w
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp /usr/share/wine/fonts/tahoma.ttf /usr/share/wine/fonts/tahomabd.ttf /usr/share/wine/fonts/marlett.ttf \
    "$WINEPREFIX/drive_c/windows/Fonts/" || return 1
  keep_wineserver
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

# One dialog session: the robot plays the user while the host waits in ShowSettingsDlg. Further
# arguments go to the robot (--device-test: the driver's device test against a silent server first).
run_dialog() {
  local mode=$1 saved_host=$2 typed_host=$3 tag=$4
  shift 4
  "$wine" "$robot" "$mode" "$typed_host" "$(windows_path "$shots")" "$saved_host" --wait=120 --tag="$tag" "$@" \
    >"$work/robot_$mode.log" 2>&1 &
  robot_pid=$!
  # In the background too, so that an interrupt is handled at once rather than after the host. The
  # limit only catches a dialog nobody closes: the robot gives up on it well before.
  timeout 300 "$wine" "$cscript" //nologo "$(windows_path "$work/settings_dialog.vbs")" \
    "$mode" "$saved_host" "$typed_host" "$devices" >"$work/host_$mode.log" 2>&1 &
  host_pid=$!
  wait "$host_pid"
  local host_status=$?
  host_pid=
  # Once the host has returned there is no dialog left to drive: the robot finishes or never will.
  wait_or_stop "$robot_pid" 300
  local robot_status=$?
  robot_pid=
  sed 's/^/    /' "$work/robot_$mode.log"
  result "$robot_status" "the robot drives the dialog and the settings list and closes with $mode ($tag)"
  iconv -f cp1251 -t utf-8 "$work/host_$mode.log" 2>/dev/null | sed 's/^/    /'
  result "$host_status" "the host's ShowSettingsDlg answers $mode and the Host setting follows it ($tag)"
}

# Each run's pictures: the dialog and the list from the robot; the dialog, the information tab,
# the help popup, the command menu, the error box and the list from the windows' own test.
convert_screenshots() {
  local status=0 count=0 picture tag
  for picture in "$shots"/*.bmp; do
    [ -f "$picture" ] || continue
    "$convert" "$picture" "$artifacts/$(basename "${picture%.bmp}").png" || status=1
    count=$((count + 1))
  done
  echo "    $count screenshots in $artifacts"
  for tag in "${tags[@]}"; do
    local taken
    taken=$(find "$artifacts" -name "*_$tag.png" | wc -l)
    [ "$taken" -ge 8 ] || { echo "    only $taken pictures for $tag"; status=1; }
  done
  [ "$status" -eq 0 ] && [ "$count" -gt 0 ]
}

# The windows' own test drives them from a second thread of its process; it prints each check as
# it goes, so only a silence of two minutes counts as a hang.
run_view_tests() {
  local dpi=$1 tag=$2
  run_watched 120 "$work/view_$tag.log" \
    "$wine" "$build/tests/ui/windows/ui_windows_tests.exe" "$dpi" "$(windows_path "$shots")" "$tag"
  local status=$?
  sed 's/^/    /' "$work/view_$tag.log"
  result "$status" "the settings windows follow the user's input and show every text in full ($tag)"
}

# A new Wine session reads the resolution and the font mapping from the registry.
configure_session() {
  local dpi=$1 face=$2
  "$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  "$wine" reg add "$font_substitutes" /v 'MS Shell Dlg 2' /t REG_SZ /d "$face" /f >/dev/null 2>&1
  "$wineserver" -k
  keep_wineserver
}

start_xvfb
result $? "Xvfb answers on display ${DISPLAY:-(none)}"
[ "$failed" -eq 0 ] || { sed 's/^/    /' "$work/xvfb.log"; finish; }
prepare_prefix
result $? "a fresh Wine prefix with unmanaged windows"
"$wine" "$regsvr32" /s "$dll"
result $? "regsvr32 registers the module"
[ "$failed" -eq 0 ] || finish

"$wine" "$manifest_check" "$dll" >"$work/manifest.log" 2>&1
status=$?
sed 's/^/    /' "$work/manifest.log"
result "$status" "the module carries the common-controls manifest for its windows"

host_script "$here/settings_dialog.vbs" "$work/settings_dialog.vbs"
saved='http://saved.example:8080/api'
typed='http://typed.example:9090/api'
# Tahoma is what Windows maps the dialog font to; DejaVu Sans is wider than Segoe UI 9 pt.
tags=()
for face in Tahoma 'DejaVu Sans'; do
  font=$(echo "${face%% *}" | tr '[:upper:]' '[:lower:]')
  for dpi in 96 120 144; do
    configure_session "$dpi" "$face"
    tag="${font}_${dpi}dpi"
    tags+=("$tag")
    run_dialog ok "$saved" "$typed" "$tag"
    [ "$tag" = tahoma_96dpi ] && run_dialog cancel "$saved" "$typed" "$tag" --device-test
    run_view_tests "$dpi" "$tag"
  done
done
convert_screenshots
result $? "the screenshots are converted to PNG"
finish
