#!/usr/bin/env python3
"""Makes the bad-input corpus in this folder: TAR, gzip, bzip2, xz and zstd files that
are cut short, flipped, mis-sized or crafted to break one rule each, and the
good files they are made from.

Good files come from the standard tools (GNU tar, gzip, bzip2, xz, zstd) run with
options that fix every name, owner and time; the rest are byte and bit
edits of them, or are written here field by field (TAR headers, gzip
members through zlib, bzip2 blocks through the small block writer below).
The same run always writes the same bytes for the same tool versions. Run
it from anywhere; it writes next to itself and checks each file's size.
"""
import os
import struct
import subprocess
import sys
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
written = []


def save(name, data):
    assert len(data) < 64 * 1024, name
    with open(os.path.join(HERE, name), 'wb') as f:
        f.write(data)
    written.append(name)


def flip(data, offset, bit=0):
    b = bytearray(data)
    b[offset] ^= 1 << bit
    return bytes(b)


def run(args, stdin=b'', cwd=None):
    return subprocess.run(args, input=stdin, stdout=subprocess.PIPE, check=True, cwd=cwd).stdout


# Member contents, simple enough for the tests to spell out.
A_TXT = b'hello, tar\n'
ALPHABET = bytes(ord('a') + i % 26 for i in range(600))
LONG_NAME = 'long-' + 'n' * 110 + '.txt'
LONG_TXT = b'long name\n'
TEXT = b'The quick brown fox jumps over the lazy dog.\n' * 20  # 900 bytes


def noise(count):
    """Bytes that hardly compress, so that a file spans several reads."""
    out, x = bytearray(), 1
    for _ in range(count):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        out.append(x >> 16 & 0xFF)
    return bytes(out)


NOISE = noise(12000)


# ---------------------------------------------------------------------------
# TAR

def octal(value, width):
    return ('%0*o' % (width - 1, value)).encode() + b'\x00'


def tar_header(name, size=0, type_flag=b'0', size_field=None, checksum=None):
    h = bytearray(512)
    h[0:len(name)] = name
    h[100:108] = octal(0o644, 8)
    h[108:116] = octal(0, 8)
    h[116:124] = octal(0, 8)
    h[124:136] = size_field if size_field is not None else octal(size, 12)
    h[136:148] = octal(0, 12)
    h[156:157] = type_flag
    h[257:265] = b'ustar  \x00'
    set_checksum(h, checksum)
    return bytes(h)


def set_checksum(h, value=None):
    h[148:156] = b' ' * 8
    if value is None:
        value = sum(h)
    h[148:156] = ('%06o' % value).encode() + b'\x00 '


def padded(data):
    return data + b'\x00' * (-len(data) % 512)


def member(name, data, type_flag=b'0'):
    return tar_header(name, len(data), type_flag) + padded(data)


END = b'\x00' * 1024


def tar_headers(archive):
    """Offsets of the headers of a well-formed archive, in order."""
    offsets, at = [], 0
    while at + 512 <= len(archive) and archive[at] != 0:
        offsets.append(at)
        size = int(archive[at + 124:at + 136].rstrip(b'\x00 ') or b'0', 8)
        at += 512 + (size + 511) // 512 * 512
    return offsets


