#!/usr/bin/env bash
# Builds the XZ and ZST benchmark inputs, runs bench/xz_zstd_bench, then
# measures the peak memory of opening each compressed TAR's member with the
# program, next to the gzip file of the same TAR.
#
#   bench/run_xz_zstd.sh [ROUNDS]
#
# Inputs, made deterministically from the raw benchmark files in
# ../shared/bench-data and reused when present (nothing is committed):
#   silesia.tar        a GNU tar of the raw files
#   silesia.tar.xz     xz -6 (one block)
#   silesia-T0.tar.xz  xz -6 -T0 (blocks of 24 MiB)
#   silesia-4M.tar.xz  xz -6 -T0 --block-size=4MiB
#   silesia.tar.zst    zstd -19
#   silesia.tar.gz     gzip -6 -n
# Everything is written under $BENCH_DIR (default /tmp/brenmoor-xz_zstd-bench).
set -euo pipefail

name=xz_zstd
rounds="${1:-5}"
# shellcheck source=bench/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

tarball="$work/silesia.tar"
[ -s "$tarball" ] || raw_tar "$tarball"
make_input() {  # make_input OUTPUT COMMAND...: runs COMMAND on the tar into OUTPUT once
  make_once "$@" < "$tarball"
}
make_input "$work/silesia.tar.xz" xz -6 -T1 -c
make_input "$work/silesia-T0.tar.xz" xz -6 -T0 -c
make_input "$work/silesia-4M.tar.xz" xz -6 -T0 --block-size=4MiB -c
# From a file, so that the frame declares the content size.
[ -s "$work/silesia.tar.zst" ] || zstd -q -19 "$tarball" -o "$work/silesia.tar.zst"
make_input "$work/silesia.tar.gz" gzip -6 -n -c
ls -l "$work"/silesia*

build_targets xz_zstd_bench brenmoor brenmoor_cli

echo "== -6 -T0 (24 MiB blocks)"
"$build/bench/xz_zstd_bench" "$rounds" "$work/silesia.tar.xz" "$work/silesia-T0.tar.xz" \
  "$work/silesia.tar.zst"
echo "== -6 -T0 --block-size=4MiB"
"$build/bench/xz_zstd_bench" "$rounds" "$work/silesia.tar.xz" "$work/silesia-4M.tar.xz" \
  "$work/silesia.tar.zst"

echo "== peak memory (max RSS) of 'brenmoor cat' of the member, and of the tools"
peak() {  # peak LABEL COMMAND...
  local label="$1"
  shift
  /usr/bin/time -f "%M" -o "$work/rss" "$@" > /dev/null
  printf '  %-22s %8d KiB\n' "$label" "$(cat "$work/rss")"
}
member() { local p="$1" type="$2"; echo "unpack://$type|${#p}|$p|silesia.tar"; }
peak "gz" "$build/brenmoor" -q cat "$(member "$work/silesia.tar.gz" gz)"
peak "xz one block" "$build/brenmoor" -q cat "$(member "$work/silesia.tar.xz" xz)"
peak "xz -T0 blocks" "$build/brenmoor" -q cat "$(member "$work/silesia-T0.tar.xz" xz)"
peak "zst" "$build/brenmoor" -q cat "$(member "$work/silesia.tar.zst" zst)"
peak "xz -dc -T1 (tool)" xz -dc -T1 "$work/silesia-T0.tar.xz"
peak "zstd -dc (tool)" zstd -q -dc "$work/silesia.tar.zst"
