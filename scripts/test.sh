#!/usr/bin/env bash
# Runs every test: the layer check of the include graph, the release build
# (build/), the Debian package (scripts/check_package.sh, in build-package/),
# the release suite again in a 32-bit build (build-i386/), a build with
# AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/), and the
# tests of code that threads share under ThreadSanitizer (build-tsan/), each
# build through its preset (CMakePresets.json). scripts/setup.sh installs
# what they need.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

python3 scripts/check_layers.py

cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"
ctest --preset release -j "$jobs"
bash scripts/check_package.sh

# Where setup.sh had to register qemu-i386 for 32-bit programs, the suite
# runs under that emulator, with the i386-emulated test preset.
i386_tests=i386
grep -qsx enabled /proc/sys/fs/binfmt_misc/qemu-i386 && i386_tests=i386-emulated
cmake --preset i386 >/dev/null
cmake --build --preset i386 -j "$jobs"
if build-i386/brenmoor --version >/dev/null 2>&1; then
  ctest --preset "$i386_tests" -j "$jobs"
else
  echo "test.sh: this machine runs no 32-bit program (see scripts/setup.sh):" \
    "the i386 suite was built, NOT run" >&2
fi

cmake --preset asan >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs"

cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
ctest --preset tsan -j "$jobs"
