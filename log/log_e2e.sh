# End-to-end: what another user can plant where the log goes (natively, as
# root with the user nobody). The launcher runs from a program folder
# without "logs", so its log goes to <temporary folder>/logs; the attacker's
# target must stay untouched and the run's result must not change.

# A fresh install whose temporary folder is shared like /tmp; $temp_logs is
# where the log would go.
new_shared_temp_install() {
  new_install nologs
  temp="$root/temp"
  mkdir -p "$temp"
  chmod 1777 "$temp"
  temp_logs="$temp/logs"
  target="$root/victim.txt"
  printf 'precious\n' >"$target"
}

# Runs an unknown subcommand with the shared temporary folder; it must end
# as always (-1, its message on standard error), whatever became of the log.
run_with_shared_temp() {
  TMPDIR=$temp run_launcher nope x
  expect_eq "$code" "$minus_one" "exit code"
  expect_text_file "$err" $'Unknown subcommand: [nope]\n' "stderr"
}

expect_target_untouched() {
  expect_file_eq "$target" $'precious\n' "the target file"
}

native_root_only() {
  [ "$host" = native ] && [ "$(id -u)" = 0 ] && id nobody >/dev/null 2>&1
}

test_log_planted_links_and_fifos_are_refused() {
  native_root_only || return 0
  local plant lines
  for plant in symlink hardlink fifo; do
    new_shared_temp_install
    mkdir -p "$temp_logs"
    case $plant in
      symlink) ln -s "$target" "$temp_logs/native-windows.out" ;;
      hardlink) ln "$target" "$temp_logs/native-windows.out" ;;
      fifo) mkfifo "$temp_logs/native-windows.out" ;;
    esac
    TMPDIR=$temp timeout 20 "$exe" nope x </dev/null >"$out" 2>"$err"
    code=$?
    expect_eq "$code" "$minus_one" "exit code with a $plant"
    expect_target_untouched
    lines=$(grep -c 'Could not create log file.' "$out")
    expect_eq "$lines" 7 "every entry lost with a $plant (stdout)"
  done
}

test_log_folder_another_user_shaped_is_not_used() {
  native_root_only || return 0
  local shape
  for shape in symlinked-folder world-writable-folder; do
    new_shared_temp_install
    case $shape in
      symlinked-folder)
        mkdir -p "$root/elsewhere"
        ln -s "$root/elsewhere" "$temp_logs"
        chown -h nobody "$temp_logs"
        ;;
      world-writable-folder)
        mkdir -m 777 "$temp_logs"
        chown nobody "$temp_logs"
        ;;
    esac
    run_with_shared_temp
    expect_eq "$(grep -c 'Could not create log file.' "$out")" 0 "no entry lost with a $shape (stdout)"
    expect_contains "$(log_messages "$root/native-windows.out")" "Unknown subcommand: [nope]" "the log in the current directory with a $shape"
    expect_eq "$(ls -A "$root/elsewhere" 2>/dev/null; ls -A "$temp_logs/" 2>/dev/null)" "" "nothing written with a $shape"
  done
}

test_log_folder_made_by_the_launcher_is_its_own() {
  native_root_only || return 0
  new_shared_temp_install
  run_with_shared_temp
  expect_eq "$(stat -c '%U %a' "$temp_logs")" "root 755" "owner and mode of the log folder"
  expect_contains "$(log_messages "$temp_logs/native-windows.out")" "Unknown subcommand: [nope]" "log"
}

# Another program holding the log: sharing it for writing only (the run's
# entries still arrive), or locking the whole file (the run is not held up;
# on Windows such a lock refuses the writes, natively it does not). How long
# the run waits is the log's unit tests' business.
test_log_held_by_another_program() {
  local how ready holder
  for how in share-write lock-all; do
    new_install
    : >"$log"
    ready="$root/held"
    if [ "$host" = win32 ]; then
      "$LAUNCHER_WINE" "$root/bin/probe.exe" "--hold=$how" "$(host_path "$log")" "$(host_path "$ready")" --sleep=60000 \
        </dev/null >/dev/null 2>&1 &
    else
      "$root/bin/probe" "--hold=$how" "$log" "$ready" --sleep=60000 </dev/null >/dev/null 2>&1 &
    fi
    holder=$!
    wait_for_file "$ready" 20 || fail "the holder never held the log ($how)"
    run_launcher nope x
    expect_eq "$code" "$minus_one" "exit code ($how)"
    if [ "$how" = share-write ] || [ "$host" != win32 ]; then
      expect_contains "$(log_messages)" "Unknown subcommand: [nope]" "entries arrive ($how)"
    fi
    kill "$holder" 2>/dev/null
    wait "$holder" 2>/dev/null
  done
}

