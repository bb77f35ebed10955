"""Backup runs: Start Job, file descriptions, blocks, errors, end, cancel,
and the increment check."""

import hashlib
import json
import os
import unittest

from simtest import BLOCK, PATHS, ServiceCase, attributes, block_form

JOB = "6B29FC40-CA47-1067-B31D-00DD010662DA"
RUN = "9F1B2C3D-0000-4000-8000-000000000001"
RUN2 = "9F1B2C3D-0000-4000-8000-000000000002"


class StartJobTest(ServiceCase):

    def test_names_the_storage_server(self):
        status, reply = self.alice.start_job(JOB, RUN)
        self.assertEqual(status, 200)
        self.assertEqual(reply, {"host": "127.0.0.1", "port": self.service.storage_port})

    def test_accepts_an_unknown_start_time(self):
        self.assertEqual(self.alice.start_job(JOB, RUN, starttime="unknown")[0], 200)

    def test_refuses_bad_bodies(self):
        bad = [
            {"starttime": "5.3.2024"},
            {"totalsize": -1},
            {"totalfiles": "2"},
            {"jobinstanceid": ""},
            {"extra": 1},
        ]
        for change in bad:
            status, reply = self.alice.start_job(JOB, RUN, **change)
            self.assertEqual(status, 400, change)
            self.assertIn("error", reply)
        self.assertEqual(self.alice.call("start_job")[0], 400)  # no body at all

    def test_resume_of_a_running_instance_and_refusal_of_an_ended_one(self):
        self.alice.start_job(JOB, RUN)
        self.assertEqual(self.alice.start_job(JOB, RUN)[0], 200)
        self.assertEqual(self.alice.end_job(RUN)[0], 200)
        self.assertEqual(self.alice.start_job(JOB, RUN)[0], 409)

    def test_another_users_job_is_forbidden(self):
        self.alice.start_job(JOB, RUN)
        bob = self.client()
        bob.login("bob", "hunter2")
        self.assertEqual(bob.start_job(JOB, RUN2)[0], 403)
        self.assertEqual(bob.end_job(RUN)[0], 403)

    def test_takes_post_only(self):
        status, headers, _ = self.alice.raw("GET", PATHS["start_job"])
        self.assertEqual(status, 405)
        self.assertEqual(headers["Allow"], "POST")

    def test_unknown_path(self):
        self.assertEqual(self.alice.raw("POST", "/tovel/WebServer/nothing.php")[0], 404)


