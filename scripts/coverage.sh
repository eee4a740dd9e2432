#!/usr/bin/env bash
# Line and branch coverage of the product code by the native unit and
# end-to-end tests: builds them with gcc --coverage in build/coverage, runs
# their ctest and reports with gcovr, listing the lines never run. Test code,
# the fuzz targets, the sample server and GoogleTest are left out.
# platform/platform-win32.cpp is not compiled natively, so it is not counted.
set -euo pipefail
cd "$(dirname "$0")/.."

LAUNCHER_SETUP_EXTRAS=1 bash scripts/setup.sh

build=build/coverage
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=--coverage -DLAUNCHER_TEST_PREFIX=coverage >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
# Counters of an earlier run would inflate this one.
find "$build" -name '*.gcda' -delete
status=0
ctest --test-dir "$build" --output-on-failure --timeout 900 || status=$?

filters=()
for dir in app common log child instance platform; do filters+=(--filter "$dir/"); done
# gcov runs once, into a JSON file; the reports below read that.
data="$build/coverage.json"
gcovr --root . --object-directory "$build" "${filters[@]}" --exclude '.*_test\.cpp$' \
  --gcov-exclude '.*CompilerId.*' --exclude-throw-branches --exclude-unreachable-branches --json "$data"
report=(--root . --add-tracefile "$data")

echo
echo "== Lines (Missing: lines never run)"
gcovr "${report[@]}" --txt
echo
echo "== Branches (Missing: lines with a branch never taken)"
gcovr "${report[@]}" --txt --branches
echo
gcovr "${report[@]}" --print-summary --output /dev/null
# Lines after fork in the child, and before exec or _exit, run but never
# reach the counters: the child never flushes them.
if [ "$status" != 0 ]; then
  echo "coverage: some tests failed (ctest exit $status); the figures cover what ran" >&2
fi
exit "$status"
