#!/usr/bin/env bash
# Remakes the seed inputs of the bz2, gzip, tar, xz and zstd fuzz targets
# from small files, with the standard tools (bzip2, gzip, GNU tar, xz, zstd,
# python3). The output
# is the same on every run: fixed contents, names, owners and times.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Small inputs: text, runs, and pseudo-random bytes from a fixed seed.
printf 'The quick brown fox jumps over the lazy dog.\n%.0s' {1..12} > "$work/text"
{ printf 'a%.0s' {1..700}; printf 'bbbbbcd'; printf 'z%.0s' {1..300}; } > "$work/runs"
python3 -c 'import random,sys; r=random.Random(7); sys.stdout.buffer.write(bytes(r.randrange(256) for _ in range(1500)))' > "$work/random"
: > "$work/empty"

mkdir -p bz2 gzip tar
bzip2 -c -9 < "$work/text" > bz2/text.bz2
bzip2 -c -1 < "$work/runs" > bz2/runs.bz2
bzip2 -c -1 < "$work/random" > bz2/random.bz2
bzip2 -c < "$work/empty" > "$work/empty.bz2"  # kept out of the seeds: its bytes are universal
cat bz2/text.bz2 "$work/empty.bz2" bz2/runs.bz2 > bz2/concatenated.bz2
{ cat bz2/text.bz2; printf 'trailing garbage'; } > bz2/trailing.bz2
# Blocks written field by field by the corpus generator: two blocks, an empty
# block, and a run that fills a block.
for name in written-two-blocks empty-block run-fills-block; do
  cp ../../tests/data/bz2-$name.bz2 bz2/$name.bz2
done

gzip -n -c -9 < "$work/text" > gzip/text.gz
gzip -n -c -1 < "$work/random" > gzip/random.gz
gzip -n -c < "$work/empty" > gzip/empty.gz
cat gzip/text.gz gzip/empty.gz > gzip/members.gz
{ cat gzip/text.gz; head -c 100 /dev/zero; } > gzip/padded.gz
# A header with a name, a comment, extra data and a header CRC.
python3 - "$work/runs" > gzip/flags.gz <<'PY'
import struct, sys, zlib
data = open(sys.argv[1], 'rb').read()
header = b'\x1f\x8b\x08' + bytes([2 | 4 | 8 | 16]) + struct.pack('<I', 0) + b'\x00\x03'
header += struct.pack('<H', 4) + b'ab\x00\x00' + b'runs\x00' + b'a comment\x00'
header += struct.pack('<H', zlib.crc32(header) & 0xFFFF)
c = zlib.compressobj(6, zlib.DEFLATED, -15)
body = c.compress(data) + c.flush()
sys.stdout.buffer.write(header + body + struct.pack('<II', zlib.crc32(data), len(data)))
PY
# A dynamic block whose literal/length code is incomplete ('A' and the end
# of block, 2 bits each), which zlib refuses and ISA-L would accept, with a
# trailer that matches its "A".
python3 > gzip/incomplete-code.gz <<'PY'
import struct, sys, zlib
bits = []
def put(value, count):
    bits.extend((value >> i) & 1 for i in range(count))
def code(value, length):
    bits.extend((value >> i) & 1 for i in reversed(range(length)))
order = [16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15]
put(1, 1); put(2, 2); put(0, 5); put(0, 5); put(15, 4)
for symbol in order:
    put(4 if symbol < 16 else 0, 3)  # lengths 0-15 get 4-bit codes: code = length
lengths = [0] * 257
lengths[65] = lengths[256] = 2
for length in lengths + [0]:
    code(length, 4)
code(0, 2); code(1, 2)  # 'A', end of block
body = bytes(sum(bit << i for i, bit in enumerate(bits[k:k + 8])) for k in range(0, len(bits), 8))
header = b'\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03'
sys.stdout.buffer.write(header + body + struct.pack('<II', zlib.crc32(b'A'), 1))
PY

