# A test script's checks as they are counted: a line for each ("ok: …", "FAILED: …" or
# "skipped: …") and one closing line, "N passed, N failed, N skipped", which stages.sh adds up
# over every script of a stage.

passed=0
failed=0
skipped=0

# result STATUS TEXT: the check TEXT passed when STATUS is 0.
result() {
  if [ "$1" -eq 0 ]; then
    echo "ok: $2"
    passed=$((passed + 1))
  else
    echo "FAILED: $2"
    failed=$((failed + 1))
  fi
}

# skip TEXT: a check that cannot be made here; TEXT names it and says why.
skip() {
  echo "skipped: $1"
  skipped=$((skipped + 1))
}

# The closing line; fails when any check failed.
closing_line() {
  echo "$passed passed, $failed failed, $skipped skipped"
  [ "$failed" -eq 0 ]
}

# closes_without_failure LOG: LOG holds a program's closing "N passed, 0 failed" line, which tells
# a run that ended from one that died on its way (a process torn down can still exit 0).
closes_without_failure() {
  tr -d '\r' <"$1" | grep -E '^[0-9]+ passed, [0-9]+ failed' | tail -n 1 | grep -Eq '^[0-9]+ passed, 0 failed$'
}
