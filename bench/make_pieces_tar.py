# Writes a benchmark TAR (about 1 GB, a few thousand members) from the raw
# benchmark files, deterministically: copies of every file cut into pieces
# of 1 KiB to 512 KiB (sizes from a fixed seed), and every file whole.
#
#   python3 bench/make_pieces_tar.py RAW_DIR OUT
#       the TAR benchmark's archive: copy 0 keeps each file whole, copies 1
#       to 11 are cut, and every fiftieth piece gets a name too long for
#       the header
#   python3 bench/make_pieces_tar.py RAW_DIR OUT --whole-last
#       the views benchmark's archive: copies 1 to 11 are cut, then every
#       file whole under whole/, so the first member is a small piece and
#       the last a whole file
import io, os, random, sys, tarfile
raw_dir, out = sys.argv[1], sys.argv[2]
whole_last = sys.argv[3:] == ["--whole-last"]
names = sorted(os.listdir(raw_dir))
data = {n: open(os.path.join(raw_dir, n), "rb").read() for n in names}
rng = random.Random(20240611)
def add(t, name, payload):
    info = tarfile.TarInfo(name)
    info.size, info.mtime, info.mode = len(payload), 0, 0o644
    t.addfile(info, io.BytesIO(payload))
with tarfile.open(out + ".part", "w", format=tarfile.GNU_FORMAT) as t:
    if not whole_last:
        for n in names:
            add(t, "copy00/%s" % n, data[n])
    for copy in range(1, 12):
        for n in names:
            d = data[n]
            at, piece = 0, 0
            while at < len(d):
                size = rng.randint(1024, 1 << 19)
                name = "copy%02d/%s/piece-%05d" % (copy, n, piece)
                if not whole_last and piece % 50 == 49:
                    name = "copy%02d/%s/%s/piece-%05d" % (copy, n, "long-" * 20, piece)
                add(t, name, d[at:at + size])
                at += size
                piece += 1
    if whole_last:
        for n in names:
            add(t, "whole/%s" % n, data[n])
os.rename(out + ".part", out)
