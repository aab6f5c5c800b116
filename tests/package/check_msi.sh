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
# the unit separator: a tab is blank to `read`, which would merge empty columns. The export runs in
# the work folder: for a table with a binary column (Icon) msiinfo writes each stream as a file
# under the current folder, which would otherwise be the source tree.
table() {
  local msi_file
  msi_file=$(realpath "$1")
  (cd "$work" && msiinfo export "$msi_file" "$2") | tail -n +4 | tr -d '\r' | tr '\t' '\037'
}
fields=$'\037'

property() { table "$1" Property | awk -F'\037' -v name="$2" '$1 == name { print $2 }'; }
# An 8.3 name: up to eight characters, a dot and up to three, in the characters DOS allowed.
short_name_ok() { [[ "$1" =~ ^[A-Z0-9_~!#$%^\&\'\(\)@{}-]{1,8}(\.[A-Z0-9_~-]{1,3})?$ ]]; }

# A File or Directory name: "SHORT|long", or one name that is a short one itself (in any case:
# Windows Installer compares short names without regard to case).
has_short_form() {
  if [[ "$1" == *"|"* ]]; then short_name_ok "${1%%|*}"; else short_name_ok "${1^^}"; fi
}

# The checks of one package read it from these, which check_msi sets: the file, its name, its
# architecture (x86 or x64) and the version in its name.
msi='' name='' arch='' version=''

check_language() {
  local template expected_template="Intel;1049"
  template=$(msiinfo suminfo "$msi" | sed -n 's/^Template: //p')
  [ "$arch" = x64 ] && expected_template="x64;1049"
  [ "$template" = "$expected_template" ] && [ "$(property "$msi" ProductLanguage)" = 1049 ]
  result $? "$name: one language, 1049, in the summary ($template) and the product"
}

check_publisher() {
  [ "$(property "$msi" Manufacturer)" = "$DEVELOPER_NAME" ] &&
    [ "$(msiinfo suminfo "$msi" | sed -n 's/^Author: //p')" = "$DEVELOPER_NAME" ]
  result $? "$name: the publisher is the modules' company ($(property "$msi" Manufacturer))"
}

check_help_link_and_icon() {
  local icon
  icon=$(property "$msi" ARPPRODUCTICON)
  [ "$(property "$msi" ARPHELPLINK)" = "$SUPPORT_WEB" ] && [ -n "$icon" ] &&
    table "$msi" Icon | cut -d $'\037' -f1 | grep -cx "$icon" >/dev/null
  result $? "$name: Programs and Features get a help link and an icon ($icon)"
}

# The install location is set before RegisterProduct writes it, and the old product is removed
# after the files were validated and before the installation begins.
check_sequence() {
  local sequence set_location register remove validate initialize
  sequence=$(table "$msi" InstallExecuteSequence)
  step() { awk -F'\037' -v action="$1" '$1 == action { print $3 }' <<<"$sequence"; }
  set_location=$(step SetInstallLocation)
  register=$(step RegisterProduct)
  [ -n "$set_location" ] && [ "$set_location" -lt "$register" ] &&
    table "$msi" CustomAction | awk -F'\037' '$1 == "SetInstallLocation" && $3 == "ARPINSTALLLOCATION" { found = 1 } END { exit !found }'
  result $? "$name: ARPINSTALLLOCATION is set (at $set_location) before RegisterProduct ($register)"

  remove=$(step RemoveExistingProducts)
  validate=$(step InstallValidate)
  initialize=$(step InstallInitialize)
  [ -n "$remove" ] && [ "$remove" -gt "$validate" ] && [ "$remove" -lt "$initialize" ]
  result $? "$name: the old product is removed between InstallValidate and InstallInitialize"
}

# Every module carries its file version and language (Windows Installer compares versions to
# decide which file to keep); every long name its short one.
check_files() {
  local files components file component file_name file_version language bad=()
  files=$(table "$msi" File)
  components=$(table "$msi" Component | cut -d $'\037' -f1)
  while IFS=$fields read -r file component file_name _ file_version language _; do
    if [[ "${file_name#*|}" == *.dll ]] && { [ "$file_version" != "$version" ] || [ "$language" != 1049 ]; }; then
      bad+=("$file:version'$file_version',language'$language'")
    fi
    has_short_form "$file_name" || bad+=("$file:short-name'$file_name'")
    grep -qx "$component" <<<"$components" || bad+=("$file:component'$component'")
  done <<<"$files"
  [ ${#bad[@]} -eq 0 ] && [ -n "$files" ]
  result $? "$name: File rows have versions, languages, short names and components${bad[*]:+ (${bad[*]})}"
}

check_folders() {
  local directory default_dir target bad=()
  while IFS=$fields read -r directory _ default_dir; do
    target=${default_dir%%:*}
    [ "$target" = . ] || [ "$target" = SourceDir ] && continue
    has_short_form "$target" || bad+=("$directory")
  done < <(table "$msi" Directory)
  [ ${#bad[@]} -eq 0 ]
  result $? "$name: every folder name has its short form${bad[*]:+ (missing: ${bad[*]})}"
}

# under_64 DIRECTORY DIRECTORY_TABLE: whether the folder lies below ProgramFiles64Folder.
under_64() {
  local id=$1
  while [ -n "$id" ] && [ "$id" != TARGETDIR ]; do
    [ "$id" = ProgramFiles64Folder ] && return 0
    id=$(awk -F'\037' -v id="$id" '$1 == id { print $2 }' <<<"$2")
  done
  return 1
}

# Unique GUIDs, a key path that is a file of their own, each in a feature, and the 64-bit attribute
# exactly for those under ProgramFiles64Folder.
check_components() {
  local components files directories features component guid directory attributes key_path
  local is64 bad=()
  components=$(table "$msi" Component)
  files=$(table "$msi" File)
  directories=$(table "$msi" Directory)
  features=$(table "$msi" FeatureComponents | cut -d $'\037' -f2)
  [ "$(cut -d $'\037' -f2 <<<"$components" | sort | uniq -d)" = "" ] || bad+=("duplicate-guid")
  while IFS=$fields read -r component guid directory attributes _ key_path; do
    [[ "$guid" =~ ^\{[0-9A-F-]{36}\}$ ]] || bad+=("$component:guid")
    if [ -n "$key_path" ] && ! awk -F'\037' -v file="$key_path" -v c="$component" '$1 == file && $2 == c { found = 1 } END { exit !found }' <<<"$files"; then
      bad+=("$component:keypath")
    fi
    grep -qx "$component" <<<"$features" || bad+=("$component:feature")
    is64=false
    [ $((attributes & 256)) -ne 0 ] && is64=true
    if under_64 "$directory" "$directories"; then $is64 || bad+=("$component:not-64"); else ! $is64 || bad+=("$component:64-in-32"); fi
  done <<<"$components"
  [ ${#bad[@]} -eq 0 ] && [ -n "$components" ]
  result $? "$name: $(echo "$components" | grep -c .) components with unique GUIDs, own key paths, features and the right bitness${bad[*]:+ (${bad[*]})}"
}

# Upgrade rows: this family up to the next version is removed, a newer one only detected; the x64
# package does the same for the x86 family, whose code is the x86 package's own UpgradeCode. Their
# properties must be secure to reach the server. Attributes: 2 only detects, 256 includes the
# minimum (0.0.0 and up); the maximum, the next version, is left out, so an equal version goes too.
# check_upgrades X86_UPGRADE_CODE
check_upgrades() {
  local x86_code=$1 upgrades secure product_version upgrade_code action_property bad=()
  upgrades=$(table "$msi" Upgrade)
  secure=$(property "$msi" SecureCustomProperties)
  product_version=$(property "$msi" ProductVersion)
  upgrade_code=$(property "$msi" UpgradeCode)
  removes_up_to_a_maximum() {
    awk -F'\037' -v code="$1" '$1 == code && $3 != "" && int($5 / 2) % 2 == 0 && int($5 / 256) % 2 == 1 { found = 1 } END { exit !found }' <<<"$upgrades"
  }
  detects_newer() {
    awk -F'\037' -v code="$1" '$1 == code && $3 == "" && int($5 / 2) % 2 == 1 { found = 1 } END { exit !found }' <<<"$upgrades"
  }
  [ "$product_version" = "$(product_version "$version")" ] || bad+=("ProductVersion:$product_version")
  removes_up_to_a_maximum "$upgrade_code" || bad+=("no-removal-row")
  detects_newer "$upgrade_code" || bad+=("no-newer-row")
  if [ "$arch" = x64 ]; then
    [ -n "$x86_code" ] && [ "$x86_code" != "$upgrade_code" ] || bad+=("x86-code'$x86_code'")
    removes_up_to_a_maximum "$x86_code" || bad+=("no-x86-removal-row-with-a-maximum")
    detects_newer "$x86_code" || bad+=("no-newer-x86-row")
  fi
  for action_property in $(cut -d $'\037' -f7 <<<"$upgrades"); do
    [[ ";$secure;" == *";$action_property;"* ]] || bad+=("$action_property:not-secure")
  done
  [ ${#bad[@]} -eq 0 ]
  result $? "$name: version $product_version and upgrade rows that remove older and equal versions${bad[*]:+ (${bad[*]})}"
}

# The entry in Programs and Features is Russian, as the publisher and the messages are.
check_entry_name() {
  local entry="Драйвер системы лояльности Tallowmer (x86)"
  [ "$arch" = x64 ] && entry="Драйвер системы лояльности Tallowmer (x64 и x86)"
  [ "$(property "$msi" ProductName)" = "$entry" ]
  result $? "$name: Programs and Features list it as \"$(property "$msi" ProductName)\""
}

# A machine registration the package did not make is looked for in every registry view it installs
# into (type 16: the 64-bit view), and its marker, with the version for detection rules.
check_registration_search() {
  local locators views_expected=1 machine_views
  locators=$(table "$msi" RegLocator)
  [ "$arch" = x64 ] && views_expected=2
  machine_views=$(awk -F'\037' '$3 ~ /^Software\\Classes\\CLSID\\.*\\InprocServer32$/ && $2 == 2 { print int($5 / 16) % 2 }' <<<"$locators" | sort -u | tr -d '\n')
  [ "${#machine_views}" -eq "$views_expected" ] &&
    table "$msi" Registry | awk -F'\037' '$3 == "Software\\Quorvane\\ls_tallowmer" && $4 == "Version" && $5 == "[ProductVersion]" { found = 1 } END { exit !found }'
  result $? "$name: it looks for a machine registration in $views_expected registry view(s) (found: ${machine_views:-none}) and marks its own with the version"
}

check_launch_conditions() {
  local conditions
  conditions=$(table "$msi" LaunchCondition)
  grep -q 'unregister.cmd' <<<"$(awk -F'\037' '$1 ~ /MACHINECLASS/ { print $2 }' <<<"$conditions")"
  result $? "$name: a machine registration it did not make stops it, the message naming unregister.cmd"
  ! cut -d $'\037' -f2 <<<"$conditions" | LC_ALL=C grep -a -q -v $'[\xd0\xd1]' && [ -n "$conditions" ]
  result $? "$name: every launch condition has a Russian message ($(echo "$conditions" | grep -c .) conditions)"
}

# check_msi MSI ARCH X86_UPGRADE_CODE
check_msi() {
  msi=$1 arch=$2
  name=$(basename "$msi")
  version=$(echo "$name" | sed -n 's/^ls_tallowmer-\(.*\)-x[0-9]*\.msi$/\1/p')
  check_language
  check_publisher
  check_help_link_and_icon
  check_sequence
  check_files
  check_folders
  check_components
  check_upgrades "$3"
  check_entry_name
  check_registration_search
  check_launch_conditions
}

x86_upgrade_code=$(property "$2" UpgradeCode)
check_msi "$1" x64 "$x86_upgrade_code"
check_msi "$2" x86 "$x86_upgrade_code"

closing_line