def make_tar():
    with tempfile.TemporaryDirectory() as work:
        os.mkdir(os.path.join(work, 'dir'))
        for name, data in (('a.txt', A_TXT), ('dir/alphabet.txt', ALPHABET), (LONG_NAME, LONG_TXT)):
            with open(os.path.join(work, name), 'wb') as f:
                f.write(data)
        os.symlink('a.txt', os.path.join(work, 'link'))
        good = run(['tar', '--format=gnu', '-b1', '--mtime=@0', '--owner=0', '--group=0',
                    '--numeric-owner', '--mode=644', '--no-recursion', '-cf', '-',
                    'a.txt', 'dir', 'dir/alphabet.txt', 'link', LONG_NAME], cwd=work)
    save('tar-good.tar', good)
    # Headers: a.txt, dir/, dir/alphabet.txt, link, the long-name record and
    # the long-named member's own header.
    heads = tar_headers(good)
    assert len(heads) == 6, heads
    a, directory, alphabet, link, long_record, long_member = heads
    end = long_member + 1024  # the long-named member's header and one data block

    # Cut short at every kind of place.
    # tar-zero-bytes.tar (empty) is built in the test.
    save('tar-truncated-in-first-header.tar', good[:100])
    save('tar-truncated-after-first-header.tar', good[:512])
    save('tar-truncated-in-member-data.tar', good[:alphabet + 512 + 300])
    save('tar-truncated-before-next-header.tar', good[:alphabet + 512 + 1024])
    save('tar-truncated-in-long-name.tar', good[:long_record + 512 + 50])
    save('tar-truncated-after-long-name.tar', good[:long_member])
    save('tar-truncated-before-end-blocks.tar', good[:end])
    save('tar-one-end-block.tar', good[:end + 512])

    # Single-bit flips: header fields, member data, the end block.
    save('tar-flip-in-name.tar', flip(good, a + 1))
    save('tar-flip-in-size.tar', flip(good, alphabet + 124 + 9))
    save('tar-flip-in-checksum.tar', flip(good, alphabet + 148 + 5))
    save('tar-flip-in-type.tar', flip(good, a + 156))
    # The same flip with the checksum made right: a.txt becomes a hard link.
    relinked = bytearray(flip(good, a + 156))
    header = bytearray(relinked[a:a + 512])
    set_checksum(header)
    relinked[a:a + 512] = header
    save('tar-type-changed-to-link.tar', bytes(relinked))
    save('tar-flip-in-data.tar', flip(good, a + 512 + 4, 5))
    save('tar-flip-in-end-block.tar', flip(good, end, 3))

    # Checksums.
    bad_sum = bytearray(good)
    header = bytearray(good[a:a + 512])
    set_checksum(header)
    set_checksum(header, int(header[148:154], 8) + 1)
    bad_sum[a:a + 512] = header
    save('tar-wrong-checksum.tar', bytes(bad_sum))
    # A name with bytes above 0x7F, its checksum written from signed sums.
    high = bytearray(tar_header('caf\xe9.txt'.encode('latin-1'), len(A_TXT)))
    set_checksum(high, 256 + sum(b - 256 if b > 127 else b for i, b in enumerate(high)
                                 if not 148 <= i < 156))
    save('tar-signed-checksum.tar', bytes(high) + padded(A_TXT) + END)
    no_sum = bytearray(tar_header(b'x.txt', 0))
    no_sum[148:156] = b'\x00' * 8
    save('tar-empty-checksum.tar', bytes(no_sum) + END)

    # Crafted sizes.
    def sized(field, data=A_TXT, name=b'sized.txt'):
        return tar_header(name, size_field=field) + padded(data) + END
    save('tar-negative-size-base64.tar', sized(b'-B' + b'\x00' * 10))
    save('tar-negative-size-base256.tar', sized(b'\xff' * 12))
    save('tar-size-all-spaces.tar', sized(b' ' * 12))
    save('tar-size-base256.tar', sized(b'\x80' + len(A_TXT).to_bytes(11, 'big')))
    save('tar-size-base64.tar', sized(b'+L' + b'\x00' * 10))  # 11
    save('tar-size-leading-nul.tar', sized(b'\x0000000000013'))
    save('tar-size-huge-octal.tar', sized(b'77777777777\x00'))
    save('tar-size-huge-base256.tar', sized(b'\x80' + (1 << 62).to_bytes(11, 'big')))
    save('tar-size-largest-positive.tar', sized(b'\x80\x00\x00\x00' + b'\x7f' + b'\xff' * 7))
    save('tar-size-garbage.tar', sized(b'x' * 12, data=b''))
    # 4 GiB - 2 bytes claimed, one block present: the largest member an
    # in-memory file could hold. The tests also feed it through a pipe.
    save('tar-size-4-gib-minus-2.tar', tar_header(b'big', (1 << 32) - 2) + b'x' * 512)

    # Long-name records that never end, or end badly.
    save('tar-long-name-never-ends.tar',
         tar_header(b'././@LongLink', size_field=octal(1 << 30, 12), type_flag=b'L') + b'n' * 700)
    save('tar-long-name-4-gib.tar',
         tar_header(b'././@LongLink', size_field=b'\x80' + (1 << 32).to_bytes(11, 'big'),
                    type_flag=b'L') + END)
    save('tar-long-name-without-nul.tar',
         member(b'././@LongLink', b'unterminated', b'L') + member(b'short.txt', A_TXT) + END)
    save('tar-long-name-then-end.tar', member(b'././@LongLink', b'orphan\x00', b'L') + END)
    save('tar-long-name-before-directory.tar',
         member(b'././@LongLink', b'renamed\x00', b'L') + member(b'd/', b'', b'5') +
         member(b'plain.txt', A_TXT) + END)

    # A pax record whose last byte is a NUL, not a newline: the set is
    # ignored, the member keeps its header's name, and the walk fails at
    # the end blocks.
    save('tar-pax-record-without-newline.tar',
         member(b'PaxHeaders/plain.txt', b'20 path=renamed.txt\x00', b'x') +
         member(b'plain.txt', A_TXT) + END)

    # Walk shapes: duplicates, a zero block between members, concatenation,
    # trailing garbage.
    save('tar-duplicate-names.tar', member(b'same.txt', b'first\n') + member(b'same.txt', b'second\n') + END)
    save('tar-zero-block-between.tar',
         member(b'one.txt', b'1\n') + b'\x00' * 512 + member(b'two.txt', b'2\n') + END)
    save('tar-concatenated.tar', good + member(b'after.txt', b'after\n') + END)
    save('tar-trailing-garbage.tar', member(b'one.txt', b'1\n') + END + b'garbage' * 100)
    save('tar-empty-1024-zeros.tar', END)


