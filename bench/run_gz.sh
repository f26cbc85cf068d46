#!/usr/bin/env bash
# Builds the GZ benchmark inputs and runs bench/gz_bench.
#
#   bench/run_gz.sh [ROUNDS]
#
# Inputs, made deterministically from the raw benchmark files in
# ../shared/bench-data and reused when present (nothing is committed):
#   silesia.tar.gz  a GNU tar of the raw files, compressed with gzip -6 -n
#   small.gz        the first 3 MiB of the tar, gzip -6 -n (about 1 MB)
#   huge.gz         copies of silesia.tar.gz concatenated to about 1 GB
# Everything is written under $BENCH_DIR (default /tmp/brenmoor-gz-bench).
set -euo pipefail

name=gz
rounds="${1:-5}"
# shellcheck source=bench/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

tarball="$work/silesia.tar"
if [ ! -s "$work/silesia.tar.gz" ]; then
  raw_tar "$tarball"
  make_once "$work/silesia.tar.gz" gzip -6 -n -c "$tarball"
  rm -f "$tarball"
fi
if [ ! -s "$work/small.gz" ]; then
  # head stops reading early; gzip -dc's broken pipe is not a failure.
  head -c 3145728 < <(gzip -dc "$work/silesia.tar.gz" 2>/dev/null) | gzip -6 -n > "$work/small.gz"
fi
if [ ! -s "$work/huge.gz" ]; then
  rm -f "$work/huge.gz.part"
  while [ "$(stat -c %s "$work/huge.gz.part" 2>/dev/null || echo 0)" -lt 1000000000 ]; do
    cat "$work/silesia.tar.gz" >> "$work/huge.gz.part"
  done
  mv "$work/huge.gz.part" "$work/huge.gz"
fi
ls -l "$work"/*.gz

build_targets gz_bench
"$build/bench/gz_bench" "$work/silesia.tar.gz" "$rounds" "$work/small.gz" "$work/huge.gz"
