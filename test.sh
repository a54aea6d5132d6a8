#!/usr/bin/env bash
# Installs what is missing (what the service needs and what the tests add),
# builds, and runs every test: once in a normal build, then again under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the concurrency tests
# under ThreadSanitizer; when clang is there, also builds the libraries and
# the program under its thread-safety analysis and runs every fuzz target
# briefly on its seed corpus.
set -euo pipefail
cd "$(dirname "$0")"

bash scripts/deps.sh test

jobs=$(nproc)
# A test that fails is run again, up to twice: many tests run real processes
# (transcoders, ffmpeg, the daemon, Chromium) side by side, and on a loaded
# machine a wait can run out. A fault that is really there fails all three runs.
# Every test that needed more than one run is listed at the end, from the
# runs that ctest writes down in each build folder's LastTest.log.
retry=(--repeat until-pass:3)
ran=()
run_tests() {
  local dir=$1; shift
  rm -f "$dir/Testing/Temporary/LastTest.log"
  ran+=("$dir")
  ctest --test-dir "$dir" --output-on-failure "${retry[@]}" -j"$jobs" "$@"
}
list_retries() {
  local dir found=0
  [ ${#ran[@]} -gt 0 ] || return 0
  echo "== tests that needed a retry"
  for dir in "${ran[@]}"; do
    [ -f "$dir/Testing/Temporary/LastTest.log" ] || continue
    # one block per run: "N/M Test: NAME" ... "Test Passed." or "Test Failed."
    if awk -v dir="$dir" '
      /^[0-9]+\/[0-9]+ Test: / { name = substr($0, index($0, "Test: ") + 6); runs[name]++; next }
      /^Test (Passed|Failed)\.$/ { last[name] = $2 }
      END {
        n = 0
        for (t in runs) if (runs[t] > 1) {
          printf "  %s: %s, %s %d runs\n", dir, t, (last[t] == "Passed." ? "passed at the last of" : "failed all"), runs[t]
          n++
        }
        exit n == 0
      }' "$dir/Testing/Temporary/LastTest.log" | sort; then
      found=1
    fi
  done
  [ "$found" = 1 ] || echo "  none"
}
trap list_retries EXIT

echo "== build"
bash scripts/build.sh build -DBUILD_TESTING=ON
if command -v clang++ >/dev/null; then
  echo "== build (clang, thread-safety analysis as errors: the libraries and the program)"
  CC=clang CXX=clang++ cmake -S . -B build-tsa -DTOVU_THREAD_SAFETY=ON -DBUILD_TESTING=OFF >/dev/null
  cmake --build build-tsa -j"$jobs" --target tovul
fi
echo "== tests"
run_tests build

echo "== build (address and undefined-behaviour sanitizers)"
bash scripts/build.sh build-asan -DTOVU_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=ON
echo "== tests (address and undefined-behaviour sanitizers)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_tests build-asan

echo "== build (thread sanitizer: the engine's, the daemon's and the web server's tests)"
cmake -S . -B build-tsan -DTOVU_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=ON >/dev/null
cmake --build build-tsan -j"$jobs" --target test_engine test_daemon test_web
echo "== tests (thread sanitizer: the engine's threads, the supervision loop and its restart timers, the web server's restarts)"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_tests build-tsan -R '^(EngineThreads\.|LoopTest\.|CgiServer\.(UploadWithoutServerChangeKeepsTheServer|PortChangeRestartsOnceWithTheLatestSettings|CancelledRestartNeverFires|PortTakenBeforeTheRestartBringsTheServerBackOnItsPort)$)'

if command -v clang++ >/dev/null; then
  echo "== fuzz targets (clang, libFuzzer, address and undefined-behaviour sanitizers; 20 s each)"
  FUZZ_NICE=1 bash scripts/fuzz.sh 20
fi
