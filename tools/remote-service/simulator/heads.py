"""The head of a request: its fields, read without the standard library's e-mail parser.

``read_plain_head`` reads a head in the form that clients write (one field per CRLF-ended
line) at once, ``read_head`` any other line by line; both give the fields that the standard
library's parser gives.
"""

import re


class Head:
    """The header fields of a request head, in the order they came.

    ``get`` looks a name up without regard to case and answers the first
    field of that name, ``items`` every field as sent; that is all the
    service asks of a head.  Made by ``read_head``, which reads the fields
    without the standard library's e-mail parser: that parser was most of
    what the simulator spent on a small request.
    """

    __slots__ = ("_fields", "_first")

    def __init__(self, fields):
        self._fields = fields
        self._first = {name.lower(): value for name, value in reversed(fields)}

    def get(self, name, default=None):
        return self._first.get(name.lower(), default)

    def items(self):
        """The fields as (name, value) pairs; the list is the head's own, not to be changed."""
        return self._fields

    def __contains__(self, name):
        return name.lower() in self._first

    def with_value(self, index, value):
        """A head of the same fields but the ``index``-th, which takes ``value``; that field
        must be the only one of its name."""
        fields = list(self._fields)
        name = fields[index][0]
        fields[index] = (name, value)
        head = Head.__new__(Head)
        head._fields = fields
        head._first = dict(self._first)
        head._first[name.lower()] = value
        return head


MAX_HEAD_LINE = 65536
MAX_HEAD_FIELDS = 100
# A field name as a head may carry it: printable ASCII without the colon.
FIELD_NAME = re.compile(r"[!-9;-~]+")


class HeadTooLarge(Exception):
    """A head line over MAX_HEAD_LINE bytes, or more than MAX_HEAD_FIELDS fields."""


def read_head(rfile):
    """The fields of a head, read up to its blank line (or the end of input).

    A line that starts with a space or a tab continues the field before it
    (and is left out when there is none); the first line that is not a
    field ends the fields, and the lines after it up to the blank line are
    read and left out.
    """
    fields = []
    lines = 0
    broken = False
    while True:
        line = rfile.readline(MAX_HEAD_LINE + 1)
        if len(line) > MAX_HEAD_LINE:
            raise HeadTooLarge("header line")
        if line in (b"\r\n", b"\n", b""):
            return Head(fields)
        lines += 1
        if lines > MAX_HEAD_FIELDS:
            raise HeadTooLarge("got more than %d headers" % MAX_HEAD_FIELDS)
        if broken:
            continue
        text = line.decode("iso-8859-1")
        if text[0] in " \t":
            if fields:  # else a stray continuation, left out
                name, value = fields[-1]
                fields[-1] = (name, value + "\r\n" + text.rstrip("\r\n"))
            continue
        name, colon, value = text.partition(":")
        if not colon or not FIELD_NAME.fullmatch(name):
            broken = True
            continue
        fields.append((name, value.lstrip(" \t").rstrip("\r\n")))


# A head whose every line is a field on one CRLF-ended line, as clients write it.
PLAIN_HEAD = re.compile(r"(?:[!-9;-~]+:[^\r\n]*\r\n)*")
PLAIN_FIELD = re.compile(r"([!-9;-~]+):[ \t]*([^\r\n]*)\r\n")
# The same, found at the starts of lines only.
PLAIN_FIELDS = re.compile(r"^([!-9;-~]+):[ \t]*([^\r\n]*)\r\n", re.MULTILINE)


def read_plain_head(rfile):
    """The fields of a head that the reader holds whole and in the plain form (``PLAIN_HEAD``),
    read as one piece; None, with nothing read, for any other, which ``read_head`` then reads
    line by line."""
    held = rfile.peek()
    if held.startswith(b"\r\n"):
        rfile.read(2)
        return Head([])
    end = held.find(b"\r\n\r\n")
    if end < 0 or end >= MAX_HEAD_LINE:
        return None
    text = held[:end + 2].decode("iso-8859-1")
    if PLAIN_HEAD.fullmatch(text) is None:
        return None
    fields = PLAIN_FIELD.findall(text)
    if len(fields) > MAX_HEAD_FIELDS:
        return None
    rfile.read(end + 4)
    return Head(fields)
