#!/usr/bin/env bash
# End-to-end checks of the real executables: the native launcher directly,
# launcher.exe under Wine from a Windows parent (a batch file), so that the
# full 32-bit exit code is seen. Usage: e2e.sh native|win32 <buildDir> [wine]
set -u
host=$1
build=$(cd "$2" && pwd)
export LAUNCHER_WINE=${3:-${LAUNCHER_WINE:-wine}}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/e2e-lib.sh"
for suite in "$here"/../*/*_e2e.sh; do
  source "$suite"
done
run_all_e2e
