#!/usr/bin/env bash
# clang-tidy with the checks of the tree's .clang-tidy over our own sources as the Linux build
# compiles them (its compile_commands.json): the source folders' files, not the build's generated
# ones nor the system's. A file with any finding fails; the files run in parallel, one per core.
# Usage: run_clang_tidy.sh BUILD_DIR [JOBS]
set -uo pipefail

root=$(realpath "$(dirname "$0")/../..")
build=$(realpath "$1")
jobs=${2:-$(nproc)}
source "$root/tests/support/results.sh"

# Files clang-tidy 14 cannot read: std::source_location needs a builtin that came with clang 15.
unreadable=(tests/transport/TransportConformance.cpp)

if ! command -v clang-tidy >/dev/null; then
  skip "clang-tidy is not installed"
  closing_line
  exit
fi
if [ ! -f "$build/compile_commands.json" ]; then
  echo "no $build/compile_commands.json: configure the build with its preset first" >&2
  exit 1
fi

our_sources() {
  python3 - "$root" "$build/compile_commands.json" "${unreadable[@]}" <<'PY'
import json, os, sys
root, database, unreadable = sys.argv[1], sys.argv[2], set(sys.argv[3:])
folders = ("common", "core", "device", "driver", "loyalty", "platform", "service", "tests", "tools", "ui")
seen = set()
for entry in json.load(open(database)):
    path = os.path.relpath(os.path.join(entry["directory"], entry["file"]), root)
    if path.split(os.sep)[0] in folders and path not in unreadable and path not in seen:
        seen.add(path)
        print(path)
PY
}

# One file: "ok: FILE", or "FAILED: FILE" and its findings. The GCC build's own warning flags
# (-Wno-restrict) are unknown to clang, which must not count them as findings.
tidy_file() {
  local findings
  if findings=$(clang-tidy -p "$TIDY_BUILD" --quiet --extra-arg=-Wno-unknown-warning-option "$1" 2>&1); then
    echo "ok: $1"
  else
    printf 'FAILED: %s\n%s\n' "$1" "$findings"
  fi
}
export -f tidy_file
export TIDY_BUILD=$build

cd "$root" || exit 1
report=$(mktemp)
trap 'rm -f "$report"' EXIT
started=$SECONDS
our_sources | xargs -P "$jobs" -I{} bash -c 'tidy_file "$1"' _ {} >"$report"
passed=$(grep -c '^ok: ' "$report")
failed=$(grep -c '^FAILED: ' "$report")
grep -v '^ok: ' "$report"
echo "clang-tidy read $((passed + failed)) files in $((SECONDS - started)) s with $jobs jobs"
closing_line
