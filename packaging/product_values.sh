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
  SUPPORT_EMAIL=$(cpp_string "$ROOT/common/uCommon.h" kDeveloperEmail)
  SUPPORT_WEB=$(cpp_string "$ROOT/common/uCommon.h" kDeveloperWeb)
  SUPPORT_PHONES=$(cpp_string "$ROOT/common/uCommon.h" kDeveloperPhones)
  SUPPORT_ADDRESS=$(cpp_string "$ROOT/common/uCommon.h" kDeveloperAddress)
  DEFAULT_HOST=$(cpp_string "$ROOT/driver/uDriver.h" kDefaultServiceHost)
  local value
  for value in SUPPORT_EMAIL SUPPORT_WEB SUPPORT_PHONES SUPPORT_ADDRESS DEFAULT_HOST; do
    [ -n "${!value}" ] || { echo "packaging: $value not found in the sources" >&2; return 1; }
  done
}

# Fills the @NAME@ places of a text with the product values and VERSION.
fill_product_values() {
  sed -e "s|@VERSION@|$VERSION|g" -e "s|@SUPPORT_EMAIL@|$SUPPORT_EMAIL|g" \
    -e "s|@SUPPORT_WEB@|$SUPPORT_WEB|g" -e "s|@SUPPORT_PHONES@|$SUPPORT_PHONES|g" \
    -e "s|@SUPPORT_ADDRESS@|$SUPPORT_ADDRESS|g" -e "s|@DEFAULT_HOST@|$DEFAULT_HOST|g" "$@"
}
