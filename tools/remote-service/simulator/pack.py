"""The stored items of one large run, appended to one file.

A run that announces many files keeps its items in ``instances/<run>/pack``
rather than in a folder per item (one file instead of three inodes per item).
The file is a sequence of records, each a header line and its payload:

    M <number> <length> LF  <the item's description, compact JSON>
    B <number> <index> <length> LF  <the bytes of block <index> of item <number>>

A later record of the same item or block replaces the earlier one; an ``M``
record whose size differs from the item's earlier description drops the
item's blocks (the data were made anew).  Appended records are held in
memory until ``flush``; a record cut off at the end of the file (the
simulator killed in the middle of a write) is cut away when the pack is
opened again, so that what follows it starts on a record boundary.

A ``Pack`` is used under the store's lock only; it owns its file descriptor.
"""

import json
import os

_HEADER_MAX = 64
_ENCODER = json.JSONEncoder(sort_keys=True, separators=(",", ":"))

ATTRIBUTE_ORDER = (
    "dwFileAttributes", "ftCreationTimedwHighDateTime", "ftCreationTimedwLowDateTime",
    "ftLastAccessTimedwHighDateTime", "ftLastAccessTimedwLowDateTime",
    "ftLastWriteTimedwHighDateTime", "ftLastWriteTimedwLowDateTime", "nFileSizeHigh",
    "nFileSizeLow")
"""The attribute keys of a stored item, sorted."""
_ITEM_NUMBERS = ("descriptions", "number", "size", "totalblock", "totalsizeHigh",
                 "totalsizeLow")
_ITEM_KEYS = frozenset(_ITEM_NUMBERS + ("attri", "name", "type"))


def attributes_json(attri):
    """The compact JSON of an item's attributes, keys sorted, for nine integers as the file
    description carries them; None for any other value (one expression of its parts, which
    costs least on PyPy)."""
    if type(attri) is not dict or len(attri) != len(ATTRIBUTE_ORDER):
        return None
    get = attri.get
    a, b, c = get("dwFileAttributes"), get("ftCreationTimedwHighDateTime"), get(
        "ftCreationTimedwLowDateTime")
    d, e = get("ftLastAccessTimedwHighDateTime"), get("ftLastAccessTimedwLowDateTime")
    f, g = get("ftLastWriteTimedwHighDateTime"), get("ftLastWriteTimedwLowDateTime")
    h, i = get("nFileSizeHigh"), get("nFileSizeLow")
    if (type(a) is not int or type(b) is not int or type(c) is not int or type(d) is not int
            or type(e) is not int or type(f) is not int or type(g) is not int
            or type(h) is not int or type(i) is not int):
        return None
    return ('{"dwFileAttributes":' + str(a) + ',"ftCreationTimedwHighDateTime":' + str(b)
            + ',"ftCreationTimedwLowDateTime":' + str(c)
            + ',"ftLastAccessTimedwHighDateTime":' + str(d)
            + ',"ftLastAccessTimedwLowDateTime":' + str(e)
            + ',"ftLastWriteTimedwHighDateTime":' + str(f)
            + ',"ftLastWriteTimedwLowDateTime":' + str(g) + ',"nFileSizeHigh":' + str(h)
            + ',"nFileSizeLow":' + str(i) + "}")


def item_json(entry):
    """The compact JSON of an item's description, keys sorted, as the encoder writes it (by
    its parts, for the description that a file's upload makes)."""
    if len(entry) == len(_ITEM_KEYS):
        attri = attributes_json(entry.get("attri"))
        get = entry.get
        descriptions, number, size = get("descriptions"), get("number"), get("size")
        blocks, high, low = get("totalblock"), get("totalsizeHigh"), get("totalsizeLow")
        name = get("name")
        kind = get("type")
        if (attri is not None and type(name) is str and type(kind) is str
                and type(descriptions) is int and type(number) is int and type(size) is int
                and type(blocks) is int and type(high) is int and type(low) is int):
            return ('{"attri":' + attri + ',"descriptions":' + str(descriptions)
                    + ',"name":' + _string(name) + ',"number":' + str(number)
                    + ',"size":' + str(size) + ',"totalblock":' + str(blocks)
                    + ',"totalsizeHigh":' + str(high) + ',"totalsizeLow":' + str(low)
                    + ',"type":' + _string(kind) + "}")
    return _ENCODER.encode(entry)


_string = json.encoder.encode_basestring_ascii


class Pack:
    """One run's pack file, opened for appending and reading."""

    def __init__(self, path):
        self.path = path
        self._fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC, 0o644)
        self._end = os.fstat(self._fd).st_size  # where the next record starts
        self._written = self._end               # what the file holds
        self._pending = []

    def close(self):
        """Write what is held and close the file; a later write or read fails (OSError)."""
        if self._fd is not None:
            self.flush()
            os.close(self._fd)
            self._fd = None

    def records(self):
        """The records of the file as it stands, in order.

        Yields ("M", number, entry) and ("B", number, index, offset, length),
        offset being where the block's bytes are in the file.  A record cut
        off at the end is cut away from the file.
        """
        size = self._written
        at = 0
        while at < size:
            head = os.pread(self._fd, _HEADER_MAX, at)
            line_end = head.find(b"\n")
            words = head[:line_end].split() if line_end > 0 else []
            try:
                if words[0] == b"M" and len(words) == 3:
                    number, length, index = int(words[1]), int(words[2]), None
                elif words[0] == b"B" and len(words) == 4:
                    number, index, length = int(words[1]), int(words[2]), int(words[3])
                else:
                    break
            except (IndexError, ValueError):
                break
            start = at + line_end + 1
            if start + length > size:
                break
            if index is None:
                try:
                    entry = json.loads(os.pread(self._fd, length, start))
                except ValueError:
                    break
                yield ("M", number, entry)
            else:
                yield ("B", number, index, start, length)
            at = start + length
        if at < size:
            os.ftruncate(self._fd, at)
            self._end = self._written = at

    def add_item(self, number, entry):
        """Append an item's description."""
        text = item_json(entry).encode("utf-8")
        self._append(b"M %d %d\n" % (number, len(text)), text)

    def add_block(self, number, index, data):
        """Append a block; returns the offset of its bytes in the file."""
        return self._append(b"B %d %d %d\n" % (number, index, len(data)), data)

    def _append(self, head, payload):
        self._pending.append(head)
        self._pending.append(payload)
        at = self._end + len(head)
        self._end = at + len(payload)
        return at

    def flush(self):
        """Write the records appended since the last flush, in one call when it can."""
        if not self._pending:
            return
        if self._fd is None:
            raise OSError("the pack %s is closed" % self.path)
        data = b"".join(self._pending)
        self._pending = []
        view = memoryview(data)
        while view:
            view = view[os.write(self._fd, view):]
        self._written = self._end

    def read(self, offset, length):
        """The bytes of a block stored at ``offset``."""
        self.flush()
        if self._fd is None:
            raise OSError("the pack %s is closed" % self.path)
        data = os.pread(self._fd, length, offset)
        if len(data) != length:
            raise OSError("the pack %s ends inside a block" % self.path)
        return data
