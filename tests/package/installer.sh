# Shared by the scenarios of tests/package/scenarios: the merchant package that
# run_package_tests.sh built in $package (dist, older: one version lower, sequence: the releases
# above), and what an installed copy of it looks like to Windows. Sourced after the scenario has
# set scenario_prefix.

dist=$package/dist
old_dist=$package/older
sequence=$package/sequence
[ -d "$sequence" ] || sequence=

package_version() { basename "$1" | sed -n 's/^ls_tallowmer-\(.*\)-x64\.msi$/\1/p'; }
msi64=$(ls "$dist"/ls_tallowmer-*-x64.msi 2>/dev/null)
version=$(package_version "$msi64")
msi86=$dist/ls_tallowmer-$version-x86.msi
zip=$dist/ls_tallowmer-$version.zip
old_msi64=$(ls "$old_dist"/ls_tallowmer-*-x64.msi 2>/dev/null)
old_msi86=$old_dist/ls_tallowmer-$(package_version "$old_msi64")-x86.msi
ROOT=$root
source "$root/packaging/product_values.sh"
load_product_values
# The module reports major.minor.build of its file version to the host; the installer's version is
# product_version's.
module_version=$(device_version "$version")

clsid='{7C41E9A2-3D58-4B16-A0F3-95B2C6D84E17}'
classes_machine='HKLM\Software\Classes'
classes_user='HKCU\Software\Classes'

# On a 64-bit Windows the 32-bit tools and programs live in SysWOW64 and Program Files (x86); on a
# 32-bit one in System32 and Program Files.
programs64='C:\Program Files\Quorvane\ls_tallowmer'
if [ "$scenario_prefix" = win32 ]; then
  system32='C:\windows\system32'
  programs32='C:\Program Files\Quorvane\ls_tallowmer'
else
  system32='C:\windows\syswow64'
  programs32='C:\Program Files (x86)\Quorvane\ls_tallowmer'
fi

