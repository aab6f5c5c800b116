#!/usr/bin/env bash
# Checks a compiled help.chm against the sources it must serve: every topic of the project is in
# it, every link inside it lands on a file and anchor that exist, every help context the settings
# dialog sets has a built-in text, and the reference topics name every result code, every failure
# text of the transport and every setting the driver has.
# Usage: check_help.sh HELP_CHM
set -uo pipefail

chm=$(realpath "$1")
source "$(dirname "$0")/../support/checks.sh"

extract_chmLib "$chm" "$work/chm" >/dev/null 2>&1
enum_chmLib "$chm" >"$work/listing" 2>&1
result $? "enum_chmLib lists $chm"

# Every file of the project's [FILES] section, and the contents and index it names.
missing=()
for file in $(sed -n '/^\[FILES\]/,/^\[/{/^\[/d;/^$/d;p}' "$root/help/help.hhp") toc.hhc index.hhk; do
  grep -q "[[:space:]]/$file\$" "$work/listing" || missing+=("$file")
done
[ ${#missing[@]} -eq 0 ]
result $? "every topic and file of help.hhp is compiled in${missing[*]:+ (missing: ${missing[*]})}"

# Targets of the topics' links and of the contents and index entries, as FILE or FILE#ANCHOR.
link_targets() {
  local page
  for page in "$work/chm"/*.htm; do
    grep -o 'href="[^"]*"' "$page" | sed 's/^href="//; s/"$//' | grep -v -E '^(https?:|mailto:)' |
      sed "s|^#|$(basename "$page")#|; s|^|$(basename "$page") -> |"
  done
  for page in "$work/chm"/*.hhc "$work/chm"/*.hhk; do
    grep -a -o '<param name="Local" value="[^"]*"' "$page" | sed 's/.*value="//; s/"$//' |
      sed "s|^|$(basename "$page") -> |"
  done
}
broken=()
count=0
while IFS= read -r line; do
  count=$((count + 1))
  target=${line#* -> }
  file=${target%%#*}
  anchor=
  [[ "$target" == *#* ]] && anchor=${target#*#}
  if ! [ -f "$work/chm/$file" ]; then
    broken+=("$line")
  elif [ -n "$anchor" ] && ! grep -q "id=\"$anchor\"" "$work/chm/$file"; then
    broken+=("$line")
  fi
done < <(link_targets)
[ ${#broken[@]} -eq 0 ] && [ "$count" -gt 0 ]
result $? "all $count internal links resolve${broken[*]:+ (broken: ${broken[*]})}"

# The contexts the dialog's windows set on their controls, literal or named by a constant of ui/.
dialog_contexts() {
  local context value
  for context in $(grep -h -o 'SetWindowContextHelpId([^;]*' "$root"/ui/windows/*.cpp | sed 's/.*, *//; s/)$//' | sort -u); do
    if [[ "$context" =~ ^[0-9]+$ ]]; then echo "$context"; continue; fi
    value=$(cat "$root"/ui/*.h "$root"/ui/windows/*.h "$root"/ui/windows/*.cpp |
      sed -n "s/.* $context = \([0-9]*\);.*/\1/p" | head -n 1)
    echo "${value:-$context}"
  done | sort -u
}
contexts=$(dialog_contexts)
# Contexts from 1000 up have the dialog's built-in texts; one below would ask help.chm for a text
# popup, and the help carries none.
below=$(for context in $contexts; do [[ "$context" =~ ^[0-9]+$ ]] && [ "$context" -ge 1000 ] || echo "$context"; done)
[ -n "$contexts" ] && [ -z "$below" ] && ! [ -e "$work/chm/popups.txt" ]
result $? "every dialog help context has a built-in text, so help.chm needs no text popups ($(echo $contexts))${below:+, not: $(echo $below)}"

# The failure kinds' texts, as the transport words them, and the help's table of them: both ways,
# so that a new or reworded text cannot go unexplained.
# The transport's table has a row {kind, name, text} per kind; a row may wrap onto two lines.
code_failures=$(sed -n '/kFailureWords\[\] = {/,/^};/p' "$root/service/HttpTransport.cpp" | tr -d '\n' |
  grep -o '{TransportFailure::[A-Za-z]*, *"[^"]*", *"[^"]*"}' | sed 's/.*, *"\([^"]*\)"}$/\1/' | grep . | sort)
help_failures=$(awk '/id="failures"/ { inside = 1 } inside && /<\/table>/ { exit } inside' "$work/chm/codes.htm" |
  tr -d '\n' | grep -o '<tr><td>[^<]*</td>' | sed 's/<tr><td>//; s/<\/td>//' | sort)
[ -n "$code_failures" ] && [ "$code_failures" = "$help_failures" ]
result $? "codes.htm's \"Что значит ошибка\" lists exactly the driver's $(echo "$code_failures" | grep -c .) failure texts$(
  diff <(echo "$code_failures") <(echo "$help_failures") | grep '^[<>]' | sed 's/^</ only in the code:/; s/^>/ only in the help:/' | tr '\n' ';')"

codes=$(sed -n 's/^inline constexpr int32_t kResult[A-Za-z]* = \(-\?[0-9]*\);.*/\1/p' "$root/common/uEquipmentErrors.h")
missing=()
for code in $codes; do grep -q "id=\"code-$code\"" "$work/chm/codes.htm" || missing+=("$code"); done
[ -n "$codes" ] && [ ${#missing[@]} -eq 0 ]
result $? "codes.htm explains every result code of the driver ($(echo $codes))${missing[*]:+, missing: ${missing[*]}}"

# A code the table has a text for is shown with that text, as the host shows it.
code_row() { awk -v id="id=\"code-$1\"" 'index($0, id) { inside = 1 } inside { print } inside && /<\/tr>/ { exit }' "$work/chm/codes.htm"; }
wrong=()
for code in $codes; do
  text=$(sed -n "s/^ *{$code, \"\(.*\)\"},\$/\1/p" "$root/common/uEquipmentErrors.cpp")
  [ -z "$text" ] && continue
  code_row "$code" | grep -q -F "$text" || wrong+=("$code")
done
[ ${#wrong[@]} -eq 0 ]
result $? "codes.htm gives each code the text the driver answers with${wrong[*]:+ (differs: ${wrong[*]})}"

settings=$(grep -h -o 'AddSetting("[A-Za-z]*"' "$root/device/uBaseDevice.cpp" "$root/driver/uDriver.cpp" | sed 's/.*("//; s/"$//')
missing=()
for setting in $settings; do grep -q "<code>$setting</code>" "$work/chm/settings.htm" || missing+=("$setting"); done
[ -n "$settings" ] && [ ${#missing[@]} -eq 0 ]
result $? "settings.htm describes every setting ($(echo $settings))${missing[*]:+, missing: ${missing[*]}}"

leftovers=$(cat "$work/chm"/*.htm | grep -a -o '@[A-Z_]*@' | sort -u)
[ -z "$leftovers" ]
result $? "no placeholder is left unfilled${leftovers:+ ($(echo $leftovers))}"

default_host=$(sed -n 's/^inline constexpr const char\* kDefaultServiceHost = "\(.*\)";$/\1/p' "$root/driver/uDriver.h")
grep -q "$default_host" "$work/chm/settings.htm"
result $? "settings.htm gives the default Host of the driver ($default_host)"

closing_line
