#!/usr/bin/env bash
# The settings dialog of ls_tallowmer_host on a real terminal: tmux runs the host in a pane, types
# a new Host, a new Token (which the terminal must not echo) and OK, and the JSON the host prints
# must carry them; written with --output, the file is the owner's alone. Without a terminal the
# host must answer cancelled at once and say that no terminal is available.
#   tests/ui/run_tmux_test.sh BUILD_DIR
set -euo pipefail

build=${1:?usage: run_tmux_test.sh BUILD_DIR}
host="$build/tools/host/ls_tallowmer_host"
work=$(mktemp -d)
# A server of our own, so that no tmux of the user's is touched.
socket="ls_tallowmer_test_$$"
tmux_() { tmux -L "$socket" -u "$@"; }
cleanup() {
  tmux_ kill-session -t dialog 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

export LS_TALLOWMER_DATA_DIR="$work/data"
# Nothing listens there: Enable goes on at once without the service.
settings=(--set Host=http://127.0.0.1:9/old --set Token=token-0001)

fail() {
  echo "FAIL: $*" >&2
  echo "--- pane ---" >&2
  cat "$work/pane.txt" >&2 2>/dev/null || true
  exit 1
}

# No controlling terminal: nothing printed and exit status 1.
status=0
setsid -w "$host" "${settings[@]}" settings </dev/null >"$work/none.out" 2>"$work/none.err" || status=$?
[ "$status" -eq 1 ] || fail "without a terminal the host exited with $status"
[ ! -s "$work/none.out" ] || fail "without a terminal the host printed $(cat "$work/none.out")"
grep -qF "ShowSettingsDlg: 201" "$work/none.err" || fail "without a terminal the dialog did not answer 201"
grep -qF "no terminal is available" "$work/none.err" || fail "without a terminal the host did not say so"

# Waits until the pane shows $1, for up to 10 s.
wait_for() {
  for _ in $(seq 100); do
    tmux_ capture-pane -p -J -t dialog -S - >"$work/pane.txt"
    grep -qF -- "$1" "$work/pane.txt" && return 0
    sleep 0.1
  done
  fail "the pane never showed: $1"
}

printf -v command '%q ' "$host" "${settings[@]}" settings --output "$work/saved.json"
tmux_ new-session -d -s dialog -x 200 -y 60 \
  "LS_TALLOWMER_DATA_DIR=$(printf %q "$LS_TALLOWMER_DATA_DIR") $command 2>$(printf %q "$work/host.err"); echo \"exit status \$?\"; sleep 60"

wait_for "Номер поля или команда:"
grep -qxF "  1. Адрес сервера: http://127.0.0.1:9/old" "$work/pane.txt" || fail "the page does not show the Host"
grep -qxF "  2. Token: ••••••••••" "$work/pane.txt" || fail "the Token is not masked"
tmux_ send-keys -t dialog 1 Enter
wait_for "Адрес сервера: (Esc"
tmux_ send-keys -t dialog -l "http://127.0.0.1:9/new"
tmux_ send-keys -t dialog Enter
wait_for "1. Адрес сервера: http://127.0.0.1:9/new"
tmux_ send-keys -t dialog 2 Enter
wait_for "Token: (Esc"
tmux_ send-keys -t dialog -l "typed-secret-42"
tmux_ send-keys -t dialog Enter
wait_for "2. Token: •••••••••••••••"
tmux_ send-keys -t dialog o Enter
wait_for "exit status"

grep -qF "exit status 0" "$work/pane.txt" || fail "the host did not exit with 0"
! grep -qF "typed-secret-42" "$work/pane.txt" || fail "the terminal echoed the Token"
[ "$(stat -c %a "$work/saved.json")" = 600 ] || fail "--output wrote mode $(stat -c %a "$work/saved.json")"
grep -qF '"Host":"http://127.0.0.1:9/new"' "$work/saved.json" || fail "the saved settings lack the new Host"
grep -qF '"Token":"typed-secret-42"' "$work/saved.json" || fail "the saved settings lack the new Token"

# What was written is what --settings reads back.
"$host" --settings "$work/saved.json" call GetSettings >"$work/again.out" 2>/dev/null ||
  fail "--settings did not take the printed settings"
grep -qF "http://127.0.0.1:9/new" "$work/again.out" || fail "--settings did not apply the printed Host"

# Standard output redirected into a file others may read: the host narrows it to the owner.
tmux_ kill-session -t dialog
(umask 022 && : >"$work/redirected.json")
printf -v command '%q ' "$host" --settings "$work/saved.json" settings
tmux_ new-session -d -s dialog -x 200 -y 60 \
  "LS_TALLOWMER_DATA_DIR=$(printf %q "$LS_TALLOWMER_DATA_DIR") $command >$(printf %q "$work/redirected.json") 2>/dev/null; echo \"exit status \$?\"; sleep 60"
wait_for "Номер поля или команда:"
tmux_ send-keys -t dialog o Enter
wait_for "exit status"
[ "$(stat -c %a "$work/redirected.json")" = 600 ] || fail "the redirected output kept mode $(stat -c %a "$work/redirected.json")"
grep -qF '"Token":"typed-secret-42"' "$work/redirected.json" || fail "the redirected output lacks the settings"
echo "PASS"