# unix_path WINDOWS_PATH: the file of a C: path in the prefix.
unix_path() {
  local path=${1#C:\\}
  echo "$drive_c/${path//\\//}"
}

# The system folder whose tools (reg, regsvr32, cscript) run with this bitness (32 or 64).
system_folder() {
  if [ "$1" = 32 ]; then echo "$system32"; else echo 'C:\windows\system32'; fi
}

# Our keys under a classes root in one registry view (32 or 64), one sorted line per key and value.
our_keys() {
  local root=$1 view=$2 key
  for key in "$root\\CLSID\\$clsid" "$root\\hwEq.tallowmer"; do
    "$wine" reg query "$key" /s "/reg:$view" 2>/dev/null
  done | tr -d '\r' | awk '/^HKEY_/ { key = $0; print key; next } /^    / { sub(/^ +/, ""); print key " | " $0 }' |
    LC_ALL=C sort
  return 0
}

# Our classes as a host process of one bitness (32 or 64) sees them under HKEY_CLASSES_ROOT: Wine
# keeps the ProgID that the 32-bit view shares with the 64-bit one in different places depending
# on who wrote it, and a host sees what its own registry view shows.
host_keys() {
  local system key
  system=$(system_folder "$1")
  for key in "HKCR\\CLSID\\$clsid" 'HKCR\hwEq.tallowmer'; do
    "$wine" "$system\\reg.exe" query "$key" /s 2>/dev/null
  done | tr -d '\r' | awk '/^HKEY_/ { key = $0; print key; next } /^    / { sub(/^ +/, ""); print key " | " $0 }' |
    LC_ALL=C sort
  return 0
}

# Entries of the installed-programs list that are ours, as "key version", from both views.
installed_programs() {
  local view
  for view in 64 32; do
    "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s "/reg:$view" 2>/dev/null
  done | tr -d '\r' | awk '
    /^HKEY_/ { key = $0; sub(/.*\\/, "", key); next }
    /DisplayName/ && /Tallowmer/ { ours[key] = 1 }
    /DisplayVersion/ { version[key] = $NF }
    END { for (key in ours) print key " " version[key] }' | sort -u
}

msiexec() {
  local log=$work/msiexec.log
  "$wine" msiexec "$@" /qn >"$log" 2>&1
  local status=$?
  [ "$status" -eq 0 ] || sed 's/^/    /' "$log"
  return "$status"
}

# msiexec_refuses MSI TEXT: the installation stops at its launch conditions with 1603 (67 in a
# Unix exit status, which keeps the low byte), and the package holds TEXT as the condition's
# message. Windows writes that message into the verbose log; Wine's msi shows it only in a message
# box, never under /qn, so where the log lacks it the log part is skipped with that reason.
msiexec_refuses() {
  local log=$work/refused.log
  rm -f "$log"
  "$wine" msiexec /i "$(windows_path "$1")" /qn /l*v "$(windows_path "$log")" >/dev/null 2>&1
  local status=$? text
  text=$(iconv -f cp1251 -t utf-8 "$log" 2>/dev/null | tr -d '\r')
  # Read whole first: grep -q stops early, and pipefail would count msiinfo's broken pipe.
  msiinfo export "$1" LaunchCondition >"$work/conditions.idt" 2>/dev/null
  grep -q -F "$2" "$work/conditions.idt" || { echo "    the package has no launch condition saying: $2"; return 1; }
  [ "$status" -eq $((1603 % 256)) ] && echo "$text" | grep -q 'LaunchConditions' &&
    ! echo "$text" | grep -q 'InstallFiles' || {
    echo "    exit status $status; the log's last lines:"
    echo "$text" | tail -n 5 | sed 's/^/    /'
    return 1
  }
  if echo "$text" | grep -q -F "$2"; then
    echo "    the log says: $(echo "$text" | grep -F -m 1 "$2" | cut -c 1-200)"
  else
    skip "the message in the msiexec log: Wine's msi shows launch-condition messages only in a message box, not under /qn"
  fi
}

# client_works BITS: device_info.vbs under the cscript of that bitness (32 or 64) creates the
# driver and checks the version it reports ($module_version).
client_works() {
  local system
  system=$(system_folder "$1")
  [ -f "$work/device_info.vbs" ] || host_script "$root/tests/package/device_info.vbs" "$work/device_info.vbs"
  "$wine" "$system\\cscript.exe" //nologo "$(windows_path "$work/device_info.vbs")" "$module_version" \
    >"$work/client.log" 2>&1
  local status=$?
  iconv -f cp1251 -t utf-8 "$work/client.log" 2>/dev/null | sed 's/^/    /'
  return "$status"
}

# Lists a folder's files, names only, one line.
files_in() { (cd "$1" 2>/dev/null && ls -A | tr '\n' ' '); }

# A folder holds exactly this package's module for ARCH and its help file.
holds_package_files() {
  local folder=$1 arch=$2
  [ "$(files_in "$folder")" = "help.chm ls_tallowmer.dll " ] &&
    unzip -p "$zip" "$arch/ls_tallowmer.dll" | cmp -s - "$folder/ls_tallowmer.dll" &&
    cmp -s "$dist/help.chm" "$folder/help.chm"
}

# installed_regsvr32 VIEW [/u]: the regsvr32 of the view's bitness on the module installed for it.
installed_regsvr32() {
  local system module="$programs64\\ls_tallowmer.dll"
  system=$(system_folder "$1")
  [ "$1" = 32 ] && module="$programs32\\ls_tallowmer.dll"
  "$wine" "$system\\regsvr32.exe" /s ${2:+"$2"} "$module" || { echo "    regsvr32${2:+ $2} $module failed"; return 1; }
}

# regsvr32_keys VIEW...: regsvr32's keys for the installed modules, in $work/regsvr32_VIEW.keys,
# after taking the package's keys away with regsvr32 /u.
regsvr32_keys() {
  local view
  for view in "$@"; do installed_regsvr32 "$view" /u || return 1; done
  for view in "$@"; do
    [ -z "$(our_keys "$classes_machine" "$view")" ] || { echo "    keys left in view $view after regsvr32 /u"; return 1; }
  done
  for view in "$@"; do installed_regsvr32 "$view" || return 1; done
  for view in "$@"; do host_keys "$view" >"$work/regsvr32_$view.keys"; done
}

# keys_are_regsvr32s SCENARIO VIEW...: the package's keys in each view, as hosts see them, equal
# what regsvr32 writes for the installed modules.
keys_are_regsvr32s() {
  local scenario=$1 view status
  shift
  for view in "$@"; do host_keys "$view" >"$work/msi_$view.keys"; done
  if ! regsvr32_keys "$@"; then
    result 1 "$scenario: regsvr32 unregisters and registers the installed modules"
    return
  fi
  for view in "$@"; do
    diff "$work/msi_$view.keys" "$work/regsvr32_$view.keys" >"$work/keys.diff"
    status=$?
    [ "$status" -eq 0 ] && [ -s "$work/msi_$view.keys" ]
    status=$?
    [ "$status" -ne 0 ] && iconv -c -f cp866 -t utf-8 "$work/keys.diff" | sed 's/^/    /'
    result $status "$scenario: the package's keys in the $view-bit view are regsvr32's ($(grep -a -c ' | ' "$work/msi_$view.keys") values)"
  done
}

# removed_cleanly SCENARIO MSI VIEW...: msiexec /x takes the package away, with its keys in every
# view given, its entry, its files and folders; the debug log the driver wrote stays.
removed_cleanly() {
  local scenario=$1 msi=$2 view status=0
  shift 2
  msiexec /x "$(windows_path "$msi")"
  result $? "$scenario: msiexec /x removes the package"
  for view in "$@"; do [ -z "$(our_keys "$classes_machine" "$view")" ] || status=1; done
  result $status "$scenario: no key of ours is left in any view ($*)"
  [ -z "$(installed_programs)" ]
  result $? "$scenario: the installed-programs list has no entry of ours"
  local left
  left=$(find "$drive_c/Program Files/Quorvane" "$drive_c/Program Files (x86)/Quorvane" 2>/dev/null)
  [ -z "$left" ]
  result $? "$scenario: no file and no folder of the package is left${left:+ ($(echo $left))}"
  ls "$drive_c/ProgramData/ls_tallowmer"/Debug_*.log >/dev/null 2>&1
  result $? "$scenario: the debug log the driver wrote stays in ProgramData ($(ls "$drive_c/ProgramData" | tr '\n' ' '))"
}
