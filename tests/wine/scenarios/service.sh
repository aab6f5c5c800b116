# Everything that goes through the service: WinHTTP's transport cases over HTTP and HTTPS, the
# system's proxies, the host program for Windows, a VBScript sale with its logs, and two threads'
# objects sharing one debug log.

source "$root/tests/wine/module.sh"

# add_root_certificate AUTHORITY_FILE: the authority joins the prefix's machine Root store, which
# WinHTTP alone trusts.
add_root_certificate() {
  "$wine" "$build/tests/wine/add_root_certificate.exe" "$(windows_path "$1")"
}

# The transport cases of the Linux build, through WinHTTP: plain HTTP, HTTPS verified against the
# machine's Root store, and an authority that only SSL/ca-bundle.pem beside the program names,
# which Windows does not read: the system store alone decides there.
run_conformance() {
  "$wine" "$1" "$base_url" "$trusted_url" "$untrusted_url" wine-test-token-1 \
    "$(windows_path "$work/transport/log")" "$garbage_url" "${refusing_url#http://}" \
    "$hostile_url" "$hostile_tls_url" >"$work/transport.log" 2>&1
}

# only_secure_channel_failures LOG: the run failed some cases, each with WinHTTP's 12157.
only_secure_channel_failures() {
  awk '/^ *FAILED - / { failed++; expect = 1; next }
       expect { if ($0 ~ /WinHTTP 12157/) channel++; expect = 0 }
       END { exit !(failed > 0 && failed == channel) }' "$1"
}

run_transport_cases() {
  start_https_simulator trusted
  start_https_simulator untrusted
  start_proxy garbage "$work/garbage.record" garbage
  start_proxy refusing "$work/refusing.record" refuse
  start_hostile_server hostile
  local program="$work/transport/transport_conformance.exe"
  mkdir -p "$work/transport/SSL" "$work/transport/log"
  cp "$build/tests/wine/transport_conformance.exe" "$program"
  cp "$untrusted_ca" "$work/transport/SSL/ca-bundle.pem"
  add_root_certificate "$trusted_ca" && add_root_certificate "$hostile_ca"
  result $? "the simulator's and the hostile server's authorities join the machine's Root store"
  run_conformance "$program"
  local status=$?
  # Wine's secure channel now and then fails a handshake with 12157 by itself: a run whose only
  # failures are that runs once more in a new process, the first run shown.
  if [ $status -ne 0 ] && only_secure_channel_failures "$work/transport.log"; then
    sed 's/^/    first run: /' "$work/transport.log"
    run_conformance "$program"
    status=$?
  fi
  sed 's/^/    /' "$work/transport.log"
  [ $status -eq 0 ] && closes_without_failure "$work/transport.log"
  result $? "WinHTTP passes the transport cases over HTTP and HTTPS"
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
    >"$work/$1.txt" 2>&1
}

