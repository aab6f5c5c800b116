#!/usr/bin/env bash
# The merchant package on fresh Wine prefixes, one per scenario:
#   x64 MSI: an older package, then this one over it (upgrade), clients of both bitnesses, help
#            beside each module, registry equal to regsvr32's in both views, clean uninstall;
#   x86 MSI: the same in the 32-bit view of a 64-bit Windows, and again on a 32-bit Windows;
#   zip:     register-user.cmd, clients, unregister.cmd; then register.cmd and unregister.cmd;
#   help:    the x64 MSI on a virtual screen; the settings dialog of each module offers "Справка"
#            and opens help.chm at its default topic, and offers nothing of the kind without it;
#   rules:   one product per machine (the x86 MSI refuses a 64-bit Windows, the x64 MSI takes an
#            x86 installation's place), the MSI refuses a per-user or a machine registration of the
#            class it did not make, `check` names a per-user one, and the zip's scripts refuse to
#            register over the MSI; then the release sequence of SEQUENCE/steps, each step leaving
#            one entry, the module of its version and the help's detection value; the x64 MSI
#            refuses a newer x86 product, and the help's script removes it by its UpgradeCode.
# Usage: run_wine_install_tests.sh DIST OLD_DIST WIN64_BUILD WIN32_BUILD [SEQUENCE]
# (two outputs of packaging/package.sh, the second built at a lower version, the two Windows build
# folders, which hold help_menu_check.exe, and the sequence of run_package_tests.sh)
set -uo pipefail

here=$(dirname "$(realpath "$0")")
dist=$(realpath "$1")
old_dist=$(realpath "$2")
sequence=${5:+$(realpath "$5")}
help_check64=$(realpath "$3")/tests/package/help_menu_check.exe
help_check32=$(realpath "$4")/tests/package/help_menu_check.exe
host64=$(realpath "$3")/tools/host/ls_tallowmer_host.exe
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
work=$(mktemp -d /tmp/ls_tallowmer_package_wine_XXXXXX)
passed=0
failed=0
skipped=0
prefixes=()

# Gecko and Mono stay out: a prefix is made faster without them, and nothing here needs them.
export WINEDEBUG=-all LC_ALL=ru_RU.UTF-8 WINEDLLOVERRIDES='mscoree,mshtml='
unset DISPLAY WINEPREFIX
source "$here/../wine/common.sh"

