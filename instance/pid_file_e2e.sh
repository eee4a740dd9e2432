# End-to-end: the PID file as something another user may have put there. The
# launcher runs elevated (here as root); "nobody" plays the other user.
# Natively for real; under Wine where Wine can show it (it follows Linux
# symbolic links itself, and FIFOs do not exist on Windows).

as_nobody() {
  setpriv --reuid=nobody --regid=nogroup --clear-groups "$@"
}

# A root process that no stop here may terminate: a sleeping probe.
start_bystander() {
  run_launcher launch "$(helper probe)" --sleep=60000
  bystander=$(spawned_pid)
  [ -n "$bystander" ] || fail "no bystander started"
}

# The stop under test left the bystander alone: it did not terminate it,
# and (natively) it still runs; then it is stopped for good.
expect_bystander_survived() {
  if log_messages | grep -qF "Successfully began termination process for (pid=$bystander)."; then
    fail "$1: the bystander was terminated"
  fi
  if [ "$host" != win32 ] && ! kill -0 "$bystander" 2>/dev/null; then fail "$1: the bystander is gone"; fi
  kill_pid "$bystander"
  expect_contains "$(log_messages)" "Successfully began termination process for (pid=$bystander)." "$1: it still ran"
}

# Runs the launcher with a deadline, natively; 124 in $code means it hung.
run_launcher_with_deadline() {
  LAUNCHER_WRAPPER="timeout 60 ${LAUNCHER_WRAPPER:-}" run_launcher "$@"
}

# start writes a new file and renames it over the name: a link there is
# replaced, and what it named is left as it was.
test_pid_file_start_never_writes_through_a_link() {
  local kind pid
  for kind in symbolic hard; do
    # Wine follows a Linux symbolic link as if it were the file.
    [ "$host" = win32 ] && [ "$kind" = symbolic ] && continue
    new_install
    new_instance
    printf 'keep\n' >"$root/target"
    if [ "$kind" = symbolic ]; then ln -s "$root/target" "$pid_file"; else ln "$root/target" "$pid_file"; fi
    run_launcher start "$(host_path "$instance")" "$(helper probe)" --sleep=60000
    pid=$(spawned_pid)
    expect_code_is_pid "$pid"
    expect_eq "$(cat "$root/target")" keep "$kind link: its target"
    [ -L "$pid_file" ] && fail "$kind link: still a link"
    expect_eq "$(tr -d '\r' <"$pid_file")" "$pid" "$kind link: replaced by the PID file"
    expect_contains "$(log_messages)" "Successfully put pid=$pid in the pid file '$(host_path "$pid_file")'." "$kind link: log"
    kill_pid "$pid"
  done
}

test_pid_file_stop_never_reads_through_a_link() {
  local kind
  for kind in symbolic hard; do
    [ "$host" = win32 ] && [ "$kind" = symbolic ] && continue
    new_install
    new_instance
    start_bystander
    printf '%s\n' "$bystander" >"$root/target"
    if [ "$kind" = symbolic ]; then ln -s "$root/target" "$pid_file"; else ln "$root/target" "$pid_file"; fi
    run_launcher stop "$(host_path "$instance")"
    expect_eq "$code" 0 "$kind link: exit code (no lock file)"
    [ -e "$pid_file" ] || fail "$kind link: the name was removed"
    expect_eq "$(cat "$root/target")" "$bystander" "$kind link: its target"
    expect_bystander_survived "$kind link"
  done
}

test_pid_file_a_fifo_never_hangs_start_or_stop() {
  [ "$host" = win32 ] && return
  new_install
  new_instance
  mkfifo "$pid_file"
  run_launcher_with_deadline stop "$(host_path "$instance")"
  expect_eq "$code" 0 "stop exit code"
  expect_contains "$(log_messages)" "File $pid_file could not be opened." "stop log"
  local pid
  run_launcher_with_deadline start "$(host_path "$instance")" "$(helper probe)" --sleep=60000
  pid=$(spawned_pid)
  expect_code_is_pid "$pid"
  [ -p "$pid_file" ] && fail "the FIFO was opened, not replaced"
  expect_eq "$(cat "$pid_file")" "$pid" "the PID file that replaced the FIFO"
  kill_pid "$pid"
}

