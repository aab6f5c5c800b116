# Shared by the Wine test scripts: counting results, Windows paths, and host scripts ready for
# cscript. The caller sets passed=0 and failed=0.

result() {
  if [ "$1" -eq 0 ]; then
    echo "ok: $2"
    passed=$((passed + 1))
  else
    echo "FAILED: $2"
    failed=$((failed + 1))
  fi
}

# Script hosts take Windows paths; Wine maps the Unix root to drive Z:.
windows_path() { echo "Z:$1" | tr '/' '\\'; }

# host_script SCRIPT TARGET: host_common.vbs and SCRIPT as one file in the ANSI code page that
# script engines read, 1251 under the Russian locale.
host_script() {
  local here
  here=$(dirname "${BASH_SOURCE[0]}")
  cat "$here/host_common.vbs" "$1" | iconv -f utf-8 -t cp1251 >"$2"
}
