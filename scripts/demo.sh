#!/usr/bin/env bash
# The main job: builds launcher.exe and the sample server, then under Wine,
# from a Windows parent (a batch file), starts the sample server in a fresh
# instance directory, shows the exit code (its PID) and the PID file, stops
# it, and shows the exit code 0 and the diagnostic log.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
source scripts/wine-env.sh
bash scripts/build.sh "$LAUNCHER_WIN_BUILD"
if [ "$LAUNCHER_WIN_BUILD" = win64 ]; then
  echo "(This host runs 32-bit programs only under emulation, about a minute each, so Wine runs the 64-bit"
  echo " build of the same source here; ctest -L shipped runs the 32-bit launcher.exe itself.)"
fi
hold_wine_prefix
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

demo="$PWD/build/demo"
rm -rf "$demo"
# The log goes to <root>\logs because the launcher sits in <root>\bin.
mkdir -p "$demo/bin" "$demo/logs" "$demo/instance/logs" "$demo/instance/locks"
cp "build/$LAUNCHER_WIN_BUILD/launcher.exe" "build/$LAUNCHER_WIN_BUILD/sample-server.exe" "$demo/bin/"
win() { printf 'Z:%s' "${1//\//\\}"; }
launcher=$(win "$demo/bin/launcher.exe")
instance=$(win "$demo/instance")

cat >"$demo/demo.bat" <<BAT
@echo off
echo ^> launcher.exe start $instance sample-server.exe $instance
"$launcher" start "$instance" "$(win "$demo/bin/sample-server.exe")" "$instance"
echo exit code %ERRORLEVEL% (the server's PID)
echo ^> type $instance\\logs\\server.pid
type "$instance\\logs\\server.pid"
ping -n 2 127.0.0.1 >nul
echo ^> launcher.exe stop $instance
"$launcher" stop "$instance"
echo exit code %ERRORLEVEL%
if exist "$instance\\logs\\server.pid" (echo the PID file is still there) else (echo the PID file is gone)
BAT
sed -i 's/$/\r/' "$demo/demo.bat"
"$LAUNCHER_WINE" cmd /c "$(win "$demo/demo.bat")" 2>&1 | tr -d '\r' || true
echo
echo "== $demo/logs/native-windows.out"
tr -d '\r' <"$demo/logs/native-windows.out"
