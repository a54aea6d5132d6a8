#!/usr/bin/env bash
# Installs what is missing (what the service needs and what the tests add),
# builds, and runs every test: once in a normal build, then again under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the concurrency tests
# under ThreadSanitizer; then, when clang is there, runs every fuzz target
# briefly on its seed corpus.
set -euo pipefail
cd "$(dirname "$0")"

bash scripts/deps.sh test

jobs=$(nproc)
# A test that fails is run again, up to twice: many tests run real processes
# (transcoders, ffmpeg, the daemon, Chromium) side by side, and on a loaded
# machine a wait can run out. A fault that is really there fails all three runs.
retry=(--repeat until-pass:3)

echo "== build"
bash scripts/build.sh build -DBUILD_TESTING=ON
echo "== tests"
ctest --test-dir build --output-on-failure "${retry[@]}" -j"$jobs"

echo "== build (address and undefined-behaviour sanitizers)"
bash scripts/build.sh build-asan -DTOVU_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=ON
echo "== tests (address and undefined-behaviour sanitizers)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure "${retry[@]}" -j"$jobs"

echo "== build (thread sanitizer, engine library tests only)"
cmake -S . -B build-tsan -DTOVU_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug -DBUILD_TESTING=ON >/dev/null
cmake --build build-tsan -j"$jobs" --target test_engine
echo "== tests (thread sanitizer: the concurrency tests)"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure "${retry[@]}" -j"$jobs" -R '^EngineThreads\.'

if command -v clang++ >/dev/null; then
  echo "== fuzz targets (clang, libFuzzer, address and undefined-behaviour sanitizers; 20 s each)"
  FUZZ_NICE=1 bash scripts/fuzz.sh 20
fi