test_pid_file_another_user_could_have_written_is_not_used() {
  local how
  for how in nobody group-writable; do
    # Wine shows a file's owner, not its mode bits.
    [ "$host" = win32 ] && [ "$how" = group-writable ] && continue
    new_install
    new_instance
    start_bystander
    if [ "$how" = nobody ]; then
      # nobody may reach the instance and owns its logs folder.
      chmod 711 "$scratch" "$root"
      chown nobody:nogroup "$instance/logs"
      printf '%s\n' "$bystander" | as_nobody tee "$pid_file" >/dev/null
    else
      printf '%s\n' "$bystander" >"$pid_file"
      chmod 664 "$pid_file"
    fi
    run_launcher stop "$(host_path "$instance")"
    expect_eq "$code" 0 "$how: exit code (no lock file)"
    expect_contains "$(log_messages)" "ERROR:  The PID file '$(host_path "$pid_file")' is not trusted: another user could have written it." "$how: log"
    expect_contains "$(log_messages)" "getPid('$(host_path "$instance")') returning 0." "$how: no PID"
    [ -e "$pid_file" ] || fail "$how: the PID file was removed"
    expect_bystander_survived "$how"
  done
}

test_pid_file_start_writes_its_own_file_whatever_was_there() {
  [ "$host" = win32 ] && return  # owner and mode bits are POSIX matters
  new_install
  new_instance
  local pid
  printf '1\n' >"$pid_file"
  chown nobody:nogroup "$pid_file"
  chmod 666 "$pid_file"
  (umask 077 && run_launcher start "$(host_path "$instance")" "$(helper probe)" --sleep=60000 && echo "$code" >"$root/code")
  code=$(cat "$root/code")
  pid=$(spawned_pid)
  expect_code_is_pid "$pid"
  expect_pid_file "$pid"
  expect_eq "$(stat -c '%U %a' "$pid_file")" "root 644" "owner and mode"
  run_launcher stop "$(host_path "$instance")"
  expect_eq "$code" 0 "the PID file it wrote is trusted by stop"
  expect_contains "$(log_messages)" "Process (pid=$pid) has exited with exit code 0." "stopped"
}

# Another user who can write the logs folder makes the PID file in advance
# and keeps it open, to write a PID of their choosing once start has made
# the file root's: start writes a new file instead, so stop never reads it.
test_pid_file_a_kept_descriptor_cannot_choose_what_stop_terminates() {
  [ "$host" = win32 ] && return
  new_install
  new_instance
  start_bystander
  chmod 711 "$scratch" "$root"
  chown nobody:nogroup "$instance/logs"
  as_nobody bash -c 'exec 3<>"$1"; until [ -e "$2" ]; do sleep 0.05; done; printf "%s\n" "$3" >&3; : >"$4"' _ \
    "$pid_file" "$instance/logs/go" "$bystander" "$instance/logs/written" &
  wait_until 20 "nobody to make the PID file" test -e "$pid_file"
  run_launcher start "$(host_path "$instance")" "$(helper probe)" --sleep=60000
  local pid
  pid=$(spawned_pid)
  expect_code_is_pid "$pid"
  : >"$instance/logs/go"
  wait_until 20 "nobody to write through the kept descriptor" test -e "$instance/logs/written"
  wait
  expect_eq "$(cat "$pid_file")" "$pid" "the PID file start wrote"
  run_launcher stop "$(host_path "$instance")"
  expect_eq "$code" 0 "stop exit code"
  expect_bystander_survived "kept descriptor"
}