# ---------------------------------------------------------------------------
# gzip

def gzip_member(data, flags=0, extra=b'', name=b'', comment=b'', header_crc=None,
                crc=None, isize=None, method=8):
    header = struct.pack('<BBBBIBB', 0x1F, 0x8B, method, flags, 0, 0, 3)
    if flags & 4:
        header += struct.pack('<H', len(extra)) + extra
    if flags & 8:
        header += name + b'\x00'
    if flags & 16:
        header += comment + b'\x00'
    if flags & 2:
        header += struct.pack('<H', zlib.crc32(header) & 0xFFFF if header_crc is None else header_crc)
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    body = c.compress(data) + c.flush()
    return header + body + struct.pack('<II', zlib.crc32(data) if crc is None else crc,
                                       len(data) if isize is None else isize)


def make_gzip():
    good = run(['gzip', '-n', '-9', '-c'], TEXT)
    save('gz-good.gz', good)
    save('gz-empty-content.gz', run(['gzip', '-n', '-c'], b''))
    save('gz-several-reads.gz', run(['gzip', '-n', '-9', '-c'], NOISE))
    save('gz-17-bytes.gz', good[:17])
    save('gz-not-gzip.gz', TEXT[:100])
    save('gz-truncated-in-header.gz', good[:8])
    save('gz-truncated-in-body.gz', good[:30])
    save('gz-truncated-in-trailer.gz', good[:-4])
    save('gz-flip-in-method.gz', flip(good, 2, 0))
    save('gz-flip-in-flags.gz', flip(good, 3, 7))
    save('gz-flip-in-body.gz', flip(good, 15, 2))
    save('gz-flip-in-crc.gz', flip(good, len(good) - 8, 0))
    save('gz-isize-smaller.gz', good[:-4] + struct.pack('<I', len(TEXT) - 100))
    save('gz-isize-top-bit.gz', good[:-4] + struct.pack('<I', 0x80000000 | len(TEXT)))
    save('gz-isize-2gb-minus-1.gz', good[:-4] + struct.pack('<I', 0x7FFFFFFF))
    save('gz-header-crc-wrong.gz', gzip_member(A_TXT, flags=2, header_crc=0x1234))
    save('gz-all-header-fields.gz',
         gzip_member(A_TXT, flags=2 | 4 | 8 | 16, extra=b'ab\x02\x00xy', name=b'a.txt',
                     comment=b'note'))
    save('gz-two-members.gz', gzip_member(b'first\n') + gzip_member(b'second\n'))
    save('gz-trailing-zeros.gz', good + b'\x00' * 512)
    save('gz-trailing-garbage.gz', good + b'garbage!')
    save('gz-member-then-bad-member.gz', good + b'\x1f\x8b' + b'\x00' * 30)
    save('gz-member-then-cut-member.gz', good + gzip_member(A_TXT)[:-10])


