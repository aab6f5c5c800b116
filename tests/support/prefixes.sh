# Wine prefixes for the scenarios. Each kind of Windows is booted once into a template and copied
# for every scenario: a prefix boots in seconds natively, in about a minute when its 32-bit half is
# filled through qemu's emulation, and copies in a few seconds.
#   win64  a 64-bit Windows, with its 32-bit half (SysWOW64) wherever 32-bit programs run
#   win32  a 32-bit Windows (WINEARCH=win32)
# Templates live in $prefix_templates (LS_WINE_PREFIXES, by default build/wine-prefixes); one made
# by another Wine, or without a 32-bit half that can now be had, is booted again. Needs
# emulation.sh, and x86_runtime from detect_x86_runtime.

prefix_templates=${LS_WINE_PREFIXES:-$root/build/wine-prefixes}

# Gecko and Mono stay out: a prefix is made faster without them, and nothing here needs them.
export WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='

# What a template was made with; a template whose stamp differs is made again.
prefix_stamp() {
  local halves=64
  [ "$1" = win64 ] && [ "$x86_runtime" != none ] && halves=64+32
  [ "$1" = win32 ] && halves=32
  echo "$(/usr/lib/wine/wine64 --version) $1 $halves"
}

boot_prefix() {
  local kind=$1 prefix=$2
  rm -rf "$prefix"
  if [ "$kind" = win32 ]; then
    WINEARCH=win32 WINEPREFIX=$prefix /usr/lib/wine/wine wineboot -i >/dev/null 2>&1
  else
    WINEPREFIX=$prefix /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
  fi || return 1
  WINEPREFIX=$prefix /usr/lib/wine/wineserver -w
}

# prefix_template KIND: the template of KIND, booted first when there is none of this Wine. A 64-bit
# prefix fills its 32-bit half as it boots, so the emulation is on meanwhile where it is needed.
prefix_template() {
  local kind=$1 template=$prefix_templates/$1 stamp
  stamp=$(prefix_stamp "$kind")
  mkdir -p "$prefix_templates"
  (
    flock 9
    [ "$(cat "$template/.stamp" 2>/dev/null)" = "$stamp" ] && exit 0
    local was_on=false started=$SECONDS
    emulation_enabled && was_on=true
    if [ "$kind" = win32 ] || [[ "$stamp" == *64+32 ]]; then
      emulation_on || exit 1
    fi
    boot_prefix "$kind" "$template.new"
    local status=$?
    $was_on || emulation_off
    [ $status -eq 0 ] || exit 1
    echo "$stamp" >"$template.new/.stamp"
    rm -rf "$template" && mv "$template.new" "$template"
    echo "    (the $kind prefix booted in $((SECONDS - started)) s, for every scenario of this run)"
  ) 9>"$prefix_templates/.lock"
}

# new_prefix KIND PREFIX: a fresh prefix of KIND at PREFIX, copied from its template.
new_prefix() {
  prefix_template "$1" || return 1
  cp -a "$prefix_templates/$1" "$2"
}

# use_prefix KIND PREFIX: the prefix of KIND at PREFIX for what follows, with one wineserver for it
# (every later start is then quick). Sets wine (the loader), drive_c, and for the pass's ARCH the
# folder of the Windows tools of its bitness (system: regsvr32, cscript, reg) and its registry
# view (view, for reg.exe).
use_prefix() {
  export WINEPREFIX=$2
  drive_c=$WINEPREFIX/drive_c
  if [ "$1" = win32 ]; then
    wine=/usr/lib/wine/wine
    system='C:\windows\system32'
    view=/reg:32
  else
    wine=/usr/lib/wine/wine64
    if [ "$arch" = x86 ]; then
      system='C:\windows\syswow64'
      view=/reg:32
    else
      system='C:\windows\system32'
      view=/reg:64
    fi
  fi
  keep_wineserver
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

# host_script SCRIPT TARGET: tests/wine/host_common.vbs and SCRIPT as one file in the ANSI code
# page that script engines read, 1251 under the Russian locale.
host_script() {
  cat "$root/tests/wine/host_common.vbs" "$1" | iconv -f utf-8 -t cp1251 >"$2"
}
