"""The HTTP/1.1 servers of the simulated service.

``Service`` owns the store, the fault table, the request log and the
switches, and one or two listening servers: the web server, and, when a
separate storage port is asked for, the storage server (else the web server's
port plays both roles).  Each connection is served on its own thread with
keep-alive, by the loop of ``connection`` while its requests are plain and
no fault or switch shapes a reply (``Service.serve_plain``), else by the
standard handler (``Service.handle``); every reply is written here byte by
byte, so that the faults can cut, stall, or mislabel it.
"""

import email.utils
import http
import http.server
import io
import json
import re
import select
import socket
import struct
import sys
import threading
import time
import traceback
import urllib.parse

from . import CONTROL_PREFIX
from .catalogue import KINDS_BY_NAME, KINDS_BY_PATH, WEB, STORAGE, Context, Reply, session_token
from . import catalogue_jobs  # noqa: F401 (registers the web interface's job requests)
from . import catalogue_machines  # noqa: F401  (registers its request kinds)
from . import catalogue_updates  # noqa: F401  (registers its kinds)
from . import consistent_check  # noqa: F401 (registers the consistent check's requests)
from .checks import ApiError, bad
from .connection import Connection, Prefixed
from .control import Control
from .faults import FaultTable
from .heads import HeadTooLarge, read_head, read_plain_head
from .store import SESSION_COOKIE, Store

# The events that tell a client has left or half-closed its side; select
# lacks POLLRDHUP on some interpreters, whose value on Linux is 0x2000.
_GONE = getattr(select, "POLLRDHUP", 0x2000) | select.POLLHUP | select.POLLERR

SERVER_NAME = "remote-service-simulator"
MAX_BODY = 64 * 1024 * 1024
MAX_LOGGED_BODY = 4096
LOG_LIMIT = 20000
"""Requests that the log keeps by default: the last ones, so that a long run keeps a bounded
amount of memory."""

DEFAULT_SETTINGS = {
    "chunked": False,          # every reply chunked
    "chunk_size": 4096,        # bytes per chunk of a chunked reply
    "chunk_extension": False,  # add ";sim=1" to every chunk-size line
    "keep_alive": True,        # false: every reply closes its connection
    "storage_host": None,      # host that Start Job names (None: the bind host)
    "storage_port": None,      # port that Start Job names (None: the real one)
    "session_ttl": 0,          # seconds a session lives unused (0: for ever)
    "verbose": False,          # one line per request on standard error
}

class BodyError(ApiError):
    """A request body that cannot be read: the connection is closed after."""


class RequestLog:
    """The last ``limit`` requests that arrived outside the control endpoints, in order.

    Numbers (``seq``) go on from 1 for the life of the service; when more
    than ``limit`` entries are held the oldest are dropped (0: none is).  An
    entry keeps the request's header fields as the list they came in, made
    into a dict when read.
    """

    def __init__(self, limit=LOG_LIMIT):
        self.limit = limit
        self._entries = []
        self._first = 0  # index in _entries of the oldest entry still kept
        self._next = 1
        self._lock = threading.Lock()

    def add(self, entry):
        with self._lock:
            entry["seq"] = self._next
            self._next += 1
            self._entries.append(entry)
            if self.limit and len(self._entries) - self._first > self.limit:
                self._first += 1
                if self._first >= self.limit:  # drop the dead half at once
                    del self._entries[:self._first]
                    self._first = 0

    def since(self, seq=0, kind=None):
        with self._lock:
            kept = self._entries[self._first:]
            if kept:
                kept = kept[max(0, seq + 1 - kept[0]["seq"]):]
            return [dict(e, headers=dict(e["headers"])) for e in kept
                    if e["seq"] > seq and (kind is None or e["kind"] == kind)]

    def clear(self):
        with self._lock:
            self._entries = []
            self._first = 0