# ---------------------------------------------------------------------------
# bzip2: a writer of small blocks, so that each structural bound can be
# broken on its own while everything else (CRCs included) stays right.

def bzip2_crc(data, crc=0xFFFFFFFF):
    table = bzip2_crc.table
    for b in data:
        crc = ((crc << 8) & 0xFFFFFFFF) ^ table[(crc >> 24) ^ b]
    return crc


bzip2_crc.table = []
for i in range(256):
    c = i << 24
    for _ in range(8):
        c = ((c << 1) ^ 0x04C11DB7) & 0xFFFFFFFF if c & 0x80000000 else (c << 1) & 0xFFFFFFFF
    bzip2_crc.table.append(c)


class bits:
    def __init__(self):
        self.out = bytearray()
        self.acc = 0
        self.n = 0

    def put(self, value, count):
        for i in range(count - 1, -1, -1):
            self.acc = self.acc << 1 | (value >> i) & 1
            self.n += 1
            if self.n == 8:
                self.out.append(self.acc)
                self.acc = self.n = 0

    def done(self):
        if self.n:
            self.out.append(self.acc << (8 - self.n))
            self.acc = self.n = 0
        return bytes(self.out)


def initial_runs(data):
    """bzip2's first step: four equal bytes are followed by a count of 0-251 more."""
    out, i = bytearray(), 0
    while i < len(data):
        j = i
        while j < len(data) and data[j] == data[i] and j - i < 255:
            j += 1
        run_length = j - i
        if run_length >= 4:
            out += bytes([data[i]]) * 4 + bytes([run_length - 4])
        else:
            out += data[i:j]
        i = j
    return bytes(out)


def run_symbols(length):
    """A run of `length` zeros as run symbols (0 adds the weight, 1 twice it)."""
    out = []
    while length > 0:
        if length & 1:
            out.append(0)
            length = (length - 1) >> 1
        else:
            out.append(1)
            length = (length - 2) >> 1
    return out


def block_symbols(text):
    """Transforms `text` and codes it as symbols: returns (bytes used, origin, symbols)."""
    n = len(text)
    rotations = sorted(range(n), key=lambda i: text[i:] + text[:i])
    origin = rotations.index(0)
    last = bytes(text[(i - 1) % n] for i in rotations)
    used = sorted(set(last))
    mtf, symbols, zeros = list(used), [], 0
    for b in last:
        p = mtf.index(b)
        if p == 0:
            zeros += 1
            continue
        symbols += run_symbols(zeros)
        zeros = 0
        mtf.insert(0, mtf.pop(p))
        symbols.append(p + 1)
    symbols += run_symbols(zeros)
    symbols.append(len(used) + 1)
    return used, origin, symbols


def canonical_codes(lengths):
    codes, code, previous = {}, 0, 0
    for length, symbol in sorted((l, s) for s, l in enumerate(lengths)):
        code <<= length - previous
        codes[symbol] = (code, length)
        code += 1
        previous = length
    return codes


