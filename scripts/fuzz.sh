#!/usr/bin/env bash
# fuzz.sh [SECONDS] [TARGET...]: builds the fuzz targets (tests/fuzz) with
# clang, libFuzzer and the address and undefined-behaviour sanitizers in
# build-fuzz, then runs each named target (default: all) for SECONDS (default
# 20) on its committed seed corpus in tests/fuzz/corpus/<target>, all at once. Inputs that
# the run finds go to a scratch corpus, never into the tree; an input that
# fails is kept as build-fuzz/artifacts/<target>/crash-*. Prints the number of
# executions of each target and exits non-zero when any target failed.
#   FUZZ_BUILD   build folder (default build-fuzz)
#   FUZZ_NICE    1: run the targets under nice
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
secs=${1:-20}
shift || true
build=${FUZZ_BUILD:-$root/build-fuzz}
all=(config legacy sdp args playlist poll http)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is missing (scripts/deps.sh installs it)" >&2
  exit 2
fi

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DTOVU_FUZZ=ON \
  -DTOVU_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target $(printf 'fuzz_%s ' "${targets[@]}") >/dev/null

# files the targets write go to memory where there is some (saves sync to disk)
tmp=/tmp
[ -w /dev/shm ] && tmp=/dev/shm
scratch=$(mktemp -d "$tmp/tovu_fuzz_run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export TOVU_FUZZ_SCRATCH=$scratch
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
run=()
[ "${FUZZ_NICE:-0}" = 1 ] && run=(nice)

# the targets are independent (each has its own scratch folder and port), so
# they run side by side, one core each, and are reported in order
pids=()
for t in "${targets[@]}"; do
  corpus=$root/tests/fuzz/corpus/$t
  work=$scratch/corpus_$t
  art=$build/artifacts/$t
  mkdir -p "$work" "$art"
  "${run[@]}" "$build/fuzz/fuzz_$t" -max_total_time="$secs" -timeout=20 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$art/" "$work" "$corpus" >"$build/fuzz_$t.log" 2>&1 &
  pids+=($!)
done

failed=()
for i in "${!targets[@]}"; do
  t=${targets[$i]}
  log=$build/fuzz_$t.log
  set +e
  wait "${pids[$i]}"
  rc=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ $rc -eq 0 ]; then
    echo "fuzz_$t: ${execs:-?} executions in ${secs} s, no finding"
  else
    echo "fuzz_$t: FAILED (exit $rc) after ${execs:-?} executions; log $log"
    grep -E 'property failed|ERROR: |SUMMARY: |runtime error' "$log" | head -5 || true
    failed+=("$t")
  fi
done
[ ${#failed[@]} -eq 0 ] || { echo "failing fuzz targets: ${failed[*]}"; exit 1; }
