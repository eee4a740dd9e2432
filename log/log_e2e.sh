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

log_as_nobody() {
  setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"
}

# A fresh install whose program logs folder any user may add to (as an
# installer may leave it), a private temporary folder, and a file of root's
# for links to point at. The log goes to the program's folder all the same.
new_open_logs_install() {
  new_install
  private_temp="$root/private-temp"
  mkdir -p "$private_temp"
  chmod 755 "$scratch" "$root" "$root/bin"
  chmod 1777 "$root/logs"
  target="$root/victim.txt"
  printf 'precious\n' >"$target"
}

# What another user plants at the log's name in such a folder (a link, a
# FIFO that no one or someone reads, a folder), or a second name of another
# file, is never written: the run passes on to the next place, the
# temporary folder's logs, and loses no entry.
test_log_a_refused_log_name_passes_the_run_on() {
  native_root_only || return 0
  local plant reader ready done_reading
  for plant in symlink hardlink fifo read-fifo folder; do
    new_open_logs_install
    reader=""
    case $plant in
      symlink) log_as_nobody ln -s "$target" "$log" ;;
      # The kernel keeps nobody from linking root's file; root's hand
      # stands in for whoever may.
      hardlink) ln "$target" "$log" ;;
      fifo | read-fifo) log_as_nobody mkfifo -m 666 "$log" ;;
      folder) log_as_nobody mkdir "$log" ;;
    esac
    if [ "$plant" = read-fifo ]; then
      mkdir "$root/reader"
      chown nobody "$root/reader"
      ready="$root/reader/reading"
      done_reading="$root/reader/done"
      # Open for reading and writing, the FIFO does not wait for a writer;
      # once the run is over, what it holds is read without waiting.
      log_as_nobody bash -c 'exec 3<>"$1"; : >"$2"; until [ -e "$3" ]; do sleep 0.05; done
        dd if=/dev/fd/3 iflag=nonblock bs=64k count=1 2>/dev/null | wc -c >"$4"' _ \
        "$log" "$ready" "$done_reading" "$root/reader/read.txt" &
      reader=$!
      wait_for_file "$ready" 20 || fail "the FIFO's reader never opened it"
    fi
    TMPDIR=$private_temp run_launcher nope x
    expect_eq "$code" "$minus_one" "exit code with a $plant"
    expect_text_file "$err" $'Unknown subcommand: [nope]\n' "stderr with a $plant"
    expect_eq "$(grep -c 'Could not create log file.' "$out")" 0 "no entry lost with a $plant (stdout)"
    expect_target_untouched
    expect_contains "$(log_messages "$private_temp/logs/native-windows.out")" "Unknown subcommand: [nope]" \
      "the log in the temporary folder with a $plant"
    if [ -n "$reader" ]; then
      : >"$done_reading"
      wait "$reader"
      expect_eq "$(cat "$root/reader/read.txt" 2>/dev/null)" 0 "bytes written into the FIFO"
    fi
    case $plant in
      symlink) [ -L "$log" ] || fail "the planted link was replaced" ;;
      fifo | read-fifo) [ -p "$log" ] || fail "the planted FIFO was replaced" ;;
      folder) expect_eq "$(ls -A "$log")" "" "what the planted folder holds" ;;
    esac
  done
}

# On either host: a folder at the log's name in the program's logs folder
# passes the run on to the temporary folder's logs, losing no entry.
test_log_a_folder_at_the_log_name_passes_the_run_on() {
  new_install
  mkdir "$log"
  local temp="$root/temp"
  mkdir -p "$temp"
  run_launcher_with_temp "$temp" nope x
  expect_eq "$code" "$minus_one" "exit code"
  expect_eq "$(tr -d '\r' <"$out" | grep -c 'Could not create log file.')" 0 "no entry lost (stdout)"
  expect_contains "$(log_messages "$temp/logs/native-windows.out")" "Unknown subcommand: [nope]" \
    "the log in the temporary folder's logs"
  expect_eq "$(ls -A "$log")" "" "what the folder at the log's name holds"
}

# Under umask 000 the log is still made 0644: another user can neither
# forge nor erase a root run's entries.
test_log_is_made_0644_under_any_umask() {
  native_root_only || return 0
  new_install
  chmod 755 "$scratch" "$root" "$root/logs"
  (umask 000 && run_launcher nope x)
  expect_eq "$(stat -c '%U %a' "$log")" "root 644" "owner and mode of the log"
  log_as_nobody sh -c 'printf forged >>"$1"' _ "$log" 2>/dev/null && fail "nobody wrote into the log"
  log_as_nobody sh -c ': >"$1"' _ "$log" 2>/dev/null && fail "nobody emptied the log"
  expect_contains "$(log_messages)" "Unknown subcommand: [nope]" "the log"
  expect_eq "$(grep -c forged "$log")" 0 "forged text in the log"
}

test_log_folder_another_user_shaped_is_not_used() {
  native_root_only || return 0
  local shape
  for shape in symlinked-folder world-writable-folder nobodys-folder; do
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
      nobodys-folder)
        mkdir -m 755 "$temp_logs"
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

# The temporary logs folder is judged by itself: one that the launcher makes
# in a temporary folder that another user owns is the launcher's own, and
# the run holds it open, so that swapping it after the check changes
# nothing. Under Wine the folder's owner is the Unix one's.
test_log_own_logs_folder_in_another_users_temporary_folder_is_used() {
  [ "$(id -u)" = 0 ] && id nobody >/dev/null 2>&1 || return 0
  new_shared_temp_install
  chmod 755 "$temp"
  chown nobody "$temp"
  run_launcher_with_temp "$temp" nope x
  expect_eq "$code" "$minus_one" "exit code"
  expect_eq "$(tr -d '\r' <"$out" | grep -c 'Could not create log file.')" 0 "no entry lost (stdout)"
  expect_contains "$(log_messages "$temp/logs/native-windows.out")" "Unknown subcommand: [nope]" \
    "the log in the temporary folder's logs"
  [ -e "$root/native-windows.out" ] && fail "a log in the current directory"
}

# A log that another user made first, in a folder all may add files to,
# would let that user read and erase the run's entries: the run passes on to
# the next place, and nothing of it lands in that file. The program's logs
# folder itself is used whatever access others have to it.
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
    if [ "$shape" = foreign-log ]; then
      [ -s "$log" ] && fail "entries landed in $log ($shape)"
      expect_contains "$(log_messages "$private_temp/logs/native-windows.out")" "Unknown subcommand: [nope]" \
        "the log in the temporary folder ($shape)"
    else
      expect_contains "$(log_messages)" "Unknown subcommand: [nope]" "the log in the program's logs folder ($shape)"
      [ -e "$private_temp/logs" ] && fail "the temporary logs folder was made ($shape)"
    fi
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
