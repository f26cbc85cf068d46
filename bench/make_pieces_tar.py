# Writes the TAR benchmark archive (about 1 GB, a few thousand members) from
# the raw benchmark files, deterministically: each of twelve copies of every
# file is cut into pieces of 1 KiB to 512 KiB (sizes from a fixed seed);
# copy 0 keeps each file whole, and every fiftieth piece gets a name too
# long for the header.
#
#   python3 bench/make_pieces_tar.py RAW_DIR OUT
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
