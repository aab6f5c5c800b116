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

# One wineserver for $WINEPREFIX from now until `wineserver -k`. A Wine program starts its server
# with -p0 (Debian's wrapper), so that server quits with its last client, and `wineserver -p` does
# nothing while another server of the prefix still runs: the running one is waited out first.
# Between two servers the registry's volatile keys (the host's root certificates) are gone, and a
# key written just before may not yet be saved for the next server: an authority added to the
# Root store was then, now and then, not trusted by the next program.
keep_wineserver() {
  /usr/lib/wine/wineserver -w
  /usr/lib/wine/wineserver -p
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
