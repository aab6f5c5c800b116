#!/usr/bin/env bash
# The WAN benchmark: a whole sale through the Linux host program, bare curl and the Windows host
# program under Wine (x64, and x86 where 32-bit programs run natively), over a relay that makes
# loopback a network with the given round-trip time. Prints figures; its last line sums them up.
# Usage: run_wan_bench.sh LINUX_BUILD WIN64_BUILD WIN32_BUILD [RTT_MS [relay|packets]]
#        (./run.sh bench wan [RTT_MS [relay|packets]])
#
# As root it runs in network and mount namespaces of its own: there the service has a name of its
# own ("wan.tallowmer.test", answered by the benchmark's DNS responder, which counts the look-ups)
# and the relay its port 443. Elsewhere the service is "localhost" and look-ups are not counted.
# "packets" (root only) puts the service in a second network namespace across a delay line of IP
# packets, which makes the round trips instead of the relay: TCP then meets the network as it would,
# its handshake, Nagle's algorithm and delayed acknowledgements included. Names are answered on the
# clients' side, as near as a till's router.
set -euo pipefail

here=$(dirname "$(realpath "$0")")
linux=$(realpath "$1")
win64=$(realpath "$2")
win32=$(realpath "$3")
rtt=${4:-40}
mode=${5:-relay}
case "$mode" in
  relay | packets) ;;
  *) echo "the mode is relay or packets, not $mode" >&2; exit 2 ;;
esac
wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
service_name=wan.tallowmer.test

if [ -z "${WAN_BENCH_INSIDE:-}" ] && [ "$(id -u)" -eq 0 ] &&
  unshare --net --mount --fork true 2>/dev/null; then
  WAN_BENCH_INSIDE=1 exec unshare --net --mount --fork "$0" "$@"
fi

work=$(mktemp -d /tmp/ls_tallowmer_wan_XXXXXX)
export WINEDEBUG=-all WINEPREFIX="$work/prefix" WINEDLLOVERRIDES='mscoree,mshtml='
cleanup() {
  "${wine64%/*}/wineserver" -k 2>/dev/null || true
  [ -n "${service_ns_pid:-}" ] && kill "$service_ns_pid" 2>/dev/null
  rm -rf "$work/prefix"
}
trap cleanup EXIT

network=(--name localhost)
if [ -n "${WAN_BENCH_INSIDE:-}" ]; then
  ip link set lo up
  # The service's name goes to the benchmark's responder; every other name is unknown here.
  printf '127.0.0.1 localhost\n::1 localhost\n' > "$work/hosts"
  network=(--name "$service_name" --relay-port 443 --dns-port 53)
  if [ "$mode" = packets ]; then
    # The service's namespace: a process that only holds it.
    unshare --net sleep infinity &
    service_ns_pid=$!
    network+=(--service-netns "/proc/$service_ns_pid/ns/net")
  fi
  printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' > "$work/resolv.conf"
  mount --bind "$work/hosts" /etc/hosts
  mount --bind "$work/resolv.conf" /etc/resolv.conf
else
  [ "$mode" = packets ] && { echo "the delay line of packets needs root and namespaces" >&2; exit 2; }
  echo "Not root, or no namespaces here: the service is localhost and DNS look-ups are not counted."
fi

# Timed only where 32-bit programs run natively: through qemu's emulation they run several times
# slower. The emulation's switch is the Wine scenarios' business and is only read here.
x86_native=false
if [ "$(head -n 1 /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null)" = enabled ]; then
  x86_reason="qemu's emulation of 32-bit programs is on, and times through it would not be the module's"
elif [ -x "$wine32" ] && "$wine32" --version >/dev/null 2>&1; then
  x86_native=true
else
  x86_reason="32-bit programs do not run natively here"
fi

# probes ARCH WINE BUILD: plain WinHTTP without the driver, to tell what Wine does apart from what the
# driver asks: each step of keeping a session, a POST's body, the proxy search, the Root store.
probes() {
  local probe="${windebug}$2 $3/tests/bench/wan/windows/wan_winhttp_probe.exe"
  [ -f "$3/tests/bench/wan/windows/wan_winhttp_probe.exe" ] || return 0
  local url='"$BENCH_URL/ping?token=$BENCH_TOKEN"'
  clients+=(--probe "$1 a session per request=$probe $url --share none --requests 3 --proxy-search"
    --probe "$1 one session=$probe $url --share session --requests 3"
    --probe "$1 one session and connection handle=$probe $url --share connect --requests 3"
    --probe "$1 POST=$probe $url --share connect --requests 2 --post 700"
    --probe "$1 Root store opened first=$probe $url --root-first --requests 1")
  local schannel="${windebug}$2 $3/tests/bench/wan/windows/schannel_probe.exe"
  local place='"$BENCH_HOST" "$BENCH_PORT" "/api/v2/ping?token=$BENCH_TOKEN"'
  [ -f "$3/tests/bench/wan/windows/schannel_probe.exe" ] || return 0
  clients+=(--probe "$1 SChannel, credentials per connection=$schannel $place --credentials each --resolve each"
    --probe "$1 SChannel, one credentials handle=$schannel $place --credentials shared --resolve once")
}

clients=(--curl "tls1.3=" --curl "tls1.2=--tls-max 1.2" --linux "exec $linux/tools/host/ls_tallowmer_host --raw -")
prepare=()
if [ -x "$wine64" ] && [ -f "$win64/tools/host/ls_tallowmer_host.exe" ]; then
  echo "Preparing a Wine prefix in $WINEPREFIX ..."
  "$wine64" wineboot -i >/dev/null 2>&1
  # One server for the whole run: the Root store's authority must reach every program, and a
  # program's start is then quick.
  "${wine64%/*}/wineserver" -w
  "${wine64%/*}/wineserver" -p
  prepare=(--prepare "$wine64 $win64/tests/wine/add_root_certificate.exe \"\$BENCH_CA_WINDOWS\"")
  # WAN_BENCH_WINEDEBUG: Wine's trace channels for the Windows programs, written to their .err files.
  windebug=${WAN_BENCH_WINEDEBUG:+WINEDEBUG=$WAN_BENCH_WINEDEBUG }
  clients+=(--windows "windows x64=${windebug}exec $wine64 $win64/tools/host/ls_tallowmer_host.exe --raw -")
  probes "x64" "$wine64" "$win64"
  if $x86_native && [ -f "$win32/tools/host/ls_tallowmer_host.exe" ]; then
    clients+=(--windows "windows x86=${windebug}exec $wine32 $win32/tools/host/ls_tallowmer_host.exe --raw -")
    probes "x86" "$wine32" "$win32"
  else
    echo "The x86 module is left out: ${x86_reason:-it is not built}."
  fi
else
  echo "Wine or the x64 build is missing: the Windows transport is left out."
fi

"$linux/tests/bench/wan/wan_bench" --rtt "$rtt" --sim "$linux/tools/sim/tallowmer_sim" --work "$work" \
  "${network[@]}" "${prepare[@]}" "${clients[@]}" ${WAN_BENCH_TRACE:+--trace}
echo "The programs' own output is in $work."
