"""The fault switches, the reply-shaping settings and keep-alive."""

import http.client
import json
import socket
import time
import unittest

from simtest import PATHS, ServiceCase, post_bytes, raw_exchange

JOB = "job-f"
RUN = "run-f"


def split_reply(raw):
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return int(lines[0].split()[1]), headers, body


class FaultCase(ServiceCase):

    def setUp(self):
        super().setUp()
        self.alice.start_job(JOB, RUN)

    def stop_request(self):
        return post_bytes(PATHS["stop_job"], json.dumps({"id": RUN}).encode(), self.alice.cookie)

    def key_request(self):
        return post_bytes(PATHS["get_key_md5"], b"", self.alice.cookie)

    def run_state(self):
        return self.admin.control("GET", "instance?id=" + RUN)[1]["state"]


class RefusalTest(FaultCase):

    def test_status_refuses_without_carrying_out(self):
        self.fault(kind="stop_job", action="status", status=503, times=1)
        status, reply = self.alice.call("stop_job", {"id": RUN})
        self.assertEqual(status, 503)
        self.assertIn("error", reply)
        self.assertEqual(self.run_state(), "running")
        self.assertEqual(self.alice.call("stop_job", {"id": RUN})[0], 200)   # used up
        self.assertEqual(self.run_state(), "cancelled")

    def test_status_after_carrying_out(self):
        self.fault(kind="stop_job", action="status", status=500, process=True)
        self.assertEqual(self.alice.call("stop_job", {"id": RUN})[0], 500)
        self.assertEqual(self.run_state(), "cancelled")

    def test_a_write_that_is_acknowledged_but_not_carried_out(self):
        self.fault(kind="stop_job", action="delay", seconds=0, process=False)
        self.assertEqual(self.alice.call("stop_job", {"id": RUN}), (200, {"result": "ok"}))
        self.assertEqual(self.run_state(), "running")

    def test_status_with_a_text_body(self):
        self.fault(kind="get_key_md5", action="status", status=401, body="go away")
        status, _, body = self.alice.raw("POST", PATHS["get_key_md5"])
        self.assertEqual((status, body), (401, b"go away"))

    def test_skip_and_times(self):
        self.fault(kind="get_key_md5", action="status", status=500, skip=1, times=2)
        statuses = [self.alice.call("get_key_md5")[0] for _ in range(4)]
        self.assertEqual(statuses, [200, 500, 500, 200])
        self.assertEqual(self.admin.control("GET", "faults")[1], {"faults": []})

    def test_any_kind_but_never_the_control_endpoints(self):
        self.fault(kind="*", action="status", status=502)
        self.assertEqual(self.alice.call("get_key_md5")[0], 502)
        self.assertEqual(self.alice.end_job(RUN)[0], 502)
        self.assertEqual(self.admin.control("GET", "health")[0], 200)

    def test_first_added_fault_wins_and_clearing(self):
        first = self.fault(kind="get_key_md5", action="status", status=500)
        self.fault(kind="get_key_md5", action="status", status=503)
        self.fault(kind="stop_job", action="status", status=504)
        self.assertEqual(self.alice.call("get_key_md5")[0], 500)
        self.admin.control("POST", "faults/clear", {"id": first["id"]})
        self.assertEqual(self.alice.call("get_key_md5")[0], 503)
        self.assertEqual(self.admin.control("POST", "faults/clear", {"kind": "get_key_md5"})[1],
                         {"removed": 1})
        self.assertEqual(self.alice.call("get_key_md5")[0], 200)
        self.assertEqual(self.alice.call("stop_job", {"id": RUN})[0], 504)
        self.admin.control("POST", "faults/clear")
        self.assertEqual(self.alice.call("stop_job", {"id": RUN})[0], 200)

    def test_bad_fault_descriptions(self):
        for wanted in ({"kind": "nope", "action": "status"},
                     {"kind": "login", "action": "explode"},
                     {"kind": "login", "action": "status", "status": "500"},
                     {"kind": "login", "action": "status", "after": 3},
                     {"kind": "login", "action": "status", "times": 0},
                     {"kind": "login", "action": "stall", "at": "later"}):
            self.assertEqual(self.admin.control("POST", "faults", wanted)[0], 400, wanted)

    def test_several_faults_in_one_post(self):
        status, reply = self.admin.control("POST", "faults", [
            {"kind": "login", "action": "close"}, {"kind": "logout", "action": "close"}])
        self.assertEqual([f["kind"] for f in reply["faults"]], ["login", "logout"])