def write_block(w, *, crc, origin, used, symbols, groups=2, selectors=None, lengths=None,
                length_steps=None, randomised=0, raw_codes=()):
    """Writes one block record. `length_steps`, when given, replaces the
    code-length section with raw (start, [(bit, bit)...]) steps for group 0.
    `raw_codes` maps a symbol index to a bit string written instead."""
    w.put(0x314159, 24)
    w.put(0x265359, 24)
    w.put(crc, 32)
    w.put(randomised, 1)
    w.put(origin, 24)
    ranges = 0
    for b in used:
        ranges |= 0x8000 >> (b // 16)
    w.put(ranges, 16)
    for r in range(16):
        if ranges & (0x8000 >> r):
            present = 0
            for b in used:
                if b // 16 == r:
                    present |= 0x8000 >> (b % 16)
            w.put(present, 16)
    alphabet = len(used) + 2
    if lengths is None:
        width = max(1, (alphabet - 1).bit_length())
        lengths = [width] * alphabet
    if selectors is None:
        selectors = [0] * ((len(symbols) + 49) // 50)
    w.put(groups, 3)
    w.put(len(selectors), 15)
    order = list(range(max(groups, 1)))
    for s in selectors:
        if s >= len(order):  # deliberately out of range: s ones, then a zero
            w.put((1 << s) - 1, s)
            w.put(0, 1)
            continue
        p = order.index(s)
        w.put((1 << p) - 1, p)
        w.put(0, 1)
        order.insert(0, order.pop(p))
    for g in range(groups):
        if length_steps is not None and g == 0:
            start, steps = length_steps
            w.put(start, 5)
            for step in steps:
                for bit in step:
                    w.put(bit, 1)
            return  # the decoder refuses the block inside this section
        current = lengths[0]
        w.put(current, 5)
        for target in lengths:
            while current != target:
                w.put(1, 1)
                w.put(0 if target > current else 1, 1)
                current += 1 if target > current else -1
            w.put(0, 1)
    codes = canonical_codes(lengths)
    for i, s in enumerate(symbols):
        if i in raw_codes:
            for c in raw_codes[i]:
                w.put(int(c), 1)
            continue
        code, length = codes[s]
        w.put(code, length)


def decode_symbols(used, symbols):
    """The block entries that `symbols` spell, as the decoder reads them."""
    mtf, entries, run_length, weight = list(used), [], 0, 0
    for s in symbols:
        if s <= 1:
            if weight == 0:
                weight, run_length = 1, 0
            run_length += weight << s
            weight <<= 1
            continue
        if weight:
            entries += [mtf[0]] * run_length
            weight = 0
        if s >= len(used) + 1:
            break
        mtf.insert(0, mtf.pop(s - 1))
        entries.append(mtf[0])
    return entries


def inverse_transform(entries, origin):
    n = len(entries)
    if n == 0:
        return []
    start, total = {}, 0
    for b in range(256):
        start[b] = total
        total += entries.count(b) if b in entries else 0
    links = [0] * n
    for i, b in enumerate(entries):
        links[start[b]] = i
        start[b] += 1
    out, link = [], links[origin]
    for _ in range(n):
        out.append(entries[link])
        link = links[link]
    return out


def undo_initial_runs(data):
    out, previous, equal, counting = bytearray(), None, 0, False
    for b in data:
        if counting:
            out += bytes([previous]) * b
            counting, equal = False, 0
            continue
        equal = equal + 1 if b == previous else 1
        previous = b
        out.append(b)
        counting = equal == 4
    return bytes(out)


def bzip2_stream(blocks, digit=1, stream_crc=None):
    """Each block is a dict of write_block fields; a block given as bytes
    is the block that bzip2 would make of them. The block CRCs (unless a
    block names its own `crc`) and the stream CRC follow from what the
    decoder will produce."""
    w = bits()
    for c in b'BZh' + str(digit).encode():
        w.put(c, 8)
    combined = 0
    for block in blocks:
        if isinstance(block, bytes):
            used, origin, symbols = block_symbols(initial_runs(block))
            block = dict(origin=origin, used=used, symbols=symbols)
        fields = dict(block)
        entries = decode_symbols(fields['used'], fields['symbols'])
        output = b''
        if 0 <= fields['origin'] < len(entries):
            output = undo_initial_runs(inverse_transform(entries, fields['origin']))
        crc = bzip2_crc(output) ^ 0xFFFFFFFF
        combined = ((combined << 1 | combined >> 31) & 0xFFFFFFFF) ^ crc
        fields.setdefault('crc', crc)
        write_block(w, **fields)
    w.put(0x177245, 24)
    w.put(0x385090, 24)
    w.put(combined if stream_crc is None else stream_crc, 32)
    return w.done()


def checked(data, expected):
    """Asserts that the bzip2 tool decodes `data` to `expected`."""
    assert run(['bzip2', '-d', '-c'], data) == expected
    return data


def make_bzip2():
    good = run(['bzip2', '-9', '-c'], TEXT)
    save('bz2-good.bz2', good)
    empty = run(['bzip2', '-c'], b'')
    # bz2-empty-stream.bz2 (bzip2 of nothing) is built in the test.
    save('bz2-several-reads.bz2', run(['bzip2', '-9', '-c'], NOISE))
    # bz2-zero-bytes.bz2 (empty) is built in the test.
    save('bz2-not-bzip2.bz2', run(['gzip', '-n', '-c'], TEXT))
    save('bz2-header-digit-0.bz2', b'BZh0' + good[4:])
    save('bz2-header-digit-colon.bz2', b'BZh:' + good[4:])

    # Cut short: in the header, the block magic, the block, the end record.
    save('bz2-truncated-in-header.bz2', good[:3])
    save('bz2-truncated-in-block-magic.bz2', good[:7])
    save('bz2-truncated-in-block.bz2', good[:len(good) // 2])
    save('bz2-truncated-in-stream-crc.bz2', good[:-2])

    # Flips in the header, the block magic, the CRCs and the body.
    save('bz2-flip-in-block-magic.bz2', flip(good, 6, 1))
    save('bz2-flip-in-end-magic.bz2', flip(good, len(good) - 8, 4))
    save('bz2-flip-in-block-crc.bz2', flip(good, 11, 0))
    save('bz2-flip-in-stream-crc.bz2', flip(good, len(good) - 3, 0))
    save('bz2-flip-in-body.bz2', flip(good, len(good) // 2, 6))
    save('bz2-randomised-block.bz2', flip(good, 14, 7))

    # Written block by block; the good ones are checked against the bzip2 tool.
    short = b'abracadabra, abracadabra!\n'
    second = b'second block\n'
    text_block = dict(zip(('used', 'origin', 'symbols'), block_symbols(initial_runs(short))))
    save('bz2-written-good.bz2', checked(bzip2_stream([short]), short))
    save('bz2-written-two-blocks.bz2', checked(bzip2_stream([short, second]), short + second))

    def broken(name, **fields):
        save('bz2-' + name + '.bz2', bzip2_stream([dict(text_block, **fields)]))
    broken('origin-above-capacity', origin=100001)
    broken('groups-1', groups=1)
    broken('groups-7', groups=7)
    broken('selectors-0', selectors=[])
    broken('selector-not-below-groups', selectors=[2])
    broken('code-length-0', length_steps=(1, [(1, 1)]))
    broken('code-length-21', length_steps=(20, [(1, 0), (1, 1), (0,)]))
    broken('code-length-start-0', length_steps=(0, [(0,)]))
    broken('selectors-exhausted', selectors=[0], used=[97, 98, 99], origin=0, symbols=[2] * 60 + [4])
    # Four-bit codes for an eleven-symbol alphabet leave 1011 to 1111 free.
    assert len(text_block['used']) == 9
    broken('code-not-in-table', raw_codes={0: '1111'})
    broken('origin-not-below-entries', origin=len(short) + 5)

    # Runs against the capacity of a block-size digit 1 block (100000).
    def zero_runs(name, run_length, tail=(2,), used=(0,)):
        save('bz2-' + name + '.bz2',
             bzip2_stream([dict(used=list(used), origin=0, symbols=run_symbols(run_length) + list(tail))]))
    zero_runs('run-fills-block', 100000)
    zero_runs('run-past-capacity', 100001)
    zero_runs('literal-when-full', 100000, tail=(2, 3), used=(0, 1))
    zero_runs('literal-fills-block', 99999, tail=(2, 3), used=(0, 1))
    # Shapes the decoder accepts or refuses at the edges of the symbol map:
    # an empty block (only the end-of-block symbol), and a block declaring
    # no bytes, whose codes are all run symbols so that it never ends.
    save('bz2-empty-block.bz2', bzip2_stream([short, dict(used=[0x61], origin=0, symbols=[2])]))
    save('bz2-no-bytes-declared.bz2', bzip2_stream([dict(used=[], origin=0, symbols=[0] * 10)]))

    # Wrong CRCs in written streams: the second block's, after the first
    # block's bytes were delivered, and the stream's.
    save('bz2-second-block-crc-wrong.bz2',
         bzip2_stream([short, dict(zip(('used', 'origin', 'symbols'), block_symbols(initial_runs(second))),
                                   crc=0x12345678)]))
    save('bz2-stream-crc-wrong.bz2', bzip2_stream([short], stream_crc=0x12345678))

    # Concatenations and what may follow a stream.
    save('bz2-two-streams.bz2', good + empty + run(['bzip2', '-1', '-c'], b'second stream\n'))
    save('bz2-trailing-garbage.bz2', good + b'garbage!')
    save('bz2-trailing-zeros.bz2', good + b'\x00' * 100)
    save('bz2-trailing-header-digit-0.bz2', good + b'BZh0' + good[4:])
    save('bz2-second-stream-truncated.bz2', good + good[:40])
    save('bz2-second-stream-not-bzip2.bz2', good + b'BZh9' + b'\x00' * 40)


def run_on_file(args, data):
    """Runs a compressor on a file holding `data` (so that it knows the size)."""
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, 'input')
        with open(path, 'wb') as f:
            f.write(data)
        return run(args + [path])


def xz_index_start(data):
    """Offset of the last stream's index, from its footer's backward size."""
    backward = (struct.unpack('<I', data[-8:-4])[0] + 1) * 4
    return len(data) - 12 - backward


def make_xz():
    second = run(['xz', '-c'], b'second stream\n')
    good = run(['xz', '-c', '--check=crc64', '--block-size=300'], TEXT)
    save('xz-good.xz', good)
    save('xz-several-reads.xz', run(['xz', '-c', '-T2', '--block-size=4000'], NOISE))
    save('xz-sha256.xz', run(['xz', '-c', '--check=sha256'], TEXT))
    save('xz-not-xz.xz', run(['gzip', '-n', '-c'], TEXT))
    save('xz-truncated-in-magic.xz', good[:4])
    save('xz-truncated-in-block.xz', good[:len(good) // 2])
    save('xz-truncated-in-footer.xz', good[:-2])
    save('xz-flip-in-body.xz', flip(good, 40, 3))
    crc32 = run(['xz', '-c', '--check=crc32'], TEXT)
    save('xz-flip-in-check.xz', flip(crc32, xz_index_start(crc32) - 2, 0))
    save('xz-flip-in-index.xz', flip(good, xz_index_start(good) + 2, 0))
    save('xz-two-streams.xz', good + second)
    save('xz-padded.xz', good + b'\0' * 4 + second + b'\0' * 8)
    save('xz-trailing-garbage.xz', good + b'garbage!')
    save('xz-second-stream-truncated.xz', good + second[:20])


def make_zstd():
    good = run_on_file(['zstd', '-q', '-c', '-19'], TEXT)
    save('zst-good.zst', good)
    save('zst-several-reads.zst', run_on_file(['zstd', '-q', '-c'], NOISE))
    save('zst-no-size.zst', run(['zstd', '-q', '-c'], TEXT))
    save('zst-not-zstd.zst', run(['gzip', '-n', '-c'], TEXT))
    save('zst-truncated-in-magic.zst', good[:2])
    save('zst-truncated-in-frame.zst', good[:len(good) // 2])
    save('zst-flip-in-body.zst', flip(good, len(good) // 2, 2))
    save('zst-flip-in-checksum.zst', flip(good, len(good) - 1, 0))
    save('zst-two-frames.zst', good + run_on_file(['zstd', '-q', '-c'], b'second frame\n'))
    save('zst-skippable-frame.zst', struct.pack('<II', 0x184D2A5E, 3) + b'abc' + good)
    save('zst-trailing-garbage.zst', good + b'garbage!')
    # A frame declaring 16 MiB (a 256 KiB window, a 4-byte size field)
    # whose only block is an empty last raw block.
    save('zst-size-not-declared-size.zst',
         struct.pack('<IBBI', 0xFD2FB528, 0x80, 0x40, 1 << 24) + bytes([1, 0, 0]))
    # A window of 1 GiB, past the 128 MiB that decoders allow by default.
    save('zst-window-too-large.zst', run(['zstd', '-q', '-c', '--long=30'], TEXT))


def main():
    make_tar()
    make_gzip()
    make_bzip2()
    make_xz()
    make_zstd()
    print('%d files written' % len(written))


if __name__ == '__main__':
    sys.exit(main())
