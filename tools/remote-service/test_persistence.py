"""State kept across restarts, the command line, and the inspection views."""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

from simtest import BLOCK, Client, ServiceCase

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "remote_service.py")
JOB = "job-p"
RUN = "run-p"
MD5 = "00112233445566778899aabbccddeeff"


class RestartTest(ServiceCase):

    def test_everything_survives_a_restart(self):
        data = os.urandom(2 * BLOCK + 3)
        a = self.alice
        a.call("export_key_md5", {"md5": MD5})
        a.start_job(JOB, RUN)
        a.describe(RUN, "C:\\x\\big", len(data))
        a.block(RUN, "C:\\x\\big", 1, data[:BLOCK])
        self.restart()
        a = self.alice
        # The session, the half-sent file and the key survive.
        self.assertEqual(a.call("get_key_md5"), (200, {"md5": MD5}))
        self.assertEqual(a.start_job(JOB, RUN)[0], 200)
        a.describe(RUN, "C:\\x\\big", len(data))
        a.block(RUN, "C:\\x\\big", 2, data[BLOCK:2 * BLOCK])
        a.block(RUN, "C:\\x\\big", 3, data[2 * BLOCK:])
        a.end_job(RUN)
        self.restart()
        self.assertEqual(self.admin.control("GET", "file?instance=%s&name=C:\\x\\big" % RUN),
                         (200, data))
        _, record = self.admin.control("GET", "instance?id=" + RUN)
        self.assertEqual((record["state"], record["starts"]), ("completed", 2))
        self.assertEqual(record["files"][0]["descriptions"], 2)
        self.assertEqual(self.alice.increment(JOB, [("C:\\x\\big", (30000000, 1000))]),
                         (200, []))
        self.assertEqual(self.alice.download(RUN, "C:\\x", "big", 3)[1][32:], data[2 * BLOCK:])
        self.assertIn("bob", self.admin.control("GET", "accounts")[1]["accounts"])

    def test_sessions_can_be_forgotten_at_start(self):
        self.restart(forget_sessions=True)
        self.assertEqual(self.alice.call("get_key_md5")[0], 401)
        self.assertEqual(self.alice.login("alice", "secret"), 200)

    def test_odd_instance_ids_are_kept_too(self):
        odd = "../../etc/π"
        self.assertEqual(self.alice.start_job(JOB, odd)[0], 200)
        self.alice.store_file(odd, "f", b"abc")
        self.restart()
        self.assertEqual(self.alice.download(odd, "f", "", 1)[1][32:], b"abc")
        self.assertEqual(sorted(os.listdir(os.path.join(self.state, "instances"))),
                         ["x-" + odd.encode().hex()])


