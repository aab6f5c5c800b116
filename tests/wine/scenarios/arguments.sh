# Late-bound calls with every argument form: the C++ IDispatch client's checks, the forms script
# hosts never build (the boundary cases), and 100,000 seeded random calls (the torture client).

source "$root/tests/wine/module.sh"

# Arrays that refer back to themselves or nest without end, unsigned values of 2^31 and more,
# arrays without a stored type, locked arrays, values the driver cannot hold, the thread's error
# object, a new 1 MB token on every call: each case in its own process, so that one that takes
# its process down fails alone.
run_boundary_cases() {
  local case status
  # Under qemu's emulation each of the token case's calls takes about three times as long: it makes
  # 200 there, where a token leaked on every call would still show as 200 MB.
  local token_calls=1000
  [ "$x86_runtime" = emulated ] && [ "$arch" = x86 ] && token_calls=200
  local cases=(self_reference deep_nesting nesting_by_value many_elements shared_budget unsigned no_vartype
    mismatched_holders locked fixed_arrays all_or_nothing values_kept named_arguments error_info
    deferred_exception deep_manager_answer null_forms module_reload "token_memory $token_calls")
  for case in "${cases[@]}"; do
    # shellcheck disable=SC2086 # the token case carries its call count as a second word
    timeout 1200 "$wine" "$build/tests/wine/boundary_client.exe" $case >"$work/boundary.log" 2>&1
    status=$?
    [ "$status" -eq 0 ] && ! closes_without_failure "$work/boundary.log" && status=1
    iconv -f cp866 -t utf-8 "$work/boundary.log" 2>/dev/null | sed 's/^/    /'
    result $status "argument forms, ${case%% *}: every check holds and the process lives"
  done
  # A script's own fixed-size arrays (Dim f1(1)) as OutData and as InData.
  host_script "$root/tests/wine/fixed_arrays.vbs" "$work/fixed_arrays.vbs"
  "$wine" "$system\\cscript.exe" //nologo "$(windows_path "$work/fixed_arrays.vbs")" >"$work/fixed_arrays.log" 2>&1
  status=$?
  iconv -f cp1251 -t utf-8 "$work/fixed_arrays.log" 2>/dev/null | sed 's/^/    /'
  result $status "a VBScript's fixed-size arrays: refused as OutData before the method runs, read as InData"
  # The COM entries when memory runs out, with allocations made to fail on demand.
  "$wine" "$build/tests/wine/com_binding_check.exe" >"$work/binding.log" 2>&1
  status=$?
  [ "$status" -eq 0 ] && ! closes_without_failure "$work/binding.log" && status=1
  sed 's/^/    /' "$work/binding.log"
  result $status "the COM entries answer out of memory without an exception crossing them"
}

scenario_run() {
  register_module || return

  "$wine" "$build/tests/wine/dispatch_client.exe" hwEq.tallowmer ls_tallowmer.dll >"$work/client.log" 2>&1
  local status=$?
  sed 's/^/    /' "$work/client.log"
  result $status "the C++ IDispatch client's checks"

  run_boundary_cases

  # Seeded random calls with every argument form; a hang (a window, a slow request) fails it too.
  local seed=${TORTURE_SEED:-20261210}
  timeout 600 "$wine" "$build/tests/wine/torture_client.exe" --seed "$seed" --calls 100000 >"$work/torture.log" 2>&1
  status=$?
  iconv -f cp866 -t utf-8 "$work/torture.log" 2>/dev/null | grep -v ' calls, private bytes' | sed 's/^/    /'
  result $status "100000 random calls leave the client alive, answered as promised, without growing memory"
}
