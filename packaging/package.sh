#!/usr/bin/env bash
# Builds what a merchant receives from the two Windows builds:
#   ls_tallowmer-VERSION-x64.msi  both modules, for 64-bit Windows
#   ls_tallowmer-VERSION-x86.msi  the x86 module, for 32-bit Windows
#   ls_tallowmer-VERSION.zip      both modules, registration scripts, the host program for each
#                                 bitness under tools/, ПРОЧТИМЕНЯ.txt, SHA256SUMS
#   help.chm and SHA256SUMS of the artefacts.
# VERSION is the modules' four-number file version; it must be higher than the last version built
# into the same output folder (--rebuild allows the same version again) and not lower than the
# newest version tag; a tagged version is built only from its tagged commit, --rebuild or not. The
# same sources and version give the same bytes: the modules link without a time stamp and
# SOURCE_DATE_EPOCH, by default the commit's time, stamps every file of the package. Nothing lands
# in the output folder unless every artefact was built (and signed).
# Signing: LS_SIGN_PFX (PKCS#12 file), LS_SIGN_PASSWORD_FILE (the password's file, "-" for
# standard input) and LS_SIGN_TIMESTAMP (an RFC 3161 time-stamp server's URL) all together, or
# none of them.
# Usage: package.sh [--version A.B.C.D] [--rebuild] [--out DIR] [--win32 BUILD_DIR] [--win64 BUILD_DIR]
set -euo pipefail

ROOT=$(realpath "$(dirname "$0")/..")
source "$ROOT/packaging/product_values.sh"

fail() {
  echo "package.sh: $*" >&2
  exit 1
}

for tool in wixl msibuild chmcmd osslsigncode zip; do
  command -v "$tool" >/dev/null || fail "$tool is missing (Debian packages: wixl, msitools, fp-utils, osslsigncode, zip)"
done

VERSION=
rebuild=false
out=$ROOT/dist
win32=$ROOT/build/win32
win64=$ROOT/build/win64
while [ $# -gt 0 ]; do
  case "$1" in
    --version) VERSION=$2; shift 2 ;;
    --rebuild) rebuild=true; shift ;;
    --out) out=$2; shift 2 ;;
    --win32) win32=$2; shift 2 ;;
    --win64) win64=$2; shift 2 ;;
    *) echo "package.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

module32=$win32/driver/ls_tallowmer.dll
module64=$win64/driver/ls_tallowmer.dll
host32=$win32/tools/host/ls_tallowmer_host.exe
host64=$win64/tools/host/ls_tallowmer_host.exe
for module in "$module32" "$module64" "$host32" "$host64"; do
  [ -f "$module" ] || fail "$module is missing; build the mingw presets first"
done

# The FileVersion text of a module's version resource (UTF-16 there).
module_file_version() { strings -a -el "$1" | grep -A1 -x FileVersion | sed -n 2p; }

# The version is the modules' own: a package never names a version its files do not carry.
built_version=$(module_file_version "$module64")
[ "$(module_file_version "$module32")" = "$built_version" ] ||
  fail "the x86 module is version $(module_file_version "$module32"), the x64 one $built_version; build both at one version"
VERSION=${VERSION:-$built_version}
[ "$VERSION" = "$built_version" ] ||
  fail "the modules are version $built_version, not $VERSION; configure both builds with -DLS_VERSION=$VERSION and build them"

