#!/usr/bin/env bash
# Runs every test: the layer check of the include graph, the release build
# (build/), the Debian package (scripts/check_package.sh, in build-package/),
# a second build with AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan/), and the tests of code that threads share under
# ThreadSanitizer (build-tsan/), each build through its preset
# (CMakePresets.json).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

python3 scripts/check_layers.py

cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"
ctest --preset release -j "$jobs"
bash scripts/check_package.sh

cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs"
