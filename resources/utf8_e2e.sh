# End-to-end: names outside the legacy code page (Cyrillic and CJK) in the
# launcher's folder, the instance directory, the server's path and words and
# the temporary directory. The manifest makes UTF-8 the process's narrow code
# page, so they pass the narrow calls unchanged and the log holds them in
# UTF-8.
#
# Wine's cmd reads a batch file in the ANSI code page when it has no console,
# and chcp cannot change that without one, so the batch file here stays ASCII:
# every name reaches it through an environment variable, which Wine carries
# from a UTF-8 locale as Unicode.

u8_name='Дир-目录'

# A fresh install (see new_install) whose root folder is named outside the
# legacy code page, with the sample server and the probe copied under such
# names too.
new_u8_install() {
  new_install "$@"
  local named="$root-$u8_name"
  mv "$root" "$named"
  root=$named
  exe="$root/bin/$exe_name"
  log="$root/logs/native-windows.out"
  out="$root/stdout.txt"
  err="$root/stderr.txt"
  local suffix=""
  [ "$host" = win32 ] && suffix=.exe
  u8_server="$root/bin/сервер-服务$suffix"
  u8_probe="$root/bin/проба-探针$suffix"
  cp "$root/bin/sample-server$suffix" "$u8_server"
  cp "$root/bin/probe$suffix" "$u8_probe"
}

# As run_launcher, with the launcher's path, every word, the output files and
# u8_temp (the temporary directory, when set) passed to the batch file through
# the environment.
run_launcher_u8() {
  if [ "$host" != win32 ]; then
    if [ -n "${u8_temp:-}" ]; then TMPDIR=$u8_temp run_launcher "$@"; else run_launcher "$@"; fi
    return
  fi
  local bat="$scratch/run-u8.bat" code_file="$scratch/code-u8.txt" line='"%U8_EXE%"' n=0 word
  local -a vars=("U8_EXE=$(host_path "$exe")" "U8_OUT=$(host_path "$out")" "U8_ERR=$(host_path "$err")")
  for word in "$@"; do
    n=$((n + 1))
    vars+=("U8_WORD$n=$word")
    line+=" \"%U8_WORD$n%\""
  done
  local setup=""
  if [ -n "${u8_temp:-}" ]; then
    vars+=("U8_TEMP=$(host_path "$u8_temp")")
    setup=$'set TMP=%U8_TEMP%\r\nset TEMP=%U8_TEMP%\r\n'
  fi
  printf '@echo off\r\n%s%s >"%%U8_OUT%%" 2>"%%U8_ERR%%"\r\necho %%ERRORLEVEL%% >"%s"\r\n' \
    "$setup" "$line" "$(host_path "$code_file")" >"$bat"
  rm -f "$code_file"
  local status=0
  (cd "$root" && timeout --kill-after=10 "$launcher_deadline" env LC_ALL=C.UTF-8 "${vars[@]}" \
    "${LAUNCHER_WINE:-wine}" cmd /c "$(host_path "$bat")" </dev/null >/dev/null 2>"$scratch/wine-stderr-u8.txt") || status=$?
  code=$(tr -d '\r\n ' 2>/dev/null <"$code_file")
  if [ "${code:0:1}" = - ]; then code=$((code + 4294967296)); fi
  [ -n "$code" ] ||
    fail "launcher.exe ${1:-}: no exit code recorded (wine cmd exited with $status; Wine said: $(head -c 300 "$scratch/wine-stderr-u8.txt" | tr '\n' ' '))"
}

# Waits for a file to appear; 0 when it did within about 10 s.
u8_wait_for() {
  local i
  for i in $(seq 1 200); do
    [ -e "$1" ] && return 0
    sleep 0.05
  done
  return 1
}

# A path as the probe reports it: backslashes doubled.
u8_reported() {
  local path
  path=$(host_path "$1")
  printf '%s' "${path//\\/\\\\}"
}

test_utf8_names_start_and_stop_the_sample_server() {
  new_u8_install
  local instance="$root/inst-$u8_name"
  mkdir -p "$instance/logs"
  local pid_file="$instance/logs/server.pid" lock_file="$instance/locks/server.lock"
  run_launcher_u8 start "$(host_path "$instance")" "$(host_path "$u8_server")" "$(host_path "$instance")"
  local pid
  pid=$(log_messages | sed -n 's/^The PID of the spawned process is \([0-9]*\)\.$/\1/p' | tail -n 1)
  [ -n "$pid" ] || fail "no PID logged"
  if [ "$host" = win32 ]; then
    expect_eq "$code" "$pid" "start exit code is the PID"
  else
    expect_eq "$code" "$((pid & 255))" "start exit code is the PID's low byte"
  fi
  [ -e "$pid_file" ] || fail "no PID file in the instance directory"
  expect_file_eq "$err" "" "start stderr"
  # The server takes its lock under the same name, so it got the name intact.
  u8_wait_for "$lock_file" || fail "the server made no lock file in its instance directory"
  sleep 0.3
  run_launcher_u8 stop "$(host_path "$instance")"
  expect_eq "$code" 0 "stop exit code"
  expect_file_eq "$err" "" "stop stderr"
  [ -e "$pid_file" ] && fail "the PID file is still there"
  local messages
  messages=$(log_messages)
  expect_contains "$messages" "--------------- FIRST LOG MESSAGE FROM '$(host_path "$exe")' ---------------" "banner"
  expect_contains "$messages" "  argv[2] = '$(host_path "$instance")'" "instance directory traced"
  expect_contains "$messages" "  argv[3] = '$(host_path "$u8_server")'" "server path traced"
  expect_contains "$messages" "Read '$pid" "PID read back"
  expect_contains "$messages" "Acquired the lock on '$(host_path "$lock_file")', so the server is stopped." "lock watched"
  expect_contains "$messages" "Successfully removed PID file: '$(host_path "$pid_file")'." "PID file removed"
  expect_eq "$(tail -n 1 <<<"$messages")" "main finished. Returning 0" "closing line"
}

test_utf8_words_reach_the_server_and_the_log_goes_to_a_utf8_temporary_directory() {
  new_u8_install nologs
  local instance="$root/inst-$u8_name" report="$root/отчёт-报告.txt"
  mkdir -p "$instance/logs"
  local temp="$root/temp-Темп-临时"
  mkdir -p "$temp"
  u8_temp=$temp run_launcher_u8 start "$(host_path "$instance")" "$(host_path "$u8_probe")" "$(host_path "$report")" "слово" "词 语"
  u8_wait_for "$report" || fail "the probe wrote no report"
  local reported
  reported=$(tr -d '\r' <"$report")
  expect_contains "$reported" "argv[0]=$(u8_reported "$u8_probe")" "server path as received"
  expect_contains "$reported" "argv[1]=$(u8_reported "$report")" "report path as received"
  expect_contains "$reported" "argv[2]=слово" "Cyrillic word as received"
  expect_contains "$reported" "argv[3]=词 语" "CJK words with a space as received"
  expect_contains "$reported" "argc=4" "word count"
  local temp_log="$temp/logs/native-windows.out"
  [ -e "$temp_log" ] || fail "no log in the temporary directory"
  local messages
  messages=$(log_messages "$temp_log")
  expect_contains "$messages" "  argv[5] = 'слово'" "Cyrillic word traced"
  expect_contains "$messages" "  argv[6] = '词 语'" "CJK words traced"
  expect_contains "$messages" "PID file name is '$(host_path "$instance/logs/server.pid")'." "PID file name"
}
