"""Reads a file of source records (an offline catalogue "<instance>.cat", or a
job's source list) on its own, from the record layout, and prints one line per
record, fields separated by tabs:

    SSET
    ESET
    VOLB  <path>
    FILE  <path>  <item index>  <size>  <attributes, hex>  <flag>  <creation>  <last access>  <last write>
    DIRB  (as FILE)

Paths are printed in UTF-8, times as decimal 100-ns counts. Any departure from
the layout (unknown tag, wrong length, a field that disagrees with the record,
a path without its NUL, a torn record at the end) is reported on standard
error with its offset, and the exit status is 1.

    python3 catalogue.py FILE

or, from another program: ``records(data)`` gives the records as tuples.
"""

import struct
import sys

KNOWN = (b"SSET", b"ESET", b"VOLB", b"FILE", b"DIRB")


class Malformed(Exception):
    pass


def _path(record, at, offset, size_field, offset_field, expected_offset):
    n, name_at = struct.unpack_from("<HH", record, size_field)
    if name_at != expected_offset:
        raise Malformed("record at %d: name offset %d, not %d" % (at, name_at, expected_offset))
    if offset + n != len(record) or n < 2 or n % 2:
        raise Malformed("record at %d: name of %d bytes in a record of %d" % (at, n, len(record)))
    name = record[offset:offset + n]
    if name[-2:] != b"\0\0":
        raise Malformed("record at %d: name without its NUL" % at)
    text = name[:-2].decode("utf-16-le")
    if "\0" in text:
        raise Malformed("record at %d: NUL inside the name" % at)
    return text


def records(data):
    """The records of data as tuples (tag, ...fields), in file order."""
    out = []
    at = 0
    while at < len(data):
        if len(data) - at < 6:
            raise Malformed("torn record head at %d" % at)
        tag = data[at:at + 4]
        (length,) = struct.unpack_from("<H", data, at + 4)
        if tag not in KNOWN:
            raise Malformed("unknown tag %r at %d" % (tag, at))
        if length < 6 or at + length > len(data):
            raise Malformed("record at %d of length %d in %d bytes" % (at, length, len(data)))
        record = data[at:at + length]
        if tag == b"SSET":
            if length != 8 or struct.unpack_from("<H", record, 6)[0] != 1:
                raise Malformed("bad SSET at %d" % at)
            out.append(("SSET",))
        elif tag == b"ESET":
            if length != 6:
                raise Malformed("bad ESET at %d" % at)
            out.append(("ESET",))
        elif tag == b"VOLB":
            if length < 12:
                raise Malformed("short VOLB at %d" % at)
            out.append(("VOLB", _path(record, at, 10, 6, 8, 10)))
        else:
            if length < 56:
                raise Malformed("short %s at %d" % (tag.decode(), at))
            (attributes, c_low, c_high, a_low, a_high, w_low, w_high, size_high,
             size_low, ordinal, flag) = struct.unpack_from("<11I", record, 6)
            folder = bool(attributes & 0x10)
            if folder != (tag == b"DIRB"):
                raise Malformed("%s at %d with attributes %#x" % (tag.decode(), at, attributes))
            path = _path(record, at, 54, 50, 52, 54)
            out.append((tag.decode(), path, ordinal, size_high << 32 | size_low, attributes,
                        flag, c_high << 32 | c_low, a_high << 32 | a_low, w_high << 32 | w_low))
        at += length
    return out


def line(record):
    fields = list(record)
    if fields[0] in ("FILE", "DIRB"):
        fields[4] = "%x" % fields[4]
    return "\t".join(str(field) for field in fields)


def main(argv):
    if len(argv) != 1:
        sys.stderr.write("usage: catalogue.py FILE\n")
        return 2
    with open(argv[0], "rb") as f:
        data = f.read()
    try:
        found = records(data)
    except (Malformed, UnicodeDecodeError) as error:
        sys.stderr.write("%s: %s\n" % (argv[0], error))
        return 1
    out = sys.stdout.buffer
    for record in found:
        out.write(line(record).encode("utf-8") + b"\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
