#!/usr/bin/env bash
# Installs what the build and the tests need, when it is missing (Debian 12,
# as root), and makes the project's own Wine prefix. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v make >/dev/null || need+=(make)
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
command -v wine >/dev/null || need+=(wine wine64)
dpkg -s wine32:i386 >/dev/null 2>&1 || need+=(wine32:i386)
command -v file >/dev/null || need+=(file)
# The end-to-end lock probe and the soak's watcher.
command -v python3 >/dev/null || need+=(python3)
# The release package (scripts/package.sh) and its test.
command -v zip >/dev/null || need+=(zip)
command -v unzip >/dev/null || need+=(unzip)
if [ "${LAUNCHER_SETUP_EXTRAS:-}" = 1 ]; then
  command -v clang++ >/dev/null || need+=(clang)
  dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
  command -v hyperfine >/dev/null || need+=(hyperfine)
  command -v valgrind >/dev/null || need+=(valgrind)
  command -v gcovr >/dev/null || need+=(gcovr)
  [ -x /usr/bin/time ] || need+=(time)
fi

if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  if [[ " ${need[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

command -v x86_64-w64-mingw32-g++-posix >/dev/null || need_win64=1
source scripts/wine-env.sh
if [ "$LAUNCHER_WIN_BUILD" = win64 ] && [ "${need_win64:-}" = 1 ]; then
  echo "Installing: g++-mingw-w64-x86-64 (this host cannot run 32-bit programs)"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends g++-mingw-w64-x86-64 >/dev/null
fi
# LAUNCHER_SETUP_NO_PREFIX=1: for a build that runs nothing under Wine.
if [ "${LAUNCHER_SETUP_NO_PREFIX:-}" != 1 ] && [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Making the Wine prefix $WINEPREFIX (once, about 15 s)"
  mkdir -p build
  "$LAUNCHER_WINE" wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi
