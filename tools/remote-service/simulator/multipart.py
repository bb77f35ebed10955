"""The multipart body of a block upload.

The agent sends one block as a form of five parts, in this order:

    --B CRLF
    Content-Disposition: form-data; name="md5" CRLF CRLF  <md5 text> CRLF
    --B CRLF
    Content-Disposition: form-data; name="jobinstanceid" CRLF CRLF  <id> CRLF
    --B CRLF
    Content-Disposition: form-data; name="sourcename" CRLF CRLF  <path> CRLF
    --B CRLF
    Content-Disposition: form-data; name="file"; filename="<n>.jpg" CRLF
    Content-Type: image/pjpeg CRLF
    Content-Transfer-Encoding: binary CRLF CRLF  <block bytes> CRLF
    --B CRLF
    Content-Disposition: form-data; name="submit" CRLF CRLF  Submit CRLF
    --B-- CRLF

where B is the boundary of the Content-Type header
"multipart/form-data; boundary=B" and <n> the block's number from 1.
``parse_block_upload`` checks that layout strictly and returns its fields.
"""

import re

from .checks import bad

PART_NAMES = ["md5", "jobinstanceid", "sourcename", "file", "submit"]

_DISPOSITION = re.compile(
    r'^form-data; name="(?P<name>[^"]*)"(?:; filename="(?P<filename>[^"]*)")?$')
_BLOCK_FILE = re.compile(r"^([1-9][0-9]*)\.jpg$")


def boundary_of(content_type):
    """The boundary of a "multipart/form-data; boundary=B" header value."""
    if content_type is None:
        raise bad("the block upload has no Content-Type")
    kind, _, params = content_type.partition(";")
    if kind.strip().lower() != "multipart/form-data":
        raise bad("the block upload's Content-Type is not multipart/form-data")
    for param in params.split(";"):
        name, _, value = param.strip().partition("=")
        if name.lower() == "boundary":
            value = value.strip()
            if len(value) >= 2 and value[0] == value[-1] == '"':
                value = value[1:-1]
            if not value:
                raise bad("the multipart boundary is empty")
            return value.encode("latin-1")
    raise bad("the block upload's Content-Type has no boundary")


def split_parts(body, boundary):
    """The parts of a multipart body as (headers dict, content bytes)."""
    return [_part(raw) for raw in _raw_parts(body, boundary)]


def _raw_parts(body, boundary):
    """The parts of a multipart body, each its headers, a blank line and its content."""
    opening = b"--" + boundary + b"\r\n"
    delimiter = b"\r\n--" + boundary
    pieces = body.split(delimiter)
    # The common case at once: each boundary line ended by CRLF, the last by "--" CRLF.
    if (len(pieces) > 1 and pieces[0].startswith(opening) and pieces[-1] == b"--\r\n"
            and all(piece.startswith(b"\r\n") for piece in pieces[1:-1])):
        return [pieces[0][len(opening):]] + [piece[2:] for piece in pieces[1:-1]]
    if not body.startswith(opening):
        raise bad("the multipart body does not start with its boundary line")
    parts = []
    pos = len(opening)
    while True:
        end = body.find(delimiter, pos)
        if end < 0:
            raise bad("a multipart part is not closed by a boundary")
        parts.append(body[pos:end])
        after = end + len(delimiter)
        if body.startswith(b"--\r\n", after):
            if after + 4 != len(body):
                raise bad("bytes follow the closing multipart boundary")
            return parts
        if not body.startswith(b"\r\n", after):
            raise bad("a multipart boundary line is not ended by CRLF")
        pos = after + 2


def _part(raw):
    head, sep, content = raw.partition(b"\r\n\r\n")
    if not sep:
        raise bad("a multipart part has no blank line after its headers")
    headers = {}
    for line in head.split(b"\r\n"):
        name, colon, value = line.decode("utf-8", "replace").partition(":")
        if not colon:
            raise bad("a multipart part has a malformed header line")
        headers[name.strip().lower()] = value.strip()
    return headers, content


