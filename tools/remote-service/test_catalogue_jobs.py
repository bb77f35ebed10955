"""Job definitions, the run catalogue and deletions of the web interface."""

import datetime
import json
import unittest

from simtest import ServiceCase, _signed, attributes

WEB = "/tovel/WebServer/"
JOB = "0f5c3a2e-1b7d-4c1e-9f1a-2b3c4d5e6f70"


class JobCatalogueTest(ServiceCase):

    def ask(self, client, path, body):
        status, _, data = client.raw("POST", WEB + path, json.dumps(body).encode())
        try:
            return status, json.loads(data)
        except ValueError:
            return status, data

    def define(self, client, body, update=False):
        path = "jobs/UpdateJobDefinition.php" if update else "jobs/CreateJobDefinition.php"
        return self.ask(client, path, body)[0]

    def backup_run(self, iid, files, end=True):
        """One run of JOB storing files {name: bytes or None for a folder}."""
        self.assertEqual(self.alice.start_job(JOB, iid)[0], 200)
        for name, data in files.items():
            if data is None:
                self.assertEqual(self.alice.describe(iid, name, folder=True)[0], 200)
            else:
                self.assertTrue(all(s == 200 for s in self.alice.store_file(iid, name, data)))
        if end:
            self.assertEqual(self.alice.end_job(iid)[0], 200)

    def test_definitions_belong_to_their_user(self):
        definition = {"id": JOB, "type": "backup", "name": "n", "source": ["C:/t"]}
        self.assertEqual(self.define(self.alice, definition, update=True), 404)
        self.assertEqual(self.define(self.alice, definition), 200)
        self.assertEqual(self.define(self.alice, dict(definition, name="m"), update=True), 200)
        _, job = self.admin.control("GET", "job?id=" + JOB)
        self.assertEqual(job["owner"], "alice")
        self.assertEqual(job["definition"]["name"], "m")
        bob = self.client()
        self.assertEqual(bob.login("bob", "hunter2"), 200)
        self.assertEqual(self.define(bob, definition), 403)
        self.assertEqual(self.define(bob, definition, update=True), 403)
        self.assertEqual(self.define(self.alice, {"type": "backup"}), 400)
        self.assertEqual(self.define(self.client(), definition), 401)
        # Start Job runs the defined job, its own user's.
        self.assertEqual(bob.start_job(JOB, "run-b")[0], 403)
        self.assertEqual(self.alice.start_job(JOB, "run-a")[0], 200)

    def test_runs_are_listed_described_and_deleted(self):
        self.assertEqual(self.define(self.alice, {"id": JOB, "type": "backup"}), 200)
        self.backup_run("r1", {"C:\\t": None, "C:\\t\\a.txt": b"12345", "D:\\x\\e": b""})
        self.backup_run("r2", {"C:\\t\\a.txt": b"123456", "C:\\t\\new": None})
        self.backup_run("r3", {}, end=False)

        status, runs = self.ask(self.alice, "catalog/ListJobInstanceOfJobDefinition.php",
                                {"jobdefinitionid": JOB})
        self.assertEqual(status, 200)
        self.assertEqual([r["id"] for r in runs], ["r1", "r2", "r3"])
        self.assertEqual(sorted(runs[0]), ["endtime", "id", "starttime", "state",
                                           "totalfiles", "totalsize"])
        self.assertEqual([r["state"] for r in runs], ["completed", "completed", "running"])

        status, tree = self.ask(self.alice, "catalog/GetSourcesByJobInstanceID.php",
                                {"jobinstanceid": "r2"})
        self.assertEqual(status, 200)
        by_path = {n.get("vol") or n.get("dir") or n.get("file"): n for n in tree}
        self.assertEqual(list(by_path), ["C:/", "D:/", "C:/t/a.txt", "C:/t/new/", "C:/t/",
                                         "D:/x/e"])
        self.assertEqual((by_path["C:/t/a.txt"]["size"], by_path["C:/t/a.txt"]["bUp"]), (6, 1))
        self.assertEqual(by_path["C:/t/new/"]["bUp"], 1)
        self.assertEqual((by_path["D:/x/e"]["size"], by_path["D:/x/e"]["bUp"]), (0, 0))
        self.assertNotIn("size", by_path["C:/t/"])
        self.assertRegex(by_path["C:/t/a.txt"]["mtime"], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
        # r3 sent nothing: everything is carried over from r1 and r2.
        _, tree = self.ask(self.alice, "catalog/GetSourcesByJobInstanceID.php",
                           {"jobinstanceid": "r3"})
        self.assertEqual((len(tree), {n["bUp"] for n in tree}), (6, {0}))
        # A first run that sent nothing is empty.
        self.assertEqual(self.alice.start_job("job-2", "e1")[0], 200)
        self.assertEqual(self.ask(self.alice, "catalog/GetSourcesByJobInstanceID.php",
                                  {"jobinstanceid": "e1"}), (200, []))

        self.alice.call("submit_errors", {"jobinstanceid": "r1", "err": [
            {"code": 5, "path": "C:\\t\\b", "reason": "denied"}]})
        self.assertEqual(self.ask(self.alice, "catalog/ListErrorByJobInstanceID.php",
                                  {"jobinstanceid": "r1"}),
                         (200, [{"code": 5, "path": "C:\\t\\b", "reason": "denied"}]))
        status, history = self.ask(self.alice, "catalog/GetHistoryByJobInstanceID.php",
                                   {"jobinstanceid": "r1"})
        self.assertEqual((status, history["state"]), (200, "completed"))

        status_of = lambda iid: self.ask(self.alice, "catalog/InstanceStatus.php",
                                         {"instanceId": iid})
        self.assertEqual(status_of("r1"), (200, {"status": "completed"}))
        self.assertEqual(status_of("nope")[0], 404)
        # Deleting a run, and again (a retry after a lost reply).
        for _ in range(2):
            self.assertEqual(self.ask(self.alice, "catalog/DeleteJobInstance.php",
                                      {"id": "r1"})[0], 200)
        self.assertEqual(status_of("r1"), (200, {"status": "deleted"}))
        _, runs = self.ask(self.alice, "catalog/ListJobInstanceOfJobDefinition.php",
                           {"jobdefinitionid": JOB})
        self.assertEqual([r["id"] for r in runs], ["r2", "r3"])
        # The items of a deleted run are not carried over any more.
        _, tree = self.ask(self.alice, "catalog/GetSourcesByJobInstanceID.php",
                           {"jobinstanceid": "r2"})
        self.assertEqual(sorted(n.get("vol") or n.get("dir") or n.get("file") for n in tree),
                         ["C:/", "C:/t/a.txt", "C:/t/new/"])
        # Every run of the definition; the definition stays.
        bob = self.client()
        bob.login("bob", "hunter2")
        self.assertEqual(self.ask(bob, "catalog/DeleteJobDefinition.php", {"id": JOB})[0], 403)
        for _ in range(2):
            self.assertEqual(self.ask(self.alice, "catalog/DeleteJobDefinition.php",
                                      {"id": JOB})[0], 200)
        self.assertEqual(self.ask(self.alice, "catalog/ListJobInstanceOfJobDefinition.php",
                                  {"jobdefinitionid": JOB}), (200, []))
        self.assertEqual(status_of("r2"), (200, {"status": "deleted"}))
        self.assertEqual(self.ask(self.alice, "catalog/DeleteJobDefinition.php",
                                  {"id": "other"})[0], 404)

    def test_the_tree_reply_is_the_encoders_text_for_packed_and_folder_runs(self):
        """The tree's reply, byte for byte, as json.dumps (compact, keys sorted) writes the
        nodes that the protocol describes, for a run in a pack and a run in folders."""
        epoch = datetime.datetime(1601, 1, 1)
        last = (datetime.datetime(9999, 12, 31, 23, 59, 59) - epoch) // datetime.timedelta(
            microseconds=1) * 10 + 9999999  # the last tick of year 9999
        halves = lambda ticks: (ticks >> 32, _signed(ticks & 0xFFFFFFFF))
        items = [("C:\\t", 0, True, (30000000, 1000)),
                 ("C:\\t\\\u00e9t\u00e9 \"\u20ac\"\x01.txt", 3, False, halves(last + 1)),
                 ("C:\\t\\big", 5 << 32 | 7, False, halves(last)),
                 ("E:/u/", 0, True, (-1, 7)), ("rel\\x", 1, False, (1, -2))]

        def when(high, low):
            ticks = (high & 0xFFFFFFFF) << 32 | (low & 0xFFFFFFFF)
            try:
                moment = epoch + datetime.timedelta(microseconds=ticks // 10)
            except OverflowError:
                return ""
            return moment.strftime("%Y-%m-%d %H:%M:%S")

        for run, extra in (("packed", {"totalfiles": 1000}), ("folders", {})):
            self.assertEqual(self.alice.start_job(JOB + run, run, **extra)[0], 200)
            nodes = []
            for name, size, folder, mtime in items:
                self.assertEqual(self.alice.describe(run, name, size, folder, mtime)[0], 200)
                a = attributes(size, folder, mtime)
                node = {"bUp": 1, "mtime": when(*mtime),
                        "atime": when(a["ftLastAccessTimedwHighDateTime"],
                                      a["ftLastAccessTimedwLowDateTime"]),
                        "ctime": when(a["ftCreationTimedwHighDateTime"],
                                      a["ftCreationTimedwLowDateTime"])}
                path = name.replace("\\", "/").rstrip("/")
                node.update({"dir": path + "/"} if folder else {"file": path, "size": size})
                nodes.append(node)
            volumes = [{"vol": v, "mtime": "", "atime": "", "ctime": "", "bUp": 0}
                       for v in ("C:/", "E:/")]
            status, _, data = self.alice.raw("POST", WEB + "catalog/GetSourcesByJobInstanceID.php",
                                             json.dumps({"jobinstanceid": run}).encode())
            self.assertEqual((status, data), (200, json.dumps(
                volumes + nodes, separators=(",", ":"), sort_keys=True).encode()), run)

    def test_the_new_kinds_take_faults(self):
        self.admin.control("POST", "faults", {"kind": "list_job_instances", "action": "status",
                                              "status": 503, "times": 1})
        self.assertEqual(self.define(self.alice, {"id": JOB, "type": "backup"}), 200)
        path = "catalog/ListJobInstanceOfJobDefinition.php"
        self.assertEqual(self.ask(self.alice, path, {"jobdefinitionid": JOB})[0], 503)
        self.assertEqual(self.ask(self.alice, path, {"jobdefinitionid": JOB}), (200, []))


if __name__ == "__main__":
    unittest.main()