_VERSION = re.compile(r"HTTP/(\d{1,10})\.(\d{1,10})")


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    rbufsize = 1 << 18  # a whole block upload in a few reads
    server_version = SERVER_NAME
    sys_version = ""

    def parse_request(self):
        """Read the request line of ``raw_requestline`` and the head after it.

        Answers as the standard handler does: False after an error reply
        (400 for a malformed line or version, 505 from HTTP/2 on, 431 for a
        head too large), else True with ``command``, ``path``,
        ``request_version`` and ``headers`` set and ``close_connection``
        telling whether the connection ends after this request.
        """
        self.command = None
        self.request_version = version = self.default_request_version
        self.close_connection = True
        self.requestline = line = self.raw_requestline.decode("iso-8859-1").rstrip("\r\n")
        words = line.split()
        if not words:
            return False
        if len(words) >= 3:
            version = words[-1]
            number = _VERSION.fullmatch(version)
            if number is None:
                self.send_error(http.HTTPStatus.BAD_REQUEST,
                                "Bad request version (%r)" % version)
                return False
            major, minor = int(number.group(1)), int(number.group(2))
            if (major, minor) >= (2, 0):
                self.send_error(http.HTTPStatus.HTTP_VERSION_NOT_SUPPORTED,
                                "Invalid HTTP version (%s)" % version[5:])
                return False
            if (major, minor) >= (1, 1):
                self.close_connection = False
            self.request_version = version
        if len(words) > 3 or len(words) < 2:
            self.send_error(http.HTTPStatus.BAD_REQUEST, "Bad request syntax (%r)" % line)
            return False
        command, path = words[0], words[1]
        if len(words) == 2:
            self.close_connection = True
            if command != "GET":
                self.send_error(http.HTTPStatus.BAD_REQUEST,
                                "Bad HTTP/0.9 request type (%r)" % command)
                return False
        if path.startswith("//"):
            path = "/" + path.lstrip("/")
        self.command, self.path = command, path
        try:
            self.headers = read_plain_head(self.rfile) or read_head(self.rfile)
        except HeadTooLarge as exc:
            self.send_error(http.HTTPStatus.REQUEST_HEADER_FIELDS_TOO_LARGE,
                            "Line too long" if str(exc) == "header line" else "Too many headers",
                            str(exc))
            return False
        connection = self.headers.get("Connection", "").lower()
        if connection == "close":
            self.close_connection = True
        elif connection == "keep-alive":
            self.close_connection = False
        if (self.headers.get("Expect", "").lower() == "100-continue"
                and self.request_version >= "HTTP/1.1"):
            return self.handle_expect_100()
        return True

    held = b""  # what the connection received before this handler took it over

    @classmethod
    def taking_over(cls, request, client_address, server, held):
        """Serve a connection to its end, reading ``held`` before the socket."""
        handler = cls.__new__(cls)
        handler.held = held
        handler.__init__(request, client_address, server)

    def setup(self):
        idle = self.server.service.idle_timeout
        if idle:
            self.timeout = idle
        super().setup()
        if self.held:
            self.rfile.close()
            self.rfile = io.BufferedReader(
                Prefixed(self.held, self.connection.makefile("rb", 0)), self.rbufsize)

    def _dispatch(self):
        self.server.service.handle(self)

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = _dispatch
    do_HEAD = _dispatch

    def log_message(self, fmt, *args):
        if self.server.service.setting("verbose"):
            sys.stderr.write("[%s] %s\n" % (self.server.role, fmt % args))


class _Listener(http.server.ThreadingHTTPServer):
    """A listening server: each connection is served by a ``Connection`` on a thread of its
    own, which hands what it does not serve itself to ``handler_class``."""

    daemon_threads = True
    allow_reuse_address = True
    handler_class = _Handler

    def __init__(self, address, service, role):
        self.service = service
        self.role = role
        self._open = set()
        self._open_lock = threading.Lock()
        super().__init__(address, Connection)

    @property
    def port(self):
        return self.server_address[1]

    def process_request(self, request, client_address):
        with self._open_lock:
            self._open.add(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request):
        with self._open_lock:
            self._open.discard(request)
        super().shutdown_request(request)

    def drop_connections(self):
        """Cut every open connection (their threads then end)."""
        with self._open_lock:
            for sock in self._open:
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass


