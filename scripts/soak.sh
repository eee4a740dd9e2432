#!/usr/bin/env bash
# Soak at the log's size cap: several launchers ("writers") at once, natively
# (the launcher as released) and under Wine, each run writing about 20 KB of
# log (a 20000-character argument, which the log writes in several pieces),
# so that together they cross the 500000-byte cap many times.
#
# Every run keeps its exit code, standard output and standard error apart
# (build/soak/run-<host>/runs/W<writer>R<run>.*). An event-driven watcher
# (scripts/soak_log.py, inotify; under Wine it watches the same files from
# the Linux side) opens each generation of the log as it is created and keeps
# it open, so that it can read every generation whole even after the launcher
# deleted it. It never links the log. Afterwards every run's seven entries
# are looked for in everything the watcher saw: an entry that no generation
# holds, or that landed in a generation after it was deleted, is lost; a
# generation deleted at or under the cap, a torn entry or a failed run fails
# the soak, each reported by run, entry and generation. A crash that Wine
# reports outside launcher.exe's code is reported apart from launcher
# failures.
#
# Usage: soak.sh [--run-only] [--writers N] [native runs per writer, default 150] [Wine runs per writer, default 100]
# --run-only builds nothing (the soak tests of ctest); --writers defaults to 8.
set -euo pipefail
cd "$(dirname "$0")/.."
run_only=
writers=8
while [ $# -gt 0 ]; do
  case $1 in
    --run-only) run_only=1; shift ;;
    --writers) writers=$2; shift 2 ;;
    *) break ;;
  esac
done
native_runs=${1:-150}
wine_runs=${2:-100}
# A count that is no number would run nothing, and "passed" would say
# nothing was wrong.
for count in "$native_runs" "$wine_runs" "$writers"; do
  [[ $count =~ ^[0-9]+$ ]] || { echo "soak: runs and writers are numbers, not '$count'" >&2; exit 2; }
done
word_length=${SOAK_WORD_LENGTH:-20000}

# The Windows build that Wine can run here (win64 where 32-bit programs
# cannot run at all) and the Wine to run it with.
source scripts/wine-env.sh
hosts=()
builds=()
[ "$native_runs" -gt 0 ] && { hosts+=(native); builds+=(release); }
[ "$wine_runs" -gt 0 ] && { hosts+=(win32); builds+=("$LAUNCHER_WIN_BUILD"); }
if [ -z "$run_only" ]; then
  bash scripts/setup.sh >/dev/null
  [ ${#builds[@]} -eq 0 ] || bash scripts/build.sh "${builds[@]}"
fi
command -v python3 >/dev/null || { echo "soak: python3 is missing (bash scripts/setup.sh)" >&2; exit 2; }
# Nothing may outlive the soak: a lingering wineserver keeps output open.
if [ "$wine_runs" -gt 0 ]; then
  hold_wine_prefix
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
fi

# The argument of run r of writer w: the run's name, then a filler letter of
# its own, so that bytes of one entry inside another cannot pass for it.
letters=abcdefghijklmnopqrstuvwxyz
fillers=()
for ((i = 0; i < 26; i++)); do
  fillers+=("$(head -c "$word_length" /dev/zero | tr '\0' "${letters:i:1}")")
done
make_word() {
  local id=$1 filler=${fillers[$((($2 * 7 + $3) % 26))]}
  word="$id-${filler:0:$((word_length - ${#id} - 1))}"
}

# One writer's runs, one after another. The run's name is also its
# subcommand, so that its error entry and standard error name it too.
run_loop() {
  local host=$1 w=$2 runs=$3 r id word code
  for ((r = 0; r < runs; r++)); do
    id=W${w}R$r
    make_word "$id" "$w" "$r"
    code=0
    if [ "$host" = native ]; then
      (cd "$root" && timeout --kill-after=5 60 "$exe" "$id" "$word" </dev/null >"$work/runs/$id.out" 2>"$work/runs/$id.err") ||
        code=$?
    else
      (cd "$root" && timeout --kill-after=5 180 "$LAUNCHER_WINE" "$exe" "$id" "$word" </dev/null >"$work/runs/$id.out" 2>"$work/runs/$id.err") ||
        code=$?
    fi
    echo "$code" >"$work/runs/$id.code"
  done
}

# Waits up to $1 seconds for the file $2.
wait_for_file() {
  local deadline=$((SECONDS + $1))
  until [ -e "$2" ]; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}

overall=0
for host in "${hosts[@]}"; do
  if [ "$host" = native ]; then
    runs=$native_runs
    built=build/release/launcher
  else
    runs=$wine_runs
    built=build/$LAUNCHER_WIN_BUILD/launcher.exe
  fi
  [ -f "$built" ] || { echo "soak: no $built; make it with: bash scripts/build.sh $(basename "$(dirname "$built")")" >&2; overall=2; continue; }
  work="$PWD/build/soak/run-$host"
  rm -rf "$work"
  root="$work/root"
  mkdir -p "$root/bin" "$root/logs" "$work/runs"
  cp "$built" "$root/bin/"
  exe="$root/bin/$(basename "$built")"
  if [ "$host" = native ]; then shown_exe=$exe; else shown_exe="Z:${exe//\//\\}"; fi

  echo "== $host: $writers launchers x $runs runs, ${word_length}-character argument ($built)"
  if [ "$host" = win32 ]; then
    # One run first: a Wine that cannot run launcher.exe at all fails here,
    # once. Then a cold start again, as the soak's first runs have always
    # met (it is where Wine's start-up was seen to crash).
    code=0
    timeout --kill-after=5 180 "$LAUNCHER_WINE" "$exe" nope x </dev/null >"$work/first-run.txt" 2>&1 || code=$?
    if [ "$code" != 255 ]; then
      echo "soak: Wine cannot run launcher.exe here (exit code $code, expected 255):"
      head -c 600 "$work/first-run.txt" | sed 's/^/  /'
      overall=1
      continue
    fi
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    rm -f "$root/logs/native-windows.out"
  fi

  # At real-time priority the watcher opens a new generation and reads a
  # deleted one's size the moment the kernel reports it, before the runs go on.
  priority="at real-time priority"
  watcher_command=(chrt -f 10 python3 scripts/soak_log.py watch "$root/logs" "$work")
  chrt -f 10 true 2>/dev/null || { watcher_command=("${watcher_command[@]:3}"); priority="at normal priority (no real-time scheduling here)"; }
  "${watcher_command[@]}" &
  watcher=$!
  if ! wait_for_file 30 "$work/watching"; then
    echo "soak: the log watcher did not start within 30 s"
    kill "$watcher" 2>/dev/null || true
    overall=1
    continue
  fi

  start=$SECONDS
  pids=()
  for ((w = 0; w < writers; w++)); do
    run_loop "$host" "$w" "$runs" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || overall=1; done
  echo "runs took $((SECONDS - start)) s; the watcher ran $priority"
  touch "$work/stop"
  if ! wait "$watcher"; then
    echo "soak: the log watcher failed"
    overall=1
    continue
  fi

  python3 scripts/soak_log.py check --host "$host" --exe "$shown_exe" --exe-file "$exe" --writers "$writers" \
    --runs "$runs" --word-length "$word_length" "$work" || overall=1
  echo "full report: $work/report.txt"
done
[ "$overall" = 0 ] && echo "soak: passed" || echo "soak: FAILED"
exit "$overall"
