#!/usr/bin/env bash
# ./run.sh test   install what is missing, build Linux and both Windows targets, run every test
# ./run.sh demo   install and build only the host program and the simulator (Release, build/demo-release),
#                 run one sale through the driver against the simulator; its logs stay in build/demo
# ./run.sh fuzz [SECONDS]   build the libFuzzer targets with clang and fuzz each for a while (default 60 s)
# ./run.sh bench  build optimised and run the benchmark programs
# ./run.sh bench wan [RTT_MS [relay|packets]]   a whole sale through each transport over a network
#                 of that round-trip time (default 40 ms) made on loopback, by a relay or a delay line of
#                 IP packets: the Linux host program, bare curl, the Windows host program under Wine;
#                 prints figures and one closing line (README, "Benchmarks")
# ./run.sh package  build both Windows modules and write the merchant package into dist/
set -euo pipefail
cd "$(dirname "$0")"

JOBS=$(nproc 2>/dev/null || echo 2)

PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev clang-tidy
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools
  libcurl4-openssl-dev nlohmann-json3-dev libcpp-httplib-dev libsqlite3-dev libssl-dev
  ca-certificates curl wine64 locales tmux
  xvfb imagemagick fonts-dejavu-core fonts-wine
  wixl msitools fp-utils-3.2.2 libchm-bin osslsigncode zip unzip
)

