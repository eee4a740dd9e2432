# End-to-end: start and stop against the sample server, which holds the lock
# on <instance>/locks/server.lock, and against hand-made PID files.

new_instance() {
  instance="$root/instance${1:-}"
  mkdir -p "$instance/logs" "$instance/locks"
  pid_file="$instance/logs/server.pid"
  lock_file="$instance/locks/server.lock"
}

# The PID the launcher logged last for a spawned child: the whole value,
# which a POSIX exit status cannot carry.
spawned_pid() {
  log_messages | sed -n 's/^The PID of the spawned process is \([0-9]*\)\.$/\1/p' | tail -n 1
}

# Stops a process by id through the launcher itself, from a scratch instance.
kill_pid() {
  local saved_instance=$instance
  new_instance ".kill.$1"
  printf '%s\n' "$1" >"$pid_file"
  run_launcher stop "$(host_path "$instance")"
  instance=$saved_instance
  pid_file="$instance/logs/server.pid"
  lock_file="$instance/locks/server.lock"
}

expect_code_is_pid() {
  if [ "$host" = win32 ]; then
    expect_eq "$code" "$1" "exit code is the PID"
  else
    expect_eq "$code" "$(($1 & 255))" "exit code is the PID's low byte"
  fi
}

expect_pid_file() {
  local bytes
  bytes=$(od -An -c "$pid_file" | tr -d ' \n')
  if [ "$host" = win32 ]; then
    expect_eq "$bytes" "$1\\r\\n" "PID file bytes"
  else
    expect_eq "$bytes" "$1\\n" "PID file bytes"
  fi
}

test_start_then_stop_the_sample_server() {
  new_install
  new_instance
  run_launcher start "$(host_path "$instance")" "$(helper sample-server)" "$(host_path "$instance")"
  local pid
  pid=$(spawned_pid)
  [ -n "$pid" ] || fail "no PID logged"
  expect_code_is_pid "$pid"
  expect_pid_file "$pid"
  expect_file_eq "$err" "" "start stderr"
  wait_until 20 "the sample server to lock $lock_file" lock_is_held "$lock_file"
  run_launcher stop "$(host_path "$instance")"
  expect_eq "$code" 0 "stop exit code"
  expect_file_eq "$err" "" "stop stderr"
  [ -e "$pid_file" ] && fail "the PID file is still there"
  local p l
  p=$(host_path "$pid_file")
  l=$(host_path "$lock_file")
  expect_eq "$(log_messages | sed -n '/^Attempting to stop/,$p' | grep -v '^File .* does exist\.$' | grep -v 'has not yet exited')" "Attempting to stop the server running at root '$(host_path "$instance")'.
Attempting to get the PID for the server rooted at '$(host_path "$instance")'.
Attempting to get the PID file for instanceDir='$(host_path "$instance")'
PID file name is '$p'.
Read '$pid
' from the PID file '$p'.
getPid('$(host_path "$instance")') returning $pid.
killProcess(pid=$pid)
Opening process with pid=$pid.
Successfully began termination process for (pid=$pid).
Process (pid=$pid) has exited with exit code 0.
killProcess(pid=$pid) returning 1
Acquired the lock on '$l', so the server is stopped.
Attempting to delete the PID file from instanceDir='$(host_path "$instance")'.
Attempting to get the PID file for instanceDir='$(host_path "$instance")'
PID file name is '$p'.
PID file '$p' exists, attempting to remove it.
Successfully removed PID file: '$p'.
File '$p' does not exist.
deletePidFile('$(host_path "$instance")') returning 1.
main finished. Returning 0" "stop log"
}

test_stop_with_no_pid_file_and_no_lock_file() {
  new_install
  new_instance
  run_launcher stop "$(host_path "$instance")" ignored words
  expect_eq "$code" 0 "exit code"
  expect_text_file "$err" "File $(host_path "$pid_file") could not be opened.
Most likely the server has already stopped.

" "stderr"
  expect_eq "$(log_messages | tail -n 4)" "Could not locate the pid of the server running at root '$(host_path "$instance")': relying on the server lock alone.
File '$(host_path "$lock_file")' does not exist.
Lock file '$(host_path "$lock_file")' does not exist, so the server is stopped.
main finished. Returning 0" "log"
}

