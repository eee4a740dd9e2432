#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds every tree once,
# then one ctest run over all of them, so that every check is reported in
# one summary whatever fails: the unit and end-to-end tests natively, under
# the sanitizers and, for launcher.exe, under Wine (labels unit, e2e), each
# fuzz target briefly (fuzz), memcheck over the native runs (memcheck), the
# native and Wine soaks at the log's cap (soak) and a benchmark smoke run
# (bench). Arguments go to ctest, e.g. `test.sh -L 'unit|e2e'`.
set -euo pipefail
cd "$(dirname "$0")/.."
LAUNCHER_SETUP_EXTRAS=1 bash scripts/setup.sh
source scripts/wine-env.sh
# win32 is always built (it is the product); where Wine cannot run it, its
# tests run on win64 instead.
bash scripts/build.sh native asan win32 $([ "$LAUNCHER_WIN_BUILD" = win64 ] && echo win64) fuzz release checks
hold_wine_prefix
# Nothing may outlive the tests: a lingering wineserver keeps output open.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
# Where 32-bit programs run only emulated, the run of the shipped exe takes
# half an hour and more of a minute per Wine process: it runs when asked for
# (`bash scripts/test.sh -L shipped`), not in every run.
selection=("$@")
if [ ${#selection[@]} -eq 0 ] && [ "$LAUNCHER_IA32" = emulated ]; then
  echo "(32-bit programs run only emulated here: the shipped exe's test runs with: bash scripts/test.sh -L shipped)"
  selection=(-LE shipped)
fi
ctest --test-dir build --output-on-failure --timeout 900 "${selection[@]}"
