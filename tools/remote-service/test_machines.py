"""The restore catalogue's machines and definitions, and offline jobs."""

import json
import unittest

from simtest import WEB, ServiceCase

LIST_MACHINES = WEB + "catalog/listmachines.php"
BY_MACHINE = WEB + "catalog/ListJobDefinitionByMachine.php"
APPLY = WEB + "OfflineJobApply.php"
CANCEL = WEB + "UserCancelOfflineJob.php"
LIST_OFFLINE = WEB + "ListOfflineJob.php"


class MachinesTest(ServiceCase):

    def define(self, owner, machine, job_id, name):
        status, _ = self.admin.control("POST", "definitions", {
            "owner": owner, "machine": machine, "id": job_id, "name": name})
        self.assertEqual(status, 200)

    def post(self, client, path, body=b""):
        payload = body if isinstance(body, bytes) else json.dumps(body).encode()
        status, headers, data = client.raw("POST", path, payload)
        return status, headers, (json.loads(data) if data else None)

    def test_machines_and_their_definitions_of_the_user_only(self):
        self.define("alice", "Desk.example.org", "j1", "Photos")
        self.define("alice", "laptop", "j2", "Mail")
        self.define("alice", "desk", "j3", "Music")
        self.define("bob", "server", "j4", "Root")
        status, headers, machines = self.post(self.alice, LIST_MACHINES)
        self.assertEqual(status, 200)
        self.assertEqual(sorted(machines), ["Desk.example.org", "desk", "laptop"])
        self.assertEqual(int(headers["Content-Length"]),
                         len(json.dumps(machines, separators=(",", ":"))))
        status, _, found = self.post(self.alice, BY_MACHINE, {"machine": "DESK.other"})
        self.assertEqual(status, 200)
        self.assertEqual(sorted(d["id"] for d in found), ["j1", "j3"])
        self.assertEqual(self.post(self.alice, BY_MACHINE, {"machine": "server"})[2], [])
        self.assertEqual(self.post(self.alice, BY_MACHINE, {"host": "desk"})[0], 400)
        self.assertEqual(self.post(self.alice, LIST_MACHINES, b"{}")[0], 400)
        self.assertEqual(self.post(self.client(), LIST_MACHINES)[0], 401)

    def test_offline_jobs_apply_info_cancel_and_list(self):
        status, _, made = self.post(self.alice, APPLY, {"drive": "E:", "size": 3})
        self.assertEqual(status, 200)
        self.assertEqual(made["state"], "applied")
        status, _, info = self.post(self.alice, APPLY, {"id": made["id"]})
        self.assertEqual((status, info["drive"], info["state"]), (200, "E:", "applied"))
        self.assertEqual(self.post(self.alice, APPLY, {"id": "nothing"})[0], 404)
        self.assertEqual(self.post(self.alice, APPLY, {"id": made["id"], "x": 1})[0], 400)
        self.assertEqual(self.post(self.alice, CANCEL, {"id": made["id"]})[2]["state"],
                         "cancelled")
        self.assertEqual(self.post(self.alice, CANCEL, {"id": made["id"]})[0], 200)
        bob = self.client()
        bob.login("bob", "hunter2")
        self.assertEqual(self.post(bob, CANCEL, {"id": made["id"]})[0], 404)
        self.assertEqual(self.post(bob, LIST_OFFLINE)[2], [])
        status, _, jobs = self.post(self.alice, LIST_OFFLINE)
        self.assertEqual([(j["id"], j["state"]) for j in jobs], [(made["id"], "cancelled")])
        self.assertEqual(self.post(self.client(), LIST_OFFLINE)[0], 401)
        # The jobs survive a restart of the service.
        self.restart()
        self.assertEqual(self.post(self.alice, LIST_OFFLINE)[2][0]["id"], made["id"])


if __name__ == "__main__":
    unittest.main()