test_stop_reads_pid_files_as_strtol_does() {
  local content expect_removed
  # content|whether the PID file is removed (a PID was read and named no process)
  for row in "2147483632|yes" "|no" "junk|no" "   |no" "0|no" "-5|yes" "99999999999|yes" "  77x|yes"; do
    content=${row%|*}
    expect_removed=${row#*|}
    [ "$content" = "  77x" ] && content="  2147483631x"
    new_install
    new_instance
    printf '%s' "$content" >"$pid_file"
    run_launcher stop "$(host_path "$instance")"
    expect_eq "$code" 0 "exit code for '$content'"
    if [ "$expect_removed" = yes ]; then
      [ -e "$pid_file" ] && fail "PID file '$content' was not removed"
    else
      [ -e "$pid_file" ] || fail "PID file '$content' was removed"
    fi
  done
  expect_contains "$(log_messages)" "getPid('$(host_path "$instance")') returning 2147483631." "digits after spaces"
}

# The process that got a dead server's id is spared, even while a reader of
# the lock file (anyone who may read it) holds a shared lock on its first
# byte: that lock is not the server's, and the stop succeeds at once.
test_stop_leaves_a_process_younger_than_the_pid_file_running() {
  new_install
  new_instance
  local report="$root/report.txt" pid ready="$root/read-locked" reader
  run_launcher launch "$(helper probe)" "$(host_path "$report")" --sleep=60000
  pid=$(spawned_pid)
  printf '%s\n' "$pid" >"$pid_file"
  touch -d '1 hour ago' "$pid_file"
  : >"$lock_file"
  if [ "$host" = win32 ]; then
    "$LAUNCHER_WINE" "$root/bin/probe.exe" --hold=read-lock "$(host_path "$lock_file")" "$(host_path "$ready")" \
      --sleep=60000 </dev/null >/dev/null 2>&1 &
  else
    "$root/bin/probe" --hold=read-lock "$lock_file" "$ready" --sleep=60000 </dev/null >/dev/null 2>&1 &
  fi
  reader=$!
  wait_for_file "$ready" 20 || fail "the reader never locked the lock file"
  run_launcher stop "$(host_path "$instance")"
  kill "$reader" 2>/dev/null
  wait "$reader" 2>/dev/null
  expect_eq "$code" 0 "exit code"
  expect_contains "$(log_messages)" "The process with pid=$pid started after the PID file was written, so it is not the server." "log"
  expect_contains "$(log_messages)" "Acquired the lock on '$(host_path "$lock_file")', so the server is stopped." "a reader's lock is no server's"
  # Still alive: a stop with a fresh PID file has to terminate it.
  kill_pid "$pid"
  expect_contains "$(log_messages)" "Successfully began termination process for (pid=$pid)." "the probe was still running"
}

# As after a wall-clock step, the server looks younger than its PID file
# (by 10 s, by an hour): it holds its lock file open, which tells that it is
# the server whatever the times say, and stop ends it. Wine cannot tell who
# holds a file open; there the times decide, as the test above shows.
test_stop_ends_a_server_that_looks_younger_than_its_pid_file() {
  [ "$host" = win32 ] && return
  local age before pid
  for age in 10 3600; do
    new_install
    new_instance
    before=$(date +%s)
    run_launcher start "$(host_path "$instance")" "$(helper sample-server)" "$(host_path "$instance")"
    pid=$(spawned_pid)
    expect_code_is_pid "$pid"
    wait_until 20 "the sample server to lock $lock_file" lock_is_held "$lock_file"
    touch -d "@$((before - age))" "$pid_file"
    run_launcher stop "$(host_path "$instance")"
    expect_eq "$code" 0 "$age s: exit code"
    expect_contains "$(log_messages)" "The process with pid=$pid holds the server lock file open, so it is the server." "$age s: log"
    # Ended: gone, or a zombie that no one here reaps.
    if [ -e "/proc/$pid" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$pid/status"; then
      fail "$age s: the server still runs"
    fi
    [ -e "$pid_file" ] && fail "$age s: the PID file is still there"
  done
}

test_stop_waits_for_a_lock_released_during_the_wait() {
  new_install
  new_instance
  # stop must start while the server still holds the lock: a start-up under
  # Wine or memcheck on a loaded machine can take two seconds.
  local hold=2500
  [ "$host" = win32 ] || [ -n "${LAUNCHER_WRAPPER:-}" ] && hold=6000
  run_launcher launch "$(helper sample-server)" "$(host_path "$instance")" "$hold"
  wait_until 20 "the sample server to lock $lock_file" lock_is_held "$lock_file"
  run_launcher stop "$(host_path "$instance")"
  expect_eq "$code" 0 "exit code"
  expect_contains "$(log_messages)" "The server still holds the lock on '$(host_path "$lock_file")'.  Sleeping for 1 second and will try 29 more time(s)." "waited"
  expect_contains "$(log_messages)" "Acquired the lock on '$(host_path "$lock_file")', so the server is stopped." "released"
}

test_start_refuses_missing_drive_relative_and_no_command() {
  new_install
  new_instance
  local dir
  for dir in "$(host_path "$root/missing")" "C:"; do
    run_launcher start "$dir" "$(helper probe)"
    expect_eq "$code" "$minus_one" "exit code for $dir"
    expect_text_file "$err" "The instance directory '$dir' is not valid."$'\n' "stderr for $dir"
  done
  run_launcher start "$(host_path "$instance")"
  expect_eq "$code" "$minus_one" "exit code without a command"
  expect_eq "$(log_messages | tail -n 2 | head -n 1)" "ERROR:  Couldn't start the child process because the spawn failed." "log"
  [ -e "$pid_file" ] && fail "a PID file was written"
}

test_start_without_a_logs_directory_or_with_two_dots_still_gives_the_pid() {
  new_install
  local pid dir
  for dir in "$root/bare" "$root/a..b"; do
    mkdir -p "$dir"
    run_launcher start "$(host_path "$dir")" "$(helper probe)" --sleep=60000
    pid=$(spawned_pid)
    expect_code_is_pid "$pid"
    [ -e "$dir/logs/server.pid" ] && fail "a PID file appeared under $dir"
    kill_pid "$pid"
  done
}

test_two_starts_leave_the_second_pid() {
  new_install
  new_instance
  local first second
  run_launcher start "$(host_path "$instance")" "$(helper probe)" --sleep=60000
  first=$(spawned_pid)
  run_launcher start "$(host_path "$instance")" "$(helper probe)" --sleep=60000
  second=$(spawned_pid)
  expect_pid_file "$second"
  kill_pid "$first"
  kill_pid "$second"
}

test_stop_logs_the_own_exit_code_of_a_process_that_ended_by_itself() {
  [ "$host" = win32 ] && return  # a zombie is a POSIX matter
  new_install
  new_instance
  local zombie holder
  # The subshell starts the probe, then becomes sleep, which never reaps
  # it: a zombie that is not the launcher's child.
  ( "$(helper probe)" --exit=3 & echo $! >"$root/zombie.pid"; exec sleep 60 ) &
  holder=$!
  for _ in $(seq 1 100); do
    [ -s "$root/zombie.pid" ] && grep -q '^State:[[:space:]]*Z' "/proc/$(cat "$root/zombie.pid")/status" 2>/dev/null && break
    sleep 0.05
  done
  zombie=$(cat "$root/zombie.pid")
  grep -q '^State:[[:space:]]*Z' "/proc/$zombie/status" || fail "the probe never became a zombie"
  printf '%s\n' "$zombie" >"$pid_file"
  run_launcher stop "$(host_path "$instance")"
  expect_eq "$code" 0 "exit code"
  expect_contains "$(log_messages)" "Process (pid=$zombie) has exited with exit code 3." "its own exit code"
  [ -e "$pid_file" ] && fail "the PID file is still there"
  kill "$holder"
  wait "$holder" 2>/dev/null
}

# An instance on a read-only mount (a snapshot, a read-only share) whose
# server is gone: probing its lock needs only to read, so the stop ends with
# 0 at once; only the PID file cannot be removed there.
test_stop_of_a_read_only_instance_whose_server_is_gone() {
  [ "$host" = native ] && [ "$(id -u)" = 0 ] || return 0
  new_install
  new_instance
  : >"$lock_file"
  printf '2147483632\n' >"$pid_file"
  local read_only="$root/read-only"
  mkdir -p "$read_only"
  if ! mount --bind "$instance" "$read_only" 2>/dev/null; then
    return 0
  fi
  if ! mount -o remount,ro,bind "$read_only" 2>/dev/null; then
    umount "$read_only"
    return 0
  fi
  run_launcher stop "$read_only"
  umount "$read_only"
  expect_eq "$code" 0 "exit code"
  expect_contains "$(log_messages)" "Acquired the lock on '$read_only/locks/server.lock', so the server is stopped." "probed"
}
