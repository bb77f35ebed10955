"""Restore runs: Start Restore Job, file information, block downloads, the
restore history and its errors."""

import hashlib
import json
import os
import unittest

from simtest import BLOCK, WEB, ServiceCase

JOB = "job-1"
FIRST = "backup-1"
SECOND = "backup-2"
RESTORE_JOB = "restore-job-1"
RESTORE = "restore-1"


class RestoreTest(ServiceCase):

    def setUp(self):
        super().setUp()
        self.data = os.urandom(BLOCK + 77)
        a = self.alice
        a.start_job(JOB, FIRST)
        a.describe(FIRST, "C:\\docs", folder=True)
        a.store_file(FIRST, "C:\\docs\\big.bin", self.data, (7, 8))
        a.store_file(FIRST, "C:\\docs\\old.txt", b"old", (7, 9))
        a.end_job(FIRST)
        a.start_job(JOB, SECOND)
        a.store_file(SECOND, "C:\\docs\\old.txt", b"new", (7, 10))
        a.end_job(SECOND)

    def test_file_information(self):
        status, info = self.alice.file_info(FIRST, "C:\\docs", "big.bin")
        self.assertEqual(status, 200)
        self.assertEqual(info["totalblock"], 2)
        self.assertEqual((info["totalsizeHigh"], info["totalsizeLow"]), (0, len(self.data)))
        self.assertIs(info["compression"], False)
        self.assertEqual(info["attrib"]["ftLastWriteTimedwHighDateTime"], 7)
        self.assertEqual(info["attrib"]["ftLastWriteTimedwLowDateTime"], 8)
        self.assertEqual(len(info["attrib"]), 9)

    def test_folder_is_asked_with_an_empty_file_name(self):
        status, info = self.alice.file_info(FIRST, "C:\\docs", "")
        self.assertEqual(status, 200)
        self.assertEqual((info["type"], info["totalblock"]), ("folder", 0))
        self.assertEqual(info["attrib"]["dwFileAttributes"] & 0x10, 0x10)

    def test_blocks_carry_their_md5_first(self):
        for index, piece in ((1, self.data[:BLOCK]), (2, self.data[BLOCK:])):
            status, body = self.alice.download(FIRST, "C:\\docs", "big.bin", index)
            self.assertEqual(status, 200)
            self.assertEqual(body[:32], hashlib.md5(piece).hexdigest().encode())
            self.assertEqual(body[32:], piece)
        self.assertEqual(self.alice.download(FIRST, "C:\\docs", "big.bin", 3)[0], 404)
        self.assertEqual(self.alice.download(FIRST, "C:\\docs", "big.bin", 0)[0], 404)
        self.assertEqual(self.alice.download(FIRST, "C:\\docs", "", 1)[0], 404)

    def test_each_instance_holds_its_own_version(self):
        self.assertEqual(self.alice.download(FIRST, "C:\\docs", "old.txt", 1)[1][32:], b"old")
        self.assertEqual(self.alice.download(SECOND, "C:\\docs", "old.txt", 1)[1][32:], b"new")
        # An item not sent again in the later instance is found in the earlier one.
        status, info = self.alice.file_info(SECOND, "c:/DOCS", "big.bin")
        self.assertEqual((status, info["jobinstanceid"]), (200, FIRST))
        self.assertEqual(self.alice.download(SECOND, "C:\\docs", "big.bin", 2)[1][32:],
                         self.data[BLOCK:])

    def test_compression_is_the_jobs_flag_at_the_start_of_the_instance(self):
        self.admin.control("POST", "job", {"id": JOB, "compression": True})
        self.alice.start_job(JOB, "backup-3")
        self.alice.store_file("backup-3", "C:\\docs\\z", b"z")
        self.assertIs(self.alice.file_info("backup-3", "C:\\docs", "z")[1]["compression"], True)
        self.assertIs(self.alice.file_info(FIRST, "C:\\docs", "old.txt")[1]["compression"],
                      False)

    def test_the_definitions_compression_is_the_jobs_flag(self):
        a = self.alice
        for compression, instance in ((True, "backup-3"), (False, "backup-4")):
            definition = {"id": JOB, "type": "backup", "compression": compression}
            status = a.raw("POST", WEB + "jobs/UpdateJobDefinition.php",
                           json.dumps(definition).encode())[0]
            self.assertEqual(status, 200)
            a.start_job(JOB, instance)
            a.store_file(instance, "C:\\docs\\z", b"z")
            self.assertIs(a.file_info(instance, "C:\\docs", "z")[1]["compression"], compression)
        self.assertIs(a.file_info("backup-3", "C:\\docs", "z")[1]["compression"], True)

    def test_refusals(self):
        a = self.alice
        self.assertEqual(a.file_info(FIRST, "C:\\docs", "missing")[0], 404)
        self.assertEqual(a.file_info("unknown", "C:\\docs", "old.txt")[0], 404)
        self.assertEqual(a.file_info(FIRST, "C:\\docs", "old.txt", machine="")[0], 400)
        self.assertEqual(a.call("get_file_info", {"machine": "m", "jobinstanceid": FIRST,
                                                  "path": "C:\\docs"})[0], 400)
        bob = self.client()
        bob.login("bob", "hunter2")
        self.assertEqual(bob.file_info(FIRST, "C:\\docs", "old.txt")[0], 403)
        self.assertEqual(self.client().file_info(FIRST, "C:\\docs", "old.txt")[0], 401)

    def test_a_restore_run_with_errors_and_history(self):
        a = self.alice
        start = {"jobdefinitionid": RESTORE_JOB, "jobinstanceid": RESTORE}
        self.assertEqual(a.call("start_restore_job", start)[0], 200)
        self.assertEqual(a.call("start_restore_job", start)[0], 200)   # resumed
        self.assertEqual(a.call("start_restore_job", {"jobdefinitionid": JOB,
                                                      "jobinstanceid": FIRST})[0], 409)
        errors = [{"code": 3, "path": "C:\\docs\\x", "reason": "not found"}]
        self.assertEqual(a.call("submit_errors", {"jobinstanceid": RESTORE,
                                                  "err": errors})[0], 200)
        history = {"instanceId": RESTORE, "type": "restore", "state": "completed",
                   "files_restored": 1, "restored_size": 3,
                   "source": [{"path": "C:\\docs\\old.txt", "size": 3,
                               "creationtime": "2024-3-5 07:04:09",
                               "modifiedtime": "2024-3-5 07:04:09"}]}
        self.assertEqual(a.call("submit_history", history)[0], 200)
        self.assertEqual(a.call("submit_history", {"type": "restore"})[0], 400)
        self.assertEqual(a.call("submit_history", dict(history, instanceId="nope"))[0], 404)
        self.assertEqual(a.call("submit_history", dict(history, instanceId=FIRST))[0], 409)
        _, record = self.admin.control("GET", "instance?id=" + RESTORE)
        self.assertEqual((record["kind"], record["state"], record["starts"]),
                         ("restore", "ended", 2))
        self.assertEqual(record["history"], history)
        self.assertEqual(record["errors"], errors)


if __name__ == "__main__":
    unittest.main()
