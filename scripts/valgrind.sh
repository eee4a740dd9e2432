#!/usr/bin/env bash
# Memcheck over the native build (build/native, Debug): the unit test binary,
# then every launcher run of the end-to-end suite. Each launcher run is
# wrapped through LAUNCHER_WRAPPER (see run_launcher in testing/e2e-lib.sh);
# a memory error or a definite leak makes that run exit 99, which fails its
# test, and is listed from its log at the end. Still-reachable blocks are
# expected (the log keeps its path for the run).
# Usage: valgrind.sh [--run-only]   (--run-only: build nothing; the memcheck
# test of ctest)
set -euo pipefail
cd "$(dirname "$0")/.."

build="$PWD/build/native"
if [ "${1:-}" = --run-only ]; then
  command -v valgrind >/dev/null || { echo "valgrind.sh: valgrind is missing (LAUNCHER_SETUP_EXTRAS=1 bash scripts/setup.sh)" >&2; exit 2; }
  [ -x "$build/launcher_tests" ] || { echo "valgrind.sh: no native build; make it with: bash scripts/build.sh native" >&2; exit 2; }
else
  LAUNCHER_SETUP_EXTRAS=1 bash scripts/setup.sh
  bash scripts/build.sh native
fi

logs="$PWD/build/memcheck"
rm -rf "$logs"
mkdir -p "$logs"
memcheck=(valgrind --leak-check=full --errors-for-leak-kinds=definite --error-exitcode=99
  --child-silent-after-fork=yes --track-origins=yes)

status=0
echo "== unit tests under memcheck"
# Valgrind runs posix_spawn's shared-memory vfork as a plain fork, so a
# child's failed exec never reaches the parent under it: the tests of that
# failure run everywhere else, not here.
exec_failures='LaunchRunTest.LaunchOfACommandThatCannotStart:LaunchRunTest.RunOfACommandThatCannotStart*:ChildProcessTest.FailedCreationLogsTheErrorCode'
(cd "$build" && "${memcheck[@]}" --log-file="$logs/unit.log" ./launcher_tests --gtest_brief=1 \
  "--gtest_filter=-$exec_failures") || status=$?
echo "unit tests: exit $status"

# The launcher runs of the end-to-end suite, each under memcheck with a log
# of its own (%p: the launcher's PID).
wrapper="$logs/memcheck-wrapper.sh"
cat >"$wrapper" <<WRAP
#!/bin/sh
exec ${memcheck[*]} --log-file="$logs/launcher.%p.log" "\$@"
WRAP
chmod +x "$wrapper"

echo "== end-to-end suite, every launcher run under memcheck"
e2e_status=0
LAUNCHER_WRAPPER="$wrapper" bash testing/e2e.sh native "$build" || e2e_status=$?
[ "$e2e_status" = 0 ] || status=$e2e_status

runs=0
bad=0
for log in "$logs"/launcher.*.log "$logs/unit.log"; do
  [ -f "$log" ] || continue
  [ "$log" = "$logs/unit.log" ] || runs=$((runs + 1))
  if ! grep -q 'ERROR SUMMARY: 0 errors' "$log" || grep -q 'definitely lost: [1-9]' "$log"; then
    bad=$((bad + 1))
    echo "-- memcheck findings in $log"
    grep -E '^==[0-9]+== (Invalid|Conditional|Syscall|Use of|Mismatched|.*definitely lost|ERROR SUMMARY)' "$log" | head -n 10
  fi
done
reachable=$(grep -h 'still reachable:' "$logs"/launcher.*.log 2>/dev/null | sed -E 's/.*still reachable: ([0-9,]+) bytes in ([0-9,]+) blocks/\1 bytes in \2 blocks/' | sort | uniq -c | sort -rn | head -n 3)
echo
echo "memcheck: $runs launcher runs, unit tests once; $bad log(s) with errors or definite leaks"
echo "still reachable at exit (count, amount):"
echo "${reachable:-  none}"
[ "$bad" = 0 ] || status=1
exit "$status"