# The installer compares major.minor.(release * 1000 + build), each field within its limit.
check_version_limits() {
  local major minor release build
  [[ "$1" =~ ^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "the version must have four numbers, not '$1'"
  IFS=. read -r major minor release build <<<"$1"
  [ "$major" -le 255 ] && [ "$minor" -le 255 ] && [ "$build" -le 999 ] && [ $((release * 1000 + build)) -le 65535 ] ||
    fail "version $1: major and minor up to 255, build up to 999, release * 1000 + build up to 65535"
}
check_version_limits "$VERSION"
MSI_VERSION=$(product_version "$VERSION")

# The lowest installer version above MSI_VERSION: the upgrade rule removes everything below it.
next_msi_version() {
  local major minor number
  IFS=. read -r major minor number <<<"$1"
  if [ "$number" -lt 65535 ]; then
    echo "$major.$minor.$((number + 1))"
  elif [ "$minor" -lt 255 ]; then
    echo "$major.$((minor + 1)).0"
  else
    echo "$((major + 1)).0.0"
  fi
}

version_below() { [ "$1" != "$2" ] && [ "$(printf '%s\n%s\n' "$1" "$2" | sort -V | head -n 1)" = "$1" ]; }

# A version goes up with every package: one already handed out must never be built again with
# other contents, except on purpose (--rebuild), and never go down.
check_version_order() {
  local record=$1 last tag
  last=$(cat "$record" 2>/dev/null || true)
  if [ -n "$last" ]; then
    version_below "$VERSION" "$last" && fail "version $VERSION is lower than $last, the last one built into $out"
    [ "$VERSION" = "$last" ] && ! $rebuild &&
      fail "version $VERSION was already built into $out; raise the version, or give --rebuild to build it again"
  fi
  tag=$(git -C "$ROOT" tag --list 2>/dev/null | sed 's/^v//' | grep -E '^[0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$' | sort -V | tail -n 1 || true)
  if [ -n "$tag" ]; then
    version_below "$VERSION" "$tag" && fail "version $VERSION is lower than the released $tag (git tag)"
    # A released number with other contents would install silently over the release.
    if [ "$VERSION" = "$tag" ] &&
      [ "$(git -C "$ROOT" rev-parse HEAD)" != "$(git -C "$ROOT" rev-list -n 1 "$(git -C "$ROOT" tag --list "$tag" "v$tag" | head -n 1)")" ]; then
      fail "version $VERSION is released (git tag) from another commit; raise the version (--rebuild does not lift this)"
    fi
  fi
  return 0
}
out=$(realpath -m "$out")
version_record=$out/.package-version
check_version_order "$version_record"
load_product_values

# Signing is all or nothing: a half-configured release must not go out unsigned.
signing=false
sign_variables=(LS_SIGN_PFX LS_SIGN_PASSWORD_FILE LS_SIGN_TIMESTAMP)
set_count=0
for variable in "${sign_variables[@]}"; do [ -n "${!variable:-}" ] && set_count=$((set_count + 1)); done
[ -n "${LS_SIGN_PASSWORD:-}" ] &&
  fail "LS_SIGN_PASSWORD is not read: a password in the environment reaches every child process; put it in a file named by LS_SIGN_PASSWORD_FILE"
if [ "$set_count" -eq ${#sign_variables[@]} ]; then
  signing=true
elif [ "$set_count" -ne 0 ]; then
  missing=()
  for variable in "${sign_variables[@]}"; do [ -n "${!variable:-}" ] || missing+=("$variable"); done
  fail "signing needs LS_SIGN_PFX, LS_SIGN_PASSWORD_FILE and LS_SIGN_TIMESTAMP together; missing: ${missing[*]}"
fi

stage=$(mktemp -d /tmp/ls_tallowmer_package_XXXXXX)
trap 'rm -rf "$stage"' EXIT

# Every file of the package carries this time, so that the same sources give the same bytes.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || echo 1700000000)}
export SOURCE_DATE_EPOCH
stamp_times() { find "$@" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +; }

if $signing; then
  # osslsigncode reads the password from a file; standard input is read once into the stage,
  # readable by this user only, so it never stands on a command line.
  password_file=$LS_SIGN_PASSWORD_FILE
  if [ "$password_file" = - ]; then
    password_file=$stage/password
    (umask 077 && cat >"$password_file")
  fi
  [ -r "$password_file" ] || fail "LS_SIGN_PASSWORD_FILE: cannot read $password_file"
  # RFC 3161: the signature stays valid after the certificate expires.
  timestamp=(-ts "$LS_SIGN_TIMESTAMP")
fi

# Signs FILE in place with SHA-256. The description is ASCII: the signature stores it in a field
# that Windows shows as single-byte text.
sign() {
  local file=$1
  osslsigncode sign -pkcs12 "$LS_SIGN_PFX" -readpass "$password_file" -h sha256 \
    -n "Tallowmer loyalty driver" -i "$SUPPORT_WEB" "${timestamp[@]}" \
    -in "$file" -out "$file.signed" >"$stage/sign.log" 2>&1 || {
    cat "$stage/sign.log" >&2
    fail "signing $(basename "$file") failed"
  }
  mv "$file.signed" "$file"
}

# Everything is built here first and moves into the output folder only when all of it is done, so
# that a failure half-way (a time-stamp server that stops answering) leaves no signed and unsigned
# artefacts side by side under release names.
built=$stage/out
mkdir -p "$stage/x86" "$stage/x64" "$built"
cp "$module32" "$stage/x86/ls_tallowmer.dll"
cp "$module64" "$stage/x64/ls_tallowmer.dll"
if $signing; then
  sign "$stage/x86/ls_tallowmer.dll"
  sign "$stage/x64/ls_tallowmer.dll"
else
  echo "Unsigned: set LS_SIGN_PFX, LS_SIGN_PASSWORD_FILE and LS_SIGN_TIMESTAMP to sign the modules and installers."
fi
"$ROOT/packaging/build_help.sh" "$stage/help.chm" "$VERSION"
cp "$stage/help.chm" "$stage/x86/help.chm"
cp "$stage/help.chm" "$stage/x64/help.chm"
cp "$ROOT/packaging/ls_tallowmer.ico" "$stage/ls_tallowmer.ico"
stamp_times "$stage"

# A GUID from a text: two builds of the same files and version are one product, and any other
# build is another product that the upgrade rule replaces.
guid_of() {
  local hash
  hash=$(printf '%s' "$1" | sha256sum | tr a-f A-F)
  echo "{${hash:0:8}-${hash:8:4}-5${hash:13:3}-A${hash:17:3}-${hash:20:12}}"
}

# wixl leaves out what the installer's tables need beyond its reach; msibuild puts it in.
complete_msi() {
  local platform=$1 msi=$2 package_code=$3 template=Intel
  [ "$platform" = x64 ] && template=x64
  printf '\n\n1251\t_ForceCodepage\n' >"$stage/codepage.idt"
  local queries=(
    "UPDATE Property SET Value='$DEVELOPER_NAME' WHERE Property='Manufacturer'"
    "UPDATE LaunchCondition SET Description='Установлена более новая версия драйвера Tallowmer. Чтобы поставить эту, сначала удалите новую в «Программах и компонентах».' WHERE Description='NEWER'"
    "UPDATE LaunchCondition SET Description='Драйвер зарегистрирован для этого пользователя из архива (register-user.cmd). Снимите эту регистрацию скриптом unregister.cmd из той же папки и запустите установку снова.' WHERE Description='USERCLASS'"
    "UPDATE LaunchCondition SET Description='Драйвер уже зарегистрирован для всех пользователей из архива (register.cmd), и касса берёт его из папки архива. Снимите эту регистрацию скриптом unregister.cmd из той папки (от имени администратора) и запустите установку снова.' WHERE Description='MACHINECLASS'"
    "UPDATE Property SET Value='$(msi_entry_name "$platform")' WHERE Property='ProductName'"
    "UPDATE LaunchCondition SET Description='Эта Windows 64-разрядная: установите пакет ls_tallowmer-$VERSION-x64.msi, он ставит оба варианта драйвера.' WHERE Description='X64'"
    "UPDATE Directory SET DefaultDir='LS_TAL~1|ls_tallowmer' WHERE DefaultDir='ls_tallowmer'"
    "UPDATE File SET FileName='LS_TAL~1.DLL|ls_tallowmer.dll', Version='$VERSION', Language='1049' WHERE FileName='ls_tallowmer.dll'"
    "UPDATE InstallExecuteSequence SET Sequence=1001 WHERE Action='SetInstallLocation'"
  )
  local query
  local arguments=(-i "$stage/codepage.idt")
  for query in "${queries[@]}"; do arguments+=(-q "$query"); done
  msibuild "$msi" "${arguments[@]}" -s "$(msi_product_name "$platform")" "$DEVELOPER_NAME" "$template;1049" "$package_code"
}

# wixl stamps the summary's creation and save times (FILETIME values, type 0x40) with the clock;
# they become SOURCE_DATE_EPOCH. Only values within the build's own minutes are touched.
stamp_msi_times() {
  BUILT_SINCE=$2 perl -0777 -pi -e '
    my $offset = 11644473600;
    my $changed = 0;
    s{\x40\x00\x00\x00(.{8})}{
      my $seconds = unpack("Q<", $1) / 10000000 - $offset;
      if ($seconds >= $ENV{BUILT_SINCE} - 60 && $seconds <= time + 60) {
        $changed++;
        "\x40\x00\x00\x00" . pack("Q<", ($ENV{SOURCE_DATE_EPOCH} + $offset) * 10000000);
      } else {
        "\x40\x00\x00\x00$1";
      }
    }gse;
    $changed == 2 or die "expected the two summary times, found $changed\n";' "$1"
}

# The entry in Programs and Features: Russian, as the publisher, the help and the installer's
# messages are; detection rules use the UpgradeCode or the registry marker, not this name.
msi_entry_name() {
  if [ "$1" = x64 ]; then echo "Драйвер системы лояльности Tallowmer (x64 и x86)"; else
    echo "Драйвер системы лояльности Tallowmer (x86)"; fi
}

msi_product_name() {
  if [ "$1" = x64 ]; then echo "Драйвер системы лояльности Tallowmer $MSI_VERSION (x64 и x86)"; else
    echo "Драйвер системы лояльности Tallowmer $MSI_VERSION (x86)"; fi
}

msi() {
  local platform=$1 target=$built/ls_tallowmer-$VERSION-$1.msi contents product_code started
  started=$(date +%s)
  contents=$(cd "$stage" && sha256sum x86/ls_tallowmer.dll x64/ls_tallowmer.dll help.chm)
  product_code=$(guid_of "product $platform $MSI_VERSION $contents")
  # wixl takes file sources relative to its working folder only.
  (cd "$stage" && wixl -a "$platform" -D Version="$MSI_VERSION" -D UpgradeMax="$(next_msi_version "$MSI_VERSION")" \
    -D ProductCode="$product_code" -D Platform="$platform" \
    -D Module64=x64/ls_tallowmer.dll -D Module32=x86/ls_tallowmer.dll -D Help=help.chm -D Icon=ls_tallowmer.ico \
    -D SupportEmail="$SUPPORT_EMAIL" -D SupportPhones="$SUPPORT_PHONES" -D SupportWeb="$SUPPORT_WEB" \
    -o "$target" "$ROOT/packaging/ls_tallowmer.wxs")
  complete_msi "$platform" "$target" "$(guid_of "package $product_code")"
  stamp_msi_times "$target" "$started"
  if $signing; then sign "$target"; fi
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
if $signing; then
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
stamp_times "$zip_root"
# Entries in a fixed order with fixed times and no extra attributes (-X, -D: no folder entries);
# -UN=UTF8 marks the Cyrillic name as UTF-8, which Windows' own archive folder reads.
(cd "$zip_root" && find . -type f | sed 's|^\./||' | LC_ALL=C sort |
  TZ=UTC zip -q -X -D -UN=UTF8 "$built/ls_tallowmer-$VERSION.zip" -@)

cp "$stage/help.chm" "$built/help.chm"
(cd "$built" && sha256sum "ls_tallowmer-$VERSION-x64.msi" "ls_tallowmer-$VERSION-x86.msi" \
  "ls_tallowmer-$VERSION.zip" help.chm >SHA256SUMS)
mkdir -p "$out"
(cd "$built" && mv -f "ls_tallowmer-$VERSION-x64.msi" "ls_tallowmer-$VERSION-x86.msi" "ls_tallowmer-$VERSION.zip" \
  help.chm "$out/" && mv -f SHA256SUMS "$out/")
echo "$VERSION" >"$version_record"
echo "Package $VERSION (installer version $MSI_VERSION) in $out:"
(cd "$out" && for file in "ls_tallowmer-$VERSION-x64.msi" "ls_tallowmer-$VERSION-x86.msi" \
  "ls_tallowmer-$VERSION.zip" help.chm; do printf '  %-34s %8d bytes\n' "$file" "$(stat -c %s "$file")"; done)
