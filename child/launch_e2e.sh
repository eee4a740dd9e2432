# End-to-end: launch and run against the probe, which records what it got.

test_launch_exits_with_the_childs_pid() {
  new_install
  local report="$root/report.txt"
  run_launcher launch "$(helper probe)" "$(host_path "$report")" "two words"
  wait_until 20 "the probe's report $report" test -e "$report"
  local pid
  pid=$(tr -d '\r' <"$report" | sed -n 's/^pid=//p')
  if [ "$host" = win32 ]; then
    expect_eq "$code" "$pid" "exit code is the PID"
  else
    expect_eq "$code" "$((pid & 255))" "exit code is the PID's low byte"
  fi
  expect_eq "$(tr -d '\r' <"$report" | sed -n 's/^argv\[2\]=//p')" "two words" "the child's word"
  local line
  line="$(helper probe) $(host_path "$report") \"two words\""
  expect_eq "$(log_messages | tail -n 10)" "Constructing full command line from arguments:
 argv[0]: $(helper probe)
 argv[1]: $(host_path "$report")
 argv[2]: two words
The full commandline is '$line'.
createChildProcess: Attempting to create child process '$line' background=1.
createChildProcess: Successfully created child process '$line'.
The PID of the spawned process is $pid.
Successfully launched the child process '$line'.
main finished. Returning $pid" "log"
  expect_file_eq "$out" "" "stdout"
  expect_file_eq "$err" "" "stderr"
}

