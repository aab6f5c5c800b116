#!/usr/bin/env bash
# Runs the Windows module under Wine the way hosts use it: registration with regsvr32 (machine and
# per user), a C++ late-bound client, and a VBScript host selling through the local service
# simulator. Usage: run_wine_tests.sh BUILD_DIR ARCH SIMULATOR
set -uo pipefail

build=$(realpath "$1")
arch=$2
simulator=$(realpath "$3")
wine=/usr/lib/wine/wine64
work=$(mktemp -d /tmp/ls_tallowmer_wine_XXXXXX)
passed=0
failed=0
skipped=0

export WINEDEBUG=-all WINEPREFIX="$work/prefix" LC_ALL=ru_RU.UTF-8

source "$(dirname "$(realpath "$0")")/common.sh"

cleanup() {
  [ -n "${simulator_pid:-}" ] && kill "$simulator_pid" 2>/dev/null
  WINEPREFIX="$work/prefix" /usr/lib/wine/wineserver -k 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# start_https_simulator NAME: an HTTPS simulator with its own authority; sets NAME_url (named
# "localhost", which WinHTTP's name check needs), NAME_ca and NAME_pid.
start_https_simulator() {
  "$simulator" --listen 127.0.0.1:0 --db :memory: --seed --faults --token wine-test-token-1 \
    --state-dir "$work/$1-state" > "$work/$1.out" 2> "$work/$1.err" &
  printf -v "$1_pid" '%s' $!
  for _ in $(seq 50); do [ -s "$work/$1.out" ] && grep -q '^CA: ' "$work/$1.err" && break; sleep 0.1; done
  printf -v "$1_url" '%s' "$(head -n 1 "$work/$1.out" | sed 's#//127\.0\.0\.1:#//localhost:#')"
  printf -v "$1_ca" '%s' "$(sed -n 's/^CA: //p' "$work/$1.err" | head -n 1)"
}

# The transport cases of the Linux build, through WinHTTP: plain HTTP, HTTPS verified against the
# machine's Root store, and an authority that only SSL/ca-bundle.pem beside the program names,
# which Windows does not read: the system store alone decides there.
# start_stand_in NAME MODE: the Linux tests' proxy in MODE (refuse, garbage); its URL in $NAME_url.
start_stand_in() {
  "$(dirname "$simulator")/../../tests/support/connect_proxy" "$work/$1.record" "$2" > "$work/$1.out" &
  printf -v "$1_pid" '%s' $!
  for _ in $(seq 50); do [ -s "$work/$1.out" ] && break; sleep 0.1; done
  printf -v "$1_url" '%s' "$(head -n 1 "$work/$1.out")"
}

run_transport_cases() {
  start_https_simulator trusted
  start_https_simulator untrusted
  start_stand_in garbage garbage
  start_stand_in refusing refuse
  local program="$work/transport/transport_conformance.exe"
  mkdir -p "$work/transport/SSL" "$work/transport/log"
  cp "$build/tests/wine/transport_conformance.exe" "$program"
  cp "$untrusted_ca" "$work/transport/SSL/ca-bundle.pem"
  "$wine" "$build/tests/wine/add_root_certificate.exe" "$(windows_path "$trusted_ca")"
  result $? "the simulator's authority joins the machine's Root store"
  "$wine" "$program" "$base_url" "$trusted_url" "$untrusted_url" wine-test-token-1 \
    "$(windows_path "$work/transport/log")" "$garbage_url" "${refusing_url#http://}" > "$work/transport.log" 2>&1
  local status=$?
  sed 's/^/    /' "$work/transport.log"
  [ $status -eq 0 ] && closes_without_failure "$work/transport.log"
  result $? "WinHTTP passes the transport cases over HTTP and HTTPS"
  kill "$trusted_pid" "$untrusted_pid" "$garbage_pid" "$refusing_pid" 2>/dev/null
}

# A user's Internet settings and the machine's WinHTTP setting, as the registry holds them: one
# value each, a header and the length-prefixed proxy and bypass lists.
internet_settings_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections'
machine_settings_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections'
# proxy_settings_blob MAGIC FLAGS PROXY BYPASS: the value in hex.
proxy_settings_blob() {
  python3 - "$@" <<'PYTHON'
import struct, sys
magic, flags, proxy, bypass = int(sys.argv[1], 0), int(sys.argv[2], 0), sys.argv[3].encode(), sys.argv[4].encode()
value = struct.pack("<III", magic, 0, flags)
for text in (proxy, bypass, b""):
    value += struct.pack("<I", len(text)) + text
print((value + bytes(28)).hex())
PYTHON
}
# set_user_proxy PROXY BYPASS (an empty PROXY: direct); set_machine_proxy the same for WinHTTP.
set_user_proxy() {
  local flags=1
  [ -n "$1" ] && flags=3
  "$wine" reg add "$internet_settings_key" /v DefaultConnectionSettings /t REG_BINARY \
    /d "$(proxy_settings_blob 0x46 $flags "$1" "$2")" /f >/dev/null
}
# The machine's key lives in each bitness's own registry view, as `netsh winhttp` of that bitness
# writes it.
set_machine_proxy() {
  "$wine" reg add "$machine_settings_key" /v WinHttpSettings /t REG_BINARY \
    /d "$(proxy_settings_blob 0x18 2 "$1" "$2")" /f "$view" >/dev/null
}

# proxied_ping NAME: one ping through the product's transport on the route the settings choose;
# its output goes to $work/NAME.txt, its HTTP log under $work/NAME.
proxied_ping() {
  mkdir -p "$work/$1"
  "$wine" "$build/tests/wine/proxied_ping.exe" "$proxied_url" wine-test-token-1 "$(windows_path "$work/$1")" \
    > "$work/$1.txt" 2>&1
}

# The system's proxy through WinHTTP: the recording proxy of the Linux tests named by the user's
# Internet settings, then bypassed by their list, then named by the machine's WinHTTP setting.
run_proxy_cases() {
  start_https_simulator proxied
  "$wine" "$build/tests/wine/add_root_certificate.exe" "$(windows_path "$proxied_ca")"
  local recorder
  recorder="$(dirname "$simulator")/../../tests/support/connect_proxy"
  "$recorder" "$work/tunnels.txt" > "$work/proxy.out" &
  local recorder_pid=$!
  for _ in $(seq 50); do [ -s "$work/proxy.out" ] && break; sleep 0.1; done
  local proxy authority
  proxy=$(head -n 1 "$work/proxy.out" | sed 's#^http://##')
  authority=$(echo "$proxied_url" | sed -E 's#^https://([^/]+)/.*#\1#')

  set_user_proxy "$proxy" "intranet;*.example.org"
  proxied_ping user_proxy
  local status=$?
  sed 's/^/    /' "$work/user_proxy.txt"
  sleep 0.2
  [ $status -eq 0 ] && grep -qx "CONNECT $authority HTTP/1.1" "$work/tunnels.txt" &&
    grep -q "^Stat Connected\. Proxy: $proxy"$'\r'"\$" "$work"/user_proxy/http_*.log &&
    ! grep -q 'wine-test-token-1' "$work"/user_proxy/http_*.log
  result $? "the user's proxy carries a ping to the simulator through CONNECT, and the HTTP log names it"

  set_user_proxy "$proxy" "intranet;localhost"
  local tunnels_before
  tunnels_before=$(wc -l < "$work/tunnels.txt")
  proxied_ping user_bypass
  status=$?
  sleep 0.2
  [ $status -eq 0 ] && [ "$(wc -l < "$work/tunnels.txt")" -eq "$tunnels_before" ] &&
    grep -q "^Stat Connected\."$'\r'"\$" "$work"/user_bypass/http_*.log
  result $? "the user's bypass list sends the ping direct"

  set_user_proxy "" ""
  set_machine_proxy "$proxy" ""
  proxied_ping machine_proxy
  status=$?
  sleep 0.2
  [ $status -eq 0 ] && [ "$(wc -l < "$work/tunnels.txt")" -eq $((tunnels_before + 1)) ] &&
    grep -q "^Stat Connected\. Proxy: $proxy" "$work"/machine_proxy/http_*.log
  result $? "without a user's proxy, the machine's WinHTTP setting carries the ping"

  "$wine" reg delete "$internet_settings_key" /v DefaultConnectionSettings /f >/dev/null 2>&1
  "$wine" reg delete "$machine_settings_key" /v WinHttpSettings /f "$view" >/dev/null 2>&1
  kill "$proxied_pid" "$recorder_pid" 2>/dev/null
}

# host_program ARGS...: ls_tallowmer_host.exe with the settings of the host program's simulator.
host_program() {
  "$wine" "$build/tools/host/ls_tallowmer_host.exe" --set "Host=$hostprog_url" --set Token=wine-test-token-1 \
    --devices-folder 'C:\ls_tallowmer_host\devices' "$@" 2>> "$work/host_program.err"
}

# The host program for Windows: `check` against a healthy simulator, and a sale through it.
run_host_program_cases() {
  start_https_simulator hostprog
  "$wine" "$build/tests/wine/add_root_certificate.exe" "$(windows_path "$hostprog_ca")"
  host_program check > "$work/check.txt"
  local status=$?
  # Windows ends the printed lines with CR LF.
  sed -i 's/\r$//' "$work/check.txt"
  sed 's/^/    /' "$work/check.txt"
  [ $status -eq 0 ] && [ "$(grep -c '^[1-7]\. .* — ОК (' "$work/check.txt")" -eq 7 ] &&
    tail -n 1 "$work/check.txt" | grep -qx 'Итог: связь с сервисом в порядке\.' &&
    ! grep -q 'wine-test-token-1' "$work/check.txt"
  result $? "ls_tallowmer_host.exe check passes every step against a healthy simulator"

  echo '{"call":"CreateOrder","in":[{"$empty":null},"79001234567",0]}' > "$work/order.jsonl"
  host_program "$(windows_path "$work/order.jsonl")" > "$work/order.txt"
  local order
  order=$(python3 -c 'import json,sys; print(json.loads(sys.stdin.readline())["args"][1][0])' < "$work/order.txt")
  local receipt='{"$matrix":[[null,null],[null,null],["4601","4602"],["Хлеб","Молоко 3,2%"],[{"$currency":"10"},{"$currency":"0"}],[3,2],[{"$currency":"100"},{"$currency":"159.8"}]]}'
  echo "{\"call\":\"CloseOrder\",\"in\":[\"$order\",$receipt,{\"\$currency\":\"50\"},0,\"79001234567\",0,0,\"\",null,\"\",\"Чек 1\"]}" \
    > "$work/sale.jsonl"
  host_program "$(windows_path "$work/sale.jsonl")" > "$work/sale.txt"
  sed 's/^/    /' "$work/order.txt" "$work/sale.txt"
  python3 -c 'import json,sys; a=json.loads(sys.stdin.readline()); sys.exit(0 if a["hresult"]==0 and a["result"] is True else 1)' \
    < "$work/sale.txt"
  result $? "ls_tallowmer_host.exe sells through the simulator over HTTPS (CreateOrder, CloseOrder)"
  kill "$hostprog_pid" 2>/dev/null
}

x86_runtime=native
if [ "$arch" = "x86" ]; then
  detect_x86_runtime
  if [ "$x86_runtime" = none ]; then
    echo "skipped: the x86 module's runtime tests: $x86_reason"
    echo "0 passed, 0 failed, 1 skipped"
    exit 0
  fi
fi

# The 32-bit module registers and runs through the 32-bit tools of the same prefix.
if [ "$arch" = "x86" ]; then
  system='C:\windows\syswow64'
  view=/reg:32
else
  system='C:\windows\system32'
  view=/reg:64
fi
regsvr32="$system\\regsvr32.exe"
cscript="$system\\cscript.exe"

dll="$build/driver/ls_tallowmer.dll"
client="$build/tests/wine/dispatch_client.exe"
"$wine" wineboot -i >/dev/null 2>&1
# One wineserver for the whole run: every later start is then quick.
keep_wineserver

# Class keys live in the module's own registry view; ProgID keys are shared by both views, and
# Wine keeps them in the 64-bit one.
class_key_exists() { "$wine" reg query "$1" "$view" >/dev/null 2>&1; }
key_exists() { "$wine" reg query "$1" >/dev/null 2>&1; }

"$wine" "$regsvr32" /s "$dll"
key_exists 'HKCR\hwEq.tallowmer\Clsid' && class_key_exists 'HKCR\CLSID\{7C41E9A2-3D58-4B16-A0F3-95B2C6D84E17}\InprocServer32'
result $? "regsvr32 registers the class and its ProgID"
threading=$("$wine" reg query 'HKCR\CLSID\{7C41E9A2-3D58-4B16-A0F3-95B2C6D84E17}\InprocServer32' /v ThreadingModel "$view" 2>/dev/null | tr -d '\r')
echo "$threading" | grep -q 'Apartment'
result $? "the threading model is Apartment"

"$wine" "$client" hwEq.tallowmer ls_tallowmer.dll > "$work/client.log" 2>&1
client_status=$?
sed 's/^/    /' "$work/client.log"
result $client_status "the C++ IDispatch client's checks"

# Argument forms script hosts never build (arrays that refer back to themselves or nest without
# end, unsigned values of 2^31 and more, arrays without a stored type, locked arrays, values the
# driver cannot hold, the thread's error object, a new 1 MB token on every call), each case in its
# own process: one that takes its process down fails alone.
run_boundary_cases() {
  local case status
  local cases=(self_reference deep_nesting many_elements unsigned no_vartype locked all_or_nothing
    values_kept error_info null_forms "token_memory 1000")
  # Under qemu's emulation a 32-bit process takes most of a minute to start, so the cases share one
  # (a case that took it down fails the rest with it), and the token case makes fewer calls.
  [ "$x86_runtime" = emulated ] && cases=("every 200")
  for case in "${cases[@]}"; do
    # shellcheck disable=SC2086 # the token case carries its call count as a second word
    timeout 1200 "$wine" "$build/tests/wine/boundary_client.exe" $case > "$work/boundary.log" 2>&1
    status=$?
    [ "$status" -eq 0 ] && ! closes_without_failure "$work/boundary.log" && status=1
    iconv -f cp866 -t utf-8 "$work/boundary.log" 2>/dev/null | sed 's/^/    /'
    result $status "argument forms, ${case%% *}: every check holds and the process lives"
  done
}
run_boundary_cases

# Seeded random calls with every argument form; a hang (a window, a slow request) fails it too.
torture_seed=${TORTURE_SEED:-20261210}
timeout 600 "$wine" "$build/tests/wine/torture_client.exe" --seed "$torture_seed" --calls 100000 \
  > "$work/torture.log" 2>&1
torture_status=$?
iconv -f cp866 -t utf-8 "$work/torture.log" 2>/dev/null | grep -v ' calls, private bytes' | sed 's/^/    /'
result $torture_status "100000 random calls leave the client alive, answered as promised, without growing memory"

# Everything that goes through the service: WinHTTP, the proxies, the host program, a VBScript sale
# and two threads' logs.
run_service_cases() {
  # The service simulator on loopback, plain HTTP (Wine's TLS trust store is not ours to set up).
  "$simulator" --plain --listen 127.0.0.1:0 --db :memory: --seed --faults --token wine-test-token-1 > "$work/sim.out" 2> "$work/sim.err" &
  simulator_pid=$!
  for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
  base_url=$(head -n 1 "$work/sim.out")

  run_transport_cases
  run_proxy_cases
  run_host_program_cases
  devices='C:\ls_tallowmer_test\devices'
  host_script "$(dirname "$(realpath "$0")")/sale.vbs" "$work/sale.vbs"
  "$wine" "$cscript" //nologo "$(windows_path "$work/sale.vbs")" "$base_url" wine-test-token-1 "$devices" \
    > "$work/sale.log" 2>&1
  sale_status=$?
  iconv -f cp1251 -t utf-8 "$work/sale.log" 2>/dev/null | sed 's/^/    /'
  result $sale_status "a VBScript host sells, cancels and checks balances through the simulator"

  device_folder="$WINEPREFIX/drive_c/ls_tallowmer_test/devices/1"
  ls "$device_folder"/http_*.log >/dev/null 2>&1
  result $? "the HTTP log is written in the device folder"
  ls "$device_folder"/Debug_*.log >/dev/null 2>&1
  result $? "the debug log is written in the device folder"
  ! grep -q 'wine-test-token-1' "$device_folder"/*.log 2>/dev/null
  result $? "no log shows the token"

  # Two hosts' objects on two threads of one process, both writing the same daily debug log.
  threads_folder="$WINEPREFIX/drive_c/ls_tallowmer_test/threads/1"
  "$wine" "$build/tests/wine/two_threads_client.exe" hwEq.tallowmer "$base_url" wine-test-token-1 \
    'C:\ls_tallowmer_test\threads' 2000 > "$work/threads.log" 2>&1
  threads_status=$?
  sed 's/^/    /' "$work/threads.log"
  result $threads_status "two driver objects on two threads, 2000 calls each with the debug log on: no call fails"
  [ "$(grep -c '< GetDeviceInfo' "$threads_folder"/Debug_*.log 2>/dev/null)" = 2000 ] &&
    ! grep -q 'EXCEPTION' "$threads_folder"/Debug_*.log
  result $? "their shared debug log holds every call's trace and no lost line"

  run_planted_log_cases
}

# plant_case N HOW_DEBUG HOW_HTTP: links planted for case N as today's logs of its device folder, to
# victims outside it ("symlink": a Unix symbolic link, which Windows code sees as the file it leads
# to, as it would a junction or a symbolic link; "hardlink": CreateHardLinkW), or "swapped": the
# device folder itself a Unix symbolic link to another folder that holds files of the logs' names,
# or "parent": the devices folder above it such a link; or today's logs themselves, "readonly" or
# "held" open by a reader that lets nobody write, until a file "release" appears in the case's folder
# (the reader's process is $holder_pid).
plant_case() {
  local folder="$WINEPREFIX/drive_c/ls_tallowmer_planted/case$1/1" victims="$WINEPREFIX/drive_c/ls_tallowmer_victims/case$1"
  local logs=("C:\\ls_tallowmer_planted\\case$1\\1\\Debug_$today.log" "C:\\ls_tallowmer_planted\\case$1\\1\\http_$today.log")
  if [ "$2" = readonly ] || [ "$2" = held ]; then
    mkdir -p "$folder"
    [ "$2" = readonly ] && { "$wine" "$build/tests/wine/log_folder_probe.exe" readonly "${logs[@]}"; return; }
    "$wine" "$build/tests/wine/log_folder_probe.exe" hold "C:\\ls_tallowmer_planted\\case$1\\release" "${logs[@]}" > "$work/holder$1.txt" &
    holder_pid=$!
    for _ in $(seq 100); do grep -q held "$work/holder$1.txt" 2>/dev/null && break; sleep 0.1; done
    return
  fi
  if [ "$2" = parent ]; then
    mkdir -p "$victims/1" "$(dirname "$(dirname "$folder")")"
    printf untouched > "$victims/1/Debug_$today.log"
    printf untouched > "$victims/1/http_$today.log"
    ln -s "$victims" "$(dirname "$folder")"
    return
  fi
  mkdir -p "$victims" "$(dirname "$folder")"
  if [ "$2" = swapped ]; then
    printf untouched > "$victims/Debug_$today.log"
    printf untouched > "$victims/http_$today.log"
    ln -s "$victims" "$folder"
    return
  fi
  mkdir -p "$folder"
  local log how
  for log in Debug http; do
    [ "$log" = Debug ] && how=$2 || how=$3
    printf untouched > "$victims/$log.txt"
    if [ "$how" = symlink ]; then
      ln -s "$victims/$log.txt" "$folder/${log}_$today.log"
    else
      "$wine" "$build/tests/wine/log_folder_probe.exe" hardlink \
        "C:\\ls_tallowmer_planted\\case$1\\1\\${log}_$today.log" "C:\\ls_tallowmer_victims\\case$1\\$log.txt"
    fi
  done
}

# victims_untouched N: every victim of case N holds what it held, and nothing joined them; the
# logs planted in the device folder are the victims where no others were made.
victims_untouched() {
  local victims="$WINEPREFIX/drive_c/ls_tallowmer_victims/case$1" file
  [ -d "$victims" ] || victims="$WINEPREFIX/drive_c/ls_tallowmer_planted/case$1/1"
  [ "$(find "$victims" -type f | wc -l)" = 2 ] || return 1
  for file in $(find "$victims" -type f); do [ "$(cat "$file")" = untouched ] || return 1; done
}

# Another user of the till plants links in a shared log folder: the VBScript host still sells, the
# victims stay as they were, and the user's own log notes each refusal once.
run_planted_log_cases() {
  today=$(date +%Y.%m.%d)
  local private case how_debug how_http status
  for case in 1:symlink:hardlink 2:hardlink:symlink 3:swapped: 4:parent: 5:held: 6:readonly:; do
    IFS=: read -r case how_debug how_http <<< "$case"
    plant_case "$case" "$how_debug" "$how_http"
    "$wine" "$cscript" //nologo "$(windows_path "$work/sale.vbs")" "$base_url" wine-test-token-1 \
      "C:\\ls_tallowmer_planted\\case$case" > "$work/planted$case.log" 2>&1
    status=$?
    [ "$how_debug" = held ] && { touch "$WINEPREFIX/drive_c/ls_tallowmer_planted/case$case/release"; wait "$holder_pid"; }
    iconv -f cp1251 -t utf-8 "$work/planted$case.log" 2>/dev/null | sed 's/^/    /'
    case $how_debug in
      swapped) how_debug="a device folder swapped for a link to another folder" ;;
      parent) how_debug="the devices folder above it swapped for a link to another folder" ;;
      held) how_debug="both logs held open by a reader that lets nobody write" ;;
      readonly) how_debug="both logs read-only files" ;;
      *) how_debug="Debug_….log a $how_debug, http_….log a $how_http" ;;
    esac
    result $status "case $case ($how_debug): the VBScript host's sale succeeds"
    victims_untouched "$case"
    result $? "case $case ($how_debug): the victims stay byte for byte the same"
    private=$(find "$WINEPREFIX/drive_c/users" -path '*/AppData/Local/Quorvane/ls_tallowmer/logs' -type d | head -n 1)
    [ "$(iconv -f cp1251 -t utf-8 "$private/Debug_$today.log" 2>/dev/null | grep -cF "ls_tallowmer_planted\\case$case\\1\\Debug_$today.log отклонён: ")" = 1 ] &&
      [ "$(grep -cF "ls_tallowmer_planted\\case$case\\1\\http_$today.log отклонён: " "$private/http_$today.log" 2>/dev/null)" = 1 ] &&
      grep -q '< CloseOrder: .Result=True' "$private/Debug_$today.log"
    result $? "case $case ($how_debug): the lines went to the user's own log, which notes each refusal once"
  done

  # The access list that the module writes to a folder it opens to everyone: everyone may list it,
  # add files, read and append to them (0x1200ab on the folder, 0x12008d inherited by files), never
  # remove, rename or take over a file or the folder (no DELETE, FILE_DELETE_CHILD, WRITE_DAC,
  # WRITE_OWNER); each file's creator has it in full.
  "$wine" "$build/tests/wine/log_folder_probe.exe" shared-acl | tr -d '\r' > "$work/acl.txt"
  sed 's/^/    /' "$work/acl.txt"
  grep -qx 'allow flags=0x00 mask=0x001200ab sid=S-1-1-0' "$work/acl.txt" &&
    grep -qx 'allow flags=0x09 mask=0x0012008d sid=S-1-1-0' "$work/acl.txt" &&
    grep -qx 'allow flags=0x09 mask=0x001f01ff sid=S-1-3-0' "$work/acl.txt" &&
    [ "$(grep -c 'sid=S-1-1-0$' "$work/acl.txt")" = 2 ]
  result $? "shared log folders let everyone create, read and append to logs, not remove them, the folder or its permissions"
  # The device folder that the driver created for the first sale, read back. This Wine keeps no
  # access list of a file (its wineserver has no extended-attribute store): it answers one made
  # from the Unix mode bits, and there the check can only be skipped.
  "$wine" "$build/tests/wine/log_folder_probe.exe" acl 'C:\ls_tallowmer_test\devices\1' | tr -d '\r' > "$work/acl-read.txt"
  if cmp -s "$work/acl.txt" "$work/acl-read.txt"; then
    result 0 "the device folder the driver created carries that list"
  elif [ "$(grep -c . "$work/acl-read.txt")" = 3 ] && grep -q 'flags=0x03 mask=0x001f01ff sid=S-1-5-18' "$work/acl-read.txt"; then
    sed 's/^/    read back: /' "$work/acl-read.txt"
    echo "skipped: the device folder's list read back: this Wine keeps no access list of a file, only its Unix mode"
    skipped=$((skipped + 1))
  else
    sed 's/^/    read back: /' "$work/acl-read.txt"
    result 1 "the device folder the driver created carries that list"
  fi
}

# Under qemu-i386 a 32-bit thread that ends takes its process down ("libgcc_s.so.1 must be installed
# for pthread_exit to work", although it is): WinHTTP's requests then die or hang, for minutes each.
if [ "$x86_runtime" = emulated ]; then
  echo "skipped: the service cases: this kernel cannot run 32-bit programs, and under qemu's emulation a 32-bit thread's end aborts its process, so WinHTTP's requests die or hang"
  skipped=$((skipped + 1))
else
  run_service_cases
fi

"$wine" "$regsvr32" /u /s "$dll"
! key_exists 'HKCR\hwEq.tallowmer' && ! class_key_exists 'HKCR\CLSID\{7C41E9A2-3D58-4B16-A0F3-95B2C6D84E17}'
result $? "unregistration leaves no key behind"

"$wine" "$regsvr32" /s /n /i:user "$dll"
key_exists 'HKCU\Software\Classes\hwEq.tallowmer\Clsid' && ! key_exists 'HKLM\Software\Classes\hwEq.tallowmer'
result $? "DllInstall with \"user\" registers per user"
"$wine" "$regsvr32" /u /s /n /i:user "$dll"
! key_exists 'HKCU\Software\Classes\hwEq.tallowmer'
result $? "per-user unregistration removes the keys"

echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
