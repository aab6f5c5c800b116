#!/usr/bin/env bash
# Builds what a merchant receives from the two Windows builds:
#   ls_tallowmer-VERSION-x64.msi  both modules, for 64-bit Windows
#   ls_tallowmer-VERSION-x86.msi  the x86 module, for 32-bit Windows
#   ls_tallowmer-VERSION.zip      both modules, registration scripts, the host program for each
#                                 bitness under tools/, ПРОЧТИМЕНЯ.txt, SHA256SUMS
#   help.chm and SHA256SUMS of the artefacts.
# Modules and installers are signed when LS_SIGN_PFX and LS_SIGN_PASSWORD are set (time-stamped
# when LS_SIGN_TIMESTAMP names a time-stamp server).
# Usage: package.sh [--version A.B.C.D] [--out DIR] [--win32 BUILD_DIR] [--win64 BUILD_DIR]
set -euo pipefail

ROOT=$(realpath "$(dirname "$0")/..")
source "$ROOT/packaging/product_values.sh"

VERSION=
out=$ROOT/dist
win32=$ROOT/build/win32
win64=$ROOT/build/win64
while [ $# -gt 0 ]; do
  case "$1" in
    --version) VERSION=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --win32) win32=$2; shift 2 ;;
    --win64) win64=$2; shift 2 ;;
    *) echo "package.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
VERSION=${VERSION:-$(project_version)}
if ! [[ "$VERSION" =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]]; then
  echo "package.sh: the version must have four numbers, not '$VERSION'" >&2
  exit 2
fi
load_product_values
out=$(realpath -m "$out")
IFS=. read -r major minor release build <<<"$VERSION"
# Windows Installer compares the first three fields only. The driver shows its version as major,
# minor and build (the release number stays out of the device information), so the installer
# carries those three: two builds of one release then still replace each other.
msi_version=$major.$minor.$build

stage=$(mktemp -d /tmp/ls_tallowmer_package_XXXXXX)
trap 'rm -rf "$stage"' EXIT

module32=$win32/driver/ls_tallowmer.dll
module64=$win64/driver/ls_tallowmer.dll
host32=$win32/tools/host/ls_tallowmer_host.exe
host64=$win64/tools/host/ls_tallowmer_host.exe
for module in "$module32" "$module64" "$host32" "$host64"; do
  [ -f "$module" ] || { echo "package.sh: $module is missing; build the mingw presets first" >&2; exit 1; }
done

signing_enabled() { [ -n "${LS_SIGN_PFX:-}" ] && [ -n "${LS_SIGN_PASSWORD:-}" ]; }

# Signs FILE in place with SHA-256.
sign() {
  local file=$1 timestamp=()
  [ -n "${LS_SIGN_TIMESTAMP:-}" ] && timestamp=(-t "$LS_SIGN_TIMESTAMP")
  osslsigncode sign -pkcs12 "$LS_SIGN_PFX" -pass "$LS_SIGN_PASSWORD" -h sha256 \
    -n "Драйвер системы лояльности Tallowmer" -i "$SUPPORT_WEB" "${timestamp[@]}" \
    -in "$file" -out "$file.signed" >"$stage/sign.log" 2>&1 || {
    cat "$stage/sign.log" >&2
    return 1
  }
  mv "$file.signed" "$file"
}

mkdir -p "$stage/x86" "$stage/x64" "$out"
cp "$module32" "$stage/x86/ls_tallowmer.dll"
cp "$module64" "$stage/x64/ls_tallowmer.dll"
if signing_enabled; then
  sign "$stage/x86/ls_tallowmer.dll"
  sign "$stage/x64/ls_tallowmer.dll"
else
  echo "Unsigned: set LS_SIGN_PFX and LS_SIGN_PASSWORD to sign the modules and installers."
fi
"$ROOT/packaging/build_help.sh" "$stage/help.chm" "$VERSION"
cp "$stage/help.chm" "$stage/x86/help.chm"
cp "$stage/help.chm" "$stage/x64/help.chm"

msi() {
  local platform=$1 target=$out/ls_tallowmer-$VERSION-$1.msi
  # wixl takes file sources relative to its working folder only.
  (cd "$stage" && wixl -a "$platform" -D Version="$msi_version" -D Platform="$platform" \
    -D Module64=x64/ls_tallowmer.dll -D Module32=x86/ls_tallowmer.dll -D Help=help.chm \
    -D SupportEmail="$SUPPORT_EMAIL" -D SupportPhones="$SUPPORT_PHONES" -D SupportWeb="$SUPPORT_WEB" \
    -o "$target" "$ROOT/packaging/ls_tallowmer.wxs")
  if signing_enabled; then sign "$target"; fi
}
msi x64
msi x86

# The zip: cmd reads scripts in the OEM code page (866 for Russian) with CR LF line ends; Notepad
# reads the UTF-8 text by its byte-order mark.
zip_root=$stage/zip
mkdir -p "$zip_root/tools/x86" "$zip_root/tools/x64"
cp -r "$stage/x86" "$stage/x64" "$zip_root/"
# The host program, for scripting the driver or running `check` on a till.
cp "$host32" "$zip_root/tools/x86/ls_tallowmer_host.exe"
cp "$host64" "$zip_root/tools/x64/ls_tallowmer_host.exe"
if signing_enabled; then
  sign "$zip_root/tools/x86/ls_tallowmer_host.exe"
  sign "$zip_root/tools/x64/ls_tallowmer_host.exe"
fi
for script in register.cmd register-user.cmd unregister.cmd tools/common.cmd; do
  sed 's/$/\r/' "$ROOT/packaging/zip/$script" | iconv -f utf-8 -t cp866 >"$zip_root/$script"
done
{
  printf '\xef\xbb\xbf'
  fill_product_values "$ROOT/packaging/zip/ПРОЧТИМЕНЯ.txt" | sed 's/$/\r/'
} >"$zip_root/ПРОЧТИМЕНЯ.txt"
(cd "$zip_root" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort |
  xargs -d '\n' sha256sum >SHA256SUMS)
rm -f "$out/ls_tallowmer-$VERSION.zip"
# -UN=UTF8 marks the Cyrillic name as UTF-8, which Windows' own archive folder reads.
(cd "$zip_root" && zip -q -X -r -UN=UTF8 "$out/ls_tallowmer-$VERSION.zip" .)

cp "$stage/help.chm" "$out/help.chm"
(cd "$out" && sha256sum "ls_tallowmer-$VERSION-x64.msi" "ls_tallowmer-$VERSION-x86.msi" \
  "ls_tallowmer-$VERSION.zip" help.chm >SHA256SUMS)
echo "Package $VERSION in $out:"
(cd "$out" && for file in "ls_tallowmer-$VERSION-x64.msi" "ls_tallowmer-$VERSION-x86.msi" \
  "ls_tallowmer-$VERSION.zip" help.chm; do printf '  %-34s %8d bytes\n' "$file" "$(stat -c %s "$file")"; done)
