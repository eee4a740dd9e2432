#!/usr/bin/env bash
# Whole-process benchmarks with hyperfine: the launcher against the bare
# minimum for the same job, medians and ratios, peak memory and exe size.
# Usage: bench/run.sh [--run-only] [runs]   (default 30; "smoke" does 3 runs
# of each and then checks that every figure is a number and that every
# launcher run succeeded; --run-only builds nothing: the bench test of ctest)
set -euo pipefail
cd "$(dirname "$0")/.."
run_only=
[ "${1:-}" = --run-only ] && { run_only=1; shift; }
runs=${1:-30}
smoke=
[ "$runs" = smoke ] && { runs=3; smoke=1; }
source scripts/wine-env.sh
if [ -z "$run_only" ]; then
  LAUNCHER_SETUP_EXTRAS=1 bash scripts/setup.sh >/dev/null
  bash scripts/build.sh bench "$LAUNCHER_WIN_BUILD"
fi
for tool in hyperfine /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (LAUNCHER_SETUP_EXTRAS=1 bash scripts/setup.sh)" >&2; exit 2; }
done
for program in build/bench-native/launcher "build/$LAUNCHER_WIN_BUILD/launcher.exe"; do
  [ -f "$program" ] || { echo "bench: no $program; make it with: bash scripts/build.sh bench $LAUNCHER_WIN_BUILD" >&2; exit 2; }
done
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

work=$(mktemp -d)
mkdir -p "$work/native/bin" "$work/native/logs" "$work/win/bin" "$work/win/logs" "$work/inst/logs" "$work/inst/locks" \
  "$work/wininst/logs" "$work/wininst/locks"
cp build/bench-native/{launcher,trivial,sample-server} "$work/native/bin/"
cp "build/$LAUNCHER_WIN_BUILD"/{launcher,trivial,spawn-minimal,sample-server}.exe "$work/win/bin/"
n="$work/native/bin"
w="$work/win/bin"
json="$work/json"
mkdir -p "$json"

# Median wall time of each command and the ratio to the first one.
report() {
  python3 - "$1" <<'PY'
import json, sys
results = json.load(open(sys.argv[1]))["results"]
base = results[0]["median"]
for r in results:
    print(f"  {r['median']*1000:9.2f} ms median  ({len(r['times'])} runs, x{r['median']/base:.2f})  {r['command']}")
PY
}

bench() {
  local name=$1
  shift
  echo "== $name"
  # launch exits with the PID, which hyperfine would take for a failure.
  hyperfine -N -i --warmup 2 --runs "$runs" --export-json "$json/$name.json" "$@" 2>/dev/null | grep -v Warning >/dev/null || true
  report "$json/$name.json"
}

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -r)"
bench native-launch "setsid -f $n/trivial" "$n/launcher launch $n/trivial"
bench native-run "$n/launcher run $n/trivial"
bench win-launch "$LAUNCHER_WINE $w/spawn-minimal.exe $w/trivial.exe" "$LAUNCHER_WINE $w/launcher.exe launch $w/trivial.exe"
# start exits with the PID, which is not an error; the pause lets the server
# take its lock before stop looks at it.
cycle="$n/launcher start $work/inst $n/sample-server $work/inst; sleep 0.1; $n/launcher stop $work/inst"
echo "== native start+stop cycle"
hyperfine -i --warmup 1 --runs "$(( runs < 10 ? runs : 10 ))" --export-json "$json/cycle.json" "$cycle" >/dev/null
report "$json/cycle.json"
winpath() { printf 'Z:%s' "${1//\//\\}"; }
wi=$(winpath "$work/wininst")
wcycle="$LAUNCHER_WINE $w/launcher.exe start '$wi' '$(winpath "$w/sample-server.exe")' '$wi'; sleep 0.3; $LAUNCHER_WINE $w/launcher.exe stop '$wi'"
echo "== Wine start+stop cycle"
hyperfine -i --warmup 1 --runs "$(( runs < 10 ? runs : 10 ))" --export-json "$json/wincycle.json" "$wcycle" >/dev/null
report "$json/wincycle.json"

echo "== peak resident memory (GNU time, maximum resident set size)"
for command in "/bin/true" "$n/launcher launch $n/trivial" "$n/launcher run $n/trivial" "$n/launcher nope x"; do
  /usr/bin/time -q -f %M -o "$work/rss" $command >/dev/null 2>&1 || true
  tail -n 1 "$work/rss" >>"$work/rss.all"
  echo "  $(tail -n 1 "$work/rss") KiB  $command"
done
echo "== sizes"
echo "  launcher.exe $(stat -c %s build/win32/launcher.exe) bytes; native launcher $(stat -c %s "$n/launcher") bytes"

status=0
if [ -n "$smoke" ]; then
  # A smoke run proves the benchmarks still measure something: every median
  # and every memory figure is a number, and every launcher run ended
  # without -1 (hyperfine ignores exit codes, since launch exits with a PID),
  # apart from the one deliberate "nope" run natively.
  python3 - "$json" "$work/rss.all" "$work/native/logs/native-windows.out" "$work/win/logs/native-windows.out" <<'PY' || status=1
import glob, json, math, os, re, sys
json_dir, rss_file, native_log, win_log = sys.argv[1:5]
problems = []
groups = sorted(glob.glob(os.path.join(json_dir, '*.json')))
if len(groups) != 5:
    problems.append('%d benchmark groups recorded, expected 5' % len(groups))
for path in groups:
    for result in json.load(open(path))['results']:
        median = result.get('median')
        if not isinstance(median, (int, float)) or not math.isfinite(median) or median <= 0:
            problems.append('%s: median %r for %s' % (os.path.basename(path), median, result.get('command')))
for line in open(rss_file).read().splitlines():
    if not line.isdigit():
        problems.append('peak memory figure %r is not a number' % line)
for name, path, deliberate in (('native', native_log, 1), ('Wine', win_log, 0)):
    text = open(path, 'rb').read().decode('latin-1').replace('\r\n', '\n') if os.path.exists(path) else ''
    results = re.findall(r'main finished\. Returning (-?\d+)$', text, re.M)
    failed = results.count('-1')
    if not results:
        problems.append('the %s launcher logged no finished run (%s)' % (name, path))
    elif failed != deliberate:
        problems.append('%d %s launcher runs returned -1, expected %d (%s)' % (failed, name, deliberate, path))
for text in problems:
    print('bench smoke: ' + text)
print('bench smoke: %s' % ('FAILED' if problems else 'every figure is a number, every launcher run succeeded'))
sys.exit(1 if problems else 0)
PY
fi
rm -rf "$work"
exit "$status"
