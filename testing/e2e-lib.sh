# Helpers for the end-to-end suites (sourced by e2e.sh). Each test_* function
# is one test; it runs the launcher with run_launcher and checks with expect_*.

failures=0
current=""
scratch=$(mktemp -d "${TMPDIR:-/tmp}/launcher-e2e.XXXXXX")

if [ "$host" = win32 ]; then
  exe_name=launcher.exe
  sep='\'
  minus_one=4294967295
else
  exe_name=launcher
  sep=/
  minus_one=255
fi

# A path as the launcher under test spells it.
host_path() {
  if [ "$host" = win32 ]; then
    printf 'Z:%s' "${1//\//\\}"
  else
    printf '%s' "$1"
  fi
}

# A fresh install: <root>/bin/<launcher>, <root>/logs/ (unless told
# "nologs"), and the helpers beside the launcher.
new_install() {
  root=$(mktemp -d "$scratch/root.XXXXXX")
  mkdir -p "$root/bin"
  [ "${1:-}" = nologs ] || mkdir -p "$root/logs"
  cp "$build/$exe_name" "$root/bin/"
  for helper in probe sample-server; do
    if [ "$host" = win32 ]; then
      cp "$build/$helper.exe" "$root/bin/"
    else
      cp "$build/$helper" "$root/bin/"
    fi
  done
  exe="$root/bin/$exe_name"
  log="$root/logs/native-windows.out"
  out="$root/stdout.txt"
  err="$root/stderr.txt"
}

helper() {
  if [ "$host" = win32 ]; then host_path "$root/bin/$1.exe"; else printf '%s' "$root/bin/$1"; fi
}