class RedirectTest(FaultCase):

    def test_redirect_to_the_same_server_by_default(self):
        self.fault(kind="get_key_md5", action="redirect", times=1)
        status, headers, _ = self.alice.raw("POST", PATHS["get_key_md5"])
        self.assertEqual(status, 302)
        self.assertEqual(headers["Location"], "http://127.0.0.1:%d%s"
                         % (self.service.web_port, PATHS["get_key_md5"]))
        self.assertEqual(self.alice.raw("POST", PATHS["get_key_md5"])[0], 200)

    def test_redirect_template_and_status(self):
        self.fault(kind="stop_job", action="redirect", status=307,
                   location="http://other.example:{storage_port}/x{path}")
        status, headers, _ = self.alice.raw("POST", PATHS["stop_job"],
                                            json.dumps({"id": RUN}).encode())
        self.assertEqual(status, 307)
        self.assertEqual(headers["Location"], "http://other.example:%d/x%s"
                         % (self.service.storage_port, PATHS["stop_job"]))
        self.assertEqual(self.run_state(), "running")

    def test_endless_redirect(self):
        self.fault(kind="get_key_md5", action="redirect")
        self.assertEqual([self.alice.raw("POST", PATHS["get_key_md5"])[0] for _ in range(6)],
                         [302] * 6)


class ConnectionFaultTest(FaultCase):

    def test_drop_after_some_bytes_carries_the_request_out(self):
        self.fault(kind="stop_job", action="drop", after=12)
        raw = raw_exchange(self.service.web_port, self.stop_request())
        self.assertEqual(raw, b"HTTP/1.1 200")
        self.assertEqual(self.run_state(), "cancelled")

    def test_drop_before_any_byte_with_a_reset(self):
        self.fault(kind="get_key_md5", action="drop", reset=True)
        sock = socket.create_connection(("127.0.0.1", self.service.web_port), timeout=2)
        sock.sendall(self.key_request())
        try:
            data = sock.recv(100)
        except ConnectionResetError:
            data = None
        sock.close()
        self.assertIn(data, (None, b""))

    def test_stall_never_answers(self):
        self.fault(kind="get_key_md5", action="stall", times=1)
        raw = raw_exchange(self.service.web_port, self.key_request(), read_timeout=0.5)
        self.assertEqual(raw, b"")
        (entry,) = self.requests("get_key_md5")
        self.assertEqual((entry["fault"], entry["status"]), ("stall", 200))
        self.assertEqual(self.alice.call("get_key_md5")[0], 200)

    def test_stall_for_some_seconds_then_close(self):
        self.fault(kind="get_key_md5", action="stall", seconds=0.3)
        started = time.monotonic()
        raw = raw_exchange(self.service.web_port, self.key_request(), read_timeout=3)
        self.assertEqual(raw, b"")
        self.assertLess(time.monotonic() - started, 2.5)

    def test_stall_before_reading_the_body(self):
        self.fault(kind="stop_job", action="stall", at="request", seconds=0.3)
        self.assertEqual(raw_exchange(self.service.web_port, self.stop_request(), 3), b"")
        (entry,) = self.requests("stop_job")
        self.assertIsNone(entry["status"])
        self.assertNotIn("body_length", entry)
        self.assertEqual(self.run_state(), "running")

    def test_delay(self):
        self.fault(kind="get_key_md5", action="delay", seconds=0.4)
        started = time.monotonic()
        self.assertEqual(self.alice.call("get_key_md5")[0], 200)
        self.assertGreaterEqual(time.monotonic() - started, 0.4)

    def test_close_after_the_reply(self):
        self.fault(kind="get_key_md5", action="close")
        raw = raw_exchange(self.service.web_port, self.key_request(), then=[self.key_request()])
        status, headers, body = split_reply(raw)
        self.assertEqual((status, headers["connection"]), (200, "close"))
        self.assertEqual(body, b'{"md5":""}')   # the second request got no answer


