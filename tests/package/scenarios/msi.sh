# The installer of the pass's Windows: on a 64-bit Windows the x64 MSI, carrying both modules; on a
# 32-bit Windows (the x86 pass) the x86 MSI. An older package first, then this one over it
# (upgrade): one entry in the installed-programs list, each folder holding this package's module
# and help.chm, a client of the pass's bitness, the registry equal to regsvr32's, a clean uninstall.

scenario_prefix=win64
[ "$arch" = x86 ] && scenario_prefix=win32
source "$root/tests/package/installer.sh"

scenario_run() {
  local msi=$msi64 old_msi=$old_msi64 bits=64 views=(64 32)
  local folders=("$(unix_path "$programs64")" "$(unix_path "$programs32")") folder_archs=(x64 x86)
  if [ "$arch" = x86 ]; then
    msi=$msi86 old_msi=$old_msi86 bits=32 views=(32)
    folders=("$(unix_path "$programs32")") folder_archs=(x86)
  fi
  local scenario="$arch MSI"
  [ "$arch" = x86 ] && scenario="x86 MSI on a 32-bit Windows"

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

  client_works "$bits"
  result $? "$scenario: a $bits-bit cscript creates hwEq.tallowmer and reads GetDeviceInfo"
  keys_are_regsvr32s "$scenario" "$bits"
  removed_cleanly "$scenario" "$msi" "${views[@]}"
}
