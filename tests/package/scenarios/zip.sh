# The manual-install archive on a 64-bit Windows: register-user.cmd, clients, unregister.cmd; then
# register.cmd and unregister.cmd. Its scripts register both modules, the x86 one with the 32-bit
# regsvr32, and judge the Windows by its 32-bit system folder: so this runs in the x86 pass, where
# 32-bit programs run.

scenario_arches=x86
source "$root/tests/package/installer.sh"

# zip_script SCRIPT: a script of the unpacked archive under cmd, its output shown in the ANSI code
# page Wine's cmd writes to a pipe.
zip_script() {
  "$wine" cmd /c "C:\\Quorvane\\ls_tallowmer\\$1" /nopause >"$work/script.log" 2>&1
  local code=$?
  iconv -f cp1251 -t utf-8 "$work/script.log" 2>/dev/null | tr -d '\r' | sed 's/^/    /'
  return "$code"
}

scenario_run() {
  local folder=$drive_c/Quorvane/ls_tallowmer view status views=(64 32)
  mkdir -p "$folder" && unzip -q "$zip" -d "$folder" && (cd "$folder" && sha256sum --quiet -c SHA256SUMS)
  result $? "zip: unpacks and matches its SHA256SUMS"

  zip_script register-user.cmd
  result $? "zip: register-user.cmd reports success"
  status=0
  for view in "${views[@]}"; do
    [ -n "$(our_keys "$classes_user" "$view" | grep -a InprocServer32)" ] || status=1
    [ -z "$(our_keys "$classes_machine" "$view")" ] || status=1
  done
  result $status "zip: the registration is under HKCU\\Software\\Classes only, in views ${views[*]}"
  # Windows merges the user's classes into HKEY_CLASSES_ROOT; Wine 8 shows the machine's alone
  # there, so its COM cannot create a class registered per user. Where it can, the clients try.
  if "$wine" reg query 'HKCR\hwEq.tallowmer\Clsid' >/dev/null 2>&1; then
    for view in "${views[@]}"; do
      client_works "$view"
      result $? "zip: a $view-bit cscript creates the per-user hwEq.tallowmer"
    done
  else
    skip "zip: CreateObject of the per-user class (Wine's HKEY_CLASSES_ROOT does not show HKCU\\Software\\Classes)"
  fi
  zip_script unregister.cmd
  result $? "zip: unregister.cmd reports success"
  status=0
  for view in 64 32; do [ -z "$(our_keys "$classes_user" "$view")" ] || status=1; done
  result $status "zip: unregister.cmd removes the per-user keys"

  zip_script register.cmd
  result $? "zip: register.cmd (machine-wide, rights present) reports success"
  status=0
  for view in "${views[@]}"; do [ -n "$(our_keys "$classes_machine" "$view" | grep -a InprocServer32)" ] || status=1; done
  result $status "zip: register.cmd registers under HKLM in views ${views[*]}"
  zip_script unregister.cmd
  result $? "zip: unregister.cmd reports success"
  status=0
  for view in 64 32; do [ -z "$(our_keys "$classes_machine" "$view")" ] || status=1; done
  result $status "zip: unregister.cmd removes the machine-wide keys"
}
