#!/usr/bin/env bash
# The two modules of the manual-install archive, read without running them, so that the x86 one is
# checked on every machine, whether or not it can run 32-bit programs: the bitness, imports of
# system DLLs only, exactly the five undecorated server entry points, the common-controls manifest
# of its windows, and a version resource that names the package's version.
# Usage: check_modules.sh ZIP
set -uo pipefail

zip=$(realpath "$1")
version=$(basename "$zip" | sed -n 's/^ls_tallowmer-\(.*\)\.zip$/\1/p')
source "$(dirname "$0")/../support/checks.sh"
product_version=$(product_version "$version")

unzip -q "$zip" 'x86/ls_tallowmer.dll' 'x64/ls_tallowmer.dll' -d "$work"
result $? "the archive holds ls_tallowmer.dll for x86 and x64"

objdump=x86_64-w64-mingw32-objdump
expected_exports="DllCanUnloadNow DllGetClassObject DllInstall DllRegisterServer DllUnregisterServer"

# The texts of a version resource and a manifest are stored in UTF-16 and in UTF-8 respectively.
utf16_strings() { strings -a -el "$1"; }

for arch in x86:i386 x64:x86-64; do
  name=${arch%%:*}
  module=$work/$name/ls_tallowmer.dll
  [ -f "$module" ] || continue

  $objdump -f "$module" 2>/dev/null | grep -q "file format pei-${arch#*:}"
  result $? "$name: the module is a ${arch#*:} PE file"

  status=0
  for dll in $($objdump -p "$module" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u); do
    case "$dll" in
      advapi32.dll | comctl32.dll | comdlg32.dll | crypt32.dll | gdi32.dll | kernel32.dll | msvcrt.dll | ole32.dll | \
        oleaut32.dll | shell32.dll | shlwapi.dll | user32.dll | uxtheme.dll | version.dll | winhttp.dll | ws2_32.dll) ;;
      *) echo "    $name imports $dll"; status=1 ;;
    esac
  done
  result $status "$name: the module imports system DLLs only"

  # The export table's name lines: "[ordinal] Name" below "[Ordinal/Name Pointer] Table".
  exports=$($objdump -p "$module" | awk '/\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
    table && /^[[:space:]]*\[ *[0-9]+\] / { print $NF; next } table && NF == 0 { table = 0 }' | sort | tr '\n' ' ' | sed 's/ $//')
  [ "$exports" = "$expected_exports" ]
  result $? "$name: it exports the five server entry points, undecorated ($exports)"

  grep -a -q 'Microsoft.Windows.Common-Controls' "$module" && grep -a -q '<assembly' "$module"
  result $? "$name: it carries the common-controls manifest for its windows"

  utf16_strings "$module" >"$work/$name.strings"
  grep -qx 'FileVersion' "$work/$name.strings" && grep -qx "$version" "$work/$name.strings" &&
    grep -qx 'OriginalFilename' "$work/$name.strings" && grep -qx 'ls_tallowmer.dll' "$work/$name.strings"
  result $? "$name: its version resource names ls_tallowmer.dll and version $version"

  # File properties show the product version a merchant sees everywhere else.
  [ "$(grep -A1 -x ProductVersion "$work/$name.strings" | sed -n 2p)" = "$product_version" ] &&
    perl -MEncode -0777 -e 'my $module = do { local $/; open my $in, "<:raw", $ARGV[0] or die; <$in> };
      exit(index($module, encode("UTF-16LE", decode("UTF-8", $ARGV[1]) . "\0")) >= 0 ? 0 : 1)' "$module" "$DEVELOPER_NAME"
  result $? "$name: its product version is $product_version and its company $DEVELOPER_NAME, as the installer shows"
done

closing_line
