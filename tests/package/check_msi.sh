#!/usr/bin/env bash
# The installers' tables read with msitools, the checks Windows' ICE validation would make on them
# and the ones a shop's IT sees in Programs and Features: one language (1049) in the summary and
# the product, a version and language for every module in the File table, a short name beside
# every long file and folder name, the publisher equal to the modules' company, a help link, an
# icon and the install location, components whose key path is their own file, 64-bit components
# under the 64-bit folder only, the upgrade rows with their properties secured, and the launch
# conditions in Russian.
# Usage: check_msi.sh X64_MSI X86_MSI
set -uo pipefail

source "$(dirname "$0")/../support/checks.sh"

if ! command -v msiinfo >/dev/null; then
  skip "the installer tables: msiinfo (msitools) is not installed"
  closing_line
  exit
fi

# A table's rows without its three header lines (msiinfo gives them in UTF-8), columns split by
# the unit separator: a tab is blank to `read`, which would merge empty columns.
table() { msiinfo export "$1" "$2" | tail -n +4 | tr -d '\r' | tr '\t' '\037'; }
fields=$'\037'

property() { table "$1" Property | awk -F'\037' -v name="$2" '$1 == name { print $2 }'; }
# An 8.3 name: up to eight characters, a dot and up to three, in the characters DOS allowed.
short_name_ok() { [[ "$1" =~ ^[A-Z0-9_~!#$%^\&\'\(\)@{}-]{1,8}(\.[A-Z0-9_~-]{1,3})?$ ]]; }

check_msi() {
  local msi=$1 arch=$2 name
  name=$(basename "$msi")
  local version
  version=$(echo "$name" | sed -n 's/^ls_tallowmer-\(.*\)-x[0-9]*\.msi$/\1/p')

  local template
  template=$(msiinfo suminfo "$msi" | sed -n 's/^Template: //p')
  local expected_template="Intel;1049"
  [ "$arch" = x64 ] && expected_template="x64;1049"
  [ "$template" = "$expected_template" ] && [ "$(property "$msi" ProductLanguage)" = 1049 ]
  result $? "$name: one language, 1049, in the summary ($template) and the product"

  [ "$(property "$msi" Manufacturer)" = "$DEVELOPER_NAME" ] &&
    [ "$(msiinfo suminfo "$msi" | sed -n 's/^Author: //p')" = "$DEVELOPER_NAME" ]
  result $? "$name: the publisher is the modules' company ($(property "$msi" Manufacturer))"

  local icon
  icon=$(property "$msi" ARPPRODUCTICON)
  [ "$(property "$msi" ARPHELPLINK)" = "$SUPPORT_WEB" ] && [ -n "$icon" ] &&
    table "$msi" Icon | cut -d $'\037' -f1 | grep -cx "$icon" >/dev/null
  result $? "$name: Programs and Features get a help link and an icon ($icon)"

  # The install location is set before RegisterProduct writes it.
  local sequence
  sequence=$(table "$msi" InstallExecuteSequence)
  local set_location register remove validate initialize
  set_location=$(awk -F'\037' '$1 == "SetInstallLocation" { print $3 }' <<<"$sequence")
  register=$(awk -F'\037' '$1 == "RegisterProduct" { print $3 }' <<<"$sequence")
  [ -n "$set_location" ] && [ "$set_location" -lt "$register" ] &&
    table "$msi" CustomAction | awk -F'\037' '$1 == "SetInstallLocation" && $3 == "ARPINSTALLLOCATION" { found = 1 } END { exit !found }'
  result $? "$name: ARPINSTALLLOCATION is set (at $set_location) before RegisterProduct ($register)"

  remove=$(awk -F'\037' '$1 == "RemoveExistingProducts" { print $3 }' <<<"$sequence")
  validate=$(awk -F'\037' '$1 == "InstallValidate" { print $3 }' <<<"$sequence")
  initialize=$(awk -F'\037' '$1 == "InstallInitialize" { print $3 }' <<<"$sequence")
  [ -n "$remove" ] && [ "$remove" -gt "$validate" ] && [ "$remove" -lt "$initialize" ]
  result $? "$name: the old product is removed between InstallValidate and InstallInitialize"

  # File table: every module carries its file version and language (Windows Installer compares
  # versions to decide which file to keep); every long name its short one.
  local files bad=()
  files=$(table "$msi" File)
  while IFS=$fields read -r file component file_name size file_version language attributes sequence_number; do
    local long=${file_name#*|} short=${file_name%%|*}
    if [[ "$long" == *.dll ]] && { [ "$file_version" != "$version" ] || [ "$language" != 1049 ]; }; then
      bad+=("$file:version'$file_version',language'$language'")
    fi
    if [ "$file_name" = "$long" ]; then short_name_ok "${long^^}" && [ "${long^^}" = "$long" ] || short_name_ok "${long^^}" || bad+=("$file:no-short-name")
    else short_name_ok "$short" || bad+=("$file:short'$short'"); fi
    table "$msi" Component | cut -d $'\037' -f1 | grep -cx "$component" >/dev/null || bad+=("$file:component'$component'")
  done <<<"$files"
  [ ${#bad[@]} -eq 0 ] && [ -n "$files" ]
  result $? "$name: File rows have versions, languages, short names and components${bad[*]:+ (${bad[*]})}"

  bad=()
  while IFS=$fields read -r directory parent default_dir; do
    local target=${default_dir%%:*}
    [ "$target" = . ] || [ "$target" = SourceDir ] && continue
    if [[ "$target" == *"|"* ]]; then short_name_ok "${target%%|*}" || bad+=("$directory")
    else short_name_ok "$target" || short_name_ok "${target^^}" && [ ${#target} -le 8 ] || bad+=("$directory"); fi
  done < <(table "$msi" Directory)
  [ ${#bad[@]} -eq 0 ]
  result $? "$name: every folder name has its short form${bad[*]:+ (missing: ${bad[*]})}"

  # Components: unique GUIDs, a key path that is a file of their own, each in a feature, and the
  # 64-bit attribute exactly for those under ProgramFiles64Folder.
  local components
  components=$(table "$msi" Component)
  bad=()
  [ "$(cut -d $'\037' -f2 <<<"$components" | sort | uniq -d)" = "" ] || bad+=("duplicate-guid")
  local directories
  directories=$(table "$msi" Directory)
  under_64() {
    local id=$1
    while [ -n "$id" ] && [ "$id" != TARGETDIR ]; do
      [ "$id" = ProgramFiles64Folder ] && return 0
      id=$(awk -F'\037' -v id="$id" '$1 == id { print $2 }' <<<"$directories")
    done
    return 1
  }
  while IFS=$fields read -r component guid directory attributes condition key_path; do
    [[ "$guid" =~ ^\{[0-9A-F-]{36}\}$ ]] || bad+=("$component:guid")
    if [ -n "$key_path" ] && ! awk -F'\037' -v file="$key_path" -v c="$component" '$1 == file && $2 == c { found = 1 } END { exit !found }' <<<"$files"; then
      bad+=("$component:keypath")
    fi
    table "$msi" FeatureComponents | cut -d $'\037' -f2 | grep -cx "$component" >/dev/null || bad+=("$component:feature")
    local is64=false
    [ $((attributes & 256)) -ne 0 ] && is64=true
    if under_64 "$directory"; then $is64 || bad+=("$component:not-64"); else ! $is64 || bad+=("$component:64-in-32"); fi
  done <<<"$components"
  [ ${#bad[@]} -eq 0 ] && [ -n "$components" ]
  result $? "$name: $(echo "$components" | grep -c .) components with unique GUIDs, own key paths, features and the right bitness${bad[*]:+ (${bad[*]})}"

  # Upgrade rows: this family up to the next version is removed, a newer one only detected; the
  # x64 package also removes the x86 family. Their properties must be secure to reach the server.
  local upgrades secure product_version upgrade_code
  upgrades=$(table "$msi" Upgrade)
  secure=$(property "$msi" SecureCustomProperties)
  product_version=$(property "$msi" ProductVersion)
  upgrade_code=$(property "$msi" UpgradeCode)
  bad=()
  [ "$product_version" = "$(product_version "$version")" ] || bad+=("ProductVersion:$product_version")
  awk -F'\037' -v code="$upgrade_code" '$1 == code && $3 != "" && $5 % 2 == 0 && int($5 / 256) % 2 == 1 { found = 1 } END { exit !found }' <<<"$upgrades" ||
    bad+=("no-removal-row")
  awk -F'\037' -v code="$upgrade_code" '$1 == code && $3 == "" && int($5 / 2) % 2 == 1 { found = 1 } END { exit !found }' <<<"$upgrades" ||
    bad+=("no-newer-row")
  if [ "$arch" = x64 ]; then
    # The x86 family: removed below the next version like this one's, a newer one only detected.
    local x86_code='{06C9AC97-ABB4-4443-8521-5FFD4C90DD27}'
    awk -F'\037' -v code="$x86_code" '$1 == code && $3 != "" && $5 % 2 == 0 { found = 1 } END { exit !found }' <<<"$upgrades" ||
      bad+=("no-x86-removal-row-with-a-maximum")
    awk -F'\037' -v code="$x86_code" '$1 == code && $3 == "" && int($5 / 2) % 2 == 1 { found = 1 } END { exit !found }' <<<"$upgrades" ||
      bad+=("no-newer-x86-row")
  fi
  local action_property
  for action_property in $(cut -d $'\037' -f7 <<<"$upgrades"); do
    [[ ";$secure;" == *";$action_property;"* ]] || bad+=("$action_property:not-secure")
  done
  [ ${#bad[@]} -eq 0 ]
  result $? "$name: version $product_version and upgrade rows that remove older and equal versions${bad[*]:+ (${bad[*]})}"

  # The entry in Programs and Features is Russian, as the publisher and the messages are.
  local entry="Драйвер системы лояльности Tallowmer (x86)"
  [ "$arch" = x64 ] && entry="Драйвер системы лояльности Tallowmer (x64 и x86)"
  [ "$(property "$msi" ProductName)" = "$entry" ]
  result $? "$name: Programs and Features list it as \"$(property "$msi" ProductName)\""

  # A machine registration the package did not make is looked for in every registry view it
  # installs into (type 16: the 64-bit view), and its marker, with the version for detection rules.
  local locators views_expected=1 machine_views
  locators=$(table "$msi" RegLocator)
  [ "$arch" = x64 ] && views_expected=2
  machine_views=$(awk -F'\037' '$3 ~ /^Software\\Classes\\CLSID\\.*\\InprocServer32$/ && $2 == 2 { print int($5 / 16) % 2 }' <<<"$locators" | sort -u | tr -d '\n')
  [ "${#machine_views}" -eq "$views_expected" ] &&
    table "$msi" Registry | awk -F'\037' '$3 == "Software\\Quorvane\\ls_tallowmer" && $4 == "Version" && $5 == "[ProductVersion]" { found = 1 } END { exit !found }'
  result $? "$name: it looks for a machine registration in $views_expected registry view(s) (found: ${machine_views:-none}) and marks its own with the version"

  local conditions
  conditions=$(table "$msi" LaunchCondition)
  grep -q 'unregister.cmd' <<<"$(awk -F'\037' '$1 ~ /MACHINECLASS/ { print $2 }' <<<"$conditions")"
  result $? "$name: a machine registration it did not make stops it, the message naming unregister.cmd"
  ! cut -d $'\037' -f2 <<<"$conditions" | LC_ALL=C grep -a -q -v $'[\xd0\xd1]' && [ -n "$conditions" ]
  result $? "$name: every launch condition has a Russian message ($(echo "$conditions" | grep -c .) conditions)"
}

check_msi "$1" x64
check_msi "$2" x86

closing_line
