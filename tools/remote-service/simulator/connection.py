"""The request loop of one connection, for requests in the form that clients send.

``Connection`` reads the requests of its socket itself while each is plain: a request line
"METHOD /target HTTP/1.1", a head whose every line is one field, at most MAX_HEAD_FIELDS of
them in under MAX_HEAD_LINE bytes, no Expect or Transfer-Encoding field, a body of
Content-Length bytes (none without it on a GET, DELETE, OPTIONS or HEAD), and the service with
no fault in force, its switches as they start and no idle timeout (``Service.serve_plain``
then answers).  The first request that is not plain, from its first byte on, and every request
after it on the connection, go to the listener's general handler (``handler_class``), which
reads on from the bytes already received; it answers every request alike, this loop only costs
less per request.

One thread per connection runs ``handle``; the socket belongs to the listener, which closes it.
"""

import io
import re
import socketserver

from .heads import MAX_HEAD_FIELDS, MAX_HEAD_LINE, PLAIN_FIELDS, Head

_REQUEST_LINE = re.compile(rb"(GET|POST|PUT|DELETE|PATCH|OPTIONS|HEAD) (/[!-~]*) HTTP/1\.1")
_NEEDS_LENGTH = ("POST", "PUT", "PATCH")
_READ_SIZE = 1 << 18


class Connection(socketserver.BaseRequestHandler):
    """One accepted connection, served until the client or the reply closes it."""

    headers = None  # the head of the request being served (a ``Head``)

    def handle(self):
        service = self.server.service
        sock = self.request
        held = b""  # what came and is not served yet
        if service.idle_timeout:
            self._hand_over(held)
            return
        scratch = bytearray(_READ_SIZE)
        view = memoryview(scratch)
        while True:
            end = held.find(b"\r\n\r\n")
            while end < 0:
                if len(held) > MAX_HEAD_LINE:
                    self._hand_over(held)
                    return
                try:
                    got = sock.recv_into(scratch)
                except OSError:
                    return
                if not got:
                    if held:
                        self._hand_over(held)
                    return
                held = held + view[:got] if held else bytes(view[:got])
                end = held.find(b"\r\n\r\n", max(0, len(held) - got - 3))
            request = self._plain_head(held, end)
            if request is None or not service.plain():
                self._hand_over(held)
                return
            method, target, length, close = request
            total = end + 4 + length
            if len(held) < total:
                # The rest of the body, in pieces joined once.
                pieces = [held]
                size = len(held)
                while size < total:
                    try:
                        got = sock.recv_into(scratch)
                    except OSError:
                        return
                    if not got:
                        self._hand_over(b"".join(pieces))
                        return
                    pieces.append(bytes(view[:got]))
                    size += got
                held = b"".join(pieces)
            # A fault may have been put in force while the body came.
            if not service.plain():
                self._hand_over(held)
                return
            body = held[end + 4:total]
            answer = service.serve_plain(self, method, target, body, close)
            if answer is None:
                self._hand_over(held)
                return
            held = held[total:]
            data, close = answer
            try:
                sock.sendall(data)
            except OSError:
                return
            # The reply is out: the writes it queued are made while the client reads it.
            service.store.flush()
            if close:
                return

    def _plain_head(self, held, end):
        """(method, target, body length, close) of a plain head ending at ``end``, with
        ``headers``, ``command`` and ``path`` set; None for any other head."""
        known = _known(held[:end])
        if known is None:
            return None
        head, method, target, length, close = known
        if length > self.server.service.max_body():
            return None
        self.headers = head
        self.command = method
        self.path = target
        return method, target, length, close

    def _hand_over(self, held):
        """Serve the rest of the connection with the general handler, ``held`` first."""
        self.server.handler_class.taking_over(self.request, self.client_address, self.server,
                                              bytes(held))


# The heads read lately, by their bytes: a client sends the same few heads again and again,
# and heads that differ only in their multipart boundary, by their bytes without it.
_known_heads = {}
_known_forms = {}
_KNOWN_HEADS = 4096
_BOUNDARY = b"\r\nContent-Type: multipart/form-data; boundary="


def _known(raw):
    """``_read_plain`` of a head's bytes, by the heads read lately when it can."""
    known = _known_heads.get(raw)
    if known is not None:
        return known
    at = raw.find(_BOUNDARY)
    if at < 0:
        return _remember(_known_heads, raw, _read_plain(raw))
    value_at = at + len(_BOUNDARY)
    value_end = raw.find(b"\r\n", value_at)
    if value_end < 0:
        value_end = len(raw)
    boundary = raw[value_at:value_end]
    if b"\r" in boundary or b"\n" in boundary:
        return _read_plain(raw)
    masked = raw[:value_at] + raw[value_end:]
    form = _known_forms.get(masked)
    if form is None:
        known = _read_plain(raw)
        if known is None:
            return None
        fields = known[0].items()
        types = [n for n, (name, _) in enumerate(fields) if name.lower() == "content-type"]
        if len(types) == 1:
            _remember(_known_forms, masked, (known[0], types[0]) + known[1:])
        return known
    head, index, method, target, length, close = form
    value = (_BOUNDARY[16:] + boundary).decode("iso-8859-1")
    return head.with_value(index, value), method, target, length, close


def _remember(table, key, value):
    if value is not None:
        if len(table) >= _KNOWN_HEADS:
            table.clear()
        table[key] = value
    return value


def _read_plain(raw):
    """(head, method, target, body length, close) of the bytes of a plain head up to the
    blank line; None for any other."""
    line_end = raw.find(b"\r\n")
    if line_end < 0:
        line_end = len(raw)
    if line_end > MAX_HEAD_LINE or len(raw) >= MAX_HEAD_LINE:
        return None
    line = _REQUEST_LINE.fullmatch(raw, 0, line_end)
    if line is None or raw.startswith(b"//", line.start(2)):
        return None
    text = raw[line_end + 2:].decode("iso-8859-1") + "\r\n" if line_end < len(raw) else ""
    fields = PLAIN_FIELDS.findall(text)
    # Each field ends its line, and starts one: every line is a field when there are as
    # many fields as line ends.
    if len(fields) != text.count("\n") or len(fields) > MAX_HEAD_FIELDS:
        return None
    head = Head(fields)
    if "expect" in head or "transfer-encoding" in head:
        return None
    method = line.group(1).decode("ascii")
    length = head.get("Content-Length")
    if length is None:
        if method in _NEEDS_LENGTH:
            return None
        length = 0
    elif length.isascii() and length.isdigit():
        length = int(length)
    else:
        return None
    close = (head.get("Connection") or "").lower() == "close"
    return head, method, line.group(2).decode("ascii"), length, close


class Prefixed(io.RawIOBase):
    """A raw reader that gives ``held`` first and then what ``raw`` reads; owns ``raw``."""

    def __init__(self, held, raw):
        super().__init__()
        self._held = memoryview(held)
        self._raw = raw

    def readable(self):
        return True

    def readinto(self, buffer):
        if self._held:
            n = min(len(buffer), len(self._held))
            buffer[:n] = self._held[:n]
            self._held = self._held[n:]
            return n
        return self._raw.readinto(buffer)

    def close(self):
        if not self.closed:
            self._raw.close()
        super().close()
