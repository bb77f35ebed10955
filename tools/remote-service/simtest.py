"""Helpers of the simulator's own tests: a running service and a small client.

The client builds the request bodies from the protocol's description on its
own (it shares no code with the simulator's checks), so that the tests check
the simulator against the protocol and not against itself.
"""

import hashlib
import http.client
import json
import shutil
import socket
import tempfile
import unittest
import uuid

from simulator.server import Service

BLOCK = 131072
WEB = "/tovel/WebServer/"
STORE = "/tovel/Storage%20Server/"
PATHS = {
    "login": WEB + "CommonInterface/Login.php",
    "logout": WEB + "CommonInterface/Logout.php",
    "increment_check": WEB + "catalog/FilesToBackup.php",
    "start_job": WEB + "jobs/StartJob.php",
    "stop_job": WEB + "jobs/CancelJob.php",
    "end_job": STORE + "backupServer/endjob.php",
    "submit_errors": WEB + "jobs/AddErrorFiles.php",
    "upload_file": STORE + "backupServer/uploadfile.php",
    "upload_data": STORE + "backupServer/uploadblock.php",
    "start_restore_job": WEB + "jobs/StartRestoreJob.php",
    "submit_history": WEB + "jobs/RestoreJobHistory.php",
    "get_file_info": STORE + "RestoreServer/GetFileInfo.php",
    "download_data": STORE + "RestoreServer/DownloadFileBlock.php",
    "export_key_md5": WEB + "key/ImportEncryptionKeyMd5.php",
    "get_key_md5": WEB + "key/GetEncryptionKey.php",
    "server_status": WEB + "ServerStatus.php",
}


def attributes(size=0, folder=False, mtime=(30000000, 1000)):
    """Attribute data as the file description carries it."""
    return {
        "dwFileAttributes": 0x10 if folder else 0x20,
        "nFileSizeHigh": size >> 32, "nFileSizeLow": _signed(size & 0xFFFFFFFF),
        "ftCreationTimedwHighDateTime": 30000000, "ftCreationTimedwLowDateTime": 5,
        "ftLastAccessTimedwHighDateTime": 30000000, "ftLastAccessTimedwLowDateTime": 7,
        "ftLastWriteTimedwHighDateTime": mtime[0], "ftLastWriteTimedwLowDateTime": mtime[1],
    }


def _signed(value):
    return value - (1 << 32) if value >= 1 << 31 else value


def block_form(md5, instance, source, number, data, boundary=None):
    """Content-Type and body of a block upload, laid out as the agent sends it."""
    b = boundary or str(uuid.uuid4())
    d = "--" + b + "\r\n"
    head = (d + 'Content-Disposition: form-data; name="md5"\r\n\r\n' + md5 + "\r\n"
            + d + 'Content-Disposition: form-data; name="jobinstanceid"\r\n\r\n'
            + instance + "\r\n"
            + d + 'Content-Disposition: form-data; name="sourcename"\r\n\r\n' + source + "\r\n"
            + d + 'Content-Disposition: form-data; name="file"; filename="%d.jpg"\r\n' % number
            + "Content-Type: image/pjpeg\r\nContent-Transfer-Encoding: binary\r\n\r\n")
    tail = ("\r\n" + d + 'Content-Disposition: form-data; name="submit"\r\n\r\nSubmit\r\n'
            + "--" + b + "--\r\n")
    return ("multipart/form-data; boundary=" + b,
            head.encode("utf-8") + data + tail.encode("utf-8"))


