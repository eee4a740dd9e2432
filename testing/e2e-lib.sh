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

quote_for_cmd() {
  local word=$1
  if [ -z "$word" ] || [[ "$word" == *" "* ]]; then printf '"%s"' "$word"; else printf '%s' "$word"; fi
}

# run_launcher word... : runs the launcher, sets $code (the exit code as an
# unsigned number of the bits the host keeps), fills $out and $err.
run_launcher() {
  if [ "$host" = win32 ]; then
    local bat="$root/run.bat" line word
    line="\"$(host_path "$exe")\""
    for word in "$@"; do line+=" $(quote_for_cmd "$word")"; done
    printf '@echo off\r\n%s%s >"%s" 2>"%s"\r\necho %%ERRORLEVEL%% >"%s"\r\n' \
      "${bat_setup:-}" "$line" "$(host_path "$out")" "$(host_path "$err")" "$(host_path "$root/code.txt")" >"$bat"
    (cd "$root" && "${LAUNCHER_WINE:-wine}" cmd /c "$(host_path "$bat")" </dev/null >/dev/null 2>&1)
    code=$(tr -d '\r\n ' <"$root/code.txt")
    if [ "${code:0:1}" = - ]; then code=$((code + 4294967296)); fi
  else
    # LAUNCHER_WRAPPER runs the launcher under a checker (valgrind).
    (cd "$root" && ${LAUNCHER_WRAPPER:-} "$exe" "$@" </dev/null >"$out" 2>"$err")
    code=$?
  fi
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

run_all_e2e() {
  local name before
  for name in $(declare -F | awk '{print $3}' | grep '^test_' | sort); do
    current=$name
    before=$failures
    $name
    if [ "$failures" = "$before" ]; then echo "PASS $name"; else echo "FAIL $name"; fi
  done
  rm -rf "$scratch"
  echo "$failures failure(s)"
  [ "$failures" = 0 ]
}
