#!/usr/bin/env bash
# Runs the shell blocks of README.md and tools/sim/README.md in order, as a new user would after the
# build: in the repository's root, one shell for all of them (a block may use what an earlier one
# set or started), with private home, state and data folders. A block fails when one of its
# commands fails; whatever the blocks started is stopped at the end.
#
# A block is skipped only when the line before its fence says why, and this script says so:
#   <!-- readme-test: skip, needs a terminal -->   (the host's interactive settings dialog)
#   <!-- readme-test: skip, needs Wine -->
#   <!-- readme-test: skip, takes minutes -->      (own build tree and a long run: fuzz, bench);
#                                                  README_TEST_ALL=1 runs these too
#
#   tests/readme/run_readme_blocks.sh [REPOSITORY]
set -euo pipefail

repo=$(realpath "${1:-$(dirname "$0")/../..}")
cd "$repo"
work=$(mktemp -d /tmp/ls_tallowmer_readme_XXXXXX)

# Files the blocks may write at the top of the repository (my.json): the user's own are put back.
mapfile -t before < <(git ls-files --others --exclude-standard --ignored --directory | grep -v '/$' || true)
mkdir -p "$work/backup"
for file in "${before[@]}"; do cp -a -- "$file" "$work/backup/"; done
restore() {
  local file
  while IFS= read -r file; do
    [ -e "$work/backup/$file" ] || rm -f -- "$file"
  done < <(git ls-files --others --exclude-standard --ignored --directory | grep -v '/$' || true)
  for file in "${before[@]}"; do cp -a -- "$work/backup/$file" "$file"; done
  rm -rf "$work"
}
trap restore EXIT

# The blocks, one script: "# block FILE:LINE" before each, skipped ones reported instead.
extract() {
  local file=$1
  awk -v file="$file" -v all="${README_TEST_ALL:-}" '
    /^<!-- readme-test: skip, .* -->$/ { reason = $0; sub(/^<!-- readme-test: skip, /, "", reason); sub(/ -->$/, "", reason); next }
    !inside && /^```sh *$/ {
      inside = 1; line = NR
      skipped = reason != "" && !(reason == "takes minutes" && all == "1")
      if (skipped) printf "echo %c== %s:%d skipped (%s)%c\n", 39, file, line, reason, 39
      else printf "block=%c%s:%d%c; echo %c== %s:%d%c\n", 39, file, line, 39, 39, file, line, 39
      reason = ""; next
    }
    inside && /^```$/ { inside = 0; next }
    inside && !skipped { print }
    !inside && !/^[[:space:]]*$/ { reason = "" }
  ' "$file"
}

{
  echo 'set -e'
  echo 'trap '\''status=$?; [ $status -eq 0 ] || echo "FAIL: the block at $block failed (status $status)" >&2; kill $(jobs -p) 2>/dev/null; wait; exit $status'\'' EXIT'
  extract README.md
  extract tools/sim/README.md
} > "$work/blocks.sh"

mkdir -p "$work/home" "$work/state" "$work/data"

# The first block of "Trying the driver" elsewhere than here: in a folder without any build it must
# stop at once with its advice; in one that holds only the demo's build it must run on that.
first_block() {
  awk '/^```sh *$/ { inside = 1; text = ""; next }
       inside && /^```$/ { inside = 0; if (text ~ /tools=build\/demo-release/) { printf "%s", text; exit } next }
       inside { text = text $0 "\n" }' README.md
}
in_private_folders() {
  HOME="$work/home" XDG_STATE_HOME="$work/state" XDG_DATA_HOME="$work/data" LS_TALLOWMER_DATA_DIR="$work/data" \
    env -u LS_TALLOWMER_CA_FILE "$@"
}
# block_stops_with BLOCK FOLDER ADVICE WHAT: BLOCK, run in $work/FOLDER, must fail at once (not by
# its time limit) with ADVICE on its standard error.
block_stops_with() {
  local block=$1 folder=$work/$2 advice=$3 what=$4 status=0
  (cd "$folder" && in_private_folders timeout 20 bash -e -c "$block" > out 2> err) || status=$?
  if [ $status -eq 0 ] || [ $status -eq 124 ] || ! grep -q "$advice" "$folder/err"; then
    echo "FAIL: $what the first block of \"Trying the driver\" gave status $status:" >&2
    cat "$folder/err" >&2
    return 1
  fi
  echo "== $what the first block stops with: $(head -n 1 "$folder/err")"
}
check_first_block() {
  local block built status=0
  block=$(first_block)
  mkdir -p "$work/no-build" "$work/demo-only/build/demo-release/tools"
  block_stops_with "$block" no-build 'run ./run.sh demo first' "without a build" || return 1
  built=build/linux/tools
  [ build/demo-release/tools/host/ls_tallowmer_host -nt $built/host/ls_tallowmer_host ] && built=build/demo-release/tools
  ln -s "$repo/$built/sim" "$repo/$built/host" "$work/demo-only/build/demo-release/tools/"
  status=0
  (cd "$work/demo-only" && in_private_folders timeout 60 bash -e -c "$block"$'\n''kill $sim' > out 2> err) || status=$?
  if [ $status -ne 0 ] || ! grep -q '^GetCustomerData: success' "$work/demo-only/out"; then
    echo "FAIL: with the demo's build alone the first block gave status $status:" >&2
    cat "$work/demo-only/out" "$work/demo-only/err" >&2
    return 1
  fi
  echo "== with the demo's build alone the first block runs on it"
  # A simulator that ends before it prints its URL ends the wait.
  mkdir -p "$work/sim-stops/build/demo-release/tools/sim"
  ln -s "$repo/$built/host" "$work/sim-stops/build/demo-release/tools/"
  printf '#!/bin/sh\necho "cannot listen" >&2\nexit 1\n' > "$work/sim-stops/build/demo-release/tools/sim/tallowmer_sim"
  chmod +x "$work/sim-stops/build/demo-release/tools/sim/tallowmer_sim"
  block_stops_with "$block" sim-stops 'the simulator stopped' "with a simulator that stops at once"
}
check_first_block
# The long blocks alone take a fuzzing run of 300 s and a whole optimised build.
limit=900
[ "${README_TEST_ALL:-}" = 1 ] && limit=3600
status=0
in_private_folders timeout "$limit" bash "$work/blocks.sh" </dev/null || status=$?
[ $status -eq 124 ] && echo "the blocks did not finish within $limit s" >&2
[ $status -eq 0 ] && echo "README blocks: PASS" || echo "README blocks: FAIL" >&2
exit $status
