# The stages of a test run: each runs whatever came before it failed, its output is shown and kept,
# and the run ends with one table of every stage's counts and seconds. A stage whose prerequisite
# stage failed is not run, and the table says which one it waited for.
#
#   stages_begin LOG_DIR
#   stage NAME [PREREQUISITE...] -- COMMAND [ARG...]
#   stages_summary        (prints the table and the total line; fails when any stage failed)
#
# Counts come from the stage's own closing lines: "N passed, N failed[, N skipped]" of the test
# scripts (added up when a stage runs several) and CTest's "N% tests passed, N tests failed out of
# N". A stage without such lines (a build) counts by its exit status alone.

stage_names=()
stage_verdicts=()
stage_counts=()
stage_seconds=()
stage_notes=()
stage_log_dir=

stages_begin() {
  stage_log_dir=$1
  rm -rf "$stage_log_dir"
  mkdir -p "$stage_log_dir"
}

# stage_verdict NAME: the verdict of a stage already run, empty for one that was not.
stage_verdict() {
  local i
  for i in "${!stage_names[@]}"; do
    [ "${stage_names[$i]}" = "$1" ] && echo "${stage_verdicts[$i]}" && return 0
  done
  return 0
}

# stage_tally LOG: "PASSED FAILED SKIPPED" from the closing lines in LOG, or nothing without any.
stage_tally() {
  awk '
    /^[0-9]+ passed, [0-9]+ failed(, [0-9]+ skipped)?$/ {
      found = 1; passed += $1; failed += $3; if (NF >= 6) skipped += $5
    }
    /^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+$/ {
      found = 1; ctest_failed = $4; ctest_total = $NF
    }
    /^[[:space:]]*[0-9]+ - .* \((Skipped|Disabled)\)$/ { ctest_skipped++ }
    END {
      if (ctest_total != "") {
        failed += ctest_failed; skipped += ctest_skipped
        passed += ctest_total - ctest_failed - ctest_skipped
      }
      if (found) print passed + 0, failed + 0, skipped + 0
    }
  ' "$1"
}

# The first reason a stage gave for skipping, shown when it skipped everything it had.
stage_skip_reason() {
  sed -n 's/^skipped: //p' "$1" | head -n 1
}

stage() {
  local name=$1 prerequisite blocked=
  shift
  while [ "$1" != -- ]; do
    prerequisite=$1
    shift
    [ "$(stage_verdict "$prerequisite")" = ok ] || blocked=${blocked:-$prerequisite}
  done
  shift
  local log
  log="$stage_log_dir/$(printf '%02d' ${#stage_names[@]})-$(echo "$name" | tr -c 'A-Za-z0-9\n' '_').log"
  echo
  echo "== $name"
  stage_names+=("$name")
  if [ -n "$blocked" ]; then
    echo "not run: it needs the stage \"$blocked\", which failed"
    stage_verdicts+=(FAILED)
    stage_counts+=("- - -")
    stage_seconds+=(0)
    stage_notes+=("not run: \"$blocked\" failed")
    return 0
  fi
  local started=$SECONDS status=0
  # In the background, so that the stage's own commands keep `set -e` (an `||` around them would
  # switch it off inside every function they call), and in a process group of its own (job
  # control), so that an interrupted run stops the whole stage: a job without job control ignores
  # the terminal's interrupt, and would run on. Its input is empty: a program of a background group
  # that touched the terminal would be stopped. The log outlives an interrupt, which tee ignores:
  # what the stage says while it stops is kept, and its cleanup is not cut short by a broken pipe.
  set -m
  { "$@" 2>&1 </dev/null | (trap '' INT TERM && exec tee "$log"); } &
  stage_pid=$!
  set +m
  trap stage_interrupted INT TERM
  wait $stage_pid || status=$?
  trap - INT TERM
  local tally passed failed skipped verdict=ok note=
  tally=$(stage_tally "$log")
  read -r passed failed skipped <<<"${tally:-0 0 0}"
  [ "$failed" -gt 0 ] && verdict=FAILED
  if [ $status -ne 0 ]; then
    verdict=FAILED
    note="exit status $status"
  fi
  if [ "$passed" -eq 0 ] && [ "$skipped" -gt 0 ]; then
    note=$(stage_skip_reason "$log")
    [ "$verdict" = ok ] && verdict=skipped
  fi
  stage_verdicts+=("$verdict")
  stage_counts+=("${tally:-- - -}")
  stage_seconds+=($((SECONDS - started)))
  stage_notes+=("$note")
}

stage_interrupted() {
  echo "interrupted: stopping the stage \"${stage_names[-1]}\""
  kill -TERM -- "-$stage_pid" 2>/dev/null
  wait "$stage_pid" || true
  # The stage's programs may take a while to stop what they started; the run ends after them.
  while kill -0 -- "-$stage_pid" 2>/dev/null; do sleep 0.2; done
  exit 130
}

stages_summary() {
  local i passed=0 failed=0 skipped=0 any_failed=0 p f s
  echo
  echo "== Summary (logs in $stage_log_dir)"
  printf '%-26s %7s %7s %8s %8s  %s\n' stage passed failed skipped seconds result
  for i in "${!stage_names[@]}"; do
    read -r p f s <<<"${stage_counts[$i]}"
    printf '%-26s %7s %7s %8s %8s  %s\n' "${stage_names[$i]}" "$p" "$f" "$s" "${stage_seconds[$i]}" \
      "${stage_verdicts[$i]}${stage_notes[$i]:+ (${stage_notes[$i]})}"
    [ "$p" = - ] || passed=$((passed + p))
    [ "$f" = - ] || failed=$((failed + f))
    [ "$s" = - ] || skipped=$((skipped + s))
    if [ "${stage_verdicts[$i]}" = FAILED ]; then
      any_failed=1
      # A stage that failed without a failed check of its own (a build, a crash) counts as one.
      [ "$f" = - ] || [ "$f" -eq 0 ] && failed=$((failed + 1))
    fi
  done
  echo "Total: $passed passed, $failed failed, $skipped skipped"
  [ $any_failed -eq 0 ]
}
