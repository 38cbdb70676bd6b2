#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) in
# their own folder and runs each for a given time.
#
# Usage: scripts/fuzz.sh [seconds per target] [target...]   (default 20 s, every target)
#
# Environment:
#   FUZZ_BUILD  build folder (default build/fuzz)
#   FUZZ_JOBS   targets run at the same time (default 1)
#   FUZZ_WORK   where each target's growing corpus, log and findings go
#               (default <build>/work/<target>); the seeds in tests/fuzz/corpus stay as they are
#   FUZZ_NICE   nice level of the fuzzing processes (default 0; use 19 on a shared machine)
#   FUZZ_RUNS   also stop a target after this many executions (default: time only)
#
# Exit status 0 when no target found anything; otherwise each finding's input is named
# (crash-*, timeout-*, oom-* in the target's work folder) and the status is 1.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET=${1:-20}
shift || true
BUILD=${FUZZ_BUILD:-build/fuzz}
JOBS=${FUZZ_JOBS:-1}
NICE=${FUZZ_NICE:-0}
SRC=tests/fuzz

if ! command -v clang++ > /dev/null; then
  echo "fuzz: clang++ is missing (bash scripts/setup.sh installs it)" >&2
  exit 1
fi

mkdir -p "$BUILD"
CC=clang CXX=clang++ cmake -S . -B "$BUILD" -DQUILLON_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  > "$BUILD.configure.log" 2>&1 || { cat "$BUILD.configure.log"; exit 1; }
cmake --build "$BUILD" --target fuzz_targets -j"$(nproc)" > "$BUILD.build.log" 2>&1 \
  || { tail -50 "$BUILD.build.log"; exit 1; }

if [ $# -gt 0 ]; then
  TARGETS=("$@")
else
  mapfile -t TARGETS < <(cd "$SRC" && ls fuzz_*.cpp | sed 's/\.cpp$//')
fi

# Runs one target; prints one summary line.
run_target() {
  local target=$1
  local bin="$BUILD/tests/fuzz/$target"
  local work=${FUZZ_WORK:-$BUILD/work}/$target
  mkdir -p "$work/corpus"
  local args=(-max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=2560
              -print_final_stats=1 -artifact_prefix="$work/")
  if [ -n "${FUZZ_RUNS:-}" ]; then args+=(-runs="$FUZZ_RUNS"); fi
  if [ -f "$SRC/dict/$target.dict" ]; then args+=(-dict="$SRC/dict/$target.dict"); fi
  local status=0
  nice -n "$NICE" "$bin" "${args[@]}" "$work/corpus" "$SRC/corpus/$target" \
    > "$work/log.txt" 2>&1 || status=$?
  local runs
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log.txt" | tail -1)
  local took
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$work/log.txt" | tail -1)
  if [ "$status" -eq 0 ]; then
    echo "fuzz: $target: ${runs:-?} executions in ${took:-$SECONDS_PER_TARGET} s, nothing found"
  else
    echo "fuzz: $target: FOUND a fault after ${runs:-?} executions (status $status); log $work/log.txt"
    grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error|artifact_prefix|Test unit written)' \
      "$work/log.txt" | head -8 | sed 's/^/fuzz:   /'
  fi
  return "$status"
}
export -f run_target
export BUILD SRC SECONDS_PER_TARGET NICE FUZZ_WORK FUZZ_RUNS

failed=0
printf '%s\n' "${TARGETS[@]}" | xargs -P "$JOBS" -I{} bash -c 'run_target "$@"' _ {} || failed=1
if [ "$failed" -ne 0 ]; then
  echo "fuzz: at least one target found a fault"
  exit 1
fi
echo "fuzz: ${#TARGETS[@]} targets, nothing found"
