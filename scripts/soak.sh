#!/usr/bin/env bash
# Soak at the log's size cap: 8 launchers at once, natively and under Wine,
# each run writing about 20 KB of log (a 20000-character argument, which
# the log writes in several pieces), so that together they cross the
# 500000-byte cap several times. Every run must end within its timeout with
# the expected exit code and output; afterwards every entry of every
# generation of the log must be whole and be one of the expected texts.
#
# A watcher hard-links each new generation of the log as it appears, so the
# generations the launcher deletes can be checked too, and so can entries
# that a run appended to a generation after another run unlinked it (they
# land in the unlinked file: lost to readers, but never torn).
# Usage: soak.sh [native runs per launcher, default 150] [Wine runs per launcher, default 100]
set -euo pipefail
cd "$(dirname "$0")/.."
native_runs=${1:-150}
wine_runs=${2:-100}
loops=8
word_length=${SOAK_WORD_LENGTH:-20000}

bash scripts/setup.sh >/dev/null
command -v python3 >/dev/null || {
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends python3 >/dev/null
}
source scripts/wine-env.sh
toolchain=cmake/mingw-i686.cmake
[ "$LAUNCHER_WIN_BUILD" = win64 ] && toolchain=cmake/mingw-x86_64.cmake
# Nothing may outlive the soak: a lingering wineserver keeps output open.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

# Builds of its own, without the tests, so as not to race other builds.
cmake -S . -B build/soak/native --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Debug -DLAUNCHER_TESTS=OFF >/dev/null
cmake --build build/soak/native -j "$(nproc)" --target launcher >/dev/null
cmake -S . -B build/soak/win32 --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$toolchain \
  -DLAUNCHER_TESTS=OFF >/dev/null
cmake --build build/soak/win32 -j "$(nproc)" --target launcher >/dev/null

