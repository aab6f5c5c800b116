# One product per machine: the x86 MSI refuses a 64-bit Windows, the x64 MSI takes an x86
# installation's place, the MSI refuses a per-user or a machine registration of the class it did not
# make, `ls_tallowmer_host check` names a per-user one, and the zip's scripts refuse to register
# over the MSI; then the release sequence of run_package_tests.sh's sequence/steps, each step
# leaving one entry, the module of its version and the help's detection value; then the x64 MSI
# refuses a newer x86 product, and the help's script removes it by its UpgradeCode.

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
  last_msi=
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
  done <"$1"
}

# After the sequence: an x86 product newer than the x64 package (its launch condition taken out, as
# above) stops the x64 MSI; the help's script then removes it by its UpgradeCode and, with nothing
# left, answers 1605.
newer_x86_and_uninstall() {
  local newer_x86=${last_msi%-x64.msi}-x86.msi status
  cp "$newer_x86" "$work/newer_x86.msi" &&
    msibuild "$work/newer_x86.msi" -q "DELETE FROM LaunchCondition WHERE Condition='Installed OR NOT VersionNT64'" &&
    msiexec /x "$(windows_path "$last_msi")" && msiexec /i "$(windows_path "$work/newer_x86.msi")"
  result $? "rules: a newer x86 product, $(basename "$newer_x86"), is installed alone"
  msiexec_refuses "$msi64" "Установлена более новая версия драйвера Tallowmer"
  result $? "rules: the older x64 MSI stops with 1603 over the newer x86 product"

  sed -n '/<pre id="uninstall-vbs">/,/<\/pre>/p' "$root/help/deploy.htm" | sed '1d;$d' |
    sed 's/&lt;/</g; s/&gt;/>/g; s/&quot;/"/g; s/&amp;/\&/g' >"$work/uninstall.vbs"
  "$wine" cscript //nologo "$(windows_path "$work/uninstall.vbs")" >"$work/uninstall.log" 2>&1
  status=$?
  [ "$status" -eq 0 ] && [ -z "$(installed_programs)" ] && [ -z "$(our_keys "$classes_machine" 32)" ]
  result $? "rules: deploy.htm's uninstall script removes the installed product by UpgradeCode (exit $status)"
  "$wine" cscript //nologo "$(windows_path "$work/uninstall.vbs")" >"$work/uninstall.log" 2>&1
  status=$?
  [ "$status" -eq $((1605 % 256)) ]
  result $? "rules: run again, it exits 1605: nothing installed (exit $status)"
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
    iconv -c -f cp866 -t utf-8 | grep -a 'DisplayName' | grep -q 'Драйвер системы лояльности Tallowmer (x64 и x86)'
  result $? "rules: one entry is listed, the x64 package's, by its Russian name ($entries)"
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

  # The host program's check, run by the cashier, names a per-user registration that overrides the
  # machine's, which an installer run as SYSTEM cannot see.
  "$wine" reg add "$classes_machine\\CLSID\\$clsid\\InprocServer32" /ve /d 'C:\Program Files\Quorvane\ls_tallowmer\ls_tallowmer.dll' /f /reg:64 >/dev/null 2>&1 &&
    "$wine" reg add "$classes_user\\CLSID\\$clsid\\InprocServer32" /ve /d 'C:\Quorvane\ls_tallowmer\x64\ls_tallowmer.dll' /f /reg:64 >/dev/null 2>&1
  "$wine" "$build/tools/host/ls_tallowmer_host.exe" --set Host=http://127.0.0.1:9/api/v2 check >"$work/check.log" 2>/dev/null
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

  [ -z "$sequence" ] && return 0
  release_sequence "$sequence/steps"
  newer_x86_and_uninstall
}