class Service:
    """The simulated remote service: its state, faults, log and servers."""

    def __init__(self, state_dir, host="127.0.0.1", port=0, storage_port=None,
                 idle_timeout=0, forget_sessions=False, log_limit=LOG_LIMIT):
        self.store = Store(state_dir, forget_sessions=forget_sessions)
        self.faults = FaultTable(KINDS_BY_NAME)
        self.log = RequestLog(log_limit)
        self.control = Control(self)
        self.idle_timeout = idle_timeout
        self.host = host
        self.stopping = threading.Event()
        self._settings = dict(DEFAULT_SETTINGS)
        self._settings_lock = threading.Lock()
        self._plain = _plain_settings(self._settings)
        self.web = _Listener((host, port), self, WEB)
        self.storage = None
        if storage_port is not None:
            self.storage = _Listener((host, storage_port), self, STORAGE)
        self._threads = []

    # ----------------------------------------------------------- lifecycle

    def start(self):
        for listener in self.listeners():
            thread = threading.Thread(target=listener.serve_forever,
                                      kwargs={"poll_interval": 0.1},
                                      name="%s-server" % listener.role, daemon=True)
            thread.start()
            self._threads.append(thread)
        return self

    def stop(self):
        self.stopping.set()
        for listener in self.listeners():
            if self._threads:
                listener.shutdown()
            listener.server_close()
            listener.drop_connections()
        for thread in self._threads:
            thread.join()
        self.store.close()

    def listeners(self):
        return [self.web] + ([self.storage] if self.storage else [])

    @property
    def web_port(self):
        return self.web.port

    @property
    def storage_port(self):
        return self.storage.port if self.storage else self.web.port

    @property
    def split(self):
        """True when the storage server has a port of its own."""
        return self.storage is not None

    def storage_address(self):
        """Host and port that the Start Job reply names."""
        host = self.setting("storage_host") or self.host
        port = self.setting("storage_port") or self.storage_port
        return host, port

    # ------------------------------------------------------------ settings

    def setting(self, name):
        with self._settings_lock:
            return self._settings[name]

    def settings(self):
        with self._settings_lock:
            return dict(self._settings)

    def change_settings(self, changes):
        """Change some switches; unknown names or bad values are refused."""
        if not isinstance(changes, dict):
            raise bad("settings must be a JSON object")
        checks = {
            "chunked": lambda v: isinstance(v, bool),
            "chunk_extension": lambda v: isinstance(v, bool),
            "keep_alive": lambda v: isinstance(v, bool),
            "verbose": lambda v: isinstance(v, bool),
            "chunk_size": lambda v: type(v) is int and v >= 1,
            "storage_host": lambda v: v is None or isinstance(v, str),
            "storage_port": lambda v: v is None or (type(v) is int and 0 <= v <= 65535),
            "session_ttl": lambda v: type(v) in (int, float) and v >= 0,
        }
        for name, value in changes.items():
            if name not in checks:
                raise bad("unknown setting %r" % name)
            if not checks[name](value):
                raise bad("bad value of setting %r" % name)
        with self._settings_lock:
            self._settings.update(changes)
            self._plain = _plain_settings(self._settings)
            return dict(self._settings)

    def configure(self, config):
        """Apply a start-up configuration (see the README for its form)."""
        if not isinstance(config, dict):
            raise bad("the configuration must be a JSON object")
        for account in config.get("accounts", []):
            self.store.set_account(account["user"], account["password"])
            for cookie in account.get("cookies", []):
                token = session_token(cookie) or cookie
                self.store.open_session(account["user"], token)
        for job in config.get("jobs", []):
            self.store.set_job(job["id"], owner=job.get("owner"),
                               compression=job.get("compression"))
        for user, md5 in config.get("keys", {}).items():
            self.store.set_key_md5(user, md5)
        for fault in config.get("faults", []):
            self.faults.add(fault)
        self.change_settings(config.get("settings", {}))

    # ------------------------------------------------------------ requests

    def handle(self, h):
        """Serve one request on handler ``h``."""
        raw_path, _, query = h.path.partition("?")
        path = _decoded_path(raw_path)
        if path.startswith(CONTROL_PREFIX):
            self._handle_control(h, path, query)
            return
        kind, served, entry = self._arrival(h, path)
        fault = self.faults.take(kind.name) if served else None
        if fault is not None:
            entry["fault"] = fault.action
        if fault is not None and fault.action == "stall" and fault.get("at") == "request":
            entry["status"] = None
            self.log.add(entry)
            self._stall(h, fault.get("seconds"))
            return
        try:
            body = self._read_body(h)
        except BodyError as exc:
            h.close_connection = True
            self._finish(h, Reply.error(exc.status, exc.message), None, entry)
            return
        except ConnectionError:
            h.close_connection = True
            entry["status"] = None
            entry["error"] = "the connection closed inside the body"
            self.log.add(entry)
            return
        entry["body_length"] = len(body)
        reply = self._answer(h, raw_path, kind, served, body, fault, entry)
        self._finish(h, reply, fault, entry)
        # The reply is out: the writes it queued are made while the client reads it.
        self.store.flush()

    def plain(self):
        """Whether requests are answered as they are, with no fault in force and the switches
        that shape a reply (chunked, keep_alive, verbose) as they start."""
        return self._plain and not self.faults.any()

    def max_body(self):
        """The largest request body taken, in bytes."""
        return MAX_BODY

    def serve_plain(self, h, method, target, body, close):
        """Serve one request read whole, while ``plain``: the reply's bytes, and whether the
        connection closes after them; None, with nothing done, for a control endpoint.

        ``h`` carries the request's ``headers``, ``command``, ``path`` and ``server``; the
        caller writes the reply and then flushes the store.
        """
        raw_path = target.partition("?")[0]
        path = _decoded_path(raw_path)
        if path.startswith(CONTROL_PREFIX):
            return None
        kind, served, entry = self._arrival(h, path)
        entry["body_length"] = len(body)
        reply = self._answer(h, raw_path, kind, served, body, None, entry)
        entry["status"] = reply.status
        self.log.add(entry)
        return _plain_reply(reply, method, close), close

    def _arrival(self, h, path):
        """The kind of a request (or None), whether this server serves it, and its log entry."""
        kind = KINDS_BY_PATH.get(path)
        by_method = getattr(kind, "by_method", None)
        if by_method is not None:
            kind = by_method.get(h.command, kind)
        served = kind is not None and kind.serves(h.server.role, self.split)
        entry = {
            "time": time.time(), "method": h.command, "path": h.path,
            "kind": kind.name if kind else None, "role": h.server.role,
            "port": h.server.port, "headers": h.headers.items(),
        }
        return kind, served, entry

    def _answer(self, h, raw_path, kind, served, body, fault, entry):
        """The reply to a request whose body is read."""
        if kind is None or not served:
            return Reply.error(404, "no such request: %s" % raw_path)
        if h.command != kind.method:
            return Reply.error(405, "%s takes %s" % (raw_path, kind.method),
                               [("Allow", kind.method)])
        return self._serve(h, kind, body, fault, entry)

    def _serve(self, h, kind, body, fault, entry):
        """Carry out one request of the catalogue (unless a fault forbids)."""
        ctx = Context(self, kind, h.headers, body, h.server.role)
        if fault is None or fault.process:
            try:
                with self.store.lock:
                    self.store.flush()
                    if kind.auth:
                        self._authenticate(ctx)
                    value = ctx.parse_body()
                    entry["body"] = _loggable(value)
                    reply = kind.handler(ctx, value)
                    if (fault is not None and fault.action == "rotate_cookie"
                            and ctx.token and reply.status == 200):
                        fresh = self.store.rotate_session(ctx.token)
                        reply.headers.append(("Set-Cookie", "%s=%s" % (SESSION_COOKIE, fresh)))
            except ApiError as exc:
                reply = Reply.error(exc.status, exc.message, exc.headers)
            except Exception as exc:  # a fault of the simulator itself
                traceback.print_exc()
                reply = Reply.error(500, "internal error of the simulator: %r" % exc)
            entry["user"] = ctx.user
            entry.update(ctx.note)
            if reply.status != 200 and reply.content_type == "application/json":
                entry["error"] = json.loads(reply.body).get("error")
        else:
            # Not carried out: unless the fault makes its own reply, the
            # client is told that all went well.
            reply = Reply.ok()
        if fault is not None:
            reply = self._fault_reply(h, fault, reply)
        return reply

    def _authenticate(self, ctx):
        cookie = ctx.headers.get("Cookie")
        token = _tokens.get(cookie)
        if token is None:
            token = session_token(cookie)
            if cookie is not None and len(_tokens) < 64:
                _tokens[cookie] = token
        user = self.store.session_user(token, self._settings["session_ttl"]) if token else None
        if user is None:
            raise ApiError(401, "no valid session cookie" if token is None
                           else "the session is unknown or has expired")
        ctx.user = user
        ctx.token = token

    def _fault_reply(self, h, fault, reply):
        """The reply as a refusing, redirecting or body-spoiling fault makes it."""
        action = fault.action
        if action == "status":
            status = fault.get("status", 500)
            text = fault.get("body")
            if text is not None:
                return Reply(status, text.encode("utf-8"), "text/plain")
            return Reply.error(status, "refused by a fault")
        if action == "redirect":
            template = fault.get("location", "http://{host}:{port}{path}")
            location = template.format(host=_host_of(h.headers.get("Host")) or self.host,
                                       port=h.server.port,
                                       web_port=self.web_port,
                                       storage_port=self.storage_port, path=h.path)
            return Reply(fault.get("status", 302), b"", "text/plain",
                         [("Location", location)])
        if action == "malformed_json":
            return Reply(reply.status, reply.body[:max(1, len(reply.body) // 2)],
                         reply.content_type, reply.headers)
        if action == "body":
            return Reply(fault.get("status", reply.status),
                         fault.get("body", "").encode("utf-8"),
                         fault.get("content_type", reply.content_type), reply.headers)
        return reply

    # --------------------------------------------------------------- wire

    def _read_body(self, h):
        """The request body, by Content-Length or chunked."""
        encoding = h.headers.get("Transfer-Encoding")
        if encoding is not None:
            if encoding.strip().lower() != "chunked":
                raise BodyError(400, "unsupported Transfer-Encoding %s" % encoding)
            return _read_chunked(h.rfile)
        length = h.headers.get("Content-Length")
        if length is None:
            if h.command in ("POST", "PUT", "PATCH"):
                raise BodyError(411, "a request body needs Content-Length or chunking")
            return b""
        if not length.strip().isdigit():
            raise BodyError(400, "malformed Content-Length %r" % length)
        length = int(length)
        if length > MAX_BODY:
            raise BodyError(413, "a body of %d bytes is too large" % length)
        data = h.rfile.read(length)
        if len(data) < length:
            raise ConnectionError("short body")
        return data

    def _finish(self, h, reply, fault, entry):
        """Log the request and write its reply, as the fault has it."""
        settings = self.settings()
        action = fault.action if fault is not None else None
        close = h.close_connection or not settings["keep_alive"] or action == "close"
        headers = [("Date", _http_date()),
                   ("Server", SERVER_NAME), ("Content-Type", reply.content_type)]
        headers += reply.headers
        if action == "header":
            headers.append((fault.get("name"), fault.get("value", "")))
        if action == "headers":
            for name, value in fault.get("headers", {}).items():
                headers = [(n, v) for n, v in headers if n.lower() != name.lower()]
                headers.append((name, value))
        body = reply.body
        close_after_body = False
        chunked_fault = action in ("chunked", "bad_chunk") or (
            action == "trickle" and fault.get("chunk_size"))
        if settings["chunked"] or chunked_fault:
            size = fault.get("chunk_size") if action in ("chunked", "trickle") else None
            headers.append(("Transfer-Encoding", "chunked"))
            payload = _chunked(body, size or settings["chunk_size"],
                               settings["chunk_extension"])
            if action == "bad_chunk":
                # The first chunk, then a size line that is no number.
                first = payload.find(b"\r\n", payload.find(b"\r\n") + 2) + 2
                payload = payload[:first] + b"zz\r\n" + payload[first:]
                close_after_body = True
        else:
            length = len(body)
            if action == "content_length":
                delta = fault.get("delta", 16)
                length = max(0, length + delta)
                close_after_body = delta > 0 and fault.get("close", True)
            if not getattr(reply, "omit_length", False):
                headers.append(("Content-Length", str(length)))
            payload = body
        if h.command == "HEAD":
            payload = b""  # the head tells the length of what GET would send
        headers.append(("Connection", "close" if close else "keep-alive"))
        phrase = _phrase(reply.status)
        head = "HTTP/1.1 %d %s\r\n" % (reply.status, phrase)
        head += "".join("%s: %s\r\n" % (name, value) for name, value in headers) + "\r\n"
        data = head.encode("latin-1") + payload
        h.close_connection = close or close_after_body
        entry["status"] = reply.status
        self.log.add(entry)
        if settings["verbose"]:
            sys.stderr.write("[%s] %s %s -> %d%s\n" % (
                h.server.role, h.command, h.path, reply.status,
                " (fault %s)" % action if action else ""))
        try:
            if action == "delay":
                self.stopping.wait(fault.get("seconds", 1))
            if action == "drop":
                h.wfile.write(data[:fault.get("after", 0)])
                _abort(h, fault.get("reset", False))
            elif action == "stall":
                self._stall(h, fault.get("seconds"))
            elif action == "trickle":
                start = len(head) if fault.get("at", "head") == "body" else 0
                self._trickle(h, data, start, fault.get("interval", 1.0))
            else:
                h.wfile.write(data)
                if close_after_body:
                    _abort(h, False)
        except OSError:
            h.close_connection = True

    def _trickle(self, h, data, start, interval):
        """Send data[:start] at once, then one byte per interval, until the
        whole reply is out, the client leaves, or the simulator stops."""
        h.close_connection = True
        poller = select.poll()
        poller.register(h.connection, _GONE)
        h.wfile.write(data[:start])
        h.wfile.flush()
        for at in range(start, len(data)):
            if self.stopping.wait(interval) or poller.poll(0):
                break
            h.wfile.write(data[at:at + 1])
            h.wfile.flush()
        _abort(h, False)

    def _stall(self, h, seconds):
        """Answer nothing until the client leaves, time runs out, or the end."""
        h.close_connection = True
        poller = select.poll()
        poller.register(h.connection, _GONE)
        deadline = None if seconds is None else time.monotonic() + seconds
        while not self.stopping.is_set():
            if deadline is not None and time.monotonic() >= deadline:
                break
            if poller.poll(100):
                break
        _abort(h, False)

    def _handle_control(self, h, path, query):
        try:
            body = self._read_body(h)
            self.store.flush()
            reply = self.control.handle(h.command, path, query, body)
        except BodyError as exc:
            h.close_connection = True
            reply = Reply.error(exc.status, exc.message)
        except ApiError as exc:
            reply = Reply.error(exc.status, exc.message)
        except ConnectionError:
            h.close_connection = True
            return
        head = "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %d\r\n\r\n" % (
            reply.status, _phrase(reply.status), reply.content_type, len(reply.body))
        try:
            h.wfile.write(head.encode("latin-1") + reply.body)
        except OSError:
            h.close_connection = True


def _plain_settings(settings):
    """Whether the switches leave every reply as ``_plain_reply`` makes it."""
    return not settings["chunked"] and settings["keep_alive"] and not settings["verbose"]


# The session token of each Cookie header seen lately.
_tokens = {}


def _plain_reply(reply, method, close):
    """The bytes of a reply as ``Service._finish`` writes it when no fault and no switch
    shapes it."""
    body = reply.body
    _renew_reply_heads()
    if not reply.headers and method != "HEAD" and not getattr(reply, "omit_length", False):
        key = (reply.status, reply.content_type, len(body), close)
        head = _reply_heads.get(key)
        if head is None:
            head = _reply_start(reply.status, reply.content_type) + (
                "Content-Length: %d\r\nConnection: %s\r\n\r\n"
                % (len(body), "close" if close else "keep-alive")).encode("latin-1")
            if len(_reply_heads) < 4096:
                _reply_heads[key] = head
        return head + body
    fields = "".join("%s: %s\r\n" % field for field in reply.headers)
    if not getattr(reply, "omit_length", False):
        fields += "Content-Length: %d\r\n" % len(body)
    fields += "Connection: close\r\n\r\n" if close else "Connection: keep-alive\r\n\r\n"
    if method == "HEAD":
        body = b""  # the head tells the length of what GET would send
    return b"".join((_reply_start(reply.status, reply.content_type),
                     fields.encode("latin-1"), body))


# The starts of replies (to their Content-Type field) and whole heads of replies without
# fields of their own, made in the second of _reply_second.
_reply_starts = {}
_reply_heads = {}
_reply_second = None


def _renew_reply_heads():
    global _reply_starts, _reply_heads, _reply_second
    second = int(time.time())
    if second != _reply_second:
        _reply_starts, _reply_heads, _reply_second = {}, {}, second


def _reply_start(status, content_type):
    """The status line, Date, Server and Content-Type fields of a reply (after
    ``_renew_reply_heads``)."""
    start = _reply_starts.get((status, content_type))
    if start is None:
        start = ("HTTP/1.1 %d %s\r\nDate: %s\r\nServer: %s\r\nContent-Type: %s\r\n" % (
            status, _phrase(status), email.utils.formatdate(_reply_second, usegmt=True),
            SERVER_NAME, content_type)).encode("latin-1")
        _reply_starts[(status, content_type)] = start
    return start


_decoded_paths = {}


def _decoded_path(raw):
    """The percent-decoded path; the few paths of the catalogue are decoded once."""
    path = _decoded_paths.get(raw)
    if path is None:
        path = urllib.parse.unquote(raw)
        if len(_decoded_paths) < 1024:
            _decoded_paths[raw] = path
    return path


_date_cache = (None, "")


def _http_date():
    """The Date header's text, made once a second (every reply carries one)."""
    global _date_cache
    now = int(time.time())
    second, text = _date_cache
    if second != now:
        text = email.utils.formatdate(now, usegmt=True)
        _date_cache = (now, text)
    return text


def _host_of(header):
    """The host of a Host header value, without its port."""
    if not header:
        return None
    if header.endswith("]") or ":" not in header:
        return header
    return header.rpartition(":")[0]


_PHRASES = {status.value: status.phrase for status in http.HTTPStatus}


def _phrase(status):
    return _PHRASES.get(status, "Unknown")


def _loggable(value):
    """What the request log keeps of a checked body."""
    if isinstance(value, dict) and "data" in value and isinstance(value["data"], bytes):
        return {k: v for k, v in value.items() if k != "data"}
    if isinstance(value, bytes):
        return value[:MAX_LOGGED_BODY].decode("utf-8", "replace")
    return value


def _read_chunked(rfile):
    """A chunked request body; trailers are read and dropped."""
    parts = []
    total = 0
    while True:
        line = rfile.readline(1024)
        if not line:
            raise ConnectionError("closed inside a chunked body")
        if not line.endswith(b"\r\n"):
            raise BodyError(400, "a chunk-size line is not ended by CRLF")
        size_text = line[:-2].split(b";", 1)[0].strip()
        try:
            size = int(size_text, 16)
        except ValueError:
            raise BodyError(400, "malformed chunk size %r" % size_text)
        if size == 0:
            while True:
                trailer = rfile.readline(8192)
                if not trailer:
                    raise ConnectionError("closed inside the trailers")
                if trailer == b"\r\n":
                    return b"".join(parts)
        total += size
        if total > MAX_BODY:
            raise BodyError(413, "the chunked body is too large")
        data = rfile.read(size)
        if len(data) < size:
            raise ConnectionError("closed inside a chunk")
        parts.append(data)
        if rfile.read(2) != b"\r\n":
            raise BodyError(400, "a chunk is not followed by CRLF")


def _chunked(body, size, extension):
    """A body in chunked encoding, ending with the empty last chunk."""
    ext = b";sim=1" if extension else b""
    out = []
    for start in range(0, len(body), size):
        piece = body[start:start + size]
        out.append(b"%x%s\r\n%s\r\n" % (len(piece), ext, piece))
    out.append(b"0%s\r\n\r\n" % ext)
    return b"".join(out)


def _abort(h, reset):
    """Close the connection now: with FIN, or with a TCP reset."""
    h.close_connection = True
    sock = h.connection
    try:
        if reset:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            h.rfile.close()
            h.wfile.close()
            h.wfile = io.BytesIO()  # the request loop flushes it once more
            sock.close()
        else:
            sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