# logs and locks that are links to another instance's folders: neither
# start nor stop touches anything there.
test_pid_file_links_at_logs_and_locks_are_never_followed() {
  [ "$host" = win32 ] && return
  new_install
  new_instance
  start_bystander
  local other="$root/other"
  mkdir -p "$other/logs" "$other/locks"
  printf '%s\n' "$bystander" >"$other/logs/server.pid"
  rmdir "$instance/logs" 2>/dev/null || rm -rf "$instance/logs"
  rm -rf "$instance/locks"
  ln -s "$other/logs" "$instance/logs"
  ln -s "$other/locks" "$instance/locks"
  run_launcher stop "$(host_path "$instance")"
  expect_contains "$(log_messages)" "ERROR:  The folder '$instance/logs' is a link or not a folder, so it is not used." "stop log"
  expect_eq "$(cat "$other/logs/server.pid")" "$bystander" "stop: the other instance's PID file"
  run_launcher start "$(host_path "$instance")" "$(helper probe)" --sleep=60000
  local pid
  pid=$(spawned_pid)
  expect_code_is_pid "$pid"
  expect_eq "$(cat "$other/logs/server.pid")" "$bystander" "start: the other instance's PID file"
  [ -e "$other/logs/server.pid.new" ] && fail "start wrote into the other instance's folder"
  kill_pid "$pid"
  expect_bystander_survived "links at logs and locks"
}

# stop says 0 only when the lock is seen released or its file missing: an
# open that fails for want of descriptors or rights is no such evidence.
# (Each waits out the 30 probes of a held lock.)
test_pid_file_stop_that_cannot_probe_the_lock_is_not_a_success() {
  [ "$host" = win32 ] && return
  new_install
  new_instance
  chmod 711 "$scratch" "$root"
  chmod 755 "$instance" "$instance/logs" "$root/logs"
  run_launcher start "$(host_path "$instance")" "$(helper sample-server)" "$(host_path "$instance")"
  local pid
  pid=$(spawned_pid)
  expect_code_is_pid "$pid"
  wait_until 20 "the sample server to lock $lock_file" lock_is_held "$lock_file"
  rm -f "$pid_file"
  LAUNCHER_WRAPPER="prlimit --nofile=3" run_launcher stop "$(host_path "$instance")"
  [ "$code" = 0 ] && fail "stop with no descriptor left returned 0"
  chmod 777 "$root/logs"
  LAUNCHER_WRAPPER="setpriv --reuid=nobody --regid=nogroup --clear-groups" run_launcher stop "$(host_path "$instance")"
  [ "$code" = 0 ] && fail "nobody's stop of root's server returned 0"
  kill -0 "$pid" 2>/dev/null || fail "the server is gone"
  kill_pid "$pid"
}

# A PID file naming a server that is gone (an id no machine here hands out),
# which a start must not leave behind however its own PID file fares.
stale_pid=2147483632
expect_no_stale_pid_file() {
  if [ -e "$pid_file" ] && [ "$(tr -d '\r\n' <"$pid_file")" = "$stale_pid" ]; then
    fail "$1: server.pid still names the server that is gone"
  fi
}

# Another user who may write the logs folder makes, for the next process
# ids, every name a new PID file used to take: the names now carry a random
# part, so start passes them by and writes its PID file all the same.
test_pid_file_planted_new_names_never_keep_the_old_pid() {
  local first last p n pid
  new_install
  new_instance
  printf '%s\n' "$stale_pid" >"$pid_file"
  if [ "$host" = win32 ]; then
    # Windows process ids are multiples of 4; Wine hands out small ones.
    first=32 last=2048
    for ((p = first; p <= last; p += 4)); do
      for n in $(seq 0 15); do : >"$instance/logs/server.pid.$p-$n.new"; done
    done
  else
    [ "$(id -u)" = 0 ] || return 0
    chmod 711 "$scratch" "$root"
    chown nobody:nogroup "$instance/logs"
    first=$(($(cat /proc/sys/kernel/ns_last_pid) + 1)) last=$(($(cat /proc/sys/kernel/ns_last_pid) + 300))
    as_nobody bash -c 'for ((p = $1; p <= $2; p++)); do for n in $(seq 0 15); do : >"$3/server.pid.$p-$n.new"; done; done' \
      _ "$first" "$last" "$instance/logs"
  fi
  run_launcher start "$(host_path "$instance")" "$(helper probe)" --sleep=60000
  pid=$(spawned_pid)
  expect_code_is_pid "$pid"
  expect_eq "$(tr -d '\r' <"$pid_file")" "$pid" "the PID file"
  expect_contains "$(log_messages)" "Successfully put pid=$pid in the pid file '$(host_path "$pid_file")'." "log"
  run_launcher stop "$(host_path "$instance")"
  expect_eq "$code" 0 "stop exit code"
  expect_contains "$(log_messages)" "Successfully began termination process for (pid=$pid)." "stop ended the new server"
}