install_packages() {
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages (run as root to install them): ${missing[*]}" >&2
    return 1
  fi
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

configure_and_build() {
  local preset=$1 dir=$2
  cmake --preset "$preset" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

build_linux() { configure_and_build linux build/linux; }

build_windows() {
  configure_and_build mingw-x86 build/win32
  configure_and_build mingw-x64 build/win64
}

ensure_russian_locale() {
  # Script clients print Cyrillic through Wine's console only under a Russian locale.
  locale -a 2>/dev/null | grep -qi '^ru_RU.utf8$' && return 0
  [ "$(id -u)" -eq 0 ] || return 0
  sed -i 's/^# *ru_RU.UTF-8 UTF-8/ru_RU.UTF-8 UTF-8/' /etc/locale.gen
  grep -q '^ru_RU.UTF-8 UTF-8' /etc/locale.gen || echo 'ru_RU.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
}

install_wine32() {
  # 32-bit hosts need the x86 module tested under 32-bit Wine; when its packages cannot be had,
  # the x86 Wine stages report themselves as skipped.
  dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed" && return 0
  [ "$(id -u)" -eq 0 ] || return 0
  echo "Installing: wine32:i386"
  { dpkg --add-architecture i386 && apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null; } ||
    echo "wine32 could not be installed; the x86 Wine stages will be skipped" >&2
}

# Where the kernel refuses 32-bit programs ("Exec format error", wine32 installed or not), they run
# through qemu's user-mode emulation: binfmt_misc hands every i386 program to qemu-i386. The entry
# is registered switched off; the x86 scenarios switch it on while they run (see
# tests/support/emulation.sh). Where 32-bit programs run natively, nothing of this is done, unless
# LS_TALLOWMER_X86=emulated asks for the emulation there too.
setup_32bit_emulation() {
  [ -x /usr/lib/wine/wine ] && [ "$(id -u)" -eq 0 ] || return 0
  source tests/support/emulation.sh
  # Left on by a run that was interrupted, it would answer for the kernel.
  emulation_enabled && emulation_switch off
  if [ "${LS_TALLOWMER_X86:-}" != emulated ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
    return 0
  fi
  install_qemu_user && register_qemu_i386 ||
    echo "qemu's emulation of 32-bit programs could not be set up; the x86 Wine scenarios will be skipped" >&2
}

# Debian 12's qemu-user (7.2) aborts a 32-bit process when one of its threads ends, which WinHTTP's
# requests do all the time; 10.0 does not. Where the release's own is older, its backports suite
# is added for this one package, pinned so that nothing else is taken from it.
qemu_user_minimum=1:10
install_qemu_user() {
  local installed
  installed=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)
  [ -n "$installed" ] && dpkg --compare-versions "$installed" ge "$qemu_user_minimum" && return 0
  local suite
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")-backports
  if ! grep -rhs -v '^[[:space:]]*#' /etc/apt/sources.list /etc/apt/sources.list.d/ | grep -qw -- "$suite"; then
    printf 'Types: deb\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: %s\n' \
      "$suite" /usr/share/keyrings/debian-archive-keyring.gpg >/etc/apt/sources.list.d/ls_tallowmer-backports.sources
    printf 'Package: *\nPin: release n=%s\nPin-Priority: 1\n' "$suite" >/etc/apt/preferences.d/ls_tallowmer-backports
  fi
  printf 'Package: qemu-user\nPin: release n=%s\nPin-Priority: 600\n' "$suite" >/etc/apt/preferences.d/ls_tallowmer-qemu-user
  echo "Installing: qemu-user from $suite"
  apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends qemu-user >/dev/null || return 1
  installed=$(dpkg-query -W -f='${Version}' qemu-user)
  dpkg --compare-versions "$installed" ge "$qemu_user_minimum" ||
    { echo "qemu-user $installed is older than $qemu_user_minimum, whose threads end without ending the process" >&2; return 1; }
}

# The entry, with flag F: the kernel opens the interpreter once, at registration, and keeps that
# file. An entry registered before qemu-user was upgraded still runs the old one, so an entry whose
# interpreter answers with another version than /usr/bin/qemu-i386 is registered again.
register_qemu_i386() {
  local binfmt=${qemu_binfmt%/*}
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" || return 1
  if emulation_registered; then
    local running
    emulation_switch on
    running=$(QEMU_VERSION=1 /usr/lib/wine/wine 2>/dev/null | head -n 1)
    emulation_switch off
    [ "$running" = "$(/usr/bin/qemu-i386 -version | head -n 1)" ] && return 0
    echo "Registering qemu-i386 again: the entry ran ${running:-no qemu-i386 that answers}"
    echo -1 >"$qemu_binfmt"
  fi
  printf '%s' \
    ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' \
    >"$binfmt/register" || return 1
  emulation_switch off
}

run_ctest() { ctest --test-dir build/linux --output-on-failure -j "$JOBS"; }

# wine_stage ARCH FOLDER: the Wine scenarios of FOLDER for the module of ARCH.
wine_stage() { tests/wine/run_scenarios.sh "$1" "$2"; }

run_tests() {
  install_packages "${PACKAGES[@]}"
  install_wine32
  setup_32bit_emulation
  ensure_russian_locale
  # Each run boots its Wine prefixes once, afresh, for all of its scenarios.
  rm -rf build/wine-prefixes
  source tests/support/stages.sh
  stages_begin build/test-logs
  stage "Linux build" -- build_linux
  stage "Windows build" -- build_windows
  stage "Linux tests (CTest)" "Linux build" -- run_ctest
  stage "Static analysis" "Linux build" -- tests/lint/run_clang_tidy.sh build/linux "$JOBS"
  # x86 first: the module most hosts load.
  local arch
  for arch in x86 x64; do
    stage "Wine tests ($arch)" "Linux build" "Windows build" -- wine_stage "$arch" tests/wine/scenarios
    stage "Settings dialog ($arch)" "Windows build" -- wine_stage "$arch" tests/wine/dialog
  done
  stage "Package" "Windows build" -- tests/package/run_package_tests.sh build/package
  for arch in x86 x64; do
    stage "Installers ($arch)" "Package" -- wine_stage "$arch" tests/package/scenarios
  done
  stage "README blocks" "Linux build" -- run_readme_test
  stages_summary
}

# The README's shell blocks as a new user runs them, after everything is built.
run_readme_test() { tests/readme/run_readme_blocks.sh; }

# What the demo needs to build the host program and the simulator: no Windows tools, no Wine, no
# test libraries.
DEMO_PACKAGES=(
  cmake ninja-build g++ pkg-config
  libcurl4-openssl-dev nlohmann-json3-dev libcpp-httplib-dev libsqlite3-dev libssl-dev ca-certificates
)

run_demo() {
  install_packages "${DEMO_PACKAGES[@]}"
  cmake --preset demo-release >/dev/null
  cmake --build build/demo-release --target ls_tallowmer_host tallowmer_sim -j "$JOBS"
  tools/demo/sale_demo.sh build/demo-release build/demo
}

run_fuzz() {
  install_packages "${PACKAGES[@]}"
  local seconds=${1:-60}
  # Each target as its path in the build tree and its stored corpus.
  local targets=(tests/fuzz/fuzz_dispatch:tests/fuzz/corpus/dispatch
    tests/fuzz/fuzz_service:tests/fuzz/corpus/service
    tests/service/fuzz_service_answer:tests/service/corpus/answer)
  local target program name status=0
  cmake --preset fuzz >/dev/null
  for target in "${targets[@]}"; do
    program=${target%%:*}
    cmake --build build/fuzz --target "${program##*/}" -j "$JOBS"
  done
  mkdir -p build/fuzz/data build/fuzz/logs
  rm -f build/fuzz/logs/*.log
  local started=$SECONDS
  for target in "${targets[@]}"; do
    program=${target%%:*}
    name=${program##*/}
    mkdir -p "build/fuzz/corpus-$name"
    echo "== $name for $seconds s"
    # The vanilla schedule: the entropic one spends most of the time weighing rare features, as
    # one execution here reaches thousands. A small quarantine keeps the memory near 100 MB.
    ASAN_OPTIONS=quarantine_size_mb=32 LS_TALLOWMER_DATA_DIR="$PWD/build/fuzz/data" "./build/fuzz/$program" \
      -entropic=0 -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
      "build/fuzz/corpus-$name" "${target#*:}" 2>&1 | tee "build/fuzz/logs/$name.log" || status=1
  done
  fuzz_verdict $((SECONDS - started)) build/fuzz/logs/*.log
  return $status
}

# The last word of a fuzzing run, from libFuzzer's logs (one per target): the inputs tried, the
# time taken and the crashes found (libFuzzer writes a crash-, leak-, timeout- or oom- file for each).
fuzz_verdict() {
  local seconds=$1 runs=0 crashes=0 log count
  shift
  for log in "$@"; do
    count=$(grep -oE '^(Done |#)[0-9]+' "$log" | tr -dc '0-9\n' | sort -n | tail -n 1 || true)
    runs=$((runs + ${count:-0}))
    crashes=$((crashes + $(grep -c 'Test unit written to' "$log" || true)))
  done
  echo "Fuzzing: $# target(s), $runs runs in $seconds s, $crashes crash(es) found$([ "$crashes" -eq 0 ] || echo ': see the logs in build/fuzz/logs')"
}

run_bench() {
  install_packages "${PACKAGES[@]}"
  if [ "${1:-}" = wan ]; then
    run_wan_bench "${2:-40}" "${3:-relay}"
    return
  fi
  configure_and_build linux-release build/linux-release
  echo "Debian builds its benchmark library without optimisation, so each program below warns"
  echo "'Library was built as DEBUG'; that concerns the timing harness only: our code is built -O3 (Release)."
  for bench in build/linux-release/tests/bench/bench_*; do
    [ -x "$bench" ] && "$bench"
  done
}

run_wan_bench() {
  install_wine32
  cmake --preset linux-release >/dev/null
  cmake --build build/linux-release --target ls_tallowmer_host tallowmer_sim wan_bench -j "$JOBS"
  local preset
  for preset in mingw-x64:build/win64 mingw-x86:build/win32; do
    cmake --preset "${preset%%:*}" >/dev/null
    cmake --build "${preset#*:}" --target ls_tallowmer_host add_root_certificate wan_winhttp_probe schannel_probe -j "$JOBS"
  done
  tests/bench/run_wan_bench.sh build/linux-release build/win64 build/win32 "$1" "$2"
}

run_package() {
  install_packages "${PACKAGES[@]}"
  # The package needs the two modules and the host programs, not the Windows test programs.
  local preset
  for preset in mingw-x86:build/win32 mingw-x64:build/win64; do
    cmake --preset "${preset%%:*}" >/dev/null
    cmake --build "${preset#*:}" --target ls_tallowmer ls_tallowmer_host -j "$JOBS"
  done
  packaging/package.sh --out dist
}

case "${1:-}" in
  test) run_tests ;;
  demo) run_demo ;;
  fuzz) run_fuzz "${2:-}" ;;
  bench) run_bench "${2:-}" "${3:-}" "${4:-}" ;;
  package) run_package ;;
  *)
    echo "usage: $0 test|demo|fuzz [SECONDS]|bench [wan [RTT_MS [relay|packets]]]|package" >&2
    exit 2
    ;;
esac
