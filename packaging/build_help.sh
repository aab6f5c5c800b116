#!/usr/bin/env bash
# Compiles help.chm from help/ with chmcmd. Topics stay UTF-8 (each says so in its meta tag); the
# project, contents, index and text popups are read by the help viewer in the help file's ANSI code
# page, Windows-1251 for Russian, so they are converted.
# Usage: build_help.sh OUTPUT_CHM [VERSION]
set -euo pipefail

ROOT=$(realpath "$(dirname "$0")/..")
source "$ROOT/packaging/product_values.sh"
output=$(realpath -m "$1")
VERSION=${2:-$(project_version)}
load_product_values

stage=$(mktemp -d /tmp/ls_tallowmer_help_XXXXXX)
trap 'rm -rf "$stage"' EXIT

for source in "$ROOT"/help/*; do
  name=$(basename "$source")
  case "$name" in
    *.htm) fill_product_values "$source" >"$stage/$name" ;;
    *.hhp | *.hhc | *.hhk | *.txt) fill_product_values "$source" | iconv -f utf-8 -t cp1251 >"$stage/$name" ;;
    *) cp "$source" "$stage/$name" ;;
  esac
done

# chmcmd leaves a byte of its keyword map uninitialised; with a fixed address layout (no ASLR) and
# an empty environment that byte is the same on every run.
(cd "$stage" && env -i setarch "$(uname -m)" -R /usr/bin/chmcmd --no-html-scan help.hhp >chmcmd.log 2>&1) || {
  cat "$stage/chmcmd.log" >&2
  exit 1
}
# chmcmd stamps the compile time in two places, the file's header and the #SYSTEM file's entry 10
# (followed by entry 9, the compiler's name); zeros there make the same sources give the same
# bytes. The help viewer reads neither.
perl -0777 -pi -e 'substr($_, 16, 4) = "\0" x 4; s/\x0a\x00\x04\x00.{4}(\x09\x00)/\x0a\x00\x04\x00\x00\x00\x00\x00$1/s or die "no time stamp in #SYSTEM\n"' "$stage/help.chm"
mkdir -p "$(dirname "$output")"
cp "$stage/help.chm" "$output"
