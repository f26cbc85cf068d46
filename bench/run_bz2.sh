#!/usr/bin/env bash
# Runs bench/bz2_bench: our bzip2 decoder, in sequence and with workers,
# against libbz2, `bzip2 -dc` and `lbzip2 -dc`, round-robin, on the .bz2
# files of ../shared/bench-data (the published bzip2 -9 files of eight
# Silesia corpus members) and on silesia8.tar.bz2, a GNU tar of those
# eight files compressed with bzip2 -9, made deterministically and reused
# from $BENCH_DIR (default /tmp/brenmoor-bz2-bench); nothing is committed.
#
#   bench/run_bz2.sh [ROUNDS]      (default 3; the machine is shared)
set -euo pipefail

name=bz2
rounds="${1:-3}"
# shellcheck source=bench/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

if [ ! -s "$work/silesia8.tar.bz2" ]; then
  raw_tar "$work/silesia8.tar"
  make_once "$work/silesia8.tar.bz2" bzip2 -9 -c "$work/silesia8.tar"
  rm -f "$work/silesia8.tar"
fi

build_targets bz2_bench
"$build/bench/bz2_bench" "$rounds" "$shared"/*.bz2 "$work/silesia8.tar.bz2"
