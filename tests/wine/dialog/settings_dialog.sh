# The Win32 settings dialog on a virtual X screen: a VBScript host calls ShowSettingsDlg while
# settings_robot.exe plays the user, once closing with OK and once with Cancel; the windows' own
# test drives them from inside. Both measure every static text against its control, at 96, 120
# and 144 dots per inch, in Wine's Tahoma (the font the dialog font stands for) and again with the
# dialog font mapped to the wider DejaVu Sans, as wide as Segoe UI 9 pt or wider. Screenshots of
# the dialog, its tabs, the settings list and each popup are kept as PNG in ARTIFACTS/ARCH, named
# after the font and the resolution. The module's manifest is read first.

source "$root/tests/wine/module.sh"

convert=/usr/bin/convert
font_substitutes='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes'

# No window manager runs on the virtual screen: Wine draws the captions and frames itself. Wine
# here finds the Tahoma and Marlett of fonts-wine only in the prefix's font folder; without them
# it draws everything in DejaVu Sans and the title bar's buttons as letters.
prepare_prefix() {
  mkdir -p "$drive_c/windows/Fonts"
  cp /usr/share/wine/fonts/tahoma.ttf /usr/share/wine/fonts/tahomabd.ttf /usr/share/wine/fonts/marlett.ttf \
    "$drive_c/windows/Fonts/" || return 1
  "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
}

# wait_or_stop PID TENTHS: waits for PID, and stops it after TENTHS tenths of a second.
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

# One dialog session: the robot plays the user while the host waits in ShowSettingsDlg. The robot
# reads the dialog's controls through their item structures, so it has the bitness of the script
# host that shows the dialog. Further arguments go to the robot (--device-test: the driver's device
# test against a server that answers each request in six seconds first).
run_dialog() {
  local mode=$1 saved_host=$2 typed_host=$3 tag=$4
  shift 4
  "$wine" "$build/tests/wine/settings_robot.exe" "$mode" "$typed_host" "$(windows_path "$shots")" "$saved_host" \
    --wait=120 --tag="$tag" "$@" >"$work/robot_$mode.log" 2>&1 &
  local robot_pid=$!
  # In the background too, so that an interrupt is handled at once rather than after the host. The
  # limit only catches a dialog nobody closes: the robot gives up on it well before.
  timeout 300 "$wine" "$system\\cscript.exe" //nologo "$(windows_path "$work/settings_dialog.vbs")" \
    "$mode" "$saved_host" "$typed_host" 'C:\ls_tallowmer_ui\devices' >"$work/host_$mode.log" 2>&1 &
  wait $!
  local host_status=$?
  # Once the host has returned there is no dialog left to drive: the robot finishes or never will.
  wait_or_stop "$robot_pid" 300
  local robot_status=$?
  sed 's/^/    /' "$work/robot_$mode.log"
  result "$robot_status" "the robot drives the dialog and the settings list and closes with $mode ($tag)"
  iconv -f cp1251 -t utf-8 "$work/host_$mode.log" 2>/dev/null | sed 's/^/    /'
  result "$host_status" "the host's ShowSettingsDlg answers $mode and the Host setting follows it ($tag)"
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
  /usr/lib/wine/wineserver -k
  keep_wineserver
}

# Each run's pictures: the dialog and the list from the robot; the dialog, the information tab,
# the help popup, the command menu, the error box and the list from the windows' own test.
convert_screenshots() {
  local status=0 count=0 picture tag taken
  for picture in "$shots"/*.bmp; do
    [ -f "$picture" ] || continue
    "$convert" "$picture" "$pictures/$(basename "${picture%.bmp}").png" || status=1
    count=$((count + 1))
  done
  echo "    $count screenshots in $pictures"
  for tag in "$@"; do
    taken=$(find "$pictures" -name "*_$tag.png" | wc -l)
    [ "$taken" -ge 8 ] || { echo "    only $taken pictures for $tag"; status=1; }
  done
  [ "$status" -eq 0 ] && [ "$count" -gt 0 ]
}

scenario_run() {
  shots=$work/shots
  pictures=$artifacts/$arch
  mkdir -p "$shots" "$pictures"
  # Pictures of an earlier run would pass for this one's.
  rm -f "$pictures"/*.png

  start_xvfb
  result $? "Xvfb answers on display ${DISPLAY:-(none)}"
  [ -n "${DISPLAY:-}" ] || { sed 's/^/    /' "$work/xvfb.err"; return; }
  prepare_prefix
  result $? "a Wine prefix with Wine's fonts and unmanaged windows"
  regsvr32 /s "$dll"
  result $? "regsvr32 registers the module"
  [ "$failed" -eq 0 ] || return

  "$wine" "$build/tests/wine/manifest_check.exe" "$dll" >"$work/manifest.log" 2>&1
  local status=$?
  sed 's/^/    /' "$work/manifest.log"
  result "$status" "the module carries the common-controls manifest for its windows"

  host_script "$root/tests/wine/settings_dialog.vbs" "$work/settings_dialog.vbs"
  local saved='http://saved.example:8080/api' typed='http://typed.example:9090/api'
  # Tahoma is what Windows maps the dialog font to; DejaVu Sans is wider than Segoe UI 9 pt.
  local face dpi font tag tags=()
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
  convert_screenshots "${tags[@]}"
  result $? "the screenshots are converted to PNG"
}