class InspectionTest(ServiceCase):

    def test_request_log_in_order_and_since(self):
        self.alice.start_job(JOB, RUN)
        self.alice.store_file(RUN, "f", b"abc")
        self.alice.end_job(RUN)
        entries = self.requests()
        self.assertEqual([e["kind"] for e in entries],
                         ["login", "start_job", "upload_file", "upload_data", "end_job"])
        block = entries[3]
        self.assertEqual((block["user"], block["instance"], block["block"], block["length"]),
                         ("alice", RUN, 1, 3))
        self.assertEqual(block["headers"]["Accept-Encoding"], "gip, deflate")
        self.assertEqual(entries[1]["body"]["jobinstanceid"], RUN)
        self.assertEqual(entries[4]["path"], "/tovel/Storage%20Server/backupServer/endjob.php")
        _, later = self.admin.control("GET", "requests?since=%d" % entries[2]["seq"])
        self.assertEqual([e["kind"] for e in later["requests"]], ["upload_data", "end_job"])
        _, only = self.admin.control("GET", "requests?kind=end_job")
        self.assertEqual(len(only["requests"]), 1)
        self.admin.control("POST", "requests/clear")
        self.assertEqual(self.requests(), [])

    def test_the_request_log_keeps_its_last_entries(self):
        self.restart(log_limit=3)
        self.alice.start_job(JOB, RUN)
        for n in range(4):
            self.alice.store_file(RUN, "f%d" % n, b"abc")
        self.alice.end_job(RUN)
        entries = self.requests()
        self.assertEqual([(e["seq"], e["kind"]) for e in entries],
                         [(8, "upload_file"), (9, "upload_data"), (10, "end_job")])
        self.assertEqual(entries[1]["headers"]["Accept-Encoding"], "gip, deflate")
        _, later = self.admin.control("GET", "requests?since=8")
        self.assertEqual([e["seq"] for e in later["requests"]], [9, 10])
        _, older = self.admin.control("GET", "requests?since=2")
        self.assertEqual([e["seq"] for e in older["requests"]], [8, 9, 10])

    def test_jobs_and_instances(self):
        self.alice.start_job(JOB, RUN)
        self.alice.store_file(RUN, "f", b"abc", (4, 5))
        self.alice.end_job(RUN)
        self.assertEqual(self.admin.control("GET", "jobs")[1], {"jobs": [JOB]})
        _, job = self.admin.control("GET", "job?id=" + JOB)
        self.assertEqual((job["owner"], job["instances"]), ("alice", [RUN]))
        self.assertEqual(job["catalogue"]["f"]["mtimeLow"], 5)
        _, listed = self.admin.control("GET", "instances")
        self.assertEqual(listed["instances"], [{"id": RUN, "kind": "backup", "job": JOB,
                                                "owner": "alice", "state": "completed",
                                                "files": 1, "complete": 1}])
        self.assertEqual(self.admin.control("GET", "instance?id=none")[0], 404)
        self.assertEqual(self.admin.control("GET", "file?instance=%s&name=g" % RUN)[0], 404)
        self.assertEqual(self.admin.control("GET", "nothing")[0], 404)


class PackedRunTest(ServiceCase):
    """A run that announces many files keeps its items in one pack file."""

    def stored(self, name):
        return self.admin.control("GET", "file?instance=%s&name=%s" % (RUN, name))

    def test_a_packed_run_survives_restarts_and_a_write_cut_off(self):
        big = os.urandom(2 * BLOCK + 3)
        a = self.alice
        a.start_job(JOB, RUN, totalfiles=1000)
        a.describe(RUN, "C:\\x", folder=True)
        a.describe(RUN, "C:\\x\\big", len(big))
        a.block(RUN, "C:\\x\\big", 1, b"?" * BLOCK)
        a.store_file(RUN, "C:\\x\\small", b"first")
        a.store_file(RUN, "C:\\x\\small", b"second")  # a new size drops the first block
        a.describe(RUN, "C:\\x\\same", 4)
        a.block(RUN, "C:\\x\\same", 1, b"abcd")
        a.describe(RUN, "C:\\x\\same", 4)  # the same size keeps it
        # A record cut off at the end of the pack (the simulator killed inside a write) is cut
        # away at the next start, and what is appended after it is found.
        self.stop_service()
        folder = os.path.join(self.state, "instances", RUN)
        self.assertEqual(sorted(os.listdir(folder)), ["instance.json", "pack"])
        pack = os.path.join(folder, "pack")
        whole = os.path.getsize(pack)
        with open(pack, "ab") as out:
            out.write(b"B 2 2 131072\nsec")
        self.restart()
        self.assertEqual(os.path.getsize(pack), whole)
        a = self.alice
        self.assertEqual(self.stored("C:\\x\\small"), (200, b"second"))
        self.assertEqual(self.stored("C:\\x\\same"), (200, b"abcd"))
        self.assertEqual(self.stored("C:\\x\\big")[0], 409)
        a.block(RUN, "C:\\x\\big", 1, big[:BLOCK])  # overwrites the stored block
        a.block(RUN, "C:\\x\\big", 2, big[BLOCK:2 * BLOCK])
        a.block(RUN, "C:\\x\\big", 3, big[2 * BLOCK:])
        a.end_job(RUN)
        self.restart()
        self.assertEqual(self.stored("C:\\x\\big"), (200, big))
        _, record = self.admin.control("GET", "instance?id=" + RUN)
        self.assertEqual([(f["name"], f["descriptions"], f["complete"]) for f in record["files"]],
                         [("C:\\x", 1, True), ("C:\\x\\big", 1, True),
                          ("C:\\x\\small", 2, True), ("C:\\x\\same", 2, True)])
        self.assertEqual(self.alice.download(RUN, "C:\\x", "big", 3)[1][32:], big[2 * BLOCK:])
        self.assertEqual(self.alice.increment(JOB, [("C:\\x\\big", (30000000, 1000))]),
                         (200, []))


