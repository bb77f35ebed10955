#!/usr/bin/env python3
"""Reads 8-bit RGB or RGBA PNG files with zlib and struct alone, as an
independent reader of the pictures the tests write.

  png_probe.py FILE X,Y ...     prints each pixel as RRGGBBAA (hex), one a line
  png_probe.py --size FILE      prints "WIDTH HEIGHT"
  png_probe.py --compare A B T  prints the share of pixels (0..1) of which some
                                channel differs by more than T; sizes must match
"""
import struct
import sys
import zlib


def read_png(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG file")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if zlib.crc32(kind + body) != struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])[0]:
            raise ValueError("bad chunk checksum")
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    if depth != 8 or colour not in (2, 6) or interlace:
        raise ValueError("only 8-bit RGB or RGBA, not interlaced")
    step = 4 if colour == 6 else 3
    raw = zlib.decompress(idat)
    stride = width * step
    rows, previous, at = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[at], bytearray(raw[at + 1:at + 1 + stride])
        at += 1 + stride
        for i in range(stride if kind else 0):
            left = line[i - step] if i >= step else 0
            up = previous[i]
            corner = previous[i - step] if i >= step else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                pred = left if pa <= pb and pa <= pc else (up if pb <= pc else corner)
                line[i] = (line[i] + pred) & 255
        rows.append(line)
        previous = line
    return width, height, Pixels(rows, width, step)


class Pixels:
    """The pixels as (r, g, b, a), row by row, read on demand."""

    def __init__(self, rows, width, step):
        self.rows, self.width, self.step = rows, width, step

    def __len__(self):
        return len(self.rows) * self.width

    def __getitem__(self, index):
        line = self.rows[index // self.width]
        x = index % self.width
        px = tuple(line[x * self.step:(x + 1) * self.step])
        return px + ((255,) if self.step == 3 else ())

    def __iter__(self):
        return (self[i] for i in range(len(self)))


def main(argv):
    if argv[1] == "--size":
        w, h, _ = read_png(argv[2])
        print(w, h)
    elif argv[1] == "--compare":
        wa, ha, a = read_png(argv[2])
        wb, hb, b = read_png(argv[3])
        if (wa, ha) != (wb, hb):
            print("1.0")
            return
        limit = int(argv[4])
        bad = sum(1 for p, q in zip(a, b) if max(abs(x - y) for x, y in zip(p, q)) > limit)
        print("%.6f" % (bad / float(len(a) or 1)))
    else:
        w, h, pixels = read_png(argv[1])
        for probe in argv[2:]:
            x, y = (int(v) for v in probe.split(","))
            print("%02x%02x%02x%02x" % pixels[y * w + x])


if __name__ == "__main__":
    main(sys.argv)
