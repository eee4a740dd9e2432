# End-to-end: arguments, dispatch and the diagnostic log of a whole run.

test_no_arguments_exits_minus_one_without_closing_line() {
  new_install
  run_launcher
  expect_eq "$code" "$minus_one" "exit code"
  expect_text_file "$err" $'Expected command line args of [subcommand], but got 0 arguments.\n' "stderr"
  expect_file_eq "$out" "" "stdout"
  expect_eq "$(log_messages)" "--------------- FIRST LOG MESSAGE FROM '$(host_path "$exe")' ---------------
main called.
  argv[0] = '$(host_path "$exe")'
ERROR:  Expected command line args of [subcommand], but got 0 arguments." "log"
  expect_eq "$(tail -c 4 "$log" | od -An -c | tr -d ' ')" "$(if [ "$host" = win32 ]; then echo '.\r\n\r\n' | tr -d .; else echo 's.\n\n'; fi)" "an empty line ends the log"
}

test_unknown_and_wrong_case_subcommands_are_refused() {
  local name
  for name in Start nope STOP; do
    new_install
    run_launcher "$name" x
    expect_eq "$code" "$minus_one" "exit code for $name"
    expect_text_file "$err" "Unknown subcommand: [$name]"$'\n' "stderr for $name"
    expect_eq "$(log_messages | tail -n 4)" "  argv[2] = 'x'
ERROR:  Unknown subcommand: [$name]

main finished. Returning -1" "log for $name"
  done
}

test_log_entries_end_in_the_host_line_end() {
  new_install
  run_launcher nope x
  expect_text_file "$log" "$(tr -d '\r' <"$log")"$'\n' "log"
  expect_eq "$(tr -d '\r' <"$log" | grep -c .)" 7 "lines"
}

test_log_over_the_cap_is_replaced_and_starts_with_the_banner() {
  new_install
  head -c 500001 /dev/zero | tr '\0' '.' >"$log"
  run_launcher nope x
  expect_eq "$(log_messages | head -n 1)" "--------------- FIRST LOG MESSAGE FROM '$(host_path "$exe")' ---------------" "first line"
  expect_eq "$(grep -c '^\.\.\.' "$log")" 0 "old content is gone"
}

test_log_of_exactly_the_cap_is_appended_to() {
  new_install
  head -c 500000 /dev/zero | tr '\0' '.' >"$log"
  run_launcher nope x
  # The banner entry is appended to the full log; that makes it too large,
  # so the next entry replaces it.
  expect_eq "$(log_messages | head -n 1)" "main called." "first entry of the new file"
  expect_eq "$(grep -c FIRST "$log")" 0 "no banner in the new file"
}

test_without_a_logs_directory_the_log_goes_to_the_temporary_directory() {
  new_install nologs
  local temp="$root/temp"
  mkdir -p "$temp"
  run_launcher_with_temp "$temp" nope x
  expect_contains "$(log_messages "$temp/logs/native-windows.out")" "Unknown subcommand: [nope]" "log in the temporary directory"
}
