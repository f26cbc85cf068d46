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
if [ ! -s "$archive" ]; then
  python3 - "$work/raw" "$archive" <<'PY'
import os, random, sys, tarfile, io
raw_dir, out = sys.argv[1], sys.argv[2]
names = sorted(os.listdir(raw_dir))
data = {n: open(os.path.join(raw_dir, n), "rb").read() for n in names}
rng = random.Random(20240611)
def add(t, name, payload):
    info = tarfile.TarInfo(name)
    info.size, info.mtime, info.mode = len(payload), 0, 0o644
    t.addfile(info, io.BytesIO(payload))
with tarfile.open(out + ".part", "w", format=tarfile.GNU_FORMAT) as t:
    for copy in range(12):
        for n in names:
            d = data[n]
            if copy == 0:
                add(t, "copy00/%s" % n, d)
                continue
            at, piece = 0, 0
            while at < len(d):
                size = rng.randint(1024, 1 << 19)
                # Every fiftieth piece gets a name too long for the header.
                name = "copy%02d/%s/piece-%05d" % (copy, n, piece)
                if piece % 50 == 49:
                    name = "copy%02d/%s/%s/piece-%05d" % (copy, n, "long-" * 20, piece)
                add(t, name, d[at:at + size])
                at += size
                piece += 1
os.rename(out + ".part", out)
PY
fi
ls -l "$archive"

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBRENMOOR_BENCH=ON \
    -DBRENMOOR_TESTS=OFF > /dev/null
fi
ninja -C "$build" -j2 tar_bench > /dev/null
"$build/bench/tar_bench" "$archive" "$rounds"
