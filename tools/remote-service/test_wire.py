"""The request heads as the simulator reads them, and its queued writes."""

import hashlib
import http.client
import io
import json
import os
import re
import shutil
import socket
import tempfile
import time
import unittest

from simtest import (BLOCK, PATHS, ServiceCase, _replies_complete, attributes, block_form,
                     post_bytes, raw_exchange)
from simulator.heads import read_head
from simulator.server import Service

RUN = "run-w"


class HeadTest(unittest.TestCase):
    """The simulator's head reader against the standard library's parser."""

    HEADS = [
        b"Host: 127.0.0.1\r\nContent-Length: 5\r\n\r\n",
        b"host:a\r\nHOST: b\r\ncOOkie: sid=1; x=2\r\nEmpty:\r\nSpaced:  \t v w \r\n\r\n",
        # A folded field, and one that a blank line ends early.
        b"X-Long: one\r\n two\r\n\tthree\r\nAfter: 1\r\n\r\n",
        # The first line that is no field ends the fields.
        b"A: 1\r\nno colon here\r\nB: 2\r\n\r\n",
        b"A: 1\r\nBad Name: 2\r\nC: 3\r\n\r\n",
        b" leading: 1\r\nA: 2\r\n\r\n",
        b"A: 1\nB: 2\n\n",
        b"Latin: caf\xe9\r\n\r\n",
        b"",
    ]

    def test_fields_match_the_standard_parser(self):
        for raw in self.HEADS:
            with self.subTest(raw=raw):
                ours = read_head(io.BytesIO(raw))
                theirs = http.client.parse_headers(io.BytesIO(raw))
                self.assertEqual(ours.items(), list(theirs.items()))
                for name in ("host", "Host", "COOKIE", "x-long", "A", "B", "C", "missing"):
                    self.assertEqual(ours.get(name), theirs.get(name))

    def test_malformed_request_lines_and_large_heads(self):
        port = self._service_port()
        cases = [
            # Without a valid version the error goes out as to an HTTP/0.9 client: no head.
            (b"GET / HTTP/1.x\r\n\r\n", b"<!DOCTYPE", b"Error code: 400"),
            (b"GET / HTTP/2.0\r\n\r\n", b"<!DOCTYPE", b"Error code: 505"),
            (b"GET / HTTP/1.1 extra\r\n\r\n", b"<!DOCTYPE", b"Error code: 400"),
            (b"POST /\r\n\r\n", b"<!DOCTYPE", b"Error code: 400"),
            (b"GET / HTTP/1.1\r\n" + b"A: 1\r\n" * 101 + b"\r\n", b"HTTP/1.1 431 ",
             b"Too many headers"),
            (b"GET / HTTP/1.1\r\nA: " + b"x" * 70000 + b"\r\n\r\n", b"HTTP/1.1 431 ",
             b"Line too long"),
            (b"GET /tovel/WebServer/ServerStatus.php HTTP/1.0\r\n\r\n", b"HTTP/1.1 200 ",
             b"Connection: close"),
        ]
        for request, start, inside in cases:
            with self.subTest(request=request[:40]):
                reply = raw_exchange(port, request)
                self.assertTrue(reply.startswith(start), reply[:100])
                self.assertIn(inside, reply)

    def _service_port(self):
        state = tempfile.mkdtemp(prefix="remote-service-test-")
        self.addCleanup(shutil.rmtree, state, True)
        service = Service(state, port=0).start()
        self.addCleanup(service.stop)
        return service.web_port


class QueuedWriteTest(ServiceCase):

    def blocks_on_disk(self):
        files = os.path.join(self.state, "instances", RUN, "files")
        out = {}
        for number in sorted(os.listdir(files), key=int):
            out[number] = {}
            for name in sorted(os.listdir(os.path.join(files, number))):
                with open(os.path.join(files, number, name), "rb") as src:
                    out[number][name] = src.read()
        return out

    def test_the_folder_is_complete_once_the_next_request_is_answered(self):
        data = os.urandom(BLOCK + 10)
        a = self.alice
        a.start_job("job-w", RUN)
        a.describe(RUN, "C:\\w", folder=True)
        a.describe(RUN, "C:\\w\\f", len(data))
        a.block(RUN, "C:\\w\\f", 1, data[:BLOCK])
        a.block(RUN, "C:\\w\\f", 2, data[BLOCK:])
        # Any request on another connection is served after the writes are made.
        self.assertEqual(self.client(a.cookie).call("get_key_md5")[0], 200)
        disk = self.blocks_on_disk()
        self.assertEqual(sorted(disk), ["1", "2"])
        self.assertEqual(list(disk["1"]), ["meta.json"])
        self.assertEqual(disk["2"]["1.blk"] + disk["2"]["2.blk"], data)
        self.assertIn(b'"descriptions":1', disk["2"]["meta.json"])
        # A new description of another size drops the stored blocks, on disk too.
        a.describe(RUN, "C:\\w\\f", 3)
        a.block(RUN, "C:\\w\\f", 1, b"abc")
        self.assertEqual(a.download(RUN, "C:\\w", "f", 1)[1],
                         hashlib.md5(b"abc").hexdigest().encode() + b"abc")
        disk = self.blocks_on_disk()
        self.assertEqual(sorted(disk["2"]), ["1.blk", "meta.json"])
        self.assertEqual(disk["2"]["1.blk"], b"abc")

    def test_a_stop_makes_the_queued_writes(self):
        self.alice.start_job("job-w", RUN)
        self.alice.store_file(RUN, "C:\\w\\g", b"xyz")
        self.stop_service()
        self.assertEqual(self.blocks_on_disk()["1"]["1.blk"], b"xyz")

    def test_a_raw_keep_alive_exchange_sees_its_own_writes(self):
        self.alice.start_job("job-w", RUN)
        self.alice.describe(RUN, "C:\\w\\h", 2)
        md5 = hashlib.md5(b"hi").hexdigest()
        content_type, body = block_form(md5, RUN, "C:\\w\\h", 1, b"hi")
        upload = post_bytes(PATHS["upload_data"], body, self.alice.cookie,
                            "Content-Type: %s\r\n" % content_type)
        download = post_bytes(PATHS["download_data"], (
            '{"machine": "m", "jobinstanceid": "%s", "path": "C:\\\\w", "filename": "h",'
            ' "blockindex": 1}' % RUN).encode(), self.alice.cookie)
        replies = raw_exchange(self.service.web_port, upload, then=[download])
        self.assertTrue(replies.endswith(md5.encode() + b"hi"), replies[-200:])


