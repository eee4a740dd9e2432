# End-to-end under Wine, from a Windows parent: the launcher built with the
# volume shim (launcher-shim.exe, see testing/volume_shim.cpp) answered as
# Windows answers on FAT32, exFAT, an SMB share and the folders Windows
# ships, selected by a marker folder in the path (@fat32, @program-files,
# ...). The core job and the log's place must hold on each.

shim_available() {
  [ "$host" = win32 ] && [ -f "$build/launcher-shim.exe" ]
}

# An install whose program folder is <root>/<where>/app (or <root>/<where>
# itself with "here"), with its logs folder unless "nologs"; the shim takes
# launcher.exe's place. Sets $app, $exe and $log.
new_shim_install() {
  local where=$1 shape=${2:-} logs=${3:-}
  new_install nologs
  app="$root/$where"
  [ "$shape" = here ] || app="$app/app"
  mkdir -p "$app/bin"
  [ "$logs" = nologs ] || mkdir -p "$app/logs"
  cp "$root/bin/"*.exe "$app/bin/"
  cp "$build/launcher-shim.exe" "$app/bin/launcher.exe"
  exe="$app/bin/launcher.exe"
  log="$app/logs/native-windows.out"
}

# The batch lines that set the run's temporary folder from the Windows
# parent (Wine takes TMP and TEMP from its registry otherwise), in $temp_lines.
set_temp_lines() {
  temp_lines="set TMP=$(host_path "$1")"$'\r\n'"set TEMP=$(host_path "$1")"$'\r\n'
}

expect_no_entry_lost() {
  expect_eq "$(tr -d '\r' <"$out" | grep -c 'Could not create log file.')" 0 "no entry lost ($1)"
}

# start, stop, launch and run on each volume, the instance and the log on
# it too; and the log over its cap deleted there (neither volume deletes
# with POSIX semantics).
test_shim_core_job_on_fat_exfat_and_smb() {
  shim_available || return 0
  local volume instance pid_file lock_file pid report
  for volume in @fat32 @exfat @smb; do
    new_shim_install "$volume"
    head -c 500001 /dev/zero | tr '\0' '.' >"$log"
    instance="$app/instance"
    mkdir -p "$instance/logs" "$instance/locks"
    pid_file="$instance/logs/server.pid"
    lock_file="$instance/locks/server.lock"
    run_launcher start "$(host_path "$instance")" "$(host_path "$app/bin/sample-server.exe")" "$(host_path "$instance")"
    pid=$(log_messages | sed -n 's/^The PID of the spawned process is \([0-9]*\)\.$/\1/p' | tail -n 1)
    [ -n "$pid" ] || fail "no PID logged ($volume)"
    expect_eq "$code" "$pid" "start's exit code is the PID ($volume)"
    expect_eq "$(tr -d '\r\n' <"$pid_file" 2>/dev/null)" "$pid" "the PID file ($volume)"
    wait_until 20 "the sample server to lock $lock_file" lock_is_held "$lock_file"
    run_launcher stop "$(host_path "$instance")"
    expect_eq "$code" 0 "stop's exit code ($volume)"
    [ -e "$pid_file" ] && fail "the PID file is still there ($volume)"
    lock_is_held "$lock_file" && fail "the server still holds its lock ($volume)"
    report="$root/report.txt"
    run_launcher launch "$(host_path "$app/bin/probe.exe")" "$(host_path "$report")"
    wait_until 20 "the probe's report ($volume)" test -e "$report"
    run_launcher run "$(host_path "$app/bin/probe.exe")" "$(host_path "$report.2")" --exit=7
    expect_eq "$code" 7 "run's exit code ($volume)"
    expect_no_entry_lost "$volume"
    expect_contains "$(log_messages)" "main finished. Returning 7" "the log in the program's logs folder ($volume)"
    [ "$(stat -c %s "$log")" -lt 100000 ] || fail "the log over its cap was not deleted ($volume)"
    expect_eq "$(ls "$app/logs" | grep -c deleted)" 0 "no aside copy left ($volume)"
  done
}

# An SMB server's clock behind or ahead of the client's: start stamps the
# PID file's write time itself, so stop still knows its server by the times
# (Wine cannot tell which processes hold the lock file open).
test_shim_stop_on_a_share_whose_clock_differs() {
  shim_available || return 0
  local ahead instance pid
  for ahead in -3600 -60 60; do
    new_shim_install @smb
    instance="$app/instance"
    mkdir -p "$instance/logs" "$instance/locks"
    bat_setup="set LAUNCHER_SHIM_SERVER_CLOCK=$ahead"$'\r\n'
    run_launcher start "$(host_path "$instance")" "$(host_path "$app/bin/sample-server.exe")" "$(host_path "$instance")"
    pid=$code
    wait_until 20 "the sample server to lock its lock file" lock_is_held "$instance/locks/server.lock"
    run_launcher stop "$(host_path "$instance")"
    bat_setup=
    expect_eq "$code" 0 "stop's exit code (server clock $ahead s ahead)"
    log_messages | grep -q "started after the PID file was written" && fail "the server spared (server clock $ahead s ahead)"
    lock_is_held "$instance/locks/server.lock" && fail "the server $pid still holds its lock (server clock $ahead s ahead)"
  done
}

