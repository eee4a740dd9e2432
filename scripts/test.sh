#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds every flavour and
# runs the unit and end-to-end tests natively, under the sanitizers and, for
# launcher.exe, under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh native asan win32
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all
# Nothing may outlive the tests: a lingering wineserver keeps output open.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
ctest --test-dir build --output-on-failure --timeout 900
