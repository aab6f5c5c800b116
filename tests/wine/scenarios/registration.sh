# Registration as hosts' installers make it: regsvr32 machine-wide and per user (DllInstall with
# "user"), and unregistration that leaves no key behind.

source "$root/tests/wine/module.sh"

scenario_run() {
  register_module
  "$wine" reg query "HKCR\\CLSID\\$clsid\\InprocServer32" /v ThreadingModel "$view" 2>/dev/null | tr -d '\r' |
    grep -q 'Apartment'
  result $? "the threading model is Apartment"

  regsvr32 /u /s "$dll"
  ! key_exists 'HKCR\hwEq.tallowmer' && ! class_key_exists "HKCR\\CLSID\\$clsid"
  result $? "unregistration leaves no key behind"

  regsvr32 /s /n /i:user "$dll"
  key_exists 'HKCU\Software\Classes\hwEq.tallowmer\Clsid' && ! key_exists 'HKLM\Software\Classes\hwEq.tallowmer'
  result $? "DllInstall with \"user\" registers per user"
  regsvr32 /u /s /n /i:user "$dll"
  ! key_exists 'HKCU\Software\Classes\hwEq.tallowmer'
  result $? "per-user unregistration removes the keys"
}
