#!/usr/bin/env bash
# The version rule and reproducibility of the package: a second, clean build of what the package
# holds, from a copy of the sources in another folder, gives the same bytes in every artefact;
# package.sh refuses a version its modules do not carry, one it already built into the folder
# (unless --rebuild), one below the last and the version of a tag on another commit (--rebuild or
# not); the build refuses a version whose installer number would overflow.
# Usage: check_versions.sh DIST (an output of packaging/package.sh of this tree's build folders)
set -uo pipefail

dist=$(realpath "$1")
source "$(dirname "$0")/../support/checks.sh"

version=$(basename "$(ls "$dist"/ls_tallowmer-*-x64.msi)" | sed 's/^ls_tallowmer-\(.*\)-x64\.msi$/\1/')

# The second build: the files of the work tree copied elsewhere, so that no path of the first
# build's folders can match by chance, and built without the compiler cache, whose objects would
# be the first build's. Only the targets the package holds are built.
second_build() {
  local copy=$work/source preset folder
  mkdir -p "$copy"
  (cd "$root" && git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf - 2>/dev/null) |
    tar -xf - -C "$copy" || return 1
  for preset in mingw-x64:win64 mingw-x86:win32; do
    folder=$work/build/${preset#*:}
    (cd "$copy" && env -u CMAKE_CXX_COMPILER_LAUNCHER -u CMAKE_C_COMPILER_LAUNCHER CCACHE_DISABLE=1 \
      cmake --preset "${preset%%:*}" -B "$folder" &&
      env CCACHE_DISABLE=1 cmake --build "$folder" --target ls_tallowmer ls_tallowmer_host) \
      >"$work/second_build.log" 2>&1 || { tail -n 20 "$work/second_build.log" | sed 's/^/    /'; return 1; }
  done
}
started=$SECONDS
second_build
result $? "a second build of the modules and host programs from a copy of the sources ($((SECONDS - started)) s)"
# A second apart, so that the installers' clock-stamped fields would differ if left unstamped.
sleep 1
"$root/packaging/package.sh" --out "$work/again" --win64 "$work/build/win64" --win32 "$work/build/win32" \
  >"$work/again.log" 2>&1 || sed 's/^/    /' "$work/again.log"
diff "$dist/SHA256SUMS" "$work/again/SHA256SUMS" >"$work/sums.diff"
status=$?
sed 's/^/    /' "$work/sums.diff"
result $status "two builds in two folders give byte-identical packages ($(cut -d' ' -f3 "$dist/SHA256SUMS" | tr '\n' ' ' | sed 's/ $//'))"

# refused EXPECTED_TEXT DESCRIPTION -- PACKAGE_ARGUMENTS...: package.sh stops with exit 1 and says why.
refused() {
  local text=$1 description=$2
  shift 3
  "${package:-$root/packaging/package.sh}" "$@" --win64 "$root/build/win64" --win32 "$root/build/win32" >"$work/refused.log" 2>&1
  local status=$?
  [ "$status" -eq 1 ] && grep -q -F -- "$text" "$work/refused.log"
  local outcome=$?
  [ "$outcome" -ne 0 ] && sed 's/^/    /' "$work/refused.log"
  result $outcome "package.sh refuses $description"
}
refused "was already built into" "the version it last built into the folder, without --rebuild" -- --out "$work/again"
mkdir -p "$work/newer" && echo 255.0.0.0 >"$work/newer/.package-version"
refused "is lower than 255.0.0.0, the last one built" "a version below the last one built into the folder" -- --out "$work/newer"
refused "is lower than 255.0.0.0" "a lower version even with --rebuild" -- --out "$work/newer" --rebuild
refused "the modules are version $version, not 1.2.3.4" "a version the modules do not carry" -- --version 1.2.3.4 --out "$work/other"
[ -z "$(find "$work/newer" "$work/other" -name 'ls_tallowmer-*' 2>/dev/null)" ]
result $? "a refused package leaves no artefact"

# Tags: a clone of this commit, tagged in turn, packages the modules of this tree's builds.
clone=$work/clone
git clone -q --shared "$root" "$clone" 2>/dev/null && git -C "$clone" checkout -q "$(git -C "$root" rev-parse HEAD)"
result $? "a clone of this commit for the tag cases"
tagged() {
  git -C "$clone" tag -d $(git -C "$clone" tag --list) >/dev/null 2>&1
  git -C "$clone" tag "$1" "$2"
}
clone_package() { "$clone/packaging/package.sh" --win64 "$root/build/win64" --win32 "$root/build/win32" "$@"; }
tagged v255.0.0.0 HEAD
package=$clone/packaging/package.sh refused "lower than the released 255.0.0.0" "a version below the newest tag" -- --out "$work/tag1" 2>/dev/null
if [ "$(git -C "$clone" rev-list --count HEAD)" -gt 1 ]; then
  tagged "v$version" HEAD~1
  package=$clone/packaging/package.sh refused "is released (git tag) from another commit" "the version of a tag on another commit" -- --out "$work/tag2"
  package=$clone/packaging/package.sh refused "is released (git tag) from another commit" "the version of a tag on another commit with --rebuild too" -- --out "$work/tag2" --rebuild
fi
tagged "v$version" HEAD
clone_package --out "$work/tag3" >"$work/tag3.log" 2>&1
result $? "package.sh builds the version of a tag on this very commit"

# The build itself: a version whose installer number (release * 1000 + build) or field would
# overflow never gets as far as a module.
for bad in 1.0.66.0 1.0.0.1000 256.0.0.1 1.0.65.536; do
  cmake -S "$root" -B "$work/cmake-$bad" -DLS_VERSION="$bad" >"$work/cmake.log" 2>&1
  status=$?
  [ "$status" -ne 0 ] && grep -q "release \* 1000 + build up to 65535" "$work/cmake.log"
  result $? "the build refuses version $bad"
done

closing_line