def parse_block_upload(content_type, body):
    """Check a block upload body; returns a dict of its fields.

    Keys: "md5", "jobinstanceid", "sourcename" (texts), "block" (the number
    from the file name), "data" (the block's bytes).
    """
    boundary = _plain_boundary(content_type)
    if boundary is not None:
        fields = _as_sent(body, boundary)
        if fields is not None:
            return fields
    raw = _raw_parts(body, boundary_of(content_type))
    fields = _laid_out_as_sent(raw)
    if fields is not None:
        return fields
    names = []
    fields = {}
    for headers, content in (_part(part) for part in raw):
        match = _DISPOSITION.match(headers.get("content-disposition", ""))
        if not match:
            raise bad("a multipart part has no form-data Content-Disposition")
        name = match.group("name")
        names.append(name)
        filename = match.group("filename")
        if name == "file":
            if filename is None:
                raise bad('the "file" part has no file name')
            number = _BLOCK_FILE.match(filename)
            if not number:
                raise bad('the "file" part\'s file name is not "<block number>.jpg"')
            if headers.get("content-type") != "image/pjpeg":
                raise bad('the "file" part\'s Content-Type is not image/pjpeg')
            if headers.get("content-transfer-encoding") != "binary":
                raise bad('the "file" part\'s Content-Transfer-Encoding is not binary')
            if set(headers) != {"content-disposition", "content-type",
                                "content-transfer-encoding"}:
                raise bad('the "file" part has unexpected headers')
            fields["block"] = int(number.group(1))
            fields["data"] = content
        else:
            if filename is not None or set(headers) != {"content-disposition"}:
                raise bad('the "%s" part must be a plain form field' % name)
            try:
                fields[name] = content.decode("utf-8")
            except UnicodeDecodeError:
                raise bad('the "%s" part is not UTF-8' % name)
    if names != PART_NAMES:
        raise bad("the multipart parts are %s, expected %s" % (names, PART_NAMES))
    if fields["submit"] != "Submit":
        raise bad('the "submit" part is not "Submit"')
    del fields["submit"]
    return fields


_TEXT_HEADS = {n: b'Content-Disposition: form-data; name="%s"\r\n\r\n' % n.encode("ascii")
               for n in ("md5", "jobinstanceid", "sourcename", "submit")}
_FILE_HEAD = re.compile(
    rb'Content-Disposition: form-data; name="file"; filename="([1-9][0-9]*)\.jpg"\r\n'
    rb"Content-Type: image/pjpeg\r\nContent-Transfer-Encoding: binary\r\n\r\n")


_PLAIN_TYPE = "multipart/form-data; boundary="
_FILE_START = b'Content-Disposition: form-data; name="file"; filename="'
_FILE_REST = b'.jpg"\r\nContent-Type: image/pjpeg\r\nContent-Transfer-Encoding: binary\r\n\r\n'
_SUBMIT = b"\r\n" + _TEXT_HEADS["submit"] + b"Submit"


def _plain_boundary(content_type):
    """The boundary of a Content-Type in the form the agent writes, as ``boundary_of`` reads
    it; None for any other form, which ``boundary_of`` then reads."""
    if content_type is None or not content_type.startswith(_PLAIN_TYPE):
        return None
    value = content_type[len(_PLAIN_TYPE):]
    if not value or ";" in value or '"' in value or value.strip() != value:
        return None
    return value.encode("latin-1")


def _as_sent(body, boundary):
    """The fields of a form laid out as the agent writes it, found at their places in the
    body: what ``_raw_parts`` and ``_laid_out_as_sent`` make of it, without a copy of each
    part; None for any other body."""
    opening = b"--" + boundary + b"\r\n"
    delimiter = b"\r\n--" + boundary
    if not body.startswith(opening):
        return None
    # The five delimiters, found as the split at them finds them, and nothing after the last.
    ends = []
    at = len(opening)
    for _ in range(5):
        end = body.find(delimiter, at)
        if end < 0:
            return None
        ends.append(end)
        at = end + len(delimiter)
        if len(ends) < 5:
            if not body.startswith(b"\r\n", at):
                return None
            at += 2
    if len(body) != at + 4 or not body.endswith(b"--\r\n"):
        return None
    starts = [len(opening)] + [end + len(delimiter) + 2 for end in ends[:4]]
    fields = {}
    for name, start, end in zip(("md5", "jobinstanceid", "sourcename"), starts, ends):
        head = _TEXT_HEADS[name]
        if not body.startswith(head, start):
            return None
        try:
            fields[name] = body[start + len(head):end].decode("utf-8")
        except UnicodeDecodeError:
            return None
    start = starts[3]
    if not body.startswith(_FILE_START, start):
        return None
    digits_at = start + len(_FILE_START)
    digits_end = body.find(_FILE_REST, digits_at, ends[3])
    if digits_end < 0:
        return None
    digits = body[digits_at:digits_end]
    if not digits.isdigit() or digits.startswith(b"0"):
        return None
    fields["block"] = int(digits)
    fields["data"] = body[digits_end + len(_FILE_REST):ends[3]]
    # The submit part: its head and "Submit", from the fourth delimiter to the fifth.
    if body[ends[3]:ends[4]] != delimiter + _SUBMIT:
        return None
    return fields


def _laid_out_as_sent(raw):
    """The fields of a form whose parts carry exactly the headers, in the order, that the agent
    writes; None for any other form, which the general check then reads."""
    if len(raw) != 5:
        return None
    fields = {}
    for name, part in zip(PART_NAMES, raw):
        if name == "file":
            head = _FILE_HEAD.match(part)
            if head is None:
                return None
            fields["block"] = int(head.group(1))
            fields["data"] = part[head.end():]
            continue
        head = _TEXT_HEADS[name]
        if not part.startswith(head):
            return None
        try:
            fields[name] = part[len(head):].decode("utf-8")
        except UnicodeDecodeError:
            return None
    if fields.pop("submit") != "Submit":
        return None
    return fields
