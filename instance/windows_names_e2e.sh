# End-to-end, Windows only: names in the instance's and the program's
# folders are opened through the folders themselves, so the design's own
# limits hold (no prefix subtracted), and other programs holding the PID
# file, or a leftover beside it, do not keep start from writing it.

# A folder under $root whose Windows path (as host_path spells it) has
# exactly $1 characters.
padded_folder() {
  local want=$1 base
  base="$(host_path "$root")${sep}"
  printf '%s/%s' "$root" "$(printf 'i%.0s' $(seq 1 $((want - ${#base}))))"
}

# Starts a holder of $1 in the way $2 names (see testHoldFile); waits until
# it holds. Its process id is in $holder.
hold_file() {
  local ready="$root/held.$RANDOM"
  "$LAUNCHER_WINE" "$root/bin/probe.exe" --hold="$2" "$(host_path "$1")" "$(host_path "$ready")" --sleep=60000 \
    </dev/null >/dev/null 2>&1 &
  holder=$!
  wait_for_file "$ready" 20 || fail "$2: the holder never opened $1"
}

release_file() {
  kill "$holder" 2>/dev/null
  wait "$holder" 2>/dev/null
}

test_windows_names_start_and_stop_in_long_instance_directories() {
  [ "$host" = win32 ] || return 0
  local length pid windows
  for length in 240 243 259; do
    new_install
    instance=$(padded_folder "$length")
    mkdir -p "$instance/logs" "$instance/locks"
    pid_file="$instance/logs/server.pid"
    lock_file="$instance/locks/server.lock"
    windows=$(host_path "$instance")
    expect_eq "${#windows}" "$length" "the instance directory's length"
    # The sample server names its lock file by a whole path, which narrow
    # calls cap at 260 characters: past that, a probe stands in for it.
    if [ $((length + 18)) -lt 260 ]; then
      run_launcher start "$windows" "$(helper sample-server)" "$windows" 60000
    else
      run_launcher start "$windows" "$(helper probe)" --sleep=60000
    fi
    pid=$(spawned_pid)
    expect_code_is_pid "$pid"
    expect_pid_file "$pid"
    run_launcher stop "$windows"
    expect_eq "$code" 0 "$length characters: stop"
    [ -e "$pid_file" ] && fail "$length characters: the PID file is left"
  done
}

test_windows_names_stop_of_a_long_instance_with_nothing_to_stop() {
  [ "$host" = win32 ] || return 0
  new_install
  instance=$(padded_folder 259)
  mkdir -p "$instance/logs"
  run_launcher stop "$(host_path "$instance")"
  expect_eq "$code" 0 "exit code"
  if log_messages | grep -qF "Could not open the lock file"; then fail "an absent lock file counted as held"; fi
}

test_windows_names_log_names_up_to_259_characters_are_used() {
  [ "$host" = win32 ] || return 0
  local length padded windows
  for length in 256 259; do
    new_install
    # The log's name is <root>\logs\native-windows.out (24 characters more).
    padded=$(padded_folder $((length - 24)))
    mv "$root" "$root.moving" && mkdir -p "$(dirname "$padded")" && mv "$root.moving" "$padded" || {
      fail "could not move the install"
      continue
    }
    root=$padded
    exe="$root/bin/$exe_name"
    log="$root/logs/native-windows.out"
    out="$root/stdout.txt"
    err="$root/stderr.txt"
    windows=$(host_path "$log")
    expect_eq "${#windows}" "$length" "the log name's length"
    run_launcher launch "$(helper probe)"
    expect_code_is_pid "$(spawned_pid)"
    if grep -qF "Could not create log file" "$out"; then fail "$length characters: entries lost"; fi
    expect_contains "$(log_messages)" "The PID of the spawned process is" "$length characters: the log"
  done
}

test_windows_names_a_reader_of_the_pid_file_does_not_keep_the_old_pid() {
  [ "$host" = win32 ] || return 0
  local first second
  new_install
  new_instance
  run_launcher start "$(host_path "$instance")" "$(helper probe)" --sleep=60000
  first=$(spawned_pid)
  hold_file "$pid_file" share-all
  run_launcher start "$(host_path "$instance")" "$(helper probe)" --sleep=60000
  second=$(spawned_pid)
  expect_code_is_pid "$second"
  expect_pid_file "$second"
  release_file
  kill_pid "$first"
  kill_pid "$second"
  ls "$instance/logs" | grep -q '\.old$\|\.new$' && fail "a temporary or aside copy is left: $(ls "$instance/logs")"
}

test_windows_names_a_held_leftover_does_not_block_start() {
  [ "$host" = win32 ] || return 0
  local pid how
  for how in share-write share-all; do
    new_install
    new_instance
    printf '1\r\n' >"$pid_file.new"
    hold_file "$pid_file.new" "$how"
    run_launcher start "$(host_path "$instance")" "$(helper probe)" --sleep=60000
    pid=$(spawned_pid)
    expect_code_is_pid "$pid"
    expect_pid_file "$pid"
    release_file
    kill_pid "$pid"
  done
}