# A full disk while the new PID file is written: the old one is removed, so
# that it does not name the server that is gone. A small tmpfs holds the
# instance (as root only; Wine takes a mount point for a junction, so the
# logs folder itself is no mount point).
test_pid_file_a_full_disk_leaves_no_stale_pid_file() {
  [ "$(id -u)" = 0 ] || return 0
  new_install
  mkdir -p "$root/disk"
  mount -t tmpfs -o size=16k tmpfs "$root/disk" 2>/dev/null || return 0
  new_instance
  instance="$root/disk/instance"
  pid_file="$instance/logs/server.pid"
  mkdir -p "$instance/logs" "$instance/locks"
  printf '%s\n' "$stale_pid" >"$pid_file"
  dd if=/dev/zero of="$instance/logs/fill" bs=1k 2>/dev/null
  run_launcher start "$(host_path "$instance")" "$(helper probe)" --sleep=60000
  local pid
  pid=$(spawned_pid)
  expect_code_is_pid "$pid"
  expect_no_stale_pid_file "full disk"
  expect_contains "$(log_messages)" "ERROR:  Couldn't write pid=$pid to the pid file '$(host_path "$pid_file")'." "log: the write"
  expect_contains "$(log_messages)" "Removed the old pid file '$(host_path "$pid_file")', so that it names no process this start did not create." "log: the removal"
  [ "$(ls "$instance/logs")" = fill ] || fail "left in the full folder: $(ls "$instance/logs" | tr '\n' ' ')"
  umount "$root/disk"
  kill_pid "$pid"
}

# A reader that holds the old PID file open without sharing deletion keeps
# Windows from replacing or removing it. Where the reader lets it be
# written, the PID is written into it in place; where not, the log says
# plainly that the old file still stands. (Natively nothing keeps a file
# from being replaced.)
test_pid_file_a_reader_sharing_no_deletion() {
  [ "$host" = win32 ] || return 0
  local how pid
  for how in share-write lock-share-read; do
    new_install
    new_instance
    printf '%s\n' "$stale_pid" >"$pid_file"
    hold_file "$pid_file" "$how"  # see windows_names_e2e.sh
    run_launcher start "$(host_path "$instance")" "$(helper probe)" --sleep=60000
    pid=$(spawned_pid)
    release_file
    expect_code_is_pid "$pid"
    if [ "$how" = share-write ]; then
      expect_no_stale_pid_file "$how"
      expect_eq "$(tr -d '\r' <"$pid_file")" "$pid" "$how: the PID written in place"
      expect_contains "$(log_messages)" "Wrote the new pid into it in place." "$how: log"
    else
      expect_contains "$(log_messages)" "ERROR:  The old pid file '$(host_path "$pid_file")' could be neither replaced, removed nor rewritten (last error 32): another program holds it open. It may still name an earlier process, not the server just started." "$how: log"
    fi
    [ -z "$(ls "$instance/logs" | grep -v '^server\.pid$')" ] || fail "$how: left: $(ls "$instance/logs" | tr '\n' ' ')"
    kill_pid "$pid"
  done
}
