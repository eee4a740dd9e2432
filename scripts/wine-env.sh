# Sourced by the scripts that run the Windows build under Wine: the project's
# own prefix, and which Wine and which Windows build can run on this host.
#
# launcher.exe is a 32-bit program, and 32-bit Wine is a 32-bit Linux
# program: a kernel without IA-32 emulation (some virtual machines) cannot
# start it at all. There setup registers qemu for i386 programs, which runs
# 32-bit Wine at about a minute a process: enough for the test of the
# shipped bytes (label shipped), too slow for the rest. So wherever 32-bit
# programs do not run natively, the Windows tests run a 64-bit build of the
# same source (build/win64) under 64-bit Wine instead.
#
# LAUNCHER_IA32 says how this host runs 32-bit programs: native, emulated or
# none. An i386 handler in binfmt_misc takes every 32-bit program, even on a
# kernel that could run it, so it is looked for first: a 32-bit Wine that
# answers through it says nothing about the kernel.
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
LAUNCHER_IA32=none
# In a chroot, binfmt_misc is not mounted unless mounted there, yet the
# host's handlers still take every 32-bit program: without a look at them,
# emulation would pass for native.
if [ ! -e /proc/sys/fs/binfmt_misc/status ] && [ -d /proc/sys/fs/binfmt_misc ] && [ "$(id -u)" = 0 ]; then
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || true
fi
for entry in /proc/sys/fs/binfmt_misc/*; do
  if [ -f "$entry" ] && grep -qx enabled "$entry" 2>/dev/null &&
    grep -q '^magic 7f454c4601010100000000000000000002000300' "$entry" 2>/dev/null; then
    LAUNCHER_IA32=emulated
  fi
done
if [ "$LAUNCHER_IA32" = none ] && [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; then
  LAUNCHER_IA32=native
fi
if [ "$LAUNCHER_IA32" = native ]; then
  LAUNCHER_WINE=wine
  LAUNCHER_WIN_BUILD=win32
else
  LAUNCHER_WINE=/usr/lib/wine/wine64
  LAUNCHER_WIN_BUILD=win64
fi
export LAUNCHER_IA32 LAUNCHER_WINE LAUNCHER_WIN_BUILD

# One user of a prefix at a time. Every script that runs Wine ends with
# `wineserver -k`, which ends every process of the prefix with exit code 1:
# two of them at once in one checkout (a soak beside the tests, say) kill
# each other's runs, and a batch file's cmd then exits 1 before the launcher
# has logged anything. The top-level script takes the prefix's lock, waiting
# for the other to finish; the scripts it calls (through ctest, say) see that
# their ancestor holds it.
hold_wine_prefix() {
  [ "${LAUNCHER_PREFIX_HELD:-}" = "$WINEPREFIX" ] && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  if ! flock -n 9; then
    echo "Waiting for the other run that uses $WINEPREFIX to finish"
    flock -w 3600 9 || { echo "$WINEPREFIX.lock still held after an hour" >&2; exit 2; }
  fi
  export LAUNCHER_PREFIX_HELD=$WINEPREFIX
}
