#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds every flavour, runs
# each fuzz target briefly, memcheck over the native runs, the concurrency
# soak at the log's cap and a benchmark smoke run, then the unit and
# end-to-end tests natively, under the sanitizers and, for launcher.exe,
# under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
LAUNCHER_SETUP_EXTRAS=1 bash scripts/setup.sh
source scripts/wine-env.sh
bash scripts/build.sh native asan win32 $([ "$LAUNCHER_WIN_BUILD" = win64 ] && echo win64)
# Nothing may outlive the tests: a lingering wineserver keeps output open.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
echo "== fuzzing, ${LAUNCHER_FUZZ_SECONDS:-30} s per target"
bash scripts/fuzz.sh "${LAUNCHER_FUZZ_SECONDS:-30}"
echo "== memcheck"
bash scripts/valgrind.sh | tail -n 5
echo "== soak at the log's cap"
bash scripts/soak.sh
echo "== benchmark smoke run"
bash bench/run.sh smoke
echo "== unit and end-to-end tests"
ctest --test-dir build --output-on-failure --timeout 900
