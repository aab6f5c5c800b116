# How this machine runs 32-bit Windows programs, and the switch of qemu's user-mode emulation.
#
# Some kernels refuse 32-bit programs ("Exec format error"), wine32 installed or not. There
# binfmt_misc hands every i386 program to qemu-i386 (./run.sh test registers the entry, switched
# off). Scenarios of the x86 module switch it on while they run and off again: while it is on,
# every 64-bit prefix that boots fills its 32-bit half through emulation, and other programs of
# the machine that are 32-bit run emulated too.
#
# LS_TALLOWMER_X86=emulated runs 32-bit programs through the emulation even where the kernel runs
# them itself (the entry must be registered: ./run.sh test does so under the same setting), to see
# on any machine what one that refuses them sees.

qemu_binfmt=/proc/sys/fs/binfmt_misc/qemu-i386

emulation_registered() { [ -e "$qemu_binfmt" ]; }
emulation_enabled() { [ "$(head -n 1 "$qemu_binfmt" 2>/dev/null)" = enabled ]; }

# emulation_switch on|off: needs root; fails without it.
emulation_switch() {
  local value=0
  [ "$1" = on ] && value=1
  echo "$value" 2>/dev/null >"$qemu_binfmt"
}

# Sets x86_runtime: "native"; "emulated", where 32-bit programs run through the emulation, whether
# it is on at the moment or not; or "none", with the reason in x86_reason. A 32-bit program is run
# to find out: wine32 installs on a kernel that cannot run it.
detect_x86_runtime() {
  x86_runtime=none
  x86_reason=
  if ! [ -e /usr/lib/wine/wine ]; then
    x86_reason="32-bit Wine (wine32) is not installed here"
    return 0
  fi
  if [ "${LS_TALLOWMER_X86:-}" = emulated ]; then
    if emulation_registered; then
      x86_runtime=emulated
    else
      x86_reason="LS_TALLOWMER_X86=emulated asks for qemu's emulation, and qemu-i386 is not registered with binfmt_misc"
    fi
    return 0
  fi
  # An entry left on (by a run that was interrupted) would answer for the kernel.
  emulation_enabled && emulation_switch off
  if emulation_enabled; then
    /usr/lib/wine/wine --version >/dev/null 2>&1 && x86_runtime=emulated ||
      x86_reason="qemu's emulation of 32-bit programs is on and fails"
  elif /usr/lib/wine/wine --version >/dev/null 2>&1; then
    x86_runtime=native
  elif emulation_registered; then
    x86_runtime=emulated
  else
    x86_reason="this kernel cannot run 32-bit programs, and qemu-i386 is not registered with binfmt_misc (./run.sh test does that as root)"
  fi
}

# emulation_on: switches the emulation on where x86_runtime is "emulated"; fails when it cannot
# (the switch needs root), with the reason in x86_reason.
emulation_on() {
  [ "$x86_runtime" = emulated ] || return 0
  emulation_enabled && return 0
  emulation_switch on && return 0
  x86_reason="32-bit programs run here only through qemu's emulation, which only root can switch on"
  return 1
}

emulation_off() {
  [ "$x86_runtime" = emulated ] && emulation_enabled && emulation_switch off
  return 0
}
