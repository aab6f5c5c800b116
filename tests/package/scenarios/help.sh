# The x64 MSI installed, on a virtual screen: the settings dialog of the pass's module offers
# "Справка" and opens help.chm at its default topic; without help.chm beside the module (x64 pass)
# it offers nothing of the kind. help_menu_check.exe hosts the dialog and plays the merchant;
# hhctrl's trace shows what the dialog asked of the help viewer.

source "$root/tests/package/installer.sh"

# help_menu PRESENCE: the dialog of the installed module, with help.chm beside it or not (present
# or absent).
help_menu() {
  WINEDEBUG=-all,+htmlhelp timeout 300 "$wine" "$build/tests/package/help_menu_check.exe" "$1" \
    >"$work/help_$1.log" 2>"$work/help_$1.trace"
  local status=$?
  sed 's/^/    /' "$work/help_$1.log"
  return "$status"
}

scenario_run() {
  local default_topic title folder=$programs64 trace_path
  [ "$arch" = x86 ] && folder=$programs32
  default_topic=$(sed -n 's/^Default topic=\(.*\)$/\1/p' "$root/help/help.hhp" | tr -d '\r')
  title=$(sed -n 's/^Title=\(.*\)$/\1/p' "$root/help/help.hhp" | tr -d '\r')
  start_xvfb
  result $? "help: Xvfb answers on display ${DISPLAY:-(none)}"
  msiexec /i "$(windows_path "$msi64")"
  result $? "help: $(basename "$msi64") installs"

  help_menu present
  result $? "help: $arch: with help.chm the dialog's menu offers \"Справка\""
  grep -q "note: the help viewer opened its window \"$title\"" "$work/help_present.log"
  result $? "help: $arch: choosing it opens the help viewer titled \"$title\""
  # hhctrl writes wide strings with doubled backslashes.
  trace_path=$(echo "$folder\\help.chm" | sed 's/\\/\\\\/g')
  grep -a -F "HtmlHelpW (" "$work/help_present.trace" | grep -q -F "L\"$trace_path\", command=HH_DISPLAY_TOPIC"
  result $? "help: $arch: the dialog calls HtmlHelpW with HH_DISPLAY_TOPIC and the help.chm beside the module"
  grep -a -F "navigate_url" "$work/help_present.trace" | grep -q -F "$trace_path::/$default_topic"
  result $? "help: $arch: the viewer goes to the default topic $default_topic"

  [ "$arch" = x64 ] || return 0
  rm -f "$(unix_path "$programs64")/help.chm" "$(unix_path "$programs32")/help.chm"
  help_menu absent
  result $? "help: x64: without help.chm the menu has no \"Справка\""
}