class Client:
    """One keep-alive connection to the simulator, with protocol helpers."""

    def __init__(self, port, cookie=None):
        self.port = port
        self.cookie = cookie
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)

    def close(self):
        self.conn.close()

    def raw(self, method, path, body=b"", headers=None):
        """(status, headers dict, body bytes) of one exchange."""
        h = {"Content-Length": str(len(body))}
        if self.cookie:
            h["Cookie"] = self.cookie
        h.update(headers or {})
        self.conn.request(method, path, body=body, headers=h)
        reply = self.conn.getresponse()
        data = reply.read()
        return reply.status, dict(reply.getheaders()), data

    def call(self, kind, body=None, headers=None):
        """(status, decoded JSON or None) of one catalogue request."""
        payload = b"" if body is None else json.dumps(body).encode("utf-8")
        status, _, data = self.raw("POST", PATHS[kind], payload, headers)
        try:
            return status, json.loads(data)
        except ValueError:
            return status, data

    def login(self, user, password):
        status, headers, _ = self.raw("POST", PATHS["login"],
                                      json.dumps({"name": user, "passwd": password}).encode())
        if status == 200:
            self.cookie = headers["Set-Cookie"]
        return status

    # ---------------------------------------------------------- a backup run

    def start_job(self, job, instance, **extra):
        body = {"jobdefinitionid": job, "jobinstanceid": instance, "totaldirectories": 1,
                "totalfiles": 2, "totalsize": 10, "starttime": "2024-03-05 07:04:09"}
        body.update(extra)
        return self.call("start_job", body)

    def describe(self, instance, name, size=0, folder=False, mtime=(30000000, 1000),
                 blocks=None):
        body = {"attri": attributes(size, folder, mtime),
                "type": "folder" if folder else "file", "jobinstanceid": instance,
                "sourcename": name, "totalsizeHigh": size >> 32,
                "totalsizeLow": _signed(size & 0xFFFFFFFF),
                "totalblock": 0 if folder else (size // BLOCK + 1 if blocks is None else blocks)}
        return self.call("upload_file", body)

    def block(self, instance, name, number, data, md5=None):
        ctype, body = block_form(md5 or hashlib.md5(data).hexdigest(), instance, name,
                                 number, data)
        status, _, reply = self.raw("POST", PATHS["upload_data"], body,
                                    {"Content-Type": ctype, "Accept-Encoding": "gip, deflate"})
        return status, reply

    def store_file(self, instance, name, data, mtime=(30000000, 1000)):
        """Describe a file and send all its blocks; returns the statuses."""
        statuses = [self.describe(instance, name, len(data), mtime=mtime)[0]]
        for n in range(0, len(data), BLOCK):
            statuses.append(self.block(instance, name, n // BLOCK + 1, data[n:n + BLOCK])[0])
        return statuses

    def end_job(self, instance):
        return self.call("end_job", {"jobinstanceid": instance,
                                     "endtime": "2024-03-05 08:00:00"})

    def increment(self, job, items):
        return self.call("increment_check", {
            "id": job, "source": [{"path": p, "mtimeHigh": h, "mtimeLow": l}
                                  for p, (h, l) in items]})

    # --------------------------------------------------------- a restore run

    def file_info(self, instance, path, filename, machine="PC1"):
        return self.call("get_file_info", {"machine": machine, "jobinstanceid": instance,
                                           "path": path, "filename": filename})

    def download(self, instance, path, filename, index, machine="PC1"):
        body = json.dumps({"machine": machine, "jobinstanceid": instance, "path": path,
                           "filename": filename, "blockindex": index}).encode()
        status, _, data = self.raw("POST", PATHS["download_data"], body)
        return status, data

    # ------------------------------------------------------------- control

    def control(self, method, name, body=None):
        payload = b"" if body is None else json.dumps(body).encode("utf-8")
        status, _, data = self.raw(method, "/_sim/" + name, payload)
        if status == 200 and not data.startswith((b"{", b"[")):
            return status, data
        return status, json.loads(data)


class ServiceCase(unittest.TestCase):
    """A test case with a fresh simulator on a free loopback port.

    The state folder survives ``restart`` and is removed after the test.
    """

    storage_port = None  # set to 0 in a subclass for a separate storage port

    def setUp(self):
        self.state = tempfile.mkdtemp(prefix="remote-service-test-")
        self.addCleanup(shutil.rmtree, self.state, True)
        self.service = None
        self.clients = []
        self.start_service()
        self.addCleanup(self.stop_service)
        self.admin = self.client()
        self.admin.control("POST", "accounts", {"user": "alice", "password": "secret"})
        self.admin.control("POST", "accounts", {"user": "bob", "password": "hunter2"})
        self.alice = self.client()
        self.assertEqual(self.alice.login("alice", "secret"), 200)

    def start_service(self, **kwargs):
        kwargs.setdefault("storage_port", self.storage_port)
        self.service = Service(self.state, port=0, **kwargs).start()

    def stop_service(self):
        for c in self.clients:
            c.close()
        self.clients = []
        if self.service is not None:
            self.service.stop()
            self.service = None

    def restart(self, **kwargs):
        cookie = self.alice.cookie
        self.stop_service()
        self.start_service(**kwargs)
        self.admin = self.client()
        self.alice = self.client(cookie)

    def client(self, cookie=None, port=None):
        c = Client(port or self.service.web_port, cookie)
        self.clients.append(c)
        return c

    def storage_client(self, cookie=None):
        return self.client(cookie, self.service.storage_port)

    def requests(self, kind=None):
        _, body = self.admin.control("GET", "requests" + ("?kind=" + kind if kind else ""))
        return body["requests"]

    def fault(self, **wanted):
        status, body = self.admin.control("POST", "faults", wanted)
        self.assertEqual(status, 200, body)
        return body["faults"][0]


def raw_exchange(port, request, read_timeout=2.0, then=()):
    """Send raw bytes on a new connection; returns all that came back until
    the server closed or nothing more arrived for ``read_timeout`` seconds.

    Each request of ``then`` is sent once the replies so far are complete, so
    that no request waits unread in the server when it closes.
    """
    sock = socket.create_connection(("127.0.0.1", port), timeout=read_timeout)
    pending = list(then)
    received = b""
    try:
        sock.sendall(request)
        while True:
            if pending and _replies_complete(received) == len(then) - len(pending) + 1:
                try:
                    sock.sendall(pending.pop(0))
                except OSError:
                    break
            try:
                data = sock.recv(65536)
            except (socket.timeout, ConnectionResetError):
                break
            if not data:
                break
            received += data
        return received
    finally:
        sock.close()


def _replies_complete(data):
    """How many whole replies (by Content-Length or chunked) ``data`` holds."""
    count = 0
    while True:
        head_end = data.find(b"\r\n\r\n")
        if head_end < 0:
            return count
        head = data[:head_end].decode("latin-1").lower()
        pos = head_end + 4
        if "transfer-encoding: chunked" in head:
            while True:
                line_end = data.find(b"\r\n", pos)
                if line_end < 0:
                    return count
                size = int(data[pos:line_end].split(b";")[0], 16)
                pos = line_end + 2 + size + 2
                if pos > len(data):
                    return count
                if size == 0:
                    break
        else:
            length = 0
            for line in head.split("\r\n"):
                if line.startswith("content-length:"):
                    length = int(line.split(":")[1])
            pos += length
            if pos > len(data):
                return count
        count += 1
        data = data[pos:]


def post_bytes(path, body, cookie=None, extra=""):
    """A raw keep-alive POST request with Content-Length."""
    head = "POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n" % (path, len(body))
    if cookie:
        head += "Cookie: %s\r\n" % cookie
    return (head + extra + "\r\n").encode("latin-1") + body

