#!/usr/bin/env bash
# Runs every test: the layer check of the include graph, the release build
# (build/), a second build with AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan/), and the tests of code that threads share under
# ThreadSanitizer (build-tsan/).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

python3 scripts/check_layers.py

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBRENMOOR_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRENMOOR_TSAN=ON >/dev/null
cmake --build build-tsan -j "$jobs" --target thread_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L threads
