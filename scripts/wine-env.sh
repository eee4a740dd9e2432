# Sourced by the scripts that run the Windows build under Wine: the project's
# own prefix, and which Wine and which Windows build can run on this host.
#
# launcher.exe is a 32-bit program, and 32-bit Wine is a 32-bit Linux
# program: a kernel without IA-32 emulation (some virtual machines) cannot
# start it at all. There the Windows tests run on a 64-bit build of the same
# source (build/win64) under 64-bit Wine; the shipped 32-bit build is still
# built and checked, but cannot be run.
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
if [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  LAUNCHER_WINE=wine
  LAUNCHER_WIN_BUILD=win32
else
  LAUNCHER_WINE=/usr/lib/wine/wine64
  LAUNCHER_WIN_BUILD=win64
fi
export LAUNCHER_WINE LAUNCHER_WIN_BUILD
