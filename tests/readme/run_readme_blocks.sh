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
# The long blocks alone take a fuzzing run of 300 s and a whole optimised build.
limit=900
[ "${README_TEST_ALL:-}" = 1 ] && limit=3600
status=0
HOME="$work/home" XDG_STATE_HOME="$work/state" XDG_DATA_HOME="$work/data" LS_TALLOWMER_DATA_DIR="$work/data" \
  timeout "$limit" env -u LS_TALLOWMER_CA_FILE bash "$work/blocks.sh" </dev/null || status=$?
[ $status -eq 124 ] && echo "the blocks did not finish within $limit s" >&2
[ $status -eq 0 ] && echo "README blocks: PASS" || echo "README blocks: FAIL" >&2
exit $status
