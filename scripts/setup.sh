#!/usr/bin/env bash
# Installs what the build and the tests need, when it is missing (Debian 12,
# as root), and makes the project's own Wine prefix. Safe to run again.
# LAUNCHER_SETUP_EXTRAS=1: also what the checks beyond the build and the
# Windows tests use (sanitizers, fuzzing, memcheck, benchmarks, coverage).
set -euo pipefail
cd "$(dirname "$0")/.."

# The one list of what a fresh machine lacks: every tool that a build, a test
# or a check calls, with the Debian package that brings it. Each line is the
# package, then what shows that it is there: a command, a file, or nothing
# (the package itself). What every Debian install has (coreutils, util-linux's
# setsid, setpriv and prlimit, dpkg's start-stop-daemon, perl-base) is not
# listed.
need=()
want() {
  local package=$1 probe=${2:-}
  case $probe in
    "") dpkg -s "$package" >/dev/null 2>&1 || need+=("$package") ;;
    /*) [ -e "$probe" ] || need+=("$package") ;;
    *) command -v "$probe" >/dev/null || need+=("$package") ;;
  esac
}
want cmake cmake
want g++ g++
want make make
want g++-mingw-w64-i686 i686-w64-mingw32-g++-posix
want googletest /usr/src/googletest/CMakeLists.txt
want wine wine
want wine64 /usr/lib/wine/wine64
want wine32:i386
want file file
# The end-to-end lock probe and the soak's watcher.
want python3 python3
# The release package (scripts/package.sh) and its tests: the reproducible
# package is built from clones of the checkout.
want zip zip
want unzip unzip
want git git
# Signs the package's executables when a certificate is given, and verifies
# them; the tests make their throwaway certificates with openssl.
want osslsigncode osslsigncode
want openssl openssl
if [ "${LAUNCHER_SETUP_EXTRAS:-}" = 1 ]; then
  want clang clang++
  want libclang-rt-14-dev
  want valgrind valgrind
  want gcovr gcovr
  # The benchmarks and their peers.
  want hyperfine hyperfine
  want time /usr/bin/time
  want strace strace
  want daemonize daemonize
  # Stops a run inside a log entry, where a test needs one stopped there.
  want gdb gdb
fi

install_packages() {
  echo "Installing: $*"
  if [[ " $* " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}
[ ${#need[@]} -eq 0 ] || install_packages "${need[@]}"

source scripts/wine-env.sh
if [ "$LAUNCHER_WIN_BUILD" = win64 ]; then
  want g++-mingw-w64-x86-64 x86_64-w64-mingw32-g++-posix
  [ ${#need[@]} -eq 0 ] || install_packages g++-mingw-w64-x86-64
fi
# LAUNCHER_SETUP_NO_PREFIX=1: for a build that runs nothing under Wine.
# While 32-bit programs run under emulation, 64-bit Wine would boot the
# prefix's 32-bit half too, at a minute a program: the handler is off
# meanwhile, as it is before it is first registered.
if [ "${LAUNCHER_SETUP_NO_PREFIX:-}" != 1 ] && [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Making the Wine prefix $WINEPREFIX (once, about 15 s)"
  mkdir -p build
  emulation=/proc/sys/fs/binfmt_misc/qemu-i386
  [ "$LAUNCHER_IA32" = emulated ] && [ -f "$emulation" ] && echo 0 >"$emulation"
  "$LAUNCHER_WINE" wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
  [ "$LAUNCHER_IA32" = emulated ] && [ -f "$emulation" ] && echo 1 >"$emulation"
fi
# A kernel without IA-32 emulation cannot start 32-bit Wine. There qemu runs
# it, registered for i386 programs in binfmt_misc; only there, since the
# handler would take every 32-bit program of a host that runs them natively.
if [ "$LAUNCHER_IA32" = none ]; then
  command -v qemu-i386-static >/dev/null || install_packages qemu-user-static
  [ -f /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  echo "Registering qemu-i386-static for 32-bit programs (this kernel cannot run them)"
  if [ -f /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
    echo 1 >/proc/sys/fs/binfmt_misc/qemu-i386
  else
    # The ELF header of an i386 executable or shared object. F opens the
    # interpreter now, so it serves chroots too; P keeps argv[0].
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:FP' \
      >/proc/sys/fs/binfmt_misc/register
  fi
fi
