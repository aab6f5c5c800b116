# Shared by the packaging scripts: the values a merchant sees, read from where the program itself
# keeps them, so that the help, the installer and ПРОЧТИМЕНЯ.txt never drift from the driver.
# Needs ROOT (the source tree).

# A string constant of a C++ header: cpp_string FILE NAME.
cpp_string() {
  sed -n "s/^inline constexpr const char\* $2 = \"\(.*\)\";$/\1/p" "$1" | sed 's/\\"/"/g'
}

# The four-number version of project() in CMakeLists.txt, the one that VERSIONINFO carries.
project_version() {
  sed -n 's/^project(ls_tallowmer VERSION \([0-9.]*\) .*/\1/p' "$ROOT/CMakeLists.txt"
}

load_product_values() {
  DEVELOPER_NAME=$(cpp_string "$ROOT/common/uCommon.h" kDeveloperName)
  SUPPORT_EMAIL=$(cpp_string "$ROOT/common/uCommon.h" kDeveloperEmail)
  SUPPORT_WEB=$(cpp_string "$ROOT/common/uCommon.h" kDeveloperWeb)
  SUPPORT_PHONES=$(cpp_string "$ROOT/common/uCommon.h" kDeveloperPhones)
  SUPPORT_ADDRESS=$(cpp_string "$ROOT/common/uCommon.h" kDeveloperAddress)
  DEFAULT_HOST=$(cpp_string "$ROOT/driver/uDriver.h" kDefaultServiceHost)
  local value
  for value in DEVELOPER_NAME SUPPORT_EMAIL SUPPORT_WEB SUPPORT_PHONES SUPPORT_ADDRESS DEFAULT_HOST; do
    [ -n "${!value}" ] || { echo "packaging: $value not found in the sources" >&2; return 1; }
  done
}

# The installer's version, major.minor.(release * 1000 + build), of a four-number VERSION; the
# build's own rule, so Programs and Features, the file's product version and the help show one number.
product_version() {
  local major minor release build
  IFS=. read -r major minor release build <<<"$1"
  echo "$major.$minor.$((release * 1000 + build))"
}

# The version the driver reports to the host and on its "Информация" tab: major.minor.build.
device_version() {
  local major minor release build
  IFS=. read -r major minor release build <<<"$1"
  echo "$major.$minor.$build"
}

# Fills the @NAME@ places of a text with the product values and the version a merchant sees.
fill_product_values() {
  sed -e "s|@VERSION@|$(product_version "$VERSION")|g" -e "s|@FILE_VERSION@|$VERSION|g" \
    -e "s|@DEVICE_VERSION@|$(device_version "$VERSION")|g" -e "s|@SUPPORT_EMAIL@|$SUPPORT_EMAIL|g" \
    -e "s|@SUPPORT_WEB@|$SUPPORT_WEB|g" -e "s|@SUPPORT_PHONES@|$SUPPORT_PHONES|g" \
    -e "s|@SUPPORT_ADDRESS@|$SUPPORT_ADDRESS|g" -e "s|@DEFAULT_HOST@|$DEFAULT_HOST|g" \
    -e "s|@DEVELOPER_NAME@|$DEVELOPER_NAME|g" "$@"
}