class BodyFaultTest(FaultCase):

    def test_malformed_json(self):
        self.fault(kind="start_job", action="malformed_json")
        status, _, body = self.alice.raw("POST", PATHS["start_job"], json.dumps({
            "jobdefinitionid": JOB, "jobinstanceid": "run-2", "totaldirectories": 0,
            "totalfiles": 0, "totalsize": 0, "starttime": "unknown"}).encode())
        self.assertEqual(status, 200)
        self.assertRaises(ValueError, json.loads, body)
        self.assertIsNotNone(self.admin.control("GET", "instance?id=run-2")[1].get("id"))

    def test_replaced_body(self):
        self.fault(kind="start_job", action="body", body='{"host": "", "port": 80}')
        status, reply = self.alice.start_job(JOB, RUN)
        self.assertEqual((status, reply), (200, {"host": "", "port": 80}))

    def test_content_length_too_large_then_close(self):
        self.fault(kind="get_key_md5", action="content_length", delta=5)
        status, headers, body = split_reply(raw_exchange(self.service.web_port,
                                                         self.key_request()))
        self.assertEqual(int(headers["content-length"]), len(body) + 5)
        self.assertEqual(body, b'{"md5":""}')

    def test_content_length_too_small_leaves_bytes_on_the_connection(self):
        self.fault(kind="get_key_md5", action="content_length", delta=-4, times=1)
        raw = raw_exchange(self.service.web_port, self.key_request(), 1, [self.key_request()])
        status, headers, rest = split_reply(raw)
        self.assertEqual(int(headers["content-length"]), 6)
        self.assertTrue(rest.startswith(b'{"md5":""}HTTP/1.1 200 OK'))

    def test_chunked_for_one_kind(self):
        self.fault(kind="get_key_md5", action="chunked", chunk_size=3)
        _, headers, body = split_reply(raw_exchange(self.service.web_port, self.key_request(), 1))
        self.assertEqual(headers["transfer-encoding"], "chunked")
        self.assertNotIn("content-length", headers)
        self.assertEqual(body, b'3\r\n{"m\r\n3\r\nd5"\r\n3\r\n:""\r\n1\r\n}\r\n0\r\n\r\n')


class HostileReplyTest(FaultCase):
    """Replies as a hostile network or a broken proxy gives them."""

    def test_trickle_sends_one_byte_per_interval(self):
        self.fault(kind="get_key_md5", action="trickle", at="body", interval=0.2, times=1)
        sock = socket.create_connection(("127.0.0.1", self.service.web_port), timeout=5)
        try:
            sock.sendall(self.key_request())
            time.sleep(0.5)
            sock.settimeout(0.05)
            first = b""
            try:
                while True:
                    data = sock.recv(65536)
                    if not data:
                        break
                    first += data
            except socket.timeout:
                pass
            head, _, body = first.partition(b"\r\n\r\n")
            self.assertTrue(head.startswith(b"HTTP/1.1 200"))
            self.assertLessEqual(len(body), 3)   # a byte every 0.2 s, not the body
        finally:
            sock.close()
        # The client left: the fault is used up and the next reply is whole.
        status, _, body = split_reply(raw_exchange(self.service.web_port, self.key_request(), 1))
        self.assertEqual((status, body), (200, b'{"md5":""}'))

    def test_bad_chunk_spoils_the_size_line_after_the_first_chunk(self):
        self.fault(kind="get_key_md5", action="bad_chunk", times=1)
        _, headers, body = split_reply(raw_exchange(self.service.web_port, self.key_request(), 1))
        self.assertEqual(headers["transfer-encoding"], "chunked")
        self.assertTrue(body.startswith(b"a\r\n{\"md5\":\"\"}\r\nzz\r\n"), body)

    def test_headers_replace_or_join_the_replys_own(self):
        self.fault(kind="get_key_md5", action="headers", times=1,
                   headers={"content-type": "text/html", "Access-Control-Allow-Origin": "*",
                            "Location": "http://elsewhere.example/"})
        raw = raw_exchange(self.service.web_port, self.key_request(), 1)
        head = raw.partition(b"\r\n\r\n")[0].decode("latin-1").lower()
        self.assertEqual(head.count("content-type:"), 1, head)
        _, headers, body = split_reply(raw)
        self.assertEqual(headers["content-type"], "text/html")
        self.assertEqual(headers["access-control-allow-origin"], "*")
        self.assertEqual(headers["location"], "http://elsewhere.example/")
        self.assertEqual(body, b'{"md5":""}')
        self.assertEqual(self.admin.control("POST", "faults", {"kind": "login", "action": "headers",
                                                               "headers": {"X": 1}})[0], 400)

    def test_header_goes_out_as_it_stands(self):
        self.fault(kind="get_key_md5", action="header", name="Set-Cookie", value="sid=1\rX: y")
        raw = raw_exchange(self.service.web_port, self.key_request(), 1)
        self.assertIn(b"\r\nSet-Cookie: sid=1\rX: y\r\n", raw)


