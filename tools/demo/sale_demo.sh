#!/usr/bin/env bash
# The road of one sale as a cashier's till makes it, through the driver's dispatch interface
# (ls_tallowmer_host) against the local service simulator over HTTPS.
# Usage: sale_demo.sh BUILD_DIR WORK_DIR   Exit status 0 only when every step succeeded.
# WORK_DIR is emptied first and then keeps this run's logs and the simulator's books.
set -uo pipefail

build=$(realpath "$1")
work=$2
host="$build/tools/host/ls_tallowmer_host"
simulator="$build/tools/sim/tallowmer_sim"
token=demo-token-0001
phone=79001234567

rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
export LS_TALLOWMER_DATA_DIR="$work/data"

cleanup() {
  [ -n "${simulator_pid:-}" ] && kill "$simulator_pid" 2>/dev/null && wait "$simulator_pid" 2>/dev/null
}
trap cleanup EXIT

"$simulator" --listen 127.0.0.1:0 --db "$work/sim.db" --seed --token "$token" --state-dir "$work/sim" \
  > "$work/sim.out" 2> "$work/sim.err" &
simulator_pid=$!
for _ in $(seq 100); do [ -s "$work/sim.out" ] && grep -q '^CA: ' "$work/sim.err" && break; sleep 0.1; done
base_url=$(head -n 1 "$work/sim.out")
ca_file=$(sed -n 's/^CA: //p' "$work/sim.err" | head -n 1)
if [ -z "$base_url" ] || [ -z "$ca_file" ]; then
  echo "The service simulator did not start:" >&2
  cat "$work/sim.err" >&2
  exit 1
fi
# The host trusts the simulator's own authority for this run only.
export LS_TALLOWMER_CA_FILE="$ca_file"

echo "Loyalty service simulator: $base_url (TLS, its CA trusted through LS_TALLOWMER_CA_FILE)"
echo

failures=0
# Each step is one host program: Init, Open, SetSettings and Enable, the call, Disable and Close.
# The call's own time stands beside its answer, the whole program's after the title.
step() {
  local title=$1
  shift
  local output started=$EPOCHREALTIME
  output=$("$host" --devices-folder "$work/devices" --set "Host=$base_url" --set "Token=$token" \
    --set DebugLogEnabled=true call "$@" 2>> "$work/host.log")
  local status=$?
  local now=$EPOCHREALTIME
  local whole=$(((${now//[.,]/} - ${started//[.,]/}) / 1000))
  echo "== $title (host program: $whole ms)"
  echo "$output"
  echo
  [ $status -eq 0 ] || failures=$((failures + 1))
  last_output=$output
}

field() { sed -n "s/^  \[[0-9]*\] $1: //p" <<< "$last_output" | head -n 1; }

step "Driver information" GetDeviceInfo
step "Customer by phone $phone" GetCustomerData "[\"$phone\",0,0]"
step "New order for the customer" CreateOrder "[{\"\$empty\":null},\"$phone\",0]"
order=$(field "order ID")

# Receipt table [column][line]: 2 product, 3 name, 4 discount, 5 quantity, 6 amount.
receipt='{"$matrix":[[null,null,null],[null,null,null],["4601","4602","4603"],["Хлеб Бородинский","Молоко 3,2%","Сыр Российский"],[{"$currency":"10"},{"$currency":"0"},{"$currency":"15.5"}],[3,2,0.35],[{"$currency":"100"},{"$currency":"159.8"},{"$currency":"210"}]]}'
step "Sale: three lines, discounts 25.50, 50 bonus points written off" CloseOrder \
  "[\"$order\",$receipt,{\"\$currency\":\"50\"},0,\"$phone\",0,0,\"\",null,\"\",\"Чек 1\"]"
sold_at=$(field "transaction date-time")

step "Customer after the sale" GetCustomerData "[\"$phone\",0,0]"
step "Return of the sale" CloseOrder \
  "[\"$order\",{\"\$empty\":null},0,0,\"$phone\",0,1,\"$order\",{\"\$date\":\"$sold_at\"},\"\",\"Возврат 1\"]"

step "A second order to cancel" CreateOrder "[{\"\$empty\":null},\"$phone\",0]"
second=$(field "order ID")
step "Second sale: one line" CloseOrder \
  "[\"$second\",{\"\$matrix\":[[null],[null],[\"4601\"],[\"Хлеб Бородинский\"],[{\"\$currency\":\"0\"}],[1],[{\"\$currency\":\"33.3\"}]]},0,0,\"$phone\",0,0,\"\",null,\"\",\"Чек 2\"]"
second_at=$(field "transaction date-time")
step "Cancellation of the second sale" CancelOrder "[\"$second\",{\"\$date\":\"$second_at\"},\"\",0,\"\"]"
step "Customer at the end" GetCustomerData "[\"$phone\",0,0]"

echo "Logs of this run, replaced by the next one: $work"
echo "  debug log:  $(ls "$work"/devices/1/Debug_*.log 2>/dev/null || echo 'not written')"
echo "  HTTP log:   $(ls "$work"/devices/1/http_*.log 2>/dev/null || echo 'not written')"
echo "  host calls: $work/host.log"
echo "  simulator:  $work/sim.err"
if [ $failures -ne 0 ]; then
  echo "$failures step(s) failed" >&2
  exit 1
fi
echo "Every step succeeded."