xvfb_pid=
cleanup() {
  local prefix
  for prefix in "${prefixes[@]}"; do WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null; done
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

finish() {
  echo "$passed passed, $failed failed, $skipped skipped"
  [ "$failed" -eq 0 ]
  exit
}

package_version() { basename "$1" | sed -n 's/^ls_tallowmer-\(.*\)-x64\.msi$/\1/p'; }
msi64=$(ls "$dist"/ls_tallowmer-*-x64.msi)
version=$(package_version "$msi64")
msi86=$dist/ls_tallowmer-$version-x86.msi
zip=$dist/ls_tallowmer-$version.zip
old_msi64=$(ls "$old_dist"/ls_tallowmer-*-x64.msi)
old_msi86=$old_dist/ls_tallowmer-$(package_version "$old_msi64")-x86.msi
ROOT=$(realpath "$here/../..")
source "$ROOT/packaging/product_values.sh"
# The module reports major.minor.build of its file version to the host; the installer's version is
# product_version's.
module_version=$(device_version "$version")

# The x86 scenarios boot prefixes of their own and a 32-bit Windows: under qemu's user-mode
# emulation that alone takes several times the whole stage, so they run where 32-bit programs run
# natively.
detect_x86_runtime
[ "$x86_runtime" = emulated ] && x86_reason="this kernel cannot run 32-bit programs, and its 32-bit prefixes under emulation would take most of the run's time"
have_wine32=true
[ "$x86_runtime" = native ] || have_wine32=false

# A scenario whose name ends in -win32 runs on a 32-bit Windows.
prefix_is_win32() { [[ "$1" == *-win32 ]]; }

# All prefixes at once: making one is mostly waiting.
start_prefixes() {
  local name
  for name in "$@"; do
    prefixes+=("$work/$name")
    if prefix_is_win32 "$name"; then
      WINEARCH=win32 WINEPREFIX=$work/$name /usr/lib/wine/wine wineboot -i >/dev/null 2>&1 &
    else
      WINEPREFIX=$work/$name /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 &
    fi
  done
  wait
}

# One wineserver for the whole scenario keeps every later start quick. On a 64-bit Windows the
# 32-bit tools and programs live in SysWOW64 and Program Files (x86); on a 32-bit one in System32
# and Program Files.
use_prefix() {
  export WINEPREFIX=$work/$1
  keep_wineserver
  drive_c=$WINEPREFIX/drive_c
  if prefix_is_win32 "$1"; then
    wine=/usr/lib/wine/wine
    system32='C:\windows\system32'
    programs32='C:\Program Files\Quorvane\ls_tallowmer'
  else
    wine=/usr/lib/wine/wine64
    system32='C:\windows\syswow64'
    programs32='C:\Program Files (x86)\Quorvane\ls_tallowmer'
  fi
  programs32_unix=$drive_c/${programs32#C:\\}
  programs32_unix=${programs32_unix//\\//}
}

# The system folder whose tools (reg, regsvr32, cscript) run with this bitness (32 or 64).
system_folder() {
  if [ "$1" = 32 ]; then echo "$system32"; else echo 'C:\windows\system32'; fi
}

clsid='{7C41E9A2-3D58-4B16-A0F3-95B2C6D84E17}'
classes_machine='HKLM\Software\Classes'
classes_user='HKCU\Software\Classes'

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
    echo "skipped: the message in the msiexec log: Wine's msi shows launch-condition messages only in a message box, not under /qn"
    skipped=$((skipped + 1))
  fi
}

# Runs device_info.vbs with the cscript of one bitness.
client_works() {
  local system
  system=$(system_folder "$1")
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

# regsvr32's keys for the installed modules, after taking the package's keys away with regsvr32 /u.
regsvr32_keys() {
  local view
  for view in "$@"; do installed_regsvr32 "$view" /u || return 1; done
  for view in "$@"; do
    [ -z "$(our_keys "$classes_machine" "$view")" ] || { echo "    keys left in view $view after regsvr32 /u"; return 1; }
  done
  for view in "$@"; do installed_regsvr32 "$view" || return 1; done
  for view in "$@"; do host_keys "$view" >"$work/regsvr32_$view.keys"; done
}

programs64='C:\Program Files\Quorvane\ls_tallowmer'

# One MSI scenario. ARCH x64 carries both modules and registers both views; x86 only the 32-bit one.
msi_scenario() {
  local arch=$1 msi=$2 old_msi=$3 views folders folder_archs
  if [ "$arch" = x64 ]; then
    views=(64 32)
    folders=("$drive_c/Program Files/Quorvane/ls_tallowmer" "$programs32_unix")
    folder_archs=(x64 x86)
  else
    views=(32)
    folders=("$programs32_unix")
    folder_archs=(x86)
  fi

  msiexec /i "$(windows_path "$old_msi")"
  result $? "$scenario: the older package $(basename "$old_msi") installs"
  local before
  before=$(installed_programs)
  [ "$(echo "$before" | grep -c .)" -eq 1 ]
  result $? "$scenario: the older package is in the installed-programs list ($before)"
  ! cmp -s "$old_dist/help.chm" "$dist/help.chm"
  result $? "$scenario: the older package's help file differs from this one's, so leftovers would show"

  msiexec /i "$(windows_path "$msi")"
  result $? "$scenario: $(basename "$msi") installs over it"
  local after
  after=$(installed_programs)
  [ "$(echo "$after" | grep -c .)" -eq 1 ] && [ "${after##* }" = "$(product_version "$version")" ] &&
    [ "${after%% *}" != "${before%% *}" ]
  result $? "$scenario: one entry in the installed-programs list, the new one ($after)"
  local index status=0 contents=
  for index in "${!folders[@]}"; do
    holds_package_files "${folders[$index]}" "${folder_archs[$index]}" || status=1
    contents+="${folders[$index]#"$drive_c"/}: $(files_in "${folders[$index]}")"
  done
  result $status "$scenario: each folder holds this package's module and help.chm and nothing old ($contents)"

  local bits
  for bits in "${views[@]}"; do
    if [ "$bits" = 32 ] && ! $have_wine32; then
      echo "skipped: $scenario: the 32-bit client: $x86_reason"
      skipped=$((skipped + 1))
      continue
    fi
    client_works "$bits"
    result $? "$scenario: a $bits-bit cscript creates hwEq.tallowmer and reads GetDeviceInfo"
  done

  local view
  for view in "${views[@]}"; do host_keys "$view" >"$work/msi_$view.keys"; done
  if [ "$arch" = x86 ] && [ "$wine" = /usr/lib/wine/wine64 ]; then
    ! "$wine" reg query "$classes_machine\\CLSID\\$clsid" /reg:64 >/dev/null 2>&1
    result $? "$scenario: nothing of ours in the 64-bit view's CLSID key"
  fi
  if [ "$arch" = x86 ] || $have_wine32; then
    if regsvr32_keys "${views[@]}"; then
      for view in "${views[@]}"; do
        diff "$work/msi_$view.keys" "$work/regsvr32_$view.keys" >"$work/keys.diff"
        status=$?
        [ "$status" -eq 0 ] && [ -s "$work/msi_$view.keys" ]
        status=$?
        [ "$status" -ne 0 ] && iconv -c -f cp866 -t utf-8 "$work/keys.diff" | sed 's/^/    /'
        result $status "$scenario: the package's keys in the $view-bit view are regsvr32's ($(grep -a -c ' | ' "$work/msi_$view.keys") values)"
      done
    else
      result 1 "$scenario: regsvr32 unregisters and registers the installed modules"
    fi
  fi

  msiexec /x "$(windows_path "$msi")"
  result $? "$scenario: msiexec /x removes the package"
  status=0
  for view in "${views[@]}"; do [ -z "$(our_keys "$classes_machine" "$view")" ] || status=1; done
  result $status "$scenario: no key of ours is left in any view"
  [ -z "$(installed_programs)" ]
  result $? "$scenario: the installed-programs list has no entry of ours"
  local left
  left=$(find "$drive_c/Program Files/Quorvane" "$drive_c/Program Files (x86)/Quorvane" 2>/dev/null)
  [ -z "$left" ]
  result $? "$scenario: no file and no folder of the package is left${left:+ ($(echo $left))}"
  ls "$drive_c/ProgramData/ls_tallowmer"/Debug_*.log >/dev/null 2>&1
  result $? "$scenario: the debug log the driver wrote stays in ProgramData ($(ls "$drive_c/ProgramData" | tr '\n' ' '))"
}

zip_scenario() {
  local folder=$drive_c/Quorvane/ls_tallowmer scripts='C:\Quorvane\ls_tallowmer' view status
  mkdir -p "$folder" && unzip -q "$zip" -d "$folder" && (cd "$folder" && sha256sum --quiet -c SHA256SUMS)
  result $? "zip: unpacks and matches its SHA256SUMS"

  run_script() {
    "$wine" cmd /c "$scripts\\$1" /nopause >"$work/script.log" 2>&1
    local code=$?
    # Wine's cmd writes to a pipe in the ANSI code page.
    iconv -f cp1251 -t utf-8 "$work/script.log" 2>/dev/null | tr -d '\r' | sed 's/^/    /'
    return "$code"
  }

  local views=(64)
  $have_wine32 && views=(64 32)
  run_script register-user.cmd
  result $? "zip: register-user.cmd reports success"
  status=0
  for view in "${views[@]}"; do
    [ -n "$(our_keys "$classes_user" "$view" | grep -a InprocServer32)" ] || status=1
    [ -z "$(our_keys "$classes_machine" "$view")" ] || status=1
  done
  result $status "zip: the registration is under HKCU\\Software\\Classes only, in views ${views[*]}"
  # Windows merges the user's classes into HKEY_CLASSES_ROOT; Wine 8 shows the machine's alone
  # there, so its COM cannot create a class registered per user. Where it can, the clients try.
  if "$wine" reg query 'HKCR\hwEq.tallowmer\Clsid' >/dev/null 2>&1; then
    for view in "${views[@]}"; do
      client_works "$view"
      result $? "zip: a $view-bit cscript creates the per-user hwEq.tallowmer"
    done
  else
    echo "skipped: zip: CreateObject of the per-user class (Wine's HKEY_CLASSES_ROOT does not show HKCU\Software\Classes)"
    skipped=$((skipped + 1))
  fi
  run_script unregister.cmd
  result $? "zip: unregister.cmd reports success"
  status=0
  for view in 64 32; do [ -z "$(our_keys "$classes_user" "$view")" ] || status=1; done
  result $status "zip: unregister.cmd removes the per-user keys"

  run_script register.cmd
  result $? "zip: register.cmd (machine-wide, rights present) reports success"
  status=0
  for view in "${views[@]}"; do [ -n "$(our_keys "$classes_machine" "$view" | grep -a InprocServer32)" ] || status=1; done
  result $status "zip: register.cmd registers under HKLM in views ${views[*]}"
  run_script unregister.cmd
  result $? "zip: unregister.cmd reports success"
  status=0
  for view in 64 32; do [ -z "$(our_keys "$classes_machine" "$view")" ] || status=1; done
  result $status "zip: unregister.cmd removes the machine-wide keys"
}

# The zip's scripts under cmd, in the ANSI code page Wine's cmd writes to a pipe.
zip_script() {
  "$wine" cmd /c "$1" /nopause >"$work/script.log" 2>&1
  local code=$?
  iconv -f cp1251 -t utf-8 "$work/script.log" 2>/dev/null | tr -d '\r' | sed 's/^/    /'
  return "$code"
}

# Our entry's publisher, help link, install location and version as NAME=VALUE lines (reg writes
# to a pipe in the OEM code page).
programs_and_features_fields() {
  "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:64 2>/dev/null |
    tr -d '\r' | iconv -c -f cp866 -t utf-8 | awk '
    /^HKEY_/ { ours = 0; delete value; next }
    $1 == "DisplayName" && /Tallowmer/ { ours = 1 }
    { name = $1; sub(/^ *[A-Za-z]+ +REG_SZ +/, ""); value[name] = $0 }
    /^$/ && ours { for (n in wanted) print n "=" value[n]; exit }
    BEGIN { wanted["Publisher"]; wanted["HelpLink"]; wanted["InstallLocation"]; wanted["DisplayVersion"] }' | sort
}

rules_scenario() {
  local msi_x86=$dist/ls_tallowmer-$version-x86.msi entries
  msiexec_refuses "$msi_x86" "Эта Windows 64-разрядная: установите пакет ls_tallowmer-$version-x64.msi"
  result $? "rules: the x86 MSI stops on a 64-bit Windows with 1603, its message naming the x64 package"

  # An x86 package from before that rule (its launch condition taken out) stands for an x86
  # installation that the x64 package finds on the machine.
  cp "$msi_x86" "$work/x86_without_rule.msi"
  msibuild "$work/x86_without_rule.msi" -q "DELETE FROM LaunchCondition WHERE Condition='Installed OR NOT VersionNT64'" &&
    msiexec /i "$(windows_path "$work/x86_without_rule.msi")"
  result $? "rules: an x86 installation is made (launch condition removed)"
  msiexec /i "$(windows_path "$msi64")"
  result $? "rules: the x64 MSI installs over it"
  entries=$(installed_programs)
  [ "$(echo "$entries" | grep -c .)" -eq 1 ] && [ "$(echo "$entries" | wc -l)" -eq 1 ] &&
    "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:64 2>/dev/null | tr -d '\r' |
    iconv -c -f cp866 -t utf-8 | grep -a 'DisplayName' | grep -q 'Драйвер системы лояльности Tallowmer (x64 и x86)'
  result $? "rules: one entry is listed, the x64 package's, by its Russian name ($entries)"
  holds_package_files "$drive_c/Program Files/Quorvane/ls_tallowmer" x64 &&
    holds_package_files "$programs32_unix" x86
  result $? "rules: both folders hold the x64 package's files"

  local folder=$drive_c/Quorvane/ls_tallowmer script
  mkdir -p "$folder" && unzip -q -o "$zip" -d "$folder"
  for script in register.cmd register-user.cmd; do
    ! zip_script "C:\\Quorvane\\ls_tallowmer\\$script" && grep -q 'Используйте один способ установки' <(iconv -f cp1251 -t utf-8 "$work/script.log")
    result $? "rules: $script refuses to register over the MSI installation, exit 1"
  done
  [ -z "$(our_keys "$classes_user" 64)$(our_keys "$classes_user" 32)" ]
  result $? "rules: no per-user registration was made"
  ! zip_script 'C:\Quorvane\ls_tallowmer\unregister.cmd' &&
    grep -q 'сделана установщиком' <(iconv -f cp1251 -t utf-8 "$work/script.log") &&
    [ -n "$(our_keys "$classes_machine" 64 | grep -a InprocServer32)" ]
  result $? "rules: unregister.cmd leaves the MSI's registration alone, says so and exits 1"
  msiexec /x "$(windows_path "$msi64")"
  result $? "rules: the x64 package is removed"

  # A per-user registration as register-user.cmd leaves it.
  "$wine" reg add "$classes_user\\CLSID\\$clsid\\InprocServer32" /ve /d 'C:\Quorvane\ls_tallowmer\x64\ls_tallowmer.dll' /f /reg:64 >/dev/null 2>&1 &&
    "$wine" reg add "$classes_user\\CLSID\\$clsid\\InprocServer32" /v ThreadingModel /d Apartment /f /reg:64 >/dev/null 2>&1
  msiexec_refuses "$msi64" "Драйвер зарегистрирован для этого пользователя из архива"
  result $? "rules: the MSI stops with 1603 at a per-user registration of the class, its message saying how to remove it"
  "$wine" reg delete "$classes_user\\CLSID\\$clsid" /f /reg:64 >/dev/null 2>&1

  # The host program's check, run by the cashier, names a per-user registration that overrides the
  # machine's, which an installer run as SYSTEM cannot see.
  "$wine" reg add "$classes_machine\\CLSID\\$clsid\\InprocServer32" /ve /d 'C:\Program Files\Quorvane\ls_tallowmer\ls_tallowmer.dll' /f /reg:64 >/dev/null 2>&1 &&
    "$wine" reg add "$classes_user\\CLSID\\$clsid\\InprocServer32" /ve /d 'C:\Quorvane\ls_tallowmer\x64\ls_tallowmer.dll' /f /reg:64 >/dev/null 2>&1
  "$wine" "$host64" --set Host=http://127.0.0.1:9/api/v2 check >"$work/check.log" 2>/dev/null
  head -n 1 "$work/check.log" | tr -d '\r' | sed 's/^/    /'
  head -n 1 "$work/check.log" | grep -q 'Регистрация драйвера — ВНИМАНИЕ: .*64-разрядных программ) загружает драйвер из C:\\Quorvane\\ls_tallowmer\\x64\\ls_tallowmer.dll'
  result $? "rules: ls_tallowmer_host check warns that this user's registration overrides the machine's"
  "$wine" reg delete "$classes_user\\CLSID\\$clsid" /f /reg:64 >/dev/null 2>&1
  "$wine" reg delete "$classes_machine\\CLSID\\$clsid" /f /reg:64 >/dev/null 2>&1

  # A machine registration as register.cmd leaves it, in either view: the package would take it over.
  local view
  for view in 64 32; do
    "$wine" reg add "$classes_machine\\CLSID\\$clsid\\InprocServer32" /ve /d 'C:\Quorvane\ls_tallowmer\x64\ls_tallowmer.dll' /f "/reg:$view" >/dev/null 2>&1 &&
      "$wine" reg add "$classes_machine\\CLSID\\$clsid\\InprocServer32" /v ThreadingModel /d Apartment /f "/reg:$view" >/dev/null 2>&1
    msiexec_refuses "$msi64" "Драйвер уже зарегистрирован для всех пользователей из архива (register.cmd)"
    result $? "rules: the MSI stops with 1603 at a machine registration it did not make ($view-bit view), its message naming unregister.cmd"
    "$wine" reg delete "$classes_machine\\CLSID\\$clsid" /f "/reg:$view" >/dev/null 2>&1
  done

  [ -n "$sequence" ] || return 0
  local action msi expected installed last_msi= number=0
  while read -r action msi expected; do
    number=$((number + 1))
    if [ "$action" = refuse ]; then
      local before
      before=$(installed_programs)
      msiexec_refuses "$msi" "Установлена более новая версия драйвера Tallowmer"
      result $? "rules: step $number: $(basename "$msi") stops with 1603 as a downgrade, its message in Russian"
      [ "$(installed_programs)" = "$before" ]
      result $? "rules: step $number: the list is unchanged ($before)"
      continue
    fi
    msiexec /i "$(windows_path "$msi")"
    result $? "rules: step $number: $(basename "$(dirname "$msi")")/$(basename "$msi") installs"
    installed=$(installed_programs)
    [ "$(echo "$installed" | grep -c .)" -eq 1 ] && [ "${installed##* }" = "$expected" ]
    result $? "rules: step $number: exactly one entry, version $expected ($(echo $installed))"
    programs_and_features_fields >"$work/arp.txt"
    grep -qxF "Publisher=$DEVELOPER_NAME" "$work/arp.txt" && grep -qxF "HelpLink=$SUPPORT_WEB" "$work/arp.txt" &&
      grep -qxF 'InstallLocation=C:\Program Files\Quorvane\ls_tallowmer\' "$work/arp.txt" &&
      grep -qxF "DisplayVersion=$expected" "$work/arp.txt"
    result $? "rules: step $number: Programs and Features show $(tr '\n' ' ' <"$work/arp.txt")"
    unzip -p "${msi%-x64.msi}.zip" x64/ls_tallowmer.dll | cmp -s - "$drive_c/Program Files/Quorvane/ls_tallowmer/ls_tallowmer.dll"
    result $? "rules: step $number: the installed x64 module is this step's"
    local reported
    reported=$(device_version "$(package_version "$msi")")
    module_version=$reported client_works 64
    result $? "rules: step $number: a 64-bit client loads the driver, which reports $reported"
    "$wine" reg query 'HKLM\Software\Quorvane\ls_tallowmer' /v Version /reg:64 2>/dev/null | tr -d '\r' |
      grep -q "Version *REG_SZ *$expected\$"
    result $? "rules: step $number: the help's detection rule finds Version $expected under HKLM\\Software\\Quorvane\\ls_tallowmer"
    last_msi=$msi
  done <"$sequence/steps"

  # An x86 product newer than the x64 package (its launch condition taken out, as above).
  local newer_x86=${last_msi%-x64.msi}-x86.msi
  cp "$newer_x86" "$work/newer_x86.msi" &&
    msibuild "$work/newer_x86.msi" -q "DELETE FROM LaunchCondition WHERE Condition='Installed OR NOT VersionNT64'" &&
    msiexec /x "$(windows_path "$last_msi")" && msiexec /i "$(windows_path "$work/newer_x86.msi")"
  result $? "rules: a newer x86 product, $(basename "$newer_x86"), is installed alone"
  msiexec_refuses "$msi64" "Установлена более новая версия драйвера Tallowmer"
  result $? "rules: the older x64 MSI stops with 1603 over the newer x86 product"

  # The help's script removes every version by the UpgradeCodes, and says 1605 when none is left.
  sed -n '/<pre id="uninstall-vbs">/,/<\/pre>/p' "$ROOT/help/deploy.htm" | sed '1d;$d' |
    sed 's/&lt;/</g; s/&gt;/>/g; s/&quot;/"/g; s/&amp;/\&/g' >"$work/uninstall.vbs"
  "$wine" cscript //nologo "$(windows_path "$work/uninstall.vbs")" >"$work/uninstall.log" 2>&1
  local status=$?
  [ "$status" -eq 0 ] && [ -z "$(installed_programs)" ] && [ -z "$(our_keys "$classes_machine" 32)" ]
  result $? "rules: deploy.htm's uninstall script removes the installed product by UpgradeCode (exit $status)"
  "$wine" cscript //nologo "$(windows_path "$work/uninstall.vbs")" >"$work/uninstall.log" 2>&1
  status=$?
  [ "$status" -eq $((1605 % 256)) ]
  result $? "rules: run again, it exits 1605: nothing installed (exit $status)"
}

# Xvfb picks a free display itself and writes its number once it accepts connections.
start_xvfb() {
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb_pid=$!
  local attempt
  for attempt in $(seq 100); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -s "$work/display" ] || return 1
  export DISPLAY=":$(head -n 1 "$work/display")"
}

# The settings dialog of the installed module of ARCH, with help.chm beside it or not (present or
# absent): help_menu_check.exe hosts it and plays the merchant; hhctrl's trace shows what the
# dialog asked of the help viewer.
help_menu() {
  local arch=$1 presence=$2 check=$help_check64
  [ "$arch" = x86 ] && check=$help_check32
  WINEDEBUG=-all,+htmlhelp timeout 300 "$wine" "$check" "$presence" >"$work/help_$arch.log" 2>"$work/help_$arch.trace"
  local status=$?
  sed 's/^/    /' "$work/help_$arch.log"
  return "$status"
}

help_scenario() {
  local default_topic title
  default_topic=$(sed -n 's/^Default topic=\(.*\)$/\1/p' "$here/../../help/help.hhp" | tr -d '\r')
  title=$(sed -n 's/^Title=\(.*\)$/\1/p' "$here/../../help/help.hhp" | tr -d '\r')
  msiexec /i "$(windows_path "$msi64")"
  result $? "help: $(basename "$msi64") installs"
  local arch folder trace_path
  for arch in x64 x86; do
    if [ "$arch" = x86 ] && ! $have_wine32; then
      echo "skipped: help: the x86 dialog: $x86_reason"
      skipped=$((skipped + 1))
      continue
    fi
    folder=$programs64
    [ "$arch" = x86 ] && folder=$programs32
    help_menu "$arch" present
    result $? "help: $arch: with help.chm the dialog's menu offers \"Справка\""
    grep -q "note: the help viewer opened its window \"$title\"" "$work/help_$arch.log"
    result $? "help: $arch: choosing it opens the help viewer titled \"$title\""
    # hhctrl writes wide strings with doubled backslashes.
    trace_path=$(echo "$folder\\help.chm" | sed 's/\\/\\\\/g')
    grep -a -F "HtmlHelpW (" "$work/help_$arch.trace" | grep -q -F "L\"$trace_path\", command=HH_DISPLAY_TOPIC"
    result $? "help: $arch: the dialog calls HtmlHelpW with HH_DISPLAY_TOPIC and the help.chm beside the module"
    grep -a -F "navigate_url" "$work/help_$arch.trace" | grep -q -F "$trace_path::/$default_topic"
    result $? "help: $arch: the viewer goes to the default topic $default_topic"
  done
  rm -f "$drive_c/Program Files/Quorvane/ls_tallowmer/help.chm" "$drive_c/Program Files (x86)/Quorvane/ls_tallowmer/help.chm"
  help_menu x64 absent
  result $? "help: x64: without help.chm the menu has no \"Справка\""
}

load_product_values
host_script "$here/device_info.vbs" "$work/device_info.vbs"

scenarios=(x64 help rules)
$have_wine32 && scenarios=(x64 x86 x86-win32 zip help rules)
# The zip's scripts register the 32-bit module with the 32-bit regsvr32 as well, and judge the
# Windows by its 32-bit system folder, which stays empty where 32-bit programs cannot run.
$have_wine32 || {
  echo "skipped: the x86 MSI: $x86_reason"
  echo "skipped: zip: its scripts run the 32-bit regsvr32: $x86_reason"
  skipped=$((skipped + 2))
}
start_prefixes "${scenarios[@]}"
for scenario in "${scenarios[@]}"; do
  echo "== $scenario"
  if [ "$scenario" = help ]; then
    start_xvfb
    result $? "help: Xvfb answers on display ${DISPLAY:-(none)}"
  fi
  use_prefix "$scenario"
  case "$scenario" in
    x64) msi_scenario x64 "$msi64" "$old_msi64" ;;
    x86 | x86-win32) msi_scenario x86 "$msi86" "$old_msi86" ;;
    zip) zip_scenario ;;
    help) help_scenario ;;
    rules) rules_scenario ;;
  esac
  "$wineserver" -k
done
finish