mkdir -p "$work/t/dir"
cp "$work/text" "$work/t/a.txt"
head -c 600 "$work/random" > "$work/t/dir/six-hundred.bin"
: > "$work/t/empty"
cp "$work/runs" "$work/t/a-name-longer-than-one-hundred-bytes-so-that-tar-writes-a-long-name-record-before-its-header.txt"
ln -sf a.txt "$work/t/link"
tar_flags=(--format=gnu -b1 --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner)
tar -C "$work/t" "${tar_flags[@]}" -cf tar/gnu.tar .
tar -C "$work/t" --format=ustar -b1 --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner \
  -cf tar/ustar.tar a.txt empty dir
# A size field in base 256, as writers use for members of 8 GiB or more.
python3 - "$work/text" > tar/base256.tar <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
h = bytearray(512)
h[0:5] = b'b.txt'
h[100:108] = b'0000644\x00'
h[124:136] = b'\x80' + len(data).to_bytes(11, 'big')
h[136:148] = b'00000000000\x00'
h[156:157] = b'0'
h[257:265] = b'ustar  \x00'
h[148:156] = b' ' * 8
h[148:156] = ('%06o\x00 ' % sum(h)).encode()
pad = b'\x00' * (-len(data) % 512)
sys.stdout.buffer.write(bytes(h) + data + pad + b'\x00' * 1024)
PY
# Today's writers: the ustar prefix (GNU tar, a path of 150 bytes), pax
# records for a long and a non-ASCII name under a global header (Python), an
# old GNU sparse member (GNU tar -S of a file with holes).
deep="$work/u/$(printf 'p%.0s' {1..80})"
mkdir -p "$deep"
cp "$work/text" "$deep/$(printf 'n%.0s' {1..69})"
tar -C "$work/u" --format=ustar -b1 --sort=name --mtime=@0 --owner=0 --group=0 --numeric-owner \
  -cf tar/ustar-prefix.tar .
python3 - "$work/text" > tar/pax.tar <<'PY'
import io, sys, tarfile
data = open(sys.argv[1], 'rb').read()
out = io.BytesIO()
with tarfile.open(fileobj=out, mode='w', format=tarfile.PAX_FORMAT,
                  pax_headers={'comment': 'seed'}) as t:
    for name in ('music/' + 'a' * 120 + '.flac', 'Bj\u00f8rk \u2013 J\u00f3ga.flac'):
        info = tarfile.TarInfo(name)
        info.size, info.mtime = len(data), 0
        t.addfile(info, io.BytesIO(data))
sys.stdout.buffer.write(out.getvalue())
PY
python3 -c 'import sys; f=open(sys.argv[1], "wb"); f.seek(8192); f.write(b"A" * 600); f.seek(20000); f.write(b"B" * 5); f.truncate(32768)' "$work/sparse.bin"
tar -C "$work" --format=gnu -S -b1 --mtime=@0 --owner=0 --group=0 --numeric-owner \
  -cf tar/gnu-sparse.tar sparse.bin
# pax GNU sparse 0.0, 0.1 and 1.0 and pax global records, written field by
# field (GNU tar puts its process id in sparse names).
python3 - tar <<'PY'
import sys
def header(name, size, kind):
    h = bytearray(512)
    h[0:len(name)] = name
    h[100:108] = b'0000644\x00'
    h[124:136] = b'%011o\x00' % size
    h[136:148] = b'00000000000\x00'
    h[156:157] = kind
    h[257:265] = b'ustar\x0000'
    h[148:156] = b' ' * 8
    h[148:156] = b'%06o\x00 ' % sum(h)
    return bytes(h)
def padded(data):
    return data + b'\x00' * (-len(data) % 512)
def record(key, value):
    body = b' %s=%s\n' % (key, value)
    n = len(body) + 1
    while len(str(n)) + len(body) != n:
        n += 1
    return str(n).encode() + body
