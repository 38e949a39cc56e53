#!/usr/bin/env bash
# The whole test suite: build and run every test (the slow ones included),
# then the same tests built with AddressSanitizer and UndefinedBehaviorSanitizer,
# and once more with ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j2

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQN_SANITIZE=ON
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -j2

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQN_TSAN=ON
cmake --build build-tsan -j"$jobs"
ctest --test-dir build-tsan --output-on-failure -j2

# Short bounded fuzz runs of every libFuzzer target; any finding fails the suite.
for target in fuzz/fuzz_*.cpp; do
  bash fuzz/run.sh "$(basename "$target" .cpp)" 60
done
