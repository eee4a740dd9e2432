#!/usr/bin/env bash
# Benchmarks of the launcher beside its floor and the general tools of its
# kind, in one run: wall-time ratios (paired, interleaved, several passes),
# system calls per launch and per log entry, peak memory and sizes. Ends
# with the figures, one "name value" line each. See bench/README.md.
# Usage: bench/run.sh [--run-only] [smoke]
#   smoke: a few runs of each, well under a minute; it then checks that every
#   figure is a number and that no launcher (or floor) run returned -1.
#   --run-only: builds and installs nothing (the bench-smoke test of ctest,
#   after scripts/build.sh release win32 [win64] has built the trees).
set -euo pipefail
cd "$(dirname "$0")/.."
run_only=
[ "${1:-}" = --run-only ] && { run_only=1; shift; }
mode=${1:-full}
case $mode in
  full) native_runs=200 native_passes=5 wine_runs=40 wine_passes=5 entry_runs=500 run_runs=3 cycle_runs=10 warmup=1 ;;
  smoke) native_runs=5 native_passes=2 wine_runs=2 wine_passes=1 entry_runs=20 run_runs=1 cycle_runs=1 warmup=0 ;;
  *) echo "usage: bench/run.sh [--run-only] [smoke]" >&2; exit 2 ;;
esac
source scripts/wine-env.sh

if [ -z "$run_only" ]; then
  LAUNCHER_SETUP_EXTRAS=1 bash scripts/setup.sh >/dev/null
  # The native launcher as released, and the Windows trees the tests use,
  # built as shipped; the 32-bit one for the size of what ships.
  flavors=(release "$LAUNCHER_WIN_BUILD")
  [ "$LAUNCHER_WIN_BUILD" = win32 ] || flavors+=(win32)
  bash scripts/build.sh "${flavors[@]}"
fi
for tool in hyperfine:hyperfine /usr/bin/time:time python3:python3 strace:strace daemonize:daemonize \
  start-stop-daemon:dpkg setsid:util-linux; do
  command -v "${tool%%:*}" >/dev/null ||
    { echo "bench: ${tool%%:*} is missing: Debian package ${tool#*:} (LAUNCHER_SETUP_EXTRAS=1 bash scripts/setup.sh installs it)" >&2; exit 2; }
done
nb=build/release
wb=build/$LAUNCHER_WIN_BUILD
for program in "$nb"/{launcher,launcher-nolog,floor,floor-dynamic,trivial,pairtime,sample-server} \
  "$wb"/{launcher,launcher-nolog,spawn-minimal,floor,floor-nolog,trivial,sample-server,pairtime,entry-calls}.exe \
  build/win32/launcher.exe; do
  [ -f "$program" ] || { echo "bench: no $program; make it with: bash scripts/build.sh release win32 $LAUNCHER_WIN_BUILD" >&2; exit 2; }
done

# Each program in a tree of its own, with a logs folder beside bin, so that
# every run logs to the same place and no two programs share a log.
work=$(mktemp -d)
hold_wine_prefix
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
mkdir -p "$work"/{launcher,floor,floordyn,nolog}/bin "$work"/{launcher,floor,floordyn}/logs "$work"/inst/{logs,locks} \
  "$work"/{win,winfloor,wincalls}/{bin,logs} "$work"/wininst/{logs,locks}
cp "$nb/launcher" "$nb/sample-server" "$work/launcher/bin/"
cp "$nb/floor" "$work/floor/bin/"
cp "$nb/floor-dynamic" "$work/floordyn/bin/"
cp "$nb/launcher-nolog" "$work/nolog/bin/"
cp "$nb/trivial" "$nb/pairtime" "$work/"
cp "$wb"/{launcher,launcher-nolog,spawn-minimal,trivial,sample-server,pairtime}.exe "$work/win/bin/"
cp "$wb"/{floor,floor-nolog}.exe "$work/winfloor/bin/"
cp "$wb"/entry-calls.exe "$work/wincalls/bin/"
child=$work/trivial
launcher=$work/launcher/bin/launcher
raw=$work/raw
figures=$work/figures
mkdir -p "$raw"
: >"$figures"
# start-stop-daemon closes every descriptor up to the limit: at the common
# default of 1024, not at whatever this shell was given.
ulimit -Sn 1024

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -r)"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "main at $(git rev-parse --short main 2>/dev/null || echo '?'), this tree at $(git rev-parse --short HEAD)"