class UploadTest(ServiceCase):

    def setUp(self):
        super().setUp()
        self.alice.start_job(JOB, RUN)

    def instance(self, iid=RUN):
        status, record = self.admin.control("GET", "instance?id=" + iid)
        self.assertEqual(status, 200)
        return record

    def stored(self, name, iid=RUN, partial=False):
        query = "file?instance=%s&name=%s%s" % (iid, name, "&partial=1" if partial else "")
        return self.admin.control("GET", query)

    def test_file_reassembled_from_its_blocks(self):
        data = os.urandom(2 * BLOCK + 1000)
        self.assertEqual(self.alice.store_file(RUN, "C:\\data\\a.bin", data), [200] * 4)
        self.assertEqual(self.stored("C:\\data\\a.bin"), (200, data))
        (entry,) = self.instance()["files"]
        self.assertEqual([b["length"] for b in entry["blocks"]], [BLOCK, BLOCK, 1000])
        self.assertEqual(entry["blocks"][2]["md5"], hashlib.md5(data[2 * BLOCK:]).hexdigest())
        self.assertTrue(entry["complete"])
        self.assertEqual(entry["totalblock"], 3)

    def test_folder_and_empty_file(self):
        self.assertEqual(self.alice.describe(RUN, "C:\\data", folder=True)[0], 200)
        self.assertEqual(self.alice.describe(RUN, "C:\\data\\empty", 0)[0], 200)
        files = {f["name"]: f for f in self.instance()["files"]}
        self.assertTrue(files["C:\\data"]["complete"])
        self.assertTrue(files["C:\\data\\empty"]["complete"])
        self.assertEqual(self.stored("C:\\data\\empty"), (200, b""))
        # No block may be sent for an empty file.
        self.assertEqual(self.alice.block(RUN, "C:\\data\\empty", 1, b"x")[0], 400)

    def test_exact_multiple_announces_one_block_more(self):
        data = os.urandom(BLOCK)
        self.assertEqual(self.alice.store_file(RUN, "f", data), [200, 200])
        self.assertEqual(self.instance()["files"][0]["totalblock"], 2)
        self.assertEqual(self.stored("f"), (200, data))

    def test_a_block_sent_twice_overwrites(self):
        self.alice.describe(RUN, "f", 10)
        self.alice.block(RUN, "f", 1, b"0123456789")
        self.assertEqual(self.alice.block(RUN, "f", 1, b"abcdefghij")[0], 200)
        self.assertEqual(self.stored("f"), (200, b"abcdefghij"))

    def test_md5_mismatch_is_406_and_stores_nothing(self):
        self.alice.describe(RUN, "f", 10)
        status, reply = self.alice.block(RUN, "f", 1, b"0123456789", md5="0" * 32)
        self.assertEqual(status, 406)
        self.assertIn("MD5", json.loads(reply)["error"])
        self.assertEqual(self.stored("f")[0], 409)
        self.assertEqual(self.stored("f", partial=True), (200, b""))

    def test_block_checks(self):
        self.alice.describe(RUN, "f", BLOCK + 5)
        cases = [
            (1, b"short", None, 400),            # a block before the last is whole
            (2, b"too long!", None, 400),        # the last holds the rest only
            (3, b"12345", None, 400),            # past the end
            (2, b"12345", "ABCDEF" * 5 + "AB", 400),  # md5 not lower-case hex
        ]
        for number, data, md5, expected in cases:
            self.assertEqual(self.alice.block(RUN, "f", number, data, md5)[0], expected)
        self.assertEqual(self.alice.block(RUN, "undescribed", 1, b"x")[0], 404)
        self.assertEqual(self.alice.block(RUN, "f", 2, b"12345")[0], 200)
        self.alice.describe(RUN, "dir", folder=True)
        self.assertEqual(self.alice.block(RUN, "dir", 1, b"x")[0], 400)

    def test_multipart_layout_checks(self):
        self.alice.describe(RUN, "f", 3)
        ctype, good = block_form(hashlib.md5(b"abc").hexdigest(), RUN, "f", 1, b"abc")
        variants = {
            "no boundary": ("multipart/form-data", good),
            "wrong boundary": ("multipart/form-data; boundary=zzz", good),
            "not a form": ("application/json", good),
            "no closing": (ctype, good[:-4]),
            "wrong file name": (ctype, good.replace(b'filename="1.jpg"', b'filename="1.png"')),
            "block zero": (ctype, good.replace(b'filename="1.jpg"', b'filename="0.jpg"')),
            "wrong type": (ctype, good.replace(b"image/pjpeg", b"image/jpeg")),
            "no submit": (ctype, good.replace(b"\r\n\r\nSubmit\r\n", b"\r\n\r\nsubmit\r\n")),
            "renamed part": (ctype, good.replace(b'name="sourcename"', b'name="source"')),
        }
        for label, (content_type, body) in variants.items():
            status, _, _ = self.alice.raw("POST", PATHS["upload_data"], body,
                                          {"Content-Type": content_type})
            self.assertEqual(status, 400, label)
        status, _, _ = self.alice.raw("POST", PATHS["upload_data"], good, {"Content-Type": ctype})
        self.assertEqual(status, 200)

    def test_description_checks(self):
        base = {"attri": attributes(5), "type": "file", "jobinstanceid": RUN,
                "sourcename": "f", "totalsizeHigh": 0, "totalsizeLow": 5, "totalblock": 1}
        broken = [
            {"type": "folder"},                       # directory bit not set
            {"totalblock": 0},                        # fewer blocks than the size needs
            {"totalsizeLow": 2 ** 31},                # halves are signed 32-bit
            {"attri": dict(attributes(5), dwFileAttributes=0x10)},
            {"attri": {"dwFileAttributes": 0}},
            {"sourcename": ""},
        ]
        for change in broken:
            self.assertEqual(self.alice.call("upload_file", dict(base, **change))[0], 400, change)
        folder = dict(base, type="folder", attri=attributes(folder=True), totalsizeLow=0,
                      totalblock=1)
        self.assertEqual(self.alice.call("upload_file", folder)[0], 400)
        self.assertEqual(self.alice.call("upload_file", base)[0], 200)
        self.assertEqual(self.alice.call("upload_file", dict(base, jobinstanceid="nope"))[0], 404)

    def test_large_size_halves_are_signed(self):
        size = 3 * 2 ** 31 + 7          # low half 0x80000007: sent negative
        status, _ = self.alice.describe(RUN, "big", size)
        self.assertEqual(status, 200)
        entry = self.instance()["files"][0]
        self.assertEqual(entry["size"], size)
        self.assertLess(entry["totalsizeLow"], 0)

    def test_describing_again_keeps_blocks_unless_the_size_changed(self):
        data = os.urandom(BLOCK + 10)
        self.alice.describe(RUN, "f", len(data))
        self.alice.block(RUN, "f", 1, data[:BLOCK])
        self.alice.describe(RUN, "F", len(data))     # same path, other case
        self.alice.block(RUN, "f", 2, data[BLOCK:])
        self.assertEqual(self.stored("f"), (200, data))
        self.alice.describe(RUN, "f", 20)
        self.assertEqual(self.instance()["files"][0]["blocks"], [])

    def test_errors_end_and_the_completed_state(self):
        errors = [{"code": 0x20010194, "path": "C:\\x", "reason": "Not Found"},
                  {"code": 5, "path": "C:\\y", "reason": ""}]
        self.assertEqual(self.alice.call("submit_errors", {"jobinstanceid": RUN,
                                                           "err": errors})[0], 200)
        self.assertEqual(self.alice.call("submit_errors", {"jobinstanceid": RUN,
                                                           "err": [{"code": -1, "path": "p",
                                                                    "reason": ""}]})[0], 400)
        self.assertEqual(self.alice.call("submit_errors", {"jobinstanceid": RUN,
                                                           "err": None})[0], 400)
        self.assertEqual(self.alice.end_job(RUN)[0], 200)
        self.assertEqual(self.alice.end_job(RUN)[0], 200)   # a repeated end is harmless
        record = self.instance()
        self.assertEqual(record["state"], "completed")
        self.assertEqual(record["errors"], errors)
        self.assertEqual(record["endtime"], "2024-03-05 08:00:00")
        self.assertEqual(self.alice.describe(RUN, "late", 1)[0], 409)

    def test_cancel(self):
        self.assertEqual(self.alice.call("stop_job", {"id": RUN})[0], 200)
        self.assertEqual(self.instance()["state"], "cancelled")
        self.assertEqual(self.alice.call("stop_job", {"id": RUN})[0], 200)
        self.assertEqual(self.alice.end_job(RUN)[0], 409)
        self.assertEqual(self.alice.block(RUN, "f", 1, b"x")[0], 409)
        self.assertEqual(self.alice.call("stop_job", {"id": "unknown"})[0], 404)
        self.assertEqual(self.alice.call("stop_job", {"jobinstanceid": RUN})[0], 400)

    def test_chunked_request_body(self):
        body = json.dumps({"id": RUN}).encode()
        chunked = b"5;ext=1\r\n" + body[:5] + b"\r\n" + b"%x\r\n" % (len(body) - 5) \
            + body[5:] + b"\r\n0\r\n\r\n"
        self.alice.conn.putrequest("POST", PATHS["stop_job"])
        self.alice.conn.putheader("Transfer-Encoding", "chunked")
        self.alice.conn.putheader("Cookie", self.alice.cookie)
        self.alice.conn.endheaders(chunked)
        self.assertEqual(self.alice.conn.getresponse().read(), b'{"result":"ok"}')
        self.assertEqual(self.instance()["state"], "cancelled")