class CommandLineTest(unittest.TestCase):

    def setUp(self):
        self.state = tempfile.mkdtemp(prefix="remote-service-cli-")
        self.addCleanup(shutil.rmtree, self.state, True)

    def start(self, *args):
        proc = subprocess.Popen([sys.executable, SCRIPT, "--state", self.state, "--port", "0"]
                                + list(args), stdout=subprocess.PIPE, text=True)
        self.addCleanup(self._stop, proc)
        first = proc.stdout.readline().split()
        second = proc.stdout.readline().split()
        self.assertEqual((first[0], second[0]), ("port", "storage-port"))
        return proc, int(first[1]), int(second[1])

    def _stop(self, proc):
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdout.close()

    def ctl(self, port, *args):
        out = subprocess.run([sys.executable, SCRIPT, "ctl", "--port", str(port)] + list(args),
                             capture_output=True, text=True, check=True)
        return json.loads(out.stdout)

    def test_start_options_ctl_and_sigterm(self):
        fault = json.dumps({"kind": "get_key_md5", "action": "status", "status": 503})
        proc, port, storage = self.start("--account", "carol:pw", "--cookie", "carol:sid=c1",
                                         "--fault", fault, "--storage-port", "0")
        self.assertNotEqual(port, storage)
        c = Client(port, "sid=c1")
        self.assertEqual(c.call("get_key_md5")[0], 503)
        self.assertEqual(self.ctl(port, "POST", "faults/clear"), {"removed": 1})
        self.assertEqual(c.call("get_key_md5"), (200, {"md5": ""}))
        self.assertEqual(self.ctl(port, "GET", "/_sim/health")["storage_port"], storage)
        c.close()
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=10), 0)

    def test_config_file(self):
        config = {
            "accounts": [{"user": "dave", "password": "pw", "cookies": ["sid=d1"]}],
            "jobs": [{"id": "j", "owner": "dave", "compression": True}],
            "keys": {"dave": MD5},
            "faults": [{"kind": "login", "action": "status", "status": 500, "times": 1}],
            "settings": {"chunked": True},
        }
        path = os.path.join(self.state, "..", os.path.basename(self.state) + ".json")
        with open(path, "w") as out:
            json.dump(config, out)
        self.addCleanup(os.remove, path)
        proc, port, _ = self.start("--config", path)
        c = Client(port, "sid=d1")
        self.assertEqual(c.call("get_key_md5"), (200, {"md5": MD5}))
        self.assertEqual(c.login("dave", "pw"), 500)
        self.assertEqual(c.login("dave", "pw"), 200)
        c.start_job("j", "r")
        c.store_file("r", "f", b"1")
        self.assertIs(c.file_info("r", "f", "")[1]["compression"], True)
        c.close()

    def test_stops_when_stdin_closes(self):
        proc = subprocess.Popen([sys.executable, SCRIPT, "--state", self.state,
                                 "--until-stdin-closes"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.addCleanup(self._stop, proc)
        self.assertTrue(proc.stdout.readline().startswith("port "))
        proc.stdin.close()
        self.assertEqual(proc.wait(timeout=10), 0)


if __name__ == "__main__":
    unittest.main()
