#!/usr/bin/env python3
"""The TAR walk rules read independently of the module, for tests/formats/tar.

For each archive path given, prints "archive PATH", then "member HEXNAME
SIZE OFFSET EXTRACT SEGMENTS" for each member the walk finds, then "end"
and how the walk ends. Standard library only.
"""
import sys

B64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
PAX_LIMIT = 1 << 20


class Corrupt(Exception):
    pass


class Truncated(Exception):
    pass


def signed64(v):
    v %= 1 << 64
    return v - (1 << 64) if v >= 1 << 63 else v

def number(f):
    i = 1 if f[:1] == b"\0" else 0
    while i < len(f) and f[i] == 0x20:
        i += 1
    if i == len(f):
        return 0
    c, v = f[i], 0
    if 0x30 <= c <= 0x37:
        while i < len(f) and 0x30 <= f[i] <= 0x37:
            v = v * 8 + f[i] - 0x30
            i += 1
    elif c in (0x2B, 0x2D):
        i += 1
        while i < len(f) and f[i] < 128 and chr(f[i]) in B64:
            v = v * 64 + B64.index(chr(f[i]))
            i += 1
        if c == 0x2D:
            v = -v
    elif c in (0x80, 0xFF):
        rest = f[i + 1:]
        v = int.from_bytes(rest, "big") - (256 ** len(rest) if c == 0xFF else 0)
    return signed64(v)

def checksum_ok(h):
    body = h[:148] + b" " * 8 + h[156:]
    stored = number(h[148:156])
    return stored in (sum(body), sum(b - 256 if b >= 128 else b for b in body))

def cstr(b):
    return b.split(b"\0")[0]

def in_range(text):
    return bool(text) and all(0x30 <= c <= 0x39 for c in text) and int(text) < 1 << 63

def decimal(text):
    if not in_range(text):
        raise Corrupt()
    return int(text)

def records(data):
    """The (key, value) pairs of a record set, or None when it is malformed."""
    out, pos = [], 0
    while pos < len(data) and data[pos] != 0:
        digits = 0
        while pos + digits < len(data) and 0x30 <= data[pos + digits] <= 0x39:
            digits += 1
        if digits == 0 or pos + digits == len(data) or data[pos + digits] != 0x20:
            return None
        length = int(data[pos:pos + digits])
        if length > len(data) - pos or length < digits + 3:
            return None
        text = data[pos + digits + 1:pos + length]
        if b"=" not in text or text[-1] != 0x0A:
            return None
        out.append(tuple(text[:-1].split(b"=", 1)))
        pos += length
    return out

def rounded(n):
    return (n + 511) // 512 * 512

def check_map(segments, size, stored):
    end = used = 0
    for offset, length in segments:
        if offset < end or length > size or offset > size - length or length > stored - used:
            raise Corrupt()
        end, used = offset + length, used + length
    return segments or [(size, 0)]

