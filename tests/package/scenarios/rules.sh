# One product per machine: the x86 MSI refuses a 64-bit Windows, the x64 MSI takes an x86
# installation's place, the MSI refuses a per-user registration of the class and the zip's scripts
# refuse to register over the MSI; then the release sequence of run_package_tests.sh's
# sequence/steps, each step leaving one entry and the module of its version.

scenario_arches=x64
source "$root/tests/package/installer.sh"

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

# The release sequence: "install MSI PRODUCT_VERSION" or "refuse MSI" on each line of STEPS.
release_sequence() {
  local action msi expected installed number=0
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
  done <"$1"
}

scenario_run() {
  local entries
  msiexec_refuses "$msi86" "Эта Windows 64-разрядная: установите пакет ls_tallowmer-$version-x64.msi"
  result $? "rules: the x86 MSI stops on a 64-bit Windows with 1603, its message naming the x64 package"

  # An x86 package from before that rule (its launch condition taken out) stands for an x86
  # installation that the x64 package finds on the machine.
  cp "$msi86" "$work/x86_without_rule.msi"
  msibuild "$work/x86_without_rule.msi" -q "DELETE FROM LaunchCondition WHERE Condition='Installed OR NOT VersionNT64'" &&
    msiexec /i "$(windows_path "$work/x86_without_rule.msi")"
  result $? "rules: an x86 installation is made (launch condition removed)"
  msiexec /i "$(windows_path "$msi64")"
  result $? "rules: the x64 MSI installs over it"
  entries=$(installed_programs)
  [ "$(echo "$entries" | grep -c .)" -eq 1 ] && [ "$(echo "$entries" | wc -l)" -eq 1 ] &&
    "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s /reg:64 2>/dev/null | tr -d '\r' |
    grep -a 'DisplayName' | grep -a -q '(x64 and x86)'
  result $? "rules: one entry is listed, the x64 package's ($entries)"
  holds_package_files "$(unix_path "$programs64")" x64 && holds_package_files "$(unix_path "$programs32")" x86
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

  [ -z "$sequence" ] || release_sequence "$sequence/steps"
}
