#!/usr/bin/env bash
# Builds the libFuzzer targets in build/fuzz and runs each for a while on a
# copy of its seed corpus (fuzz/corpus/<target>/ is never changed), printing
# per target the executions, the coverage and feature figures and the result.
# Exits non-zero when any target finds a failure; the input that caused it is
# kept under build/fuzz/run/<target>/artifacts/.
# Usage: fuzz.sh [--run-only] [seconds per target, default 30] [target...]
# --run-only (the fuzz tests of ctest) runs the targets as built, building
# nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
run_only=
[ "${1:-}" = --run-only ] && { run_only=1; shift; }
seconds=${1:-30}
shift || true

if [ -z "$run_only" ]; then
  LAUNCHER_SETUP_EXTRAS=1 bash scripts/setup.sh
  bash scripts/build.sh fuzz
elif [ ! -f build/fuzz/targets.txt ]; then
  echo "fuzz.sh: no fuzz build; make it with: bash scripts/build.sh fuzz" >&2
  exit 2
fi

targets=("$@")
[ ${#targets[@]} -gt 0 ] || mapfile -t targets < <(grep . build/fuzz/targets.txt)

# Longest input per target: enough for the seeds and for the sizes where the
# code under test changes path (4096-byte scratch, 8192-byte work area).
max_len_of() {
  case $1 in
    fuzz_format_bounded) echo 10002 ;;
    fuzz_full_path) echo 8300 ;;
    fuzz_pid_text) echo 2048 ;;
    *) echo 4300 ;;
  esac
}

failed=0
printf '%-22s %12s %8s %8s  %s\n' target executions cov ft result
for target in "${targets[@]}"; do
  work="$PWD/build/fuzz/run/$target"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"
  cp fuzz/corpus/"$target"/* "$work/corpus/"
  status=0
  # The outer timeout only guards against a run that never ends; libFuzzer's
  # own -timeout turns a slow input into a reported failure.
  binary="$PWD/build/fuzz/$target"
  (cd "$work" && timeout --kill-after=10 $((seconds + 120)) "$binary" \
      -max_total_time="$seconds" -max_len="$(max_len_of "$target")" -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" >"$work/output.txt" 2>&1) || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/output.txt" | tail -n 1)
  figures=$(grep -E '^#[0-9]+.* cov: ' "$work/output.txt" | tail -n 1 || true)
  cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$figures")
  ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$figures")
  if [ "$status" = 0 ]; then
    result=ok
  else
    failed=1
    artifact=$(ls "$work/artifacts" 2>/dev/null | head -n 1)
    result="FAILED (exit $status${artifact:+, input $work/artifacts/$artifact})"
  fi
  printf '%-22s %12s %8s %8s  %s\n' "$target" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$result"
  if [ "$status" != 0 ]; then
    grep -E 'property failed|ERROR: (AddressSanitizer|libFuzzer)|runtime error|SUMMARY' "$work/output.txt" | head -n 5 | sed 's/^/    /'
    echo "    full output: $work/output.txt"
  fi
done
exit "$failed"