# A word as launcher.exe's C runtime must read it back: quoted when empty or
# spaced, and then its trailing backslashes doubled (2n before a quote give n).
quote_for_cmd() {
  local word=$1 trailing
  if [ -z "$word" ] || [[ "$word" == *" "* ]]; then
    trailing=${word##*[!\\]}
    printf '"%s%s"' "$word" "$trailing"
  else
    printf '%s' "$word"
  fi
}

# The longest a launcher run may take: run and stop wait about 30 s at most,
# and a run under memcheck or a cold Wine start adds to that.
launcher_deadline=150

# run_launcher_with_temp folder word... : run_launcher with folder as the
# temporary folder. Under Wine it is set from the Windows parent, since Wine
# takes TMP and TEMP from its registry rather than from a Linux parent.
run_launcher_with_temp() {
  local temp=$1
  shift
  if [ "$host" = win32 ]; then
    bat_setup="set TMP=$(host_path "$temp")"$'\r\n'"set TEMP=$(host_path "$temp")"$'\r\n' run_launcher "$@"
  else
    TMPDIR=$temp run_launcher "$@"
  fi
}

# run_launcher word... : runs the launcher, sets $code (the exit code as an
# unsigned number of the bits the host keeps), fills $out and $err. A run
# that has not ended by the deadline is killed and fails the test.
run_launcher() {
  local status=0 started=$SECONDS
  if [ "$host" = win32 ]; then
    local bat="$root/run.bat" line word
    line="\"$(host_path "$exe")\""
    for word in "$@"; do line+=" $(quote_for_cmd "$word")"; done
    printf '@echo off\r\n%s%s >"%s" 2>"%s"\r\necho %%ERRORLEVEL%% >"%s"\r\n' \
      "${bat_setup:-}" "$line" "$(host_path "$out")" "$(host_path "$err")" "$(host_path "$root/code.txt")" >"$bat"
    # cmd records the launcher's exit code whatever the launcher did, even
    # when it crashed: no code means cmd itself did not get that far. Wine
    # ended it (a `wineserver -k` for the prefix ends every process with 1)
    # or could not start it. Such a run is Wine's failure and is tried once
    # more, unless the launcher had begun to log: then it ran, and running it
    # again would hide what it did.
    local attempt entries_before wine_err="$root/wine-stderr.txt"
    for attempt in 1 2; do
      rm -f "$root/code.txt"
      status=0
      entries_before=$(log_line_count)
      (cd "$root" && timeout --kill-after=10 "$launcher_deadline" "${LAUNCHER_WINE:-wine}" cmd /c "$(host_path "$bat")" </dev/null >/dev/null 2>"$wine_err") ||
        status=$?
      code=$(tr -d '\r\n ' 2>/dev/null <"$root/code.txt")
      if [ -n "$code" ] || [ "$attempt" = 2 ] || [ "$(log_line_count)" != "$entries_before" ] ||
        [ $((SECONDS - started)) -ge "$launcher_deadline" ]; then
        break
      fi
      echo "  Wine did not run the batch file for launcher.exe ${1:-} (cmd exited with $status, no entry in the log;" \
        "Wine said: $(head -c 300 "$wine_err" | tr '\n' ' ')): retrying once"
    done
    if [ "${code:0:1}" = - ]; then code=$((code + 4294967296)); fi
    [ -n "$code" ] || fail "launcher.exe ${1:-}: no exit code recorded (wine cmd exited with $status; Wine said: $(head -c 300 "$wine_err" | tr '\n' ' '))"
  else
    # LAUNCHER_WRAPPER runs the launcher under a checker (valgrind).
    (cd "$root" && timeout --kill-after=10 "$launcher_deadline" ${LAUNCHER_WRAPPER:-} "$exe" "$@" </dev/null >"$out" 2>"$err")
    code=$?
    status=$code
  fi
  # The exit status cannot tell: a PID's low byte can be 124 or 137 too.
  if [ $((SECONDS - started)) -ge "$launcher_deadline" ]; then
    fail "launcher ${1:-}: still running after ${launcher_deadline} s, killed (exit status $status)"
  fi
}

# Lines in the current install's log; 0 before it exists.
log_line_count() {
  if [ -f "$log" ]; then wc -l <"$log"; else echo 0; fi
}

# wait_until seconds what command... : runs the command every 50 ms until it
# succeeds; fails the test, naming what it waited for, when it has not
# succeeded within the seconds.
wait_until() {
  local seconds=$1 what=$2 deadline
  shift 2
  deadline=$(($(date +%s%N) / 1000000 + seconds * 1000))
  until "$@"; do
    if [ $(($(date +%s%N) / 1000000)) -ge "$deadline" ]; then
      fail "waited ${seconds} s for $what"
      return 1
    fi
    sleep 0.05
  done
}

# Whether some process holds a lock on the first byte of the file. Asks with
# fcntl's F_GETLK, which takes no lock itself (a lock taken to test would make
# a server that locks at that moment fail) and sees both the native build's
# locks and those Wine sets on the file for launcher.exe's processes.
lock_is_held() {
  [ -e "$1" ] || return 1
  python3 - "$1" <<'PY'
import fcntl, os, struct, sys
shape = 'hhqqi'  # struct flock: type, whence, start, length, pid
fd = os.open(sys.argv[1], os.O_RDONLY)
request = struct.pack(shape, fcntl.F_WRLCK, os.SEEK_SET, 0, 1, 0)
request += b'\0' * (32 - len(request))
answer = fcntl.fcntl(fd, fcntl.F_GETLK, request)
sys.exit(0 if struct.unpack(shape, answer[:struct.calcsize(shape)])[0] != fcntl.F_UNLCK else 1)
PY
}

# The log's messages, one per line: time stamp and process tag removed, CR
# LF read as LF.
log_messages() {
  tr -d '\r' <"${1:-$log}" | sed -E 's/^[0-9]{4}\/[0-9]{2}\/[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}: \(pid=-?[0-9]+\)  //'
}

# wait_for_file path seconds: 0 once path exists, 1 when it never did.
wait_for_file() {
  local tries=$(($2 * 20))
  while [ ! -e "$1" ]; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.05
  done
}

fail() {
  echo "  FAIL in $current: $*"
  failures=$((failures + 1))
}

expect_eq() {
  if [ "$1" != "$2" ]; then
    fail "$3"$'\n'"    expected: $(printf '%q' "$2")"$'\n'"    actual:   $(printf '%q' "$1")"
  fi
}

expect_file_eq() {
  expect_eq "$(cat "$1"; echo x)" "$(printf '%s' "$2"; echo x)" "$3"
}

expect_contains() {
  if ! grep -qF -- "$2" <<<"$1"; then fail "$3: missing $(printf '%q' "$2")"; fi
}

# A file the launcher wrote through a text-mode stream (standard error, the
# log): exactly the expected text, with CR LF for every line feed on Windows
# and no CR at all elsewhere.
expect_text_file() {
  local lf crlf
  lf=$(tr -cd '\n' <"$1" | wc -c)
  crlf=$(grep -c $'\r$' "$1")
  if [ "$host" = win32 ]; then
    expect_eq "$crlf" "$lf" "$3: every line feed is preceded by CR"
  else
    expect_eq "$(tr -cd '\r' <"$1" | wc -c)" 0 "$3: no CR"
  fi
  expect_eq "$(tr -d '\r' <"$1"; echo x)" "$(printf '%s' "$2"; echo x)" "$3"
}

# LAUNCHER_E2E_ONLY, a regular expression, runs only the tests it matches.
run_all_e2e() {
  local name before
  for name in $(declare -F | awk '{print $3}' | grep '^test_' | grep -E -- "${LAUNCHER_E2E_ONLY:-.}" | sort); do
    current=$name
    before=$failures
    $name
    if [ "$failures" = "$before" ]; then echo "PASS $name"; else echo "FAIL $name"; fi
  done
  rm -rf "$scratch"
  echo "$failures failure(s)"
  [ "$failures" = 0 ]
}
