#!/usr/bin/env bash
# Runs bench/bz2_bench: our bzip2 decoder against libbz2 and `bzip2 -dc`,
# round-robin, on the .bz2 files of ../shared/bench-data (the published
# bzip2 -9 files of eight Silesia corpus members; nothing is built from
# them, nothing is written).
#
#   bench/run_bz2.sh [ROUNDS]      (default 3; the machine is shared)
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
shared="$here/../shared/bench-data"
build="${BUILD_DIR:-$here/build-bz2-bench}"
rounds="${1:-3}"

if [ ! -d "$shared" ]; then
  echo "run_bz2.sh: $shared is not present; the benchmark needs the shared bench-data folder" >&2
  exit 1
fi
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRENMOOR_BENCH=ON \
    -DBRENMOOR_TESTS=OFF > /dev/null
fi
ninja -C "$build" -j2 bz2_bench > /dev/null
"$build/bench/bz2_bench" "$rounds" "$shared"/*.bz2
