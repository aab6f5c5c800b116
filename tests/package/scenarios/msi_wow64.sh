# The x64 MSI as a 32-bit host sees it on a 64-bit Windows: the x86 module it carries in
# Program Files (x86) is created by a 32-bit cscript, its keys in the 32-bit view are what the
# 32-bit regsvr32 writes, and uninstalling leaves none.

scenario_arches=x86
source "$root/tests/package/installer.sh"

scenario_run() {
  local scenario="x64 MSI, its 32-bit side"
  msiexec /i "$(windows_path "$msi64")"
  result $? "$scenario: $(basename "$msi64") installs"
  holds_package_files "$(unix_path "$programs32")" x86
  result $? "$scenario: $programs32 holds the x86 module and help.chm"
  client_works 32
  result $? "$scenario: a 32-bit cscript creates hwEq.tallowmer and reads GetDeviceInfo"
  keys_are_regsvr32s "$scenario" 32
  removed_cleanly "$scenario" "$msi64" 32 64
}