def entry(name, data, kind=b'0', records=None, global_records=False):
    out = b''
    if records is not None:
        out += header(b'PaxHeaders/' + name, len(records), b'g' if global_records else b'x')
        out += padded(records)
    return out + header(name, len(data), kind) + padded(data)
def save(name, body):
    open(sys.argv[1] + '/' + name, 'wb').write(body + b'\x00' * 1024)
segments = [(100, 7), (300, 5)]
stored = b'segment' + b'tail!'
save('pax-sparse-00.tar', entry(b'sparse00', stored, records=record(b'GNU.sparse.size', b'400') +
     b''.join(record(b'GNU.sparse.offset', b'%d' % o) + record(b'GNU.sparse.numbytes', b'%d' % n)
              for o, n in segments)))
save('pax-sparse-01.tar', entry(b'GNUSparseFile.0/sparse01', stored, records=
     record(b'GNU.sparse.size', b'400') + record(b'GNU.sparse.name', b'sparse01') +
     record(b'GNU.sparse.map', b','.join(b'%d,%d' % s for s in segments))))
sparse_map = padded(b'2\n100\n7\n300\n5\n')
save('pax-sparse-10.tar', entry(b'GNUSparseFile.0/sparse10', sparse_map + stored, records=
     record(b'GNU.sparse.major', b'1') + record(b'GNU.sparse.minor', b'0') +
     record(b'GNU.sparse.name', b'sparse10') + record(b'GNU.sparse.realsize', b'400')))
save('pax-global.tar', entry(b'first', b'1', records=record(b'path', b'global-name'),
                             global_records=True) +
     entry(b'second', b'22', records=record(b'path', b'local-name') + record(b'size', b'2')) +
     entry(b'third', b'333'))
PY
mkdir -p xz zstd
xz -c -9e < "$work/text" > xz/text.xz
xz -c -0 --check=sha256 < "$work/random" > xz/random-sha256.xz
xz -c --check=none < "$work/empty" > xz/empty.xz
xz -c -T2 --block-size=300 --check=crc32 < "$work/runs" > xz/blocks.xz
xz -c --block-size=200 < "$work/text" > xz/blocks-one-thread.xz
{ cat xz/text.xz; head -c 8 /dev/zero; cat xz/empty.xz xz/blocks.xz; } > xz/streams-padded.xz
{ cat xz/text.xz; printf 'trailing garbage'; } > xz/trailing.xz
# Content past the targets' 1 MiB comparison limit from a few hundred bytes.
head -c 3000000 /dev/zero | xz -c > xz/zeros-past-the-limit.xz
# Check type 5, which liblzma lacks, named by the stream header and footer
# (their CRC-32s made right).
python3 - xz/text.xz > xz/unsupported-check.xz <<'PY'
import struct, sys, zlib
data = bytearray(open(sys.argv[1], 'rb').read())
data[7] = data[-3] = 0x05
data[8:12] = struct.pack('<I', zlib.crc32(bytes(data[6:8])))
data[-12:-8] = struct.pack('<I', zlib.crc32(bytes(data[-8:-2])))
sys.stdout.buffer.write(bytes(data))
PY

# zstd stores the content size only for files it knows the size of.
# zstd/oversized-rle-block.zst is kept by hand: an input the fuzzer found,
# a run block larger than its frame's largest block.
cp "$work/text" "$work/text-file"
zstd -q -c -19 "$work/text-file" > zstd/text.zst
zstd -q -c -1 --no-check < "$work/random" > zstd/random-no-check.zst
zstd -q -c < "$work/empty" > zstd/empty.zst
zstd -q -c --long < "$work/runs" > zstd/runs-long.zst
python3 -c 'import struct,sys; sys.stdout.buffer.write(struct.pack("<II", 0x184D2A53, 5) + b"skip!")' > "$work/skippable"
cat "$work/skippable" zstd/text.zst zstd/empty.zst zstd/runs-long.zst > zstd/frames.zst
{ cat zstd/text.zst; printf 'trailing garbage'; } > zstd/trailing.zst

ls -l bz2 gzip tar xz zstd