# The system's proxy through WinHTTP: the recording proxy of the Linux tests named by the user's
# Internet settings, then bypassed by their list, then named by the machine's WinHTTP setting.
run_proxy_cases() {
  start_https_simulator proxied
  add_root_certificate "$proxied_ca"
  start_proxy recorder "$work/tunnels.txt"
  local proxy authority
  proxy=${recorder_url#http://}
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
  tunnels_before=$(wc -l <"$work/tunnels.txt")
  proxied_ping user_bypass
  status=$?
  sleep 0.2
  [ $status -eq 0 ] && [ "$(wc -l <"$work/tunnels.txt")" -eq "$tunnels_before" ] &&
    grep -q "^Stat Connected\."$'\r'"\$" "$work"/user_bypass/http_*.log
  result $? "the user's bypass list sends the ping direct"

  set_user_proxy "" ""
  set_machine_proxy "$proxy" ""
  proxied_ping machine_proxy
  status=$?
  sleep 0.2
  [ $status -eq 0 ] && [ "$(wc -l <"$work/tunnels.txt")" -eq $((tunnels_before + 1)) ] &&
    grep -q "^Stat Connected\. Proxy: $proxy" "$work"/machine_proxy/http_*.log
  result $? "without a user's proxy, the machine's WinHTTP setting carries the ping"

  "$wine" reg delete "$machine_settings_key" /v WinHttpSettings /f "$view" >/dev/null 2>&1
  run_kept_route_case "$proxy"

  "$wine" reg delete "$internet_settings_key" /v DefaultConnectionSettings /f >/dev/null 2>&1
}

# kept_ping: one more ping of the running `proxied_ping --each-line`, its line added to kept_answers.
kept_ping() {
  local line=""
  echo >&"${KEPT[1]}" && IFS= read -r -t 60 line <&"${KEPT[0]}"
  kept_answers+=("${line%$'\r'}")
}

# One transport, many requests: the route is decided at the first request and kept while the user's
# settings change, each request still on a connection of its own (a tunnel each at the recording
# proxy); once the kept proxy cannot be reached, the request after the failed one decides again and
# goes direct. The HTTP log names each connected request's route and when it was decided.
run_kept_route_case() {
  local proxy=$1 folder="$work/kept_route" before tunnels
  mkdir -p "$folder"
  kept_answers=()
  set_user_proxy "$proxy" ""
  before=$(wc -l <"$work/tunnels.txt")
  coproc KEPT { "$wine" "$build/tests/wine/proxied_ping.exe" "$proxied_url" wine-test-token-1 \
    "$(windows_path "$folder")" --each-line 2>"$work/kept_route.err"; }
  local kept_pid=$KEPT_PID kept_input=${KEPT[1]}
  kept_ping
  set_user_proxy "" ""
  kept_ping
  kept_ping
  sleep 0.2
  tunnels=$(($(wc -l <"$work/tunnels.txt") - before))
  stop_process "$recorder_pid"
  kept_ping
  kept_ping
  exec {kept_input}>&-
  wait "$kept_pid"
  printf '    %s\n' "${kept_answers[@]}" "tunnels for the first three: $tunnels"
  local routes
  routes=$(cat "$folder"/http_*.log 2>/dev/null | tr -d '\r' | grep '^Stat Route: ')
  echo "$routes" | sed 's/^/    /'
  [[ ${kept_answers[0]} == answer:* && ${kept_answers[1]} == answer:* && ${kept_answers[2]} == answer:* ]] &&
    [ "$tunnels" -eq 3 ] && [ "$(echo "$routes" | head -n 3 | sort -u | wc -l)" -eq 1 ] &&
    echo "$routes" | head -n 1 | grep -q "^Stat Route: proxy .*$proxy, since "
  result $? "one transport keeps the proxy it decided for three pings while the settings say direct, a tunnel each"
  [[ ${kept_answers[3]} == failure* && ${kept_answers[4]} == answer:* ]] &&
    [ "$(echo "$routes" | wc -l)" -eq 4 ] && echo "$routes" | tail -n 1 | grep -q '^Stat Route: direct, since '
  result $? "when the kept proxy is gone the request fails, and the next one decides again and goes direct"
}

# host_program ARGS...: ls_tallowmer_host.exe with the settings of the host program's simulator.
host_program() {
  "$wine" "$build/tools/host/ls_tallowmer_host.exe" --set "Host=$hostprog_url" --set Token=wine-test-token-1 \
    --devices-folder 'C:\ls_tallowmer_host\devices' "$@" 2>>"$work/host_program.err"
}

# The host program for Windows: `check` against a healthy simulator, and a sale through it.
run_host_program_cases() {
  start_https_simulator hostprog
  add_root_certificate "$hostprog_ca"
  host_program check >"$work/check.txt"
  local status=$?
  # Windows ends the printed lines with CR LF.
  sed -i 's/\r$//' "$work/check.txt"
  sed 's/^/    /' "$work/check.txt"
  [ $status -eq 0 ] && [ "$(grep -c '^[1-7]\. .* — ОК (' "$work/check.txt")" -eq 7 ] &&
    tail -n 1 "$work/check.txt" | grep -qx 'Итог: связь с сервисом в порядке\.' &&
    ! grep -q 'wine-test-token-1' "$work/check.txt"
  result $? "ls_tallowmer_host.exe check passes every step against a healthy simulator"

  echo '{"call":"CreateOrder","in":[{"$empty":null},"79001234567",0]}' >"$work/order.jsonl"
  host_program "$(windows_path "$work/order.jsonl")" >"$work/order.txt"
  local order
  order=$(python3 -c 'import json,sys; print(json.loads(sys.stdin.readline())["args"][1][0])' <"$work/order.txt")
  local receipt='{"$matrix":[[null,null],[null,null],["4601","4602"],["Хлеб","Молоко 3,2%"],[{"$currency":"10"},{"$currency":"0"}],[3,2],[{"$currency":"100"},{"$currency":"159.8"}]]}'
  echo "{\"call\":\"CloseOrder\",\"in\":[\"$order\",$receipt,{\"\$currency\":\"50\"},0,\"79001234567\",0,0,\"\",null,\"\",\"Чек 1\"]}" \
    >"$work/sale.jsonl"
  host_program "$(windows_path "$work/sale.jsonl")" >"$work/sale.txt"
  sed 's/^/    /' "$work/order.txt" "$work/sale.txt"
  python3 -c 'import json,sys; a=json.loads(sys.stdin.readline()); sys.exit(0 if a["hresult"]==0 and a["result"] is True else 1)' \
    <"$work/sale.txt"
  result $? "ls_tallowmer_host.exe sells through the simulator over HTTPS (CreateOrder, CloseOrder)"
}

# A VBScript host's sale, its logs in the device folder, and the access list of that folder.
run_sale_cases() {
  host_script "$root/tests/wine/sale.vbs" "$work/sale.vbs"
  "$wine" "$system\\cscript.exe" //nologo "$(windows_path "$work/sale.vbs")" "$base_url" wine-test-token-1 \
    'C:\ls_tallowmer_test\devices' >"$work/sale.log" 2>&1
  local status=$?
  iconv -f cp1251 -t utf-8 "$work/sale.log" 2>/dev/null | sed 's/^/    /'
  result $status "a VBScript host sells, cancels and checks balances through the simulator"

  local device_folder="$drive_c/ls_tallowmer_test/devices/1"
  ls "$device_folder"/http_*.log >/dev/null 2>&1
  result $? "the HTTP log is written in the device folder"
  ls "$device_folder"/Debug_*.log >/dev/null 2>&1
  result $? "the debug log is written in the device folder"
  ! grep -q 'wine-test-token-1' "$device_folder"/*.log 2>/dev/null
  result $? "no log shows the token"

  # The access list that the module writes to a folder it opens to everyone: everyone may list it,
  # add files, read and append to them (0x1200ab on the folder, 0x12008d inherited by files), never
  # remove, rename or take over a file or the folder (no DELETE, FILE_DELETE_CHILD, WRITE_DAC,
  # WRITE_OWNER); each file's creator has it in full.
  "$wine" "$build/tests/wine/log_folder_probe.exe" shared-acl | tr -d '\r' >"$work/acl.txt"
  sed 's/^/    /' "$work/acl.txt"
  grep -qx 'allow flags=0x00 mask=0x001200ab sid=S-1-1-0' "$work/acl.txt" &&
    grep -qx 'allow flags=0x09 mask=0x0012008d sid=S-1-1-0' "$work/acl.txt" &&
    grep -qx 'allow flags=0x09 mask=0x001f01ff sid=S-1-3-0' "$work/acl.txt" &&
    [ "$(grep -c 'sid=S-1-1-0$' "$work/acl.txt")" = 2 ]
  result $? "shared log folders let everyone create, read and append to logs, not remove them, the folder or its permissions"
  # The device folder that the driver created for the sale, read back. This Wine keeps no access
  # list of a file (its wineserver has no extended-attribute store): it answers one made from the
  # Unix mode bits, and there the check can only be skipped.
  "$wine" "$build/tests/wine/log_folder_probe.exe" acl 'C:\ls_tallowmer_test\devices\1' | tr -d '\r' >"$work/acl-read.txt"
  if cmp -s "$work/acl.txt" "$work/acl-read.txt"; then
    result 0 "the device folder the driver created carries that list"
  elif [ "$(grep -c . "$work/acl-read.txt")" = 3 ] && grep -q 'flags=0x03 mask=0x001f01ff sid=S-1-5-18' "$work/acl-read.txt"; then
    sed 's/^/    read back: /' "$work/acl-read.txt"
    skip "the device folder's list read back: this Wine keeps no access list of a file, only its Unix mode"
  else
    sed 's/^/    read back: /' "$work/acl-read.txt"
    result 1 "the device folder the driver created carries that list"
  fi
}

# Two hosts' objects on two threads of one process, both writing the same daily debug log.
run_two_threads_case() {
  local folder="$drive_c/ls_tallowmer_test/threads/1"
  "$wine" "$build/tests/wine/two_threads_client.exe" hwEq.tallowmer "$base_url" wine-test-token-1 \
    'C:\ls_tallowmer_test\threads' 2000 >"$work/threads.log" 2>&1
  local status=$?
  sed 's/^/    /' "$work/threads.log"
  result $status "two driver objects on two threads, 2000 calls each with the debug log on: no call fails"
  [ "$(grep -c '< GetDeviceInfo' "$folder"/Debug_*.log 2>/dev/null)" = 2000 ] &&
    ! grep -q 'EXCEPTION' "$folder"/Debug_*.log
  result $? "their shared debug log holds every call's trace and no lost line"
}

scenario_run() {
  register_module || return
  # The service simulator on loopback, plain HTTP, for the cases that are not about TLS.
  start_plain_simulator plain
  base_url=$plain_url
  run_transport_cases
  run_proxy_cases
  run_host_program_cases
  run_sale_cases
  run_two_threads_case
}
