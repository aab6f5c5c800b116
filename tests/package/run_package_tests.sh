#!/usr/bin/env bash
# The merchant package's tests, after both Windows builds: the package itself, help.chm's contents,
# signing and the version rule of package.sh; and what the installer scenarios under Wine
# (tests/package/scenarios, run by tests/wine/run_scenarios.sh) install: a package one version
# lower in OUTPUT_DIR/older, to upgrade from, and a sequence of releases and a rebuild to install
# one over another in OUTPUT_DIR/sequence. The modules of other versions are built by stamping the
# two build folders with -DLS_VERSION (only the version resource and the link follow); the folders
# get their own version back at the end.
# Usage: run_package_tests.sh OUTPUT_DIR
set -uo pipefail

root=$(realpath "$(dirname "$0")/../..")
out=$(realpath -m "$1")
win64=$root/build/win64
win32=$root/build/win32
status=0
rm -rf "$out/dist" "$out/older" "$out/sequence"

# Both build folders at VERSION (empty: the project's own).
build_modules_at() {
  local build
  for build in "$win64" "$win32"; do
    cmake -S "$root" -B "$build" -DLS_VERSION="$1" >"$out/stamp.log" 2>&1 &&
      nice -n 10 cmake --build "$build" --target ls_tallowmer >>"$out/stamp.log" 2>&1 || {
      sed 's/^/    /' "$out/stamp.log"
      echo "could not build the modules at version ${1:-of the project}" >&2
      return 1
    }
  done
}
trap 'build_modules_at "" >/dev/null' EXIT

# The tree's untracked and changed files, to see at the end that no check left one there (a tool
# writing into its current folder did: msiinfo's Icon stream). Outside a clone, none.
tree_changes() { git -C "$root" status --porcelain --untracked-files=all 2>/dev/null; }
changes_before=$(tree_changes)

echo "== Merchant package"
mkdir -p "$out"
"$root/packaging/package.sh" --out "$out/dist" || exit 1
echo "== help.chm"
"$root/tests/package/check_help.sh" "$out/dist/help.chm" || status=1
echo "== zip"
"$root/tests/package/check_zip.sh" "$out"/dist/ls_tallowmer-*.zip || status=1
echo "== modules"
"$root/tests/package/check_modules.sh" "$out"/dist/ls_tallowmer-*.zip || status=1
echo "== installer tables"
"$root/tests/package/check_msi.sh" "$out"/dist/ls_tallowmer-*-x64.msi "$out"/dist/ls_tallowmer-*-x86.msi || status=1
echo "== signing"
"$root/tests/package/check_signing.sh" || status=1
echo "== reproducibility and the version rule"
"$root/tests/package/check_versions.sh" "$out/dist" || status=1

version=$(basename "$(ls "$out"/dist/ls_tallowmer-*-x64.msi)" | sed 's/^ls_tallowmer-\(.*\)-x64\.msi$/\1/')
IFS=. read -r major minor release build <<<"$version"

# One step down the four numbers, so that the installer's version drops too.
if [ "$build" -gt 0 ]; then
  older=$major.$minor.$release.$((build - 1))
elif [ "$release" -gt 0 ]; then
  older=$major.$minor.$((release - 1)).$build
elif [ "$minor" -gt 0 ]; then
  older=$major.$((minor - 1)).$release.$build
else
  older=$((major - 1)).$minor.$release.$build
fi
build_modules_at "$older" && "$root/packaging/package.sh" --out "$out/older" >/dev/null || exit 1

# Releases above this one, each in a folder of its own with the steps the installer test takes:
#   install MSI PRODUCT_VERSION  or  refuse MSI
# The first is installed twice; its rebuild has other bytes (a byte of its modules' PE header is
# changed: the same sources now build the same bytes), as a rebuild with other contents has, and so
# another ProductCode that the upgrade rule replaces.
sequence=$out/sequence
mkdir -p "$sequence"
next=$major.$((minor + 1))
step=0
package_step() {
  local version=$1 folder
  shift
  step=$((step + 1))
  folder=$sequence/$step
  "$root/packaging/package.sh" --out "$sequence/out" "$@" >/dev/null || return 1
  mkdir -p "$folder" && cp "$sequence"/out/ls_tallowmer-"$version"* "$folder/"
  echo "install $folder/ls_tallowmer-$version-x64.msi $(source "$root/packaging/product_values.sh" && product_version "$version")" >>"$sequence/steps"
}

# A copy of a build's modules with another link time in the PE header: the same version rebuilt
# with other contents.
relinked_copy() {
  local build=$1 copy=$2 offset
  mkdir -p "$copy/driver" "$copy/tools/host"
  cp "$build/driver/ls_tallowmer.dll" "$copy/driver/"
  cp "$build/tools/host/ls_tallowmer_host.exe" "$copy/tools/host/"
  offset=$(od -An -tu4 -j 60 -N 4 "$copy/driver/ls_tallowmer.dll" | tr -d ' ')
  printf '\x01\x02\x03\x04' | dd of="$copy/driver/ls_tallowmer.dll" bs=1 seek=$((offset + 8)) conv=notrunc status=none
}

# The same package twice is one product: the second run leaves the one entry as it was.
build_modules_at "$next.0.1" && package_step "$next.0.1" && tail -n 1 "$sequence/steps" >>"$sequence/steps" &&
  relinked_copy "$win64" "$sequence/rebuild64" && relinked_copy "$win32" "$sequence/rebuild32" &&
  package_step "$next.0.1" --rebuild --win64 "$sequence/rebuild64" --win32 "$sequence/rebuild32" &&
  build_modules_at "$next.0.2" && package_step "$next.0.2" &&
  build_modules_at "$next.1.0" && package_step "$next.1.0" &&
  build_modules_at "$next.1.1" && package_step "$next.1.1" || exit 1
echo "refuse $sequence/4/ls_tallowmer-$next.1.0-x64.msi" >>"$sequence/steps"
build_modules_at "" || exit 1
trap - EXIT
echo "== the source tree"
source "$root/tests/support/results.sh"
left=$(comm -13 <(echo "$changes_before" | sort) <(tree_changes | sort))
[ -z "$left" ]
result $? "no file appeared in the source tree while the package tests ran${left:+: ${left//$'\n'/, }}"
closing_line || status=1
exit $status