class IncrementCheckTest(ServiceCase):

    def run_once(self, iid, files):
        """A completed backup of {path: (data, mtime)}."""
        self.alice.start_job(JOB, iid)
        for path, (data, mtime) in files.items():
            self.alice.store_file(iid, path, data, mtime)
        self.assertEqual(self.alice.end_job(iid)[0], 200)

    def test_everything_the_first_time_then_only_changes(self):
        items = [("C:\\a", (1, 2)), ("C:\\b", (1, -5)), ("C:\\c", (3, 4))]
        status, reply = self.alice.increment(JOB, items)
        self.assertEqual((status, reply), (200, ["C:\\a", "C:\\b", "C:\\c"]))
        self.run_once(RUN, {"C:\\a": (b"a", (1, 2)), "C:\\b": (b"b", (1, -5))})
        items = [("C:\\a", (1, 2)), ("c:/B", (1, -5)), ("C:\\c", (3, 4)), ("C:\\d", (0, 0))]
        self.assertEqual(self.alice.increment(JOB, items)[1], ["C:\\c", "C:\\d"])
        self.assertEqual(self.alice.increment(JOB, [("C:\\a", (1, 3))])[1], ["C:\\a"])

    def test_only_completed_instances_and_whole_files_count(self):
        self.alice.start_job(JOB, RUN)
        self.alice.store_file(RUN, "C:\\a", b"a", (1, 1))
        self.alice.call("stop_job", {"id": RUN})
        self.assertEqual(self.alice.increment(JOB, [("C:\\a", (1, 1))])[1], ["C:\\a"])
        self.alice.start_job(JOB, RUN2)
        self.alice.describe(RUN2, "C:\\half", BLOCK + 1, mtime=(1, 1))
        self.alice.block(RUN2, "C:\\half", 1, os.urandom(BLOCK))
        self.alice.end_job(RUN2)
        self.assertEqual(self.alice.increment(JOB, [("C:\\half", (1, 1))])[1], ["C:\\half"])

    def test_body_checks_and_sessions(self):
        ok = {"id": JOB, "source": [{"path": "p", "mtimeHigh": 0, "mtimeLow": 0}]}
        broken = [
            {"source": ok["source"]},
            {"id": JOB, "source": [{"path": "p", "mtimeHigh": 0, "mtimeLow": 2 ** 31}]},
            {"id": JOB, "source": [{"path": "p", "mtimeHigh": 0.5, "mtimeLow": 0}]},
            {"id": JOB, "source": [{"path": "p", "mtimeHigh": 0}]},
            {"id": JOB, "source": {}},
        ]
        for body in broken:
            self.assertEqual(self.alice.call("increment_check", body)[0], 400, body)
        self.assertEqual(self.alice.call("increment_check", {"id": JOB, "source": []}),
                         (200, []))
        self.assertEqual(self.client().call("increment_check", ok)[0], 401)


