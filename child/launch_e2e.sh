# End-to-end: launch and run against the probe, which records what it got.

wait_for() {
  local i
  for i in $(seq 1 200); do
    [ -e "$1" ] && return 0
    sleep 0.05
  done
  return 1
}

test_launch_exits_with_the_childs_pid() {
  new_install
  local report="$root/report.txt"
  run_launcher launch "$(helper probe)" "$(host_path "$report")" "two words"
  wait_for "$report" || fail "the probe wrote no report"
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

test_launch_and_run_of_a_missing_program_exit_with_minus_one() {
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

# With some of the launcher's standard streams closed, its own descriptors
# land on 0 to 2; a program that cannot run must still be reported as such.
test_a_missing_program_fails_with_standard_streams_closed() {
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
  wait_for "$report" || fail "the probe wrote no report"
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