class SettingsTest(FaultCase):

    def test_every_reply_chunked_with_extensions(self):
        self.admin.control("POST", "settings", {"chunked": True, "chunk_size": 4,
                                                "chunk_extension": True})
        self.assertEqual(self.alice.call("get_key_md5"), (200, {"md5": ""}))
        _, _, body = split_reply(raw_exchange(self.service.web_port, self.key_request(), 1))
        self.assertTrue(body.startswith(b'4;sim=1\r\n{"md\r\n'))
        self.assertTrue(body.endswith(b"0;sim=1\r\n\r\n"))

    def test_no_keep_alive(self):
        self.assertEqual(self.admin.control("POST", "settings", {"keep_alive": False})[0], 200)
        raw = raw_exchange(self.service.web_port, self.key_request(), then=[self.key_request()])
        self.assertEqual(raw.count(b"HTTP/1.1 200"), 1)
        self.assertIn(b"Connection: close", raw)

    def test_keep_alive_serves_many_requests_on_one_connection(self):
        raw = raw_exchange(self.service.web_port, self.key_request(), 0.5,
                           [self.key_request()] * 2)
        self.assertEqual(raw.count(b"HTTP/1.1 200 OK"), 3)
        self.assertEqual(raw.count(b"Connection: keep-alive"), 3)

    def test_bad_settings(self):
        for change in ({"chunked": 1}, {"chunk_size": 0}, {"colour": "red"}):
            self.assertEqual(self.admin.control("POST", "settings", change)[0], 400, change)


class IdleTimeoutTest(ServiceCase):

    def start_service(self, **kwargs):
        super().start_service(idle_timeout=0.3, **kwargs)

    def test_idle_connection_is_closed(self):
        c = self.client(self.alice.cookie)
        self.assertEqual(c.call("get_key_md5")[0], 200)
        time.sleep(0.6)
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionError)):
            c.raw("POST", PATHS["get_key_md5"])


class MalformedRequestTest(ServiceCase):

    def test_bad_chunked_body_is_400_and_closes(self):
        request = ("POST %s HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"
                   % PATHS["get_key_md5"]).encode()
        status, headers, _ = split_reply(raw_exchange(self.service.web_port, request))
        self.assertEqual((status, headers["connection"]), (400, "close"))

    def test_space_in_the_path_is_refused(self):
        request = b"POST /tovel/Storage Server/backupServer/endjob.php HTTP/1.1\r\n\r\n"
        self.assertTrue(raw_exchange(self.service.web_port, request).startswith(b"HTTP/1.1 400"))

    def test_unknown_requests_are_logged(self):
        self.alice.raw("POST", "/tovel/WebServer/other.php")
        (entry,) = [e for e in self.requests() if e["kind"] is None]
        self.assertEqual((entry["path"], entry["status"]), ("/tovel/WebServer/other.php", 404))


if __name__ == "__main__":
    unittest.main()