class RolesTest(ServiceCase):
    storage_port = 0

    def test_two_ports_serve_their_own_kinds(self):
        web = self.alice
        self.assertNotEqual(self.service.web_port, self.service.storage_port)
        status, reply = web.start_job(JOB, RUN)
        self.assertEqual(reply["port"], self.service.storage_port)
        storage = self.storage_client(web.cookie)
        self.assertEqual(web.describe(RUN, "f", 1)[0], 404)
        self.assertEqual(storage.describe(RUN, "f", 1)[0], 200)
        self.assertEqual(storage.block(RUN, "f", 1, b"x")[0], 200)
        self.assertEqual(storage.call("stop_job", {"id": RUN})[0], 404)
        self.assertEqual(web.end_job(RUN)[0], 404)
        self.assertEqual(storage.end_job(RUN)[0], 200)
        # Restore requests are answered on both ports.
        self.assertEqual(web.file_info(RUN, "f", "")[0], 200)
        self.assertEqual(storage.file_info(RUN, "f", "")[0], 200)
        roles = [(e["kind"], e["role"]) for e in self.requests()]
        self.assertIn(("upload_data", "storage"), roles)
        self.assertIn(("start_job", "web"), roles)

    def test_advertised_storage_address_can_be_changed(self):
        self.admin.control("POST", "settings", {"storage_host": "storage.example",
                                                "storage_port": 8123})
        self.assertEqual(self.alice.start_job(JOB, RUN)[1],
                         {"host": "storage.example", "port": 8123})


if __name__ == "__main__":
    unittest.main()