echo "== native detached start, $native_passes passes of $native_runs runs each, interleaved (median of each pass, µs)"
names=(launcher floor setsid daemonize ssd nolog floor_dynamic)
"$work/pairtime" "$native_runs" "$native_passes" \
  "$launcher launch $child" \
  "$work/floor/bin/floor launch $child" \
  "setsid -f $child" \
  "daemonize $child" \
  "start-stop-daemon --start --background --pidfile $work/none.pid --startas $child" \
  "$work/nolog/bin/launcher-nolog launch $child" \
  "$work/floordyn/bin/floor-dynamic launch $child" | tee "$raw/native"
python3 bench/report.py times native "$raw/native" "${names[@]}" | grep -v peak_kib >>"$figures"

echo "== Windows detached start under Wine, timed from a Windows parent: $wine_passes passes of $wine_runs runs"
winpath() { printf 'Z:%s' "${1//\//\\}"; }
w=$(winpath "$work/win/bin")
wf=$(winpath "$work/winfloor/bin")
wt=$w\\trivial.exe
"$LAUNCHER_WINE" "$work/win/bin/pairtime.exe" "$wine_runs" "$wine_passes" \
  "$w\\launcher.exe launch $wt" "$wf\\floor.exe launch $wt" "$w\\spawn-minimal.exe $wt" \
  "$w\\launcher-nolog.exe launch $wt" "$wf\\floor-nolog.exe launch $wt" | tr -d '\r' | tee "$raw/wine"
wine_names=(launcher floor spawn_minimal nolog floor_nolog)
python3 bench/report.py times wine "$raw/wine" "${wine_names[@]}" >>"$figures"
# The same passes split: the start-up of a program with the launcher's
# manifest (the floor without its log over spawn-minimal), the launcher's
# own start-up beyond it, and the 13 entries of each.
python3 bench/report.py split wine "$raw/wine" "${wine_names[@]}" >>"$figures"
echo "== Wine server requests of one run of each (wineserver -d1), where they differ"
# Counted, not timed: what a program asks of the Wine server does not move
# with the machine's load, as a wall time under Wine does.
wineserver -k >/dev/null 2>&1 || true
wineserver -f -d1 2>"$raw/server" &
server=$!
sleep 1
"$LAUNCHER_WINE" "$work/win/bin/pairtime.exe" 1 1 \
  "$w\\launcher.exe launch $wt" "$wf\\floor.exe launch $wt" "$w\\spawn-minimal.exe $wt" \
  "$w\\launcher-nolog.exe launch $wt" "$wf\\floor-nolog.exe launch $wt" >/dev/null
wineserver -k >/dev/null 2>&1 || true
wait "$server" || true
python3 bench/report.py requests wine.requests "$raw/server" launcher.exe=launcher floor.exe=floor \
  spawn-minimal.exe=spawn_minimal launcher-nolog.exe=nolog floor-nolog.exe=floor_nolog | tee -a "$figures"
echo "== under Wine, the calls of one log entry as the launcher makes them, the older GetFileInformationByHandle, whole entries, and the launcher's log code beside the floor's entry (median µs)"
"$LAUNCHER_WINE" "$work/wincalls/bin/entry-calls.exe" "$(winpath "$work/wincalls/logs")\\entry-calls.out" "$entry_runs" |
  tr -d '\r' | sed 's/^/wine.entry_us./' | tee -a "$figures"

echo "== system calls of one launch (strace -f)"
count() {
  local name=$1
  shift
  strace -f -qq -o "$raw/strace-$name" "$@" >/dev/null 2>&1 || true
  python3 bench/report.py syscalls "syscalls.$name" "$raw/strace-$name" "$child" native-windows.out | tee -a "$figures"
}
count launcher "$launcher" launch "$child"
count floor "$work/floor/bin/floor" launch "$child"
count setsid setsid -f "$child"
count daemonize daemonize "$child"
count ssd start-stop-daemon --start --background --pidfile "$work/none.pid" --startas "$child"

