"""The consistent check's listings and the deletion of backed-up files."""

import json
import unittest

from simtest import ServiceCase

WEB = "/tovel/WebServer/"
JOB = "0f5c3a2e-1b7d-4c1e-9f1a-2b3c4d5e6f71"
HOST = "?machinename=any"


class ConsistentCheckTest(ServiceCase):

    def ask(self, client, path, body):
        status, _, data = client.raw("POST", WEB + path + HOST, json.dumps(body).encode())
        try:
            return status, json.loads(data)
        except ValueError:
            return status, data

    def run_job(self, iid, files):
        self.assertEqual(self.alice.start_job(JOB, iid)[0], 200)
        for name, mtime in files.items():
            if mtime is None:
                self.assertEqual(self.alice.describe(iid, name, folder=True)[0], 200)
            else:
                self.assertTrue(all(s == 200 for s in self.alice.store_file(
                    iid, name, b"x", mtime=mtime)))
        self.assertEqual(self.alice.end_job(iid)[0], 200)

    def test_listings_follow_the_runs_and_deletions(self):
        definition = {"id": JOB, "type": "backup", "name": "n", "source": ["C:\\t", "D:\\f.txt"]}
        status, _, _ = self.alice.raw("POST", WEB + "jobs/CreateJobDefinition.php",
                                      json.dumps(definition).encode())
        self.assertEqual(status, 200)
        self.run_job("r1", {"C:\\t": None, "C:\\t\\a_b\\x": (1, 2), "C:\\t\\aXb\\y": (3, 4),
                            "D:\\f.txt": (5, 6)})
        self.run_job("r2", {"C:\\t\\a_b\\x": (-1, 7)})

        self.assertEqual(self.ask(self.alice, "consistentcheck/getjobselecsion.php",
                                  {"jobinstanceid": "r2"}),
                         (200, {"source": {"C:/t": 1, "D:/f.txt": 0}, "exclusion": []}))
        listing = {"C:/t/a_b/x": "4294967295-7", "C:/t/aXb/y": "3-4", "D:/f.txt": "5-6"}
        self.assertEqual(self.ask(self.alice, "consistentcheck/jobinstancelastbackup.php",
                                  {"jobinstanceid": "r2"}), (200, listing))
        self.assertEqual(self.ask(self.alice, "consistentcheck/getlastbackup.php",
                                  {"source": {"C:/t": 1, "D:/f.txt": 0, "D:/f": 1}}),
                         (200, listing))
        self.assertEqual(self.ask(self.alice, "consistentcheck/getlastbackup.php",
                                  {"source": {"C:/t/a_b": 1}}),
                         (200, {"C:/t/a_b/x": "4294967295-7"}))
        self.assertEqual(self.ask(self.alice, "consistentcheck/jobinstancelastbackup.php",
                                  {"jobinstanceid": "nope"})[0], 404)

        # A restore that names no instance reads the newest complete version.
        info = "/tovel/Storage%20Server/RestoreServer/GetFileInfo.php"
        for path, name, found in [("C:\\t\\a_b", "x", "r2"), ("D:", "f.txt", "r1")]:
            status, _, data = self.alice.raw("POST", info, json.dumps(
                {"machine": "m", "jobinstanceid": "", "path": path, "filename": name}).encode())
            self.assertEqual((status, json.loads(data)["jobinstanceid"]), (200, found))
        status, _, _ = self.alice.raw("POST", info, json.dumps(
            {"machine": "m", "jobinstanceid": "", "path": "C:", "filename": "none"}).encode())
        self.assertEqual(status, 404)

        # Deleting is idempotent; a path nothing holds is refused and deletes nothing.
        self.assertEqual(self.ask(self.alice, "catalog/DeleteFiles.php",
                                  ["C:/t/aXb/y", "C:/none"])[0], 404)
        for _ in range(2):
            self.assertEqual(self.ask(self.alice, "catalog/DeleteFiles.php",
                                      ["C:/t/aXb/y"])[0], 200)
        self.assertEqual(self.ask(self.alice, "catalog/DeleteFiles.php", {"a": 1})[0], 400)
        del listing["C:/t/aXb/y"]
        self.assertEqual(self.ask(self.alice, "consistentcheck/jobinstancelastbackup.php",
                                  {"jobinstanceid": "r2"}), (200, listing))
        self.assertEqual(self.ask(self.alice, "consistentcheck/getlastbackup.php",
                                  {"source": {"C:/t": 1}}),
                         (200, {"C:/t/a_b/x": "4294967295-7"}))
        bodies = [r["body"] for r in self.requests("delete_files")]
        self.assertIn(["C:/t/aXb/y"], bodies)
        # Another user sees none of it.
        bob = self.client()
        self.assertEqual(bob.login("bob", "hunter2"), 200)
        self.assertEqual(self.ask(bob, "consistentcheck/getlastbackup.php",
                                  {"source": {"C:/t": 1}}), (200, {}))


if __name__ == "__main__":
    unittest.main()
