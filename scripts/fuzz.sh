#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) in build-fuzz/ (the fuzz
# preset) and runs each for SECONDS seconds (default 30), starting from its
# seeds in fuzz/seeds/<target>/. New inputs go to a scratch corpus, not the tree.
# A crash leaves its input in build-fuzz/crashes/ and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

mkdir -p build-fuzz/crashes
for fuzzer in build-fuzz/fuzz/*_fuzzer; do
  target=$(basename "$fuzzer" _fuzzer)
  corpus=build-fuzz/corpus/$target
  mkdir -p "$corpus"
  echo "fuzzing $target for ${seconds}s"
  "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/crashes/"$target"- "$corpus" "fuzz/seeds/$target" 2>&1 |
    grep -E '^(stat::number_of_executed_units|Done|==[0-9]+==ERROR|SUMMARY)' || true
  if ls build-fuzz/crashes/"$target"-* >/dev/null 2>&1; then
    echo "fuzz: $target found a failing input" >&2
    exit 1
  fi
done
