# Another user of the till plants links, holds or write-protects logs in a shared log folder: the VBScript host still sells, the
# victims stay as they were, and the user's own log notes each refusal once.

source "$root/tests/wine/module.sh"

# plant_case N HOW_DEBUG HOW_HTTP: links planted for case N as today's logs of its device folder, to
# victims outside it ("symlink": a Unix symbolic link, which Windows code sees as the file it leads
# to, as it would a junction or a symbolic link; "hardlink": CreateHardLinkW), or "swapped": the
# device folder itself a Unix symbolic link to another folder that holds files of the logs' names,
# or "parent": the devices folder above it such a link; or today's logs themselves, "readonly" or
# "held" open by a reader that lets nobody write, until a file "release" appears in the case's folder
# (the reader's process is $holder_pid).
plant_case() {
  local folder="$drive_c/ls_tallowmer_planted/case$1/1" victims="$drive_c/ls_tallowmer_victims/case$1"
  local logs=("C:\\ls_tallowmer_planted\\case$1\\1\\Debug_$today.log" "C:\\ls_tallowmer_planted\\case$1\\1\\http_$today.log")
  if [ "$2" = readonly ] || [ "$2" = held ]; then
    mkdir -p "$folder"
    [ "$2" = readonly ] && { "$wine" "$build/tests/wine/log_folder_probe.exe" readonly "${logs[@]}"; return; }
    "$wine" "$build/tests/wine/log_folder_probe.exe" hold "C:\\ls_tallowmer_planted\\case$1\\release" "${logs[@]}" >"$work/holder$1.txt" &
    holder_pid=$!
    for _ in $(seq 100); do grep -q held "$work/holder$1.txt" 2>/dev/null && break; sleep 0.1; done
    return
  fi
  if [ "$2" = parent ]; then
    mkdir -p "$victims/1" "$(dirname "$(dirname "$folder")")"
    printf untouched >"$victims/1/Debug_$today.log"
    printf untouched >"$victims/1/http_$today.log"
    ln -s "$victims" "$(dirname "$folder")"
    return
  fi
  mkdir -p "$victims" "$(dirname "$folder")"
  if [ "$2" = swapped ]; then
    printf untouched >"$victims/Debug_$today.log"
    printf untouched >"$victims/http_$today.log"
    ln -s "$victims" "$folder"
    return
  fi
  mkdir -p "$folder"
  local log how
  for log in Debug http; do
    [ "$log" = Debug ] && how=$2 || how=$3
    printf untouched >"$victims/$log.txt"
    if [ "$how" = symlink ]; then
      ln -s "$victims/$log.txt" "$folder/${log}_$today.log"
    else
      "$wine" "$build/tests/wine/log_folder_probe.exe" hardlink \
        "C:\\ls_tallowmer_planted\\case$1\\1\\${log}_$today.log" "C:\\ls_tallowmer_victims\\case$1\\$log.txt"
    fi
  done
}

# victims_untouched N: every victim of case N holds what it held, and nothing joined them; the
# logs planted in the device folder are the victims where no others were made.
victims_untouched() {
  local victims="$drive_c/ls_tallowmer_victims/case$1" file
  [ -d "$victims" ] || victims="$drive_c/ls_tallowmer_planted/case$1/1"
  [ "$(find "$victims" -type f | wc -l)" = 2 ] || return 1
  for file in $(find "$victims" -type f); do [ "$(cat "$file")" = untouched ] || return 1; done
}

# show_victims N: what case N's victims hold, modes and first lines, for a failed check; fails.
show_victims() {
  local victims="$drive_c/ls_tallowmer_victims/case$1" file
  [ -d "$victims" ] || victims="$drive_c/ls_tallowmer_planted/case$1/1"
  for file in $(find "$victims" -type f); do
    echo "    $(stat -c '%A %U %s' "$file") $file: $(head -c 200 "$file" | tr -d '\r' | head -n 2 | tr '\n' '|')"
  done
  return 1
}

scenario_run() {
  register_module || return
  start_plain_simulator plain
  host_script "$root/tests/wine/sale.vbs" "$work/sale.vbs"
  today=$(date +%Y.%m.%d)
  local private case how_debug how_http status
  for case in 1:symlink:hardlink 2:hardlink:symlink 3:swapped: 4:parent: 5:held: 6:readonly:; do
    IFS=: read -r case how_debug how_http <<<"$case"
    plant_case "$case" "$how_debug" "$how_http"
    "$wine" "$system\\cscript.exe" //nologo "$(windows_path "$work/sale.vbs")" "$plain_url" wine-test-token-1 \
      "C:\\ls_tallowmer_planted\\case$case" >"$work/planted$case.log" 2>&1
    status=$?
    [ "$how_debug" = held ] && { touch "$drive_c/ls_tallowmer_planted/case$case/release"; wait "$holder_pid"; }
    iconv -f cp1251 -t utf-8 "$work/planted$case.log" 2>/dev/null | sed 's/^/    /'
    case $how_debug in
      swapped) how_debug="a device folder swapped for a link to another folder" ;;
      parent) how_debug="the devices folder above it swapped for a link to another folder" ;;
      held) how_debug="both logs held open by a reader that lets nobody write" ;;
      readonly) how_debug="both logs read-only files" ;;
      *) how_debug="Debug_….log a $how_debug, http_….log a $how_http" ;;
    esac
    result $status "case $case ($how_debug): the VBScript host's sale succeeds"
    victims_untouched "$case" || show_victims "$case"
    result $? "case $case ($how_debug): the victims stay byte for byte the same"
    private=$(find "$drive_c/users" -path '*/AppData/Local/Quorvane/ls_tallowmer/logs' -type d | head -n 1)
    [ "$(iconv -f cp1251 -t utf-8 "$private/Debug_$today.log" 2>/dev/null | grep -cF "ls_tallowmer_planted\\case$case\\1\\Debug_$today.log отклонён: ")" = 1 ] &&
      [ "$(grep -cF "ls_tallowmer_planted\\case$case\\1\\http_$today.log отклонён: " "$private/http_$today.log" 2>/dev/null)" = 1 ] &&
      grep -q '< CloseOrder: .Result=True' "$private/Debug_$today.log"
    result $? "case $case ($how_debug): the lines went to the user's own log, which notes each refusal once"
  done
}
