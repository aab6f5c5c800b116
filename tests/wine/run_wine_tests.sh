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
run_transport_cases() {
  start_https_simulator trusted
  start_https_simulator untrusted
  local program="$work/transport/transport_conformance.exe"
  mkdir -p "$work/transport/SSL" "$work/transport/log"
  cp "$build/tests/wine/transport_conformance.exe" "$program"
  cp "$untrusted_ca" "$work/transport/SSL/ca-bundle.pem"
  "$wine" "$build/tests/wine/add_root_certificate.exe" "$(windows_path "$trusted_ca")"
  result $? "the simulator's authority joins the machine's Root store"
  "$wine" "$program" "$base_url" "$trusted_url" "$untrusted_url" wine-test-token-1 \
    "$(windows_path "$work/transport/log")" > "$work/transport.log" 2>&1
  local status=$?
  sed 's/^/    /' "$work/transport.log"
  result $status "WinHTTP passes the transport cases over HTTP and HTTPS"
  kill "$trusted_pid" "$untrusted_pid" 2>/dev/null
}

if [ "$arch" = "x86" ] && ! [ -x /usr/lib/wine/wine ]; then
  echo "skipped: the x86 module needs 32-bit Wine (wine32), which is not installed here"
  echo "0 passed, 0 failed, 1 skipped"
  exit 0
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
# Keep one wineserver for the whole run: every later start is then quick.
/usr/lib/wine/wineserver -p

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

# Seeded random calls with every argument form; a hang (a window, a slow request) fails it too.
torture_seed=${TORTURE_SEED:-20261210}
timeout 600 "$wine" "$build/tests/wine/torture_client.exe" --seed "$torture_seed" --calls 100000 \
  > "$work/torture.log" 2>&1
torture_status=$?
iconv -f cp866 -t utf-8 "$work/torture.log" 2>/dev/null | grep -v ' calls, private bytes' | sed 's/^/    /'
result $torture_status "100000 random calls leave the client alive, answered as promised, without growing memory"

# The service simulator on loopback, plain HTTP (Wine's TLS trust store is not ours to set up).
"$simulator" --plain --listen 127.0.0.1:0 --db :memory: --seed --faults --token wine-test-token-1 > "$work/sim.out" 2> "$work/sim.err" &
simulator_pid=$!
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
base_url=$(head -n 1 "$work/sim.out")

run_transport_cases
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
