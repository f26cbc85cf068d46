#!/usr/bin/env bash
# Builds the TAR benchmark archive and runs bench/tar_bench against GNU tar.
#
#   bench/run_tar.sh [ROUNDS]
#
# The archive (about 1 GB, a few thousand members) is made deterministically
# from the raw benchmark files in ../shared/bench-data: each of twelve copies
# of every file is cut into pieces of 1 KiB to 512 KiB (sizes from a fixed
# seed); copy 0 keeps each file whole, so the largest member is the largest
# raw file. Everything is written under $BENCH_DIR (default
# /tmp/brenmoor-tar-bench) and reused when present; nothing is committed.
set -euo pipefail

name=tar
rounds="${1:-5}"
# shellcheck source=bench/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

archive="$work/pieces.tar"
pieces_tar "$archive"
ls -l "$archive"

build_targets tar_bench
"$build/bench/tar_bench" "$archive" "$rounds"
