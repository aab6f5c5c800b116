#!/usr/bin/env bash
# The merchant package's tests, after both Windows builds: the package itself, help.chm's contents,
# signing, and the installers and the zip under Wine, upgrading from a package one version lower.
# Usage: run_package_tests.sh OUTPUT_DIR
set -uo pipefail

root=$(realpath "$(dirname "$0")/../..")
out=$(realpath -m "$1")
status=0
rm -rf "$out/dist" "$out/older"

echo "== Merchant package"
"$root/packaging/package.sh" --out "$out/dist" || exit 1
echo "== help.chm"
"$root/tests/package/check_help.sh" "$out/dist/help.chm" || status=1
echo "== zip"
"$root/tests/package/check_zip.sh" "$out"/dist/ls_tallowmer-*.zip || status=1
echo "== modules"
"$root/tests/package/check_modules.sh" "$out"/dist/ls_tallowmer-*.zip || status=1
echo "== signing"
"$root/tests/package/check_signing.sh" || status=1

# One step down the four numbers, so that the installer's three (major, minor, build) drop too.
lower_version() {
  local major minor release build
  IFS=. read -r major minor release build <<<"$1"
  if [ "$build" -gt 0 ]; then
    echo "$major.$minor.$release.$((build - 1))"
  elif [ "$minor" -gt 0 ]; then
    echo "$major.$((minor - 1)).$release.$build"
  else
    echo "$((major - 1)).$minor.$release.$build"
  fi
}
version=$(basename "$(ls "$out"/dist/ls_tallowmer-*-x64.msi)" | sed 's/^ls_tallowmer-\(.*\)-x64\.msi$/\1/')
"$root/packaging/package.sh" --version "$(lower_version "$version")" --out "$out/older" >/dev/null || exit 1
echo "== installers and zip under Wine"
"$root/tests/package/run_wine_install_tests.sh" "$out/dist" "$out/older" "$root/build/win64" "$root/build/win32" || status=1
exit $status