echo "== peak resident memory (GNU time, KiB, the median of 3 runs)"
rss() {
  local name=$1
  shift
  for _ in 1 2 3; do
    /usr/bin/time -q -f %M -o "$raw/rss" "$@" >/dev/null 2>&1 || true
    tail -n 1 "$raw/rss"
  done | sort -n | sed -n 2p | sed "s/^/rss_kib.$name /" | tee -a "$figures"
}
rss true /bin/true
rss launcher "$launcher" launch "$child"
rss floor "$work/floor/bin/floor" launch "$child"
rss setsid setsid -f "$child"
rss daemonize daemonize "$child"
rss ssd start-stop-daemon --start --background --pidfile "$work/none.pid" --startas "$child"
grep peak_kib "$figures" || true

echo "== sizes (bytes)"
{
  echo "size.launcher_native $(stat -c %s "$nb/launcher")"
  echo "size.floor $(stat -c %s "$nb/floor")"
  echo "size.launcher_exe_win32 $(stat -c %s build/win32/launcher.exe)"
  echo "size.launcher_exe_$LAUNCHER_WIN_BUILD $(stat -c %s "$wb/launcher.exe")"
} | tee -a "$figures"

echo "== bounded run of a child that exits at once (launcher run), and start+stop cycles of the sample server"
"$work/pairtime" "$run_runs" 1 "$launcher run $child" >"$raw/run"
python3 bench/report.py times native "$raw/run" run | grep -v peak_kib | tee -a "$figures"
# The pause lets the server take its lock before stop looks at it.
cycle="$launcher start $work/inst $work/launcher/bin/sample-server $work/inst; sleep 0.1; $launcher stop $work/inst"
wi=$(winpath "$work/wininst")
wcycle="$LAUNCHER_WINE $work/win/bin/launcher.exe start '$wi' '$w\\sample-server.exe' '$wi'; sleep 0.3; $LAUNCHER_WINE $work/win/bin/launcher.exe stop '$wi'"
for pair in "native.cycle|$cycle" "wine.cycle|$wcycle"; do
  hyperfine -i --warmup "$warmup" --runs "$cycle_runs" --export-json "$raw/cycle.json" "${pair#*|}" >/dev/null 2>&1
  python3 -c 'import json, sys; print("%s.ms %.3f" % (sys.argv[1], json.load(open(sys.argv[2]))["results"][0]["median"] * 1000))' \
    "${pair%%|*}" "$raw/cycle.json" | tee -a "$figures"
done

echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "== figures"
cat "$figures"

# A smoke run proves that the benchmarks still measure something: every
# figure is a number, and no run of the launcher or the floor (whose exit
# code, a PID, nothing here can check) logged a failure.
status=0
if [ "$mode" = smoke ]; then
  python3 - "$figures" "$work"/launcher/logs/native-windows.out "$work"/floor/logs/native-windows.out \
    "$work"/win/logs/native-windows.out "$work"/winfloor/logs/native-windows.out <<'PY' || status=1
import re, sys
problems = []
lines = open(sys.argv[1]).read().splitlines()
if not lines:
    problems.append("no figures")
for line in lines:
    if not re.fullmatch(r"[A-Za-z0-9_.]+ -?[0-9]+(\.[0-9]+)?", line):
        problems.append("not a figure: %r" % line)
for path in sys.argv[2:]:
    try:
        text = open(path, "rb").read().decode("latin-1")
    except OSError:
        text = ""
    results = re.findall(r"main finished\. Returning (-?\d+)\r?$", text, re.M)
    if not results:
        problems.append("no finished run logged in %s" % path)
    elif "-1" in results:
        problems.append("%d runs returned -1 (%s)" % (results.count("-1"), path))
for text in problems:
    print("bench smoke: " + text)
print("bench smoke: %s" % ("FAILED" if problems else "every figure is a number, every launcher run succeeded"))
sys.exit(1 if problems else 0)
PY
fi
exit "$status"