# The argument of run r of launcher l: unique, with a filler letter of its
# own, so that bytes of one entry inside another cannot pass for it.
make_word() {
  local prefix="L$1R$2-" letters=abcdefghijklmnopqrstuvwxyz
  printf '%s' "$prefix"
  head -c $((word_length - ${#prefix})) /dev/zero | tr '\0' "${letters:$((($1 * 7 + $2) % 26)):1}"
}

# One launcher's runs, one after another; a line per run in $work/runs.<l>.
run_loop() {
  local host=$1 l=$2 runs=$3 r word code want got_err verdict
  local out="$work/out.$l" err="$work/err.$l"
  for ((r = 0; r < runs; r++)); do
    word=$(make_word "$l" "$r")
    code=0
    if [ "$host" = native ]; then
      (cd "$root" && timeout --kill-after=5 60 "$exe" nope "$word" </dev/null >"$out" 2>"$err") || code=$?
      got_err=$(cat "$err"; echo x)
      want=$'Unknown subcommand: [nope]\nx'
    else
      (cd "$root" && timeout --kill-after=5 180 "$LAUNCHER_WINE" "$exe" nope "$word" </dev/null >"$out" 2>"$err") || code=$?
      got_err=$(cat "$err"; echo x)
      want=$'Unknown subcommand: [nope]\r\nx'
    fi
    verdict=ok
    # Under Wine a run can find the log held by another run's deletion
    # (a sharing violation); the entry is then lost and said so on stdout.
    # Natively the log always opens, so any output there is a failure.
    if [ -s "$out" ]; then
      if [ "$host" = win32 ] && ! tr -d '\r' <"$out" | grep -qvx 'Could not create log file.'; then
        echo "$(tr -d '\r' <"$out" | wc -l)" >>"$work/unlogged.$l"
      else
        verdict="stdout:$(head -c 60 "$out" | tr '\r\n' '  ')"
      fi
    fi
    [ "$code" = 255 ] || verdict="exit-$code"
    [ "$got_err" = "$want" ] || verdict="stderr:$(head -c 60 "$err" | tr '\r\n' '  ')"
    echo "$l $r $verdict" >>"$work/runs.$l"
  done
}

# Hard-links every new inode found at the log's path until told to stop.
watch_log() {
  local n=0 inode name
  declare -A seen=()
  while :; do
    inode=$(stat -c %i "$log" 2>/dev/null || true)
    if [ -n "$inode" ] && [ -z "${seen[$inode]:-}" ]; then
      n=$((n + 1))
      printf -v name '%s/gen.%05d' "$work" "$n"
      if ln "$log" "$name" 2>/dev/null; then
        inode=$(stat -c %i "$name")
        if [ -n "${seen[$inode]:-}" ]; then rm -f "$name"; n=$((n - 1)); else seen[$inode]=1; fi
      else
        n=$((n - 1))
      fi
    fi
    [ -e "$work/stop" ] && [ -z "${final:-}" ] && { final=1; continue; }
    [ -n "${final:-}" ] && break
    sleep 0.01
  done
}

overall=0
for host in native win32; do
  if [ "$host" = native ]; then runs=$native_runs; exe_name=launcher; else runs=$wine_runs; exe_name=launcher.exe; fi
  [ "$runs" -gt 0 ] || continue
  work="$PWD/build/soak/run-$host"
  rm -rf "$work"
  root="$work/root"
  mkdir -p "$root/bin" "$root/logs"
  cp "build/soak/$host/$exe_name" "$root/bin/"
  exe="$root/bin/$exe_name"
  log="$root/logs/native-windows.out"
  if [ "$host" = native ]; then shown_exe=$exe; else shown_exe="Z:${exe//\//\\}"; fi

  echo "== $host: $loops launchers x $runs runs, ${word_length}-character argument"
  start=$SECONDS
  watch_log &
  watcher=$!
  pids=()
  for ((l = 0; l < loops; l++)); do
    run_loop "$host" "$l" "$runs" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || overall=1; done
  touch "$work/stop"
  wait "$watcher"
  echo "runs took $((SECONDS - start)) s"

  total=$(cat "$work"/runs.* | wc -l)
  good=$(cat "$work"/runs.* | grep -c ' ok$' || true)
  echo "runs: $total of $((loops * runs)) recorded, $good with exit code 255 and the expected output"
  if [ "$good" != $((loops * runs)) ]; then
    overall=1
    grep -hv ' ok$' "$work"/runs.* | head -n 5 | sed 's/^/  bad run: /'
  fi

  unlogged=0
  unlogged_runs=0
  for count in $(cat "$work"/unlogged.* 2>/dev/null || true); do
    unlogged=$((unlogged + count))
    unlogged_runs=$((unlogged_runs + 1))
  done
  [ "$unlogged" = 0 ] || echo "runs that could not open the log: $unlogged_runs ($unlogged entries said 'Could not create log file.')"
  python3 - "$host" "$shown_exe" "$word_length" "$loops" "$runs" "$unlogged" "$work"/gen.* <<'PY' || overall=1
import re, sys

host, exe, word_length, loops, runs = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
unlogged = int(sys.argv[6])
generations = sys.argv[7:]
CAP = 500000
HEADER = re.compile(r'(\d{4})/(\d\d)/(\d\d) (\d\d):(\d\d):(\d\d): \(pid=(-?\d+)\)  (.*)\Z', re.S)
WORD = re.compile(r"  argv\[2\] = 'L(\d+)R(\d+)-([a-z]*)'\Z")
letters = 'abcdefghijklmnopqrstuvwxyz'

def word_of(l, r):
    prefix = 'L%dR%d-' % (l, r)
    return prefix + letters[(l * 7 + r) % 26] * (word_length - len(prefix))

fixed = {
    "--------------- FIRST LOG MESSAGE FROM '%s' ---------------" % exe: 0,
    'main called.': 1,
    "  argv[0] = '%s'" % exe: 2,
    "  argv[1] = 'nope'": 3,
    'ERROR:  Unknown subcommand: [nope]': 5,
    'main finished. Returning -1': 6,
}
problems = []
def problem(text):
    problems.append(text)

entries = 0
per_step = [0] * 7
words_seen = set()
runs_of_pid = {}  # pid -> last step of its current run
largest = 0
for number, path in enumerate(generations):
    data = open(path, 'rb').read()
    largest = max(largest, len(data))
    name = path.rsplit('/', 1)[-1]
    if number < len(generations) - 1 and len(data) <= CAP:
        problem('%s: deleted at %d bytes, not over the cap' % (name, len(data)))
    if host == 'native' and len(data) > CAP + loops * (word_length + 100):
        problem('%s: %d bytes, more than the cap plus one entry per launcher' % (name, len(data)))
    if data and not data.endswith(b'\n'):
        problem('%s: ends inside a line' % name)
    if host == 'win32':
        if not (data.count(b'\r') == data.count(b'\r\n') == data.count(b'\n')):
            problem('%s: a line end that is not CR LF' % name)
        data = data.replace(b'\r\n', b'\n')
    elif b'\r' in data:
        problem('%s: CR in a native log' % name)
    lines = data.decode('latin-1').split('\n')[:-1]
    i = 0
    while i < len(lines):
        m = HEADER.match(lines[i])
        if not m:
            problem('%s line %d: torn or stray line %r' % (name, i + 1, lines[i][:80]))
            i += 1
            continue
        pid, message = m.group(7), m.group(8)
        step = fixed.get(message)
        if step is None:
            w = WORD.match(message)
            if w and message == "  argv[2] = '%s'" % word_of(int(w.group(1)), int(w.group(2))) \
                    and int(w.group(1)) < loops and int(w.group(2)) < runs:
                step = 4
                key = (int(w.group(1)), int(w.group(2)))
                if key in words_seen:
                    problem('%s line %d: run %r logged twice' % (name, i + 1, key))
                words_seen.add(key)
            else:
                problem('%s line %d: unexpected message %r' % (name, i + 1, message[:80]))
                i += 1
                continue
        if step == 5:
            # The message ends in a line feed: the entry's own empty line follows.
            if i + 1 >= len(lines) or lines[i + 1] != '':
                problem('%s line %d: error entry without its empty line' % (name, i + 1))
            else:
                i += 1
        # A run's earlier entries may have gone to a generation the watcher
        # missed, so only a step at or before one already seen is out of
        # order; a finished run's pid may come back for another run.
        last = runs_of_pid.get(pid)
        if step == 0:
            runs_of_pid[pid] = 0
        else:
            if last is not None and step <= last:
                problem('%s line %d: step %d of pid %s out of order' % (name, i + 1, step, pid))
            runs_of_pid[pid] = step
        if step == 6:
            runs_of_pid.pop(pid, None)
        entries += 1
        per_step[step] += 1
        i += 1

expected = 7 * loops * runs
print('log: %d generations kept (the cap was crossed at least %d times), largest %d bytes'
      % (len(generations), max(len(generations) - 1, 0), largest))
print('entries: %d of %d found whole, per step %s' % (entries, expected, per_step))
print('missing: %d, of which %d not written (the run said so on stdout); the rest went to unlinked'
      ' generations the watcher missed' % (expected - entries, unlogged))
if entries + unlogged > expected:
    problem('more entries than the runs wrote')
print('problems: %d' % len(problems))
for text in problems[:10]:
    print('  ' + text)
sys.exit(1 if problems else 0)
PY
done
[ "$overall" = 0 ] && echo "soak: passed" || echo "soak: FAILED"
exit "$overall"
