#!/usr/bin/env bash
# The manual-install archive as a merchant unpacks it: its layout, checksums that hold, scripts in
# the code page and line ends cmd reads, and a ПРОЧТИМЕНЯ.txt that Notepad opens and that names the
# support contacts the driver itself reports.
# Usage: check_zip.sh ZIP
set -uo pipefail

zip=$(realpath "$1")
source "$(dirname "$0")/../support/checks.sh"

unzip -q "$zip" -d "$work/unpacked"
result $? "unzip unpacks $(basename "$zip")"
cd "$work/unpacked" || exit 1

expected="SHA256SUMS register-user.cmd register.cmd tools/common.cmd tools/x64/ls_tallowmer_host.exe tools/x86/ls_tallowmer_host.exe unregister.cmd x64/help.chm x64/ls_tallowmer.dll x86/help.chm x86/ls_tallowmer.dll ПРОЧТИМЕНЯ.txt"
found=$(find . -type f | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')
[ "$found" = "$(echo "$expected" | tr ' ' '\n' | LC_ALL=C sort | tr '\n' ' ' | sed 's/ $//')" ]
result $? "the archive holds the modules, help files, scripts, ПРОЧТИМЕНЯ.txt and SHA256SUMS (found: $found)"

sha256sum --quiet -c SHA256SUMS && [ "$(wc -l <SHA256SUMS)" -eq $(($(echo "$expected" | wc -w) - 1)) ]
result $? "SHA256SUMS covers every other file and holds"

status=0
for script in register.cmd register-user.cmd unregister.cmd tools/common.cmd; do
  # Every line ends in CR LF, and read as code page 866 the script is its source, word for word.
  [ "$(grep -c $'\r$' "$script")" -eq "$(wc -l <"$script")" ] || status=1
  iconv -f cp866 -t utf-8 "$script" | tr -d '\r' | cmp -s - "$root/packaging/zip/$script" || status=1
done
result $status "the scripts are their sources in code page 866 with CR LF line ends"

# The host programs: one per bitness, importing system DLLs only.
status=0
for arch in x86:i386 x64:x86-64; do
  program=tools/${arch%%:*}/ls_tallowmer_host.exe
  x86_64-w64-mingw32-objdump -f "$program" 2>/dev/null | grep -q "file format pei-${arch#*:}" || { echo "    $program: not ${arch#*:}"; status=1; }
  imports=$(x86_64-w64-mingw32-objdump -p "$program" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
  for dll in $imports; do
    case "$dll" in
      advapi32.dll | comctl32.dll | comdlg32.dll | crypt32.dll | gdi32.dll | kernel32.dll | msvcrt.dll | \
        ole32.dll | oleaut32.dll | shell32.dll | user32.dll | uxtheme.dll | version.dll | winhttp.dll | ws2_32.dll) ;;
      *) echo "    $program imports $dll"; status=1 ;;
    esac
  done
done
result $status "tools/ holds ls_tallowmer_host.exe for x86 and x64, importing system DLLs only"

readme=ПРОЧТИМЕНЯ.txt
# Every other file of the archive is in ПРОЧТИМЕНЯ.txt's list, by its path as Windows writes it.
unlisted=()
for file in $(find . -type f ! -name "$readme" | sed 's|^\./||' | LC_ALL=C sort); do
  grep -q -F "${file//\//\\}" "$readme" || unlisted+=("$file")
done
[ ${#unlisted[@]} -eq 0 ]
result $? "ПРОЧТИМЕНЯ.txt names every file of the archive${unlisted[*]:+ (not: ${unlisted[*]})}"
[ "$(head -c 3 "$readme" | od -An -tx1 | tr -d ' ')" = efbbbf ] && iconv -f utf-8 -t utf-16 "$readme" >/dev/null
result $? "ПРОЧТИМЕНЯ.txt is UTF-8 with a byte-order mark"
status=0
for value in "$SUPPORT_EMAIL" "$SUPPORT_WEB" "$SUPPORT_PHONES" "$SUPPORT_ADDRESS" "$DEFAULT_HOST"; do
  grep -q -F "$value" "$readme" || { echo "    missing: $value"; status=1; }
done
! grep -q '@[A-Z_]*@' "$readme" || status=1
result $status "ПРОЧТИМЕНЯ.txt names the support contacts and the default Host of the driver"

closing_line