# The program's logs folder as installers leave it under Program Files
# (TrustedInstaller holds full control) and ProgramData (Users may add
# files): the log stays there.
test_shim_log_stays_in_the_program_logs_folder_of_an_install() {
  shim_available || return 0
  local place
  for place in @program-files @program-data; do
    new_shim_install "$place" here
    set_temp_lines "$root/missing-temp"
    bat_setup=$temp_lines run_launcher nope x
    expect_eq "$code" "$minus_one" "exit code ($place)"
    expect_no_entry_lost "$place"
    expect_contains "$(log_messages)" "Unknown subcommand: [nope]" "the log in the program's logs folder ($place)"
  done
}

# A temporary folder as Windows ships it, the launcher's own logs folder
# made in it: the log goes there, C:\Windows\Temp (where Users may add files)
# included, since the folder the launcher makes is private.
test_shim_log_in_the_temporary_logs_folder() {
  shim_available || return 0
  local place temp
  for place in @user-temp @system-temp @windows-temp; do
    new_shim_install "$place-install" "" nologs
    temp="$root/$place"
    mkdir -p "$temp"
    set_temp_lines "$temp"
    bat_setup=$temp_lines run_launcher nope x
    expect_eq "$code" "$minus_one" "exit code ($place)"
    expect_no_entry_lost "$place"
    expect_contains "$(log_messages "$temp/logs/native-windows.out")" "Unknown subcommand: [nope]" \
      "the log in $place\\logs"
  done
}

# A scheduled task started in C:\Windows\System32 (owned by TrustedInstaller),
# with no other place left: the log goes to the current directory.
test_shim_log_in_system32_as_the_current_directory() {
  shim_available || return 0
  new_shim_install "@install" "" nologs
  local cwd="$root/@system32"
  mkdir -p "$cwd"
  set_temp_lines "$root/missing-temp"
  bat_setup="${temp_lines}cd /d $(host_path "$cwd")"$'\r\n' run_launcher nope x
  expect_eq "$code" "$minus_one" "exit code"
  expect_no_entry_lost "System32"
  expect_contains "$(log_messages "$cwd/native-windows.out")" "Unknown subcommand: [nope]" \
    "the log in the current directory"
}

closing_entries_at_least() {
  [ "$(tr -d '\r' <"$log" | grep -c 'main finished. Returning -1')" -ge "$1" ]
}

# Runs that write without the entry lock (another holds it until every
# run's wait has run out) append each entry whole at the end: none torn,
# none lost.
test_log_runs_writing_without_the_lock_keep_every_entry() {
  [ "$host" = win32 ] || return 0
  local runs=24 i holder entries whole
  new_install
  : >"$log"
  "$LAUNCHER_WINE" "$root/bin/probe.exe" --hold=entry-lock "$(host_path "$log")" "$(host_path "$root/held")" \
    --sleep=120000 </dev/null >/dev/null 2>&1 &
  holder=$!
  wait_for_file "$root/held" 20 || fail "the holder never took the entry lock"
  # One Windows parent starts them all at once, none waiting for another.
  {
    printf '@echo off\r\n'
    for i in $(seq "$runs"); do printf 'start "" /b "%s" nope x >nul 2>nul\r\n' "$(host_path "$exe")"; done
  } >"$root/all.bat"
  (cd "$root" && timeout 120 "$LAUNCHER_WINE" cmd /c "$(host_path "$root/all.bat")" </dev/null >/dev/null 2>&1)
  wait_until 100 "every run's closing entry" closing_entries_at_least "$runs"
  kill "$holder" 2>/dev/null
  wait "$holder" 2>/dev/null
  # A message that ends in a line feed is followed by an empty line.
  entries=$(tr -d '\r' <"$log" | grep -c .)
  whole=$(tr -d '\r' <"$log" | grep -cE '^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}: \(pid=[0-9]+\)  ')
  expect_eq "$whole" "$entries" "every line a whole entry"
  expect_eq "$(tr -d '\r' <"$log" | grep -c 'FIRST LOG MESSAGE FROM')" "$runs" "every run's banner"
  expect_eq "$(tr -d '\r' <"$log" | grep -c 'main finished. Returning -1')" "$runs" "every run's closing entry"
  # Every run's entries, and as many from each.
  local tags
  tags=$(tr -d '\r' <"$log" | sed -nE 's/^.{19}: \(pid=([0-9]+)\).*/\1/p' | sort | uniq -c)
  expect_eq "$(wc -l <<<"$tags")" "$runs" "entries of every run"
  expect_eq "$(awk '{print $1}' <<<"$tags" | sort -u | wc -l)" 1 "as many entries from every run"
}
