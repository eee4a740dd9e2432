#!/usr/bin/env bash
# The main job: builds launcher.exe and runs it under Wine from a Windows
# parent (a batch file), showing its exit codes and its diagnostic log.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh win32
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

demo="$PWD/build/demo"
rm -rf "$demo"
mkdir -p "$demo/bin" "$demo/logs"
cp build/win32/launcher.exe "$demo/bin/"
win() { printf 'Z:%s' "${1//\//\\}"; }

cat >"$demo/demo.bat" <<BAT
@echo off
echo ^> launcher.exe
"$(win "$demo/bin/launcher.exe")"
echo exit code %ERRORLEVEL%
echo ^> launcher.exe Stop here
"$(win "$demo/bin/launcher.exe")" Stop here
echo exit code %ERRORLEVEL%
BAT
sed -i 's/$/\r/' "$demo/demo.bat"
wine cmd /c "$(win "$demo/demo.bat")" 2>&1 | tr -d "\r" || true
echo
echo "== $demo/logs/native-windows.out"
tr -d '\r' <"$demo/logs/native-windows.out"