test_run_exits_with_the_childs_exit_code() {
  local pair child want
  for pair in 0:0 5:5 -1:$minus_one 300:$([ "$host" = win32 ] && echo 300 || echo 44); do
    child=${pair%%:*}
    want=${pair#*:}
    new_install
    run_launcher run "$(helper probe)" "--exit=$child"
    expect_eq "$code" "$want" "exit code for a child exiting with $child"
    # A POSIX child's status keeps 8 bits, so there the launcher sees that.
    [ "$host" = win32 ] || child=$want
    expect_eq "$(log_messages | tail -n 1)" "main finished. Returning $child" "closing line"
  done
}

# A quoted word that ends in a backslash must not swallow its closing quote:
# the child gets the words as typed, not one word running on into the next.
test_a_quoted_word_ending_in_a_backslash_reaches_the_child_as_typed() {
  new_install
  local report="$root/report.txt" word='C:\dir with space\'
  run_launcher run "$(helper probe)" "$(host_path "$report")" "$word" next
  expect_eq "$code" 0 "run exit code"
  expect_eq "$(tr -d '\r' <"$report" | sed -n 's/^argc=//p')" 4 "the child's word count"
  expect_eq "$(tr -d '\r' <"$report" | sed -n 's/^argv\[2\]=//p')" 'C:\\dir with space\\' "the child's word (backslashes doubled in the report)"
  expect_eq "$(tr -d '\r' <"$report" | sed -n 's/^argv\[3\]=//p')" next "the word after it"
  expect_contains "$(log_messages)" "The full commandline is '$(helper probe) $(host_path "$report") \"C:\\dir with space\\\\\" next'." "log"
}

test_launch_and_run_of_a_missing_program_exit_with_minus_one() {
  # Under valgrind (LAUNCHER_WRAPPER) a failed exec is not seen: it runs
  # posix_spawn's vfork as a fork.
  [ -z "${LAUNCHER_WRAPPER:-}" ] || return 0
  new_install
  run_launcher launch no-such-program-here
  expect_eq "$code" "$minus_one" "launch exit code"
  expect_eq "$(log_messages | tail -n 5)" "createChildProcess: Attempting to create child process 'no-such-program-here' background=1.
ERROR:  createChildProcess: Failed to create child process 'no-such-program-here'.  Last error = 2.
ERROR:  Could not get the PID of the spawned process.
ERROR:  Failed to launch the child process 'no-such-program-here'.
main finished. Returning -1" "launch log"
  new_install
  run_launcher run no-such-program-here
  expect_eq "$code" "$minus_one" "run exit code"
  expect_eq "$(log_messages | tail -n 3)" "createChildProcess: Attempting to create child process 'no-such-program-here' background=1.
ERROR:  createChildProcess: Failed to create child process 'no-such-program-here'.  Last error = 2.
main finished. Returning -1" "run log"
}

# Terminates a process by id through the launcher's own stop, from a scratch
# instance; sets $was_running to yes when stop found it running.
stop_by_pid() {
  local instance="$root/stop-$1"
  mkdir -p "$instance/logs"
  printf '%s\n' "$1" >"$instance/logs/server.pid"
  run_launcher stop "$(host_path "$instance")"
  if log_messages | grep -qxF "Successfully began termination process for (pid=$1)."; then
    was_running=yes
  else
    was_running=no
  fi
}

# A CI agent reads a step's output until every writer has gone. The pipe
# reaches the launcher as an inheritable handle that is not one of its
# standard handles (through cmd on Windows, as descriptor 9 natively); the
# reader must see its end when the launcher exits, not when the child does.
test_a_pipe_the_launcher_inherited_ends_when_the_launcher_exits() {
  new_install
  local report="$root/report.txt" reader pid
  if [ "$host" = win32 ]; then
    printf '@echo off\r\n"%s" launch "%s" "%s" --sleep=60000 >NUL 2>NUL\r\n' \
      "$(host_path "$exe")" "$(helper probe)" "$(host_path "$report")" >"$root/run.bat"
    (cd "$root" && "$LAUNCHER_WINE" cmd /c "$(host_path "$root/run.bat")" </dev/null 2>/dev/null) |
      timeout 20 cat >/dev/null
    reader=${PIPESTATUS[1]}
  else
    (cd "$root" && ${LAUNCHER_WRAPPER:-} "$exe" launch "$(helper probe)" "$report" --sleep=60000 \
      9>&1 </dev/null >/dev/null 2>&1) | timeout 20 cat >/dev/null
    reader=${PIPESTATUS[1]}
  fi
  expect_eq "$reader" 0 "the reader saw the end of the pipe (124: it still had a writer after 20 s)"
  wait_until 20 "the probe's report $report" test -e "$report"
  pid=$(tr -d '\r' <"$report" | sed -n 's/^pid=//p')
  stop_by_pid "$pid"
  expect_eq "$was_running" yes "the child still ran when the reader saw the end"
}

# With some of the launcher's standard streams closed, its own descriptors
# land on 0 to 2; a program that cannot run must still be reported as such.
test_a_missing_program_fails_with_standard_streams_closed() {
  # Under valgrind (LAUNCHER_WRAPPER) a failed exec is not seen: it runs
  # posix_spawn's vfork as a fork.
  [ -z "${LAUNCHER_WRAPPER:-}" ] || return 0
  [ "$host" = win32 ] && return 0
  local closed sub instance args
  for closed in "0" "1" "2" "0 1" "0 2" "1 2" "0 1 2"; do
    for sub in launch run start; do
      new_install
      instance="$root/instance"
      mkdir -p "$instance/logs"
      args=("$sub")
      [ "$sub" = start ] && args+=("$instance")
      args+=(/no/such/program)
      (
        cd "$root" || exit 1
        for fd in $closed; do eval "exec $fd>&-"; done
        exec ${LAUNCHER_WRAPPER:-} "$exe" "${args[@]}"
      )
      code=$?
      expect_eq "$code" 255 "$sub with $closed closed: exit code"
      expect_contains "$(log_messages)" "ERROR:  createChildProcess: Failed to create child process '/no/such/program'.  Last error = 2." "$sub with $closed closed: log"
      [ -e "$instance/logs/server.pid" ] && fail "$sub with $closed closed: a PID file was written"
    done
  done
}

# ... while a program that runs starts with null standard streams.
test_launch_with_standard_streams_closed_gives_the_child_null_streams() {
  [ "$host" = win32 ] && return 0
  new_install
  local report="$root/report.txt"
  (
    cd "$root" || exit 1
    exec ${LAUNCHER_WRAPPER:-} "$exe" launch "$(helper probe)" "$report" <&- >&- 2>&-
  )
  wait_until 20 "the probe's report $report" test -e "$report"
  expect_eq "$(sed -n 's/^std\(in\|out\|err\)=//p' "$report" | tr '\n' ' ')" "null null null " "the child's streams"
}

# A caller that blocks and ignores signals (a shell's background job ignores
# SIGINT and SIGQUIT) must not hand that on: the child starts with no signal
# blocked or ignored.
test_the_child_starts_with_default_signal_state() {
  [ "$host" = win32 ] && return 0
  new_install
  local report="$root/report.txt"
  (
    cd "$root" || exit 1
    exec perl -MPOSIX -e 'sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGUSR1, SIGTERM));
      $SIG{$_} = "IGNORE" for qw(INT QUIT PIPE HUP); exec @ARGV or exit 126' -- \
      ${LAUNCHER_WRAPPER:-} "$exe" launch /bin/cp /proc/self/status "$report" </dev/null >/dev/null 2>&1
  )
  # cp copies its own status; a shell in between would clear the mask itself.
  local i
  for i in $(seq 1 200); do
    grep -q '^SigIgn:' "$report" 2>/dev/null && break
    sleep 0.05
  done
  grep -q '^SigIgn:' "$report" 2>/dev/null || fail "the child wrote no status"
  local blocked ignored
  blocked=$(sed -n 's/^SigBlk:\t//p' "$report")
  ignored=$(sed -n 's/^SigIgn:\t//p' "$report")
  expect_eq "$blocked" 0000000000000000 "the child's blocked signals"
  # The C library's spawn leaves its own two internal signals (32 and 33,
  # below SIGRTMIN) ignored; no program can name them through it.
  expect_eq "$(printf '%016x' $((16#${ignored:-ffffffffffffffff} & ~0x180000000)))" 0000000000000000 \
    "the child's ignored signals (SigIgn $ignored)"
}