# A temporary folder that another user owns is theirs to reshape (to swap
# the logs folder for a link after the check): it is not used at all. Under
# Wine the folder's owner is the Unix one's.
test_log_temporary_folder_of_another_user_is_not_used() {
  [ "$(id -u)" = 0 ] && id nobody >/dev/null 2>&1 || return 0
  new_shared_temp_install
  chmod 755 "$temp"
  chown nobody "$temp"
  if [ "$host" = win32 ]; then
    bat_setup="set TMP=$(host_path "$temp")"$'\r\n'"set TEMP=$(host_path "$temp")"$'\r\n' run_launcher nope x
  else
    TMPDIR=$temp run_launcher nope x
  fi
  expect_eq "$code" "$minus_one" "exit code"
  expect_eq "$(tr -d '\r' <"$out" | grep -c 'Could not create log file.')" 0 "no entry lost (stdout)"
  expect_contains "$(log_messages "$root/native-windows.out")" "Unknown subcommand: [nope]" "the log in the current directory"
  expect_eq "$(ls -A "$temp")" "" "nothing made in nobody's temporary folder"
}

# A log that another user made first, in a folder all may add files to,
# would let that user read and erase the run's entries: the run passes on to
# the next place, and nothing of it lands in that file. A program logs
# folder that others may change is passed over the same way.
test_log_another_users_log_is_passed_over() {
  native_root_only || return 0
  local shape private_temp
  for shape in foreign-log writable-folder; do
    new_install
    private_temp="$root/private-temp"
    mkdir -p "$private_temp"
    chmod 755 "$scratch" "$root" "$root/bin"
    case $shape in
      foreign-log)
        chmod 1777 "$root/logs"
        : >"$log"
        chmod 666 "$log"
        chown nobody "$log"
        ;;
      writable-folder) chmod 777 "$root/logs" ;;
    esac
    TMPDIR=$private_temp run_launcher nope x
    expect_eq "$code" "$minus_one" "exit code ($shape)"
    expect_eq "$(grep -c 'Could not create log file.' "$out")" 0 "no entry lost ($shape)"
    [ -s "$log" ] && fail "entries landed in $log ($shape)"
    expect_contains "$(log_messages "$private_temp/logs/native-windows.out")" "Unknown subcommand: [nope]" "the log in the temporary folder ($shape)"
  done
}

# A temporary folder whose log name would not fit in a path: the log goes to
# the current directory instead, and nothing is made in that folder. The
# launcher sees the folder with a separator at its end.
test_log_temporary_folder_too_long_for_the_name() {
  [ "$host" = native ] || return 0
  local length temp_folder
  for length in 236 237 250 254 259; do
    new_install nologs
    mkdir -p "$root/cwd"
    temp_folder="$root/t"
    while [ ${#temp_folder} -lt $((length - 1)) ]; do temp_folder+=t; done
    mkdir -p "$temp_folder"
    (cd "$root/cwd" && TMPDIR=$temp_folder timeout 20 "$exe" nope x </dev/null >"$out" 2>"$err")
    expect_eq "$(grep -c 'Could not create log file.' "$out")" 0 "no entry lost ($length)"
    if [ "$length" -le 236 ]; then
      expect_contains "$(log_messages "$temp_folder/logs/native-windows.out")" "Unknown subcommand: [nope]" "log in the temporary folder ($length)"
    else
      expect_contains "$(log_messages "$root/cwd/native-windows.out")" "Unknown subcommand: [nope]" "log in the current directory ($length)"
      expect_eq "$(ls -A "$temp_folder")" "" "nothing made in the temporary folder ($length)"
    fi
  done
}

# A run that may write the log but not delete it (the folder is not its
# own) empties it when it is over the cap: the cap holds for every user.
test_log_that_cannot_be_deleted_is_emptied_at_the_cap() {
  native_root_only || return 0
  new_install
  chmod 755 "$scratch" "$root" "$root/bin" "$root/logs"
  head -c 500001 /dev/zero | tr '\0' '.' >"$log"
  chmod 666 "$log"
  (cd "$root" && timeout 20 setpriv --reuid=nobody --regid=nogroup --clear-groups "$exe" nope x </dev/null >"$out" 2>"$err")
  expect_eq "$(grep -c 'Could not create log file.' "$out")" 0 "no entry lost"
  local size
  size=$(stat -c %s "$log")
  [ "$size" -lt 10000 ] || fail "the log is $size bytes after the run: not emptied"
  expect_contains "$(head -n 1 "$log")" "FIRST LOG MESSAGE FROM" "the new log starts with the banner"
}
