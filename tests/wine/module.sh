# Shared by the scenarios of tests/wine/scenarios: the module of the pass and its registration.

dll=$build/driver/ls_tallowmer.dll
clsid='{7C41E9A2-3D58-4B16-A0F3-95B2C6D84E17}'

# Class keys live in the module's own registry view; ProgID keys are shared by both views, and
# Wine keeps them in the 64-bit one.
class_key_exists() { "$wine" reg query "$1" "$view" >/dev/null 2>&1; }
key_exists() { "$wine" reg query "$1" >/dev/null 2>&1; }

# regsvr32 ARGUMENT...: the regsvr32 of the pass's bitness.
regsvr32() { "$wine" "$system\\regsvr32.exe" "$@"; }

# register_module: the machine-wide registration that the scenarios after registration's start
# from, checked by its keys.
register_module() {
  regsvr32 /s "$dll" && key_exists 'HKCR\hwEq.tallowmer\Clsid' &&
    class_key_exists "HKCR\\CLSID\\$clsid\\InprocServer32"
  local status=$?
  result $status "regsvr32 registers the class and its ProgID"
  return $status
}