class Walk:
    def __init__(self, data):
        self.data, self.pos, self.gpath, self.gsize = data, 0, b"", None
        self.damaged = False

    def end(self):
        if self.damaged:
            raise Corrupt()
        return None

    def block(self):
        h = self.data[self.pos:self.pos + 512]
        if len(h) < 512:
            raise Truncated()
        self.pos += 512
        return h

    def skip(self, n):
        self.pos += rounded(n)
        if self.pos >= 1 << 64:
            raise Corrupt()

    def bytes_at(self, at, n):
        if at + n > len(self.data):
            raise Truncated()
        return self.data[at:at + n]

    def next(self):
        zeros, may_end = 0, True
        p = dict(long=None, path=None, size=None, sname=b"", real=None, major=-1, minor=-1,
                 sparse=False, waiting=None, map=[], describes=False)
        while True:
            # The file may end where a header would start, unless it is
            # empty, the block before is zero-first but not all zeros, or
            # extension records wait for their entry.
            if self.pos == len(self.data) and self.pos != 0 and may_end and not p["describes"]:
                return self.end()
            h = self.block()
            if h[0] == 0:
                zeros += 1
                if zeros == 2:
                    return self.end()
                may_end = not any(h)
                continue
            may_end = True
            if not checksum_ok(h):
                raise Corrupt()
            size = number(h[124:136])
            if size < 0:
                raise Corrupt()
            t = h[156]
            if t in b"LKxXg":
                start = self.pos
                self.skip(size)
                p["describes"] = p["describes"] or t != ord("g")
                if t == ord("L"):
                    if size >= (1 << 32) - 1:
                        raise Corrupt()
                    p["long"] = cstr(self.bytes_at(start, size))
                elif t != ord("K"):
                    if size > PAX_LIMIT:
                        raise Corrupt()
                    pairs = records(self.bytes_at(start, size))
                    if pairs is None or t == ord("g") and any(
                            k == b"size" and v and not in_range(v) for k, v in pairs):
                        self.damaged, pairs = True, []
                    for key, value in pairs:
                        if t == ord("g"):
                            if key == b"path":
                                self.gpath = cstr(value)
                            elif key == b"size":
                                self.gsize = decimal(value) if value else None
                        else:
                            self.local(p, key, value)
                continue
            stored = size
            if p["size"] is not None:
                stored = p["size"] if p["size"] != "removed" else size
            elif self.gsize is not None:
                stored = self.gsize
            segments = []
            if t == ord("S"):
                adding = self.gnu_entries(h[386:482], 4, segments)
                extended = h[482] != 0
                while extended:
                    b = self.block()
                    if adding:
                        adding = self.gnu_entries(b, 21, segments)
                    extended = b[504] != 0
            start = self.pos
            self.skip(stored)
            if t in (0, 0x30, 0x37, 0x53):
                m = self.member(t, h, p, start, stored, segments)
                if t != 0 or not m[0].endswith(b"/"):
                    return m
            p = dict(long=None, path=None, size=None, sname=b"", real=None, major=-1, minor=-1,
                     sparse=False, waiting=None, map=[], describes=False)

    def local(self, p, key, value):
        if key == b"path":
            p["path"] = cstr(value) if value else "removed"
        elif key == b"size":
            p["size"] = decimal(value) if value else "removed"
        elif not key.startswith(b"GNU.sparse.") or not value:
            pass
        elif key == b"GNU.sparse.name":
            p["sname"] = cstr(value)
        elif key in (b"GNU.sparse.realsize", b"GNU.sparse.size"):
            p["real"] = decimal(value)
            p["sparse"] = p["sparse"] or key == b"GNU.sparse.size"
        elif key == b"GNU.sparse.major":
            p["major"] = decimal(value)
        elif key == b"GNU.sparse.minor":
            p["minor"] = decimal(value)
        elif key == b"GNU.sparse.offset":
            if p["waiting"] is not None:
                raise Corrupt()
            p["waiting"] = decimal(value)
        elif key == b"GNU.sparse.numbytes":
            if p["waiting"] is None:
                raise Corrupt()
            p["map"].append((p["waiting"], decimal(value)))
            p["waiting"], p["sparse"] = None, True
        elif key == b"GNU.sparse.map":
            numbers = [decimal(n) for n in value.split(b",")]
            if len(numbers) % 2:
                raise Corrupt()
            p["map"] += list(zip(numbers[::2], numbers[1::2]))
            p["sparse"] = True

    def gnu_entries(self, entries, count, segments):
        for i in range(count):
            e = entries[24 * i:24 * i + 24]
            if e[12] == 0:
                return False
            offset, length = number(e[:12]), number(e[12:])
            if offset < 0 or length < 0:
                raise Corrupt()
            segments.append((offset, length))
        return True

    def member(self, t, h, p, start, stored, segments):
        field = cstr(h[:100])
        if p["sname"]:
            name = p["sname"]
        elif p["path"] not in (None, "removed"):
            name = p["path"]
        elif p["path"] is None and self.gpath:
            name = self.gpath
        elif p["long"] is not None:
            name = p["long"]
        elif h[257:265] == b"ustar\x0000" and h[345] != 0:
            name = cstr(h[345:500]) + b"/" + field
        else:
            name = field
        if t == ord("S"):
            size = number(h[483:495])
            if size < 0:
                raise Corrupt()
            return name, size, start, stored, check_map(segments, size, stored)
        if p["waiting"] is not None:
            raise Corrupt()
        if p["major"] == 1 and p["minor"] == 0:
            text, segments = b"", []
            def line():
                nonlocal text
                at = line.at
                while True:
                    if at == len(text):
                        if len(text) + 512 > stored or len(text) + 512 > PAX_LIMIT:
                            raise Corrupt()
                        text += self.bytes_at(start + len(text), 512)
                    if text[at] == 0x0A:
                        break
                    if not 0x30 <= text[at] <= 0x39:
                        raise Corrupt()
                    at += 1
                value = decimal(text[line.at:at])
                line.at = at + 1
                return value
            line.at = 0
            for _ in range(line()):
                segments.append((line(), line()))
            start, stored = start + len(text), stored - len(text)
        elif p["sparse"]:
            segments = p["map"]
        else:
            return name, stored, start, stored, None
        size = p["real"] if p["real"] is not None else stored
        return name, size, start, stored, check_map(segments, size, stored)

def walk(data):
    w, members = Walk(data), []
    try:
        while True:
            m = w.next()
            if m is None:
                return members, "ok"
            members.append(m)
    except Corrupt:
        return members, "corrupt"
    except Truncated:
        return members, "truncated"

for path in sys.argv[1:]:
    with open(path, "rb") as f:
        data = f.read()
    members, end = walk(data)
    print("archive", path)
    for name, size, start, stored, segments in members:
        if start + stored > len(data):
            extract = "truncated"
        elif size >= 1 << 32:
            extract = "bad_alloc"
        else:
            extract = "ok"
        segs = ",".join("%d:%d" % s for s in segments) if segments is not None else "-"
        print("member", name.hex() or "-", size, start, extract, segs)
    print("end", end)