class RequestLoopTest(ServiceCase):
    """The connection's own request loop, against requests cut, joined and mixed on the wire."""

    def setUp(self):
        super().setUp()
        self.alice.start_job("job-l", RUN)
        self.describe = post_bytes(PATHS["upload_file"], json.dumps({
            "attri": attributes(3), "type": "file", "jobinstanceid": RUN,
            "sourcename": "C:\\l\\f", "totalsizeHigh": 0, "totalsizeLow": 3,
            "totalblock": 1}).encode(), self.alice.cookie)
        content_type, form = block_form(hashlib.md5(b"abc").hexdigest(), RUN, "C:\\l\\f", 1,
                                        b"abc")
        self.block = post_bytes(PATHS["upload_data"], form, self.alice.cookie,
                                "Content-Type: %s\r\n" % content_type)
        self.status = b"GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % PATHS[
            "server_status"].encode()

    def exchange(self, pieces, replies):
        """What comes back on one connection to ``pieces`` sent one after another, until
        ``replies`` whole replies are in; Date fields left out."""
        sock = socket.create_connection(("127.0.0.1", self.service.web_port), timeout=5)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        received = b""
        try:
            for piece in pieces:
                sock.sendall(piece)
                time.sleep(0.002)  # so that the service reads each piece on its own
            while _replies_complete(received) < replies:
                data = sock.recv(65536)
                self.assertTrue(data, "the connection closed after %r" % received[-300:])
                received += data
        finally:
            sock.close()
        return re.sub(rb"Date: [^\r]*\r\n", b"", received)

    def test_a_request_cut_at_every_byte_is_answered_as_a_whole_one(self):
        for request in (self.describe, self.block):
            whole = self.exchange([request], 1)
            self.assertTrue(whole.startswith(b"HTTP/1.1 200 OK"), whole)
            for cut in range(1, len(request)):
                with self.subTest(cut=cut, request=request[:60]):
                    self.assertEqual(self.exchange([request[:cut], request[cut:]], 1), whole)

    def test_requests_sent_together_are_answered_in_order(self):
        status = self.exchange([self.status], 1)
        joined = self.exchange([self.describe + self.status + self.block + self.status], 4)
        self.assertEqual(joined.count(status), 2, joined)
        self.assertEqual(joined.count(b"HTTP/1.1 200 OK"), 4, joined)
        self.assertEqual(joined.count(b'{"result":"ok"}'), 2, joined)
        self.assertTrue(joined.endswith(status), joined[-300:])
        self.assertEqual(self.alice.download(RUN, "C:\\l", "f", 1)[1],
                         hashlib.md5(b"abc").hexdigest().encode() + b"abc")

    def test_the_rest_of_a_connection_goes_on_after_a_request_in_another_form(self):
        chunked = (b"POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: %s\r\n"
                   b"Transfer-Encoding: chunked\r\n\r\n" % (
                       PATHS["get_key_md5"].encode(), self.alice.cookie.encode()))
        chunked += b"0\r\n\r\n"
        plain = self.exchange([self.describe + self.status + self.block], 3)
        mixed = self.exchange([self.describe + chunked + self.status + self.block], 4)
        self.assertIn(b'{"md5":""}', mixed)
        self.assertEqual(mixed.replace(
            mixed[mixed.index(b"HTTP/1.1", 10):mixed.index(b'{"md5":""}') + 10], b""), plain)
        # A head in a form that the loop leaves to the general handler, then plain ones.
        folded = self.status.replace(b"Host: 127.0.0.1\r\n", b"Host: 127.0.0.1\r\n x\r\n")
        self.assertEqual(self.exchange([folded + self.status], 2),
                         self.exchange([self.status + self.status], 2))

    def test_a_request_that_asks_to_close_is_the_last_one(self):
        closing = self.status.replace(b"\r\n\r\n", b"\r\nConnection: close\r\n\r\n")
        reply = raw_exchange(self.service.web_port, closing + self.status)
        self.assertEqual(reply.count(b"HTTP/1.1 "), 1, reply)
        self.assertIn(b"Connection: close\r\n", reply)


if __name__ == "__main__":
    unittest.main()
