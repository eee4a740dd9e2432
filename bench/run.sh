#!/usr/bin/env bash
# Whole-process benchmarks with hyperfine: the launcher against the bare
# minimum for the same job, medians and ratios, peak memory and exe size.
# Usage: bench/run.sh [runs]   (default 30; "smoke" does 3 runs of each)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-30}
[ "$runs" = smoke ] && runs=3
LAUNCHER_SETUP_EXTRAS=1 bash scripts/setup.sh >/dev/null
[ -x /usr/bin/time ] || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time >/dev/null
cmake -S . -B build/bench-native -DCMAKE_BUILD_TYPE=Release -DLAUNCHER_TESTS=OFF >/dev/null
cmake --build build/bench-native -j "$(nproc)" >/dev/null
source scripts/wine-env.sh
bash scripts/build.sh "$LAUNCHER_WIN_BUILD"
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
  echo "  $(tail -n 1 "$work/rss") KiB  $command"
done
echo "== sizes"
echo "  launcher.exe $(stat -c %s build/win32/launcher.exe) bytes; native launcher $(stat -c %s "$n/launcher") bytes"
rm -rf "$work"
