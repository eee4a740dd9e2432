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
