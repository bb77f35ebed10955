"""The web interface's requests about what there is to restore and about
offline jobs.

The service keeps, beside its own state, the job definitions of each user
(the machine they back up and their name) and the users' offline jobs, in
"machines.json" of its state folder.  Tests put definitions in through the
control endpoint ``POST /_sim/definitions`` and read the offline jobs with
``GET /_sim/offlinejobs``.
"""

import json
import os
import uuid

from .catalogue import EMPTY, WEB, Reply, request_kind
from .checks import ApiError, bad, exact_keys, need_object, string

_FILE = "machines.json"


class _State:
    """Definitions and offline jobs of one store, saved after each change."""

    def __init__(self, store):
        self.store = store
        self.path = os.path.join(store.folder, _FILE)
        try:
            with open(self.path, encoding="utf-8") as f:
                saved = json.load(f)
        except (OSError, ValueError):
            saved = {}
        self.definitions = saved.get("definitions", [])
        self.offline = saved.get("offline", {})

    def save(self):
        tmp = self.path + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump({"definitions": self.definitions, "offline": self.offline}, f)
        os.replace(tmp, self.path)


def _state(store):
    with store.lock:
        state = getattr(store, "_machines_state", None)
        if state is None:
            state = _State(store)
            store._machines_state = state
        return state


def _short(machine):
    """A machine name as the catalogue compares it: without case, up to the first "."."""
    return machine.split(".", 1)[0].lower()


# ---------------------------------------------------------- restore catalogue

@request_kind("list_machines", "/tovel/WebServer/catalog/listmachines.php", WEB, body=EMPTY)
def list_machines(ctx, body):
    state = _state(ctx.store)
    with ctx.store.lock:
        names = sorted({d["machine"] for d in state.definitions if d["owner"] == ctx.user})
    return Reply.json(names)


@request_kind("definitions_by_machine",
              "/tovel/WebServer/catalog/ListJobDefinitionByMachine.php", WEB)
def definitions_by_machine(ctx, body):
    exact_keys(body, ["machine"])
    wanted = _short(string(body, "machine"))
    ctx.note["machine"] = body["machine"]
    state = _state(ctx.store)
    with ctx.store.lock:
        found = [{"id": d["id"], "name": d["name"], "machine": d["machine"]}
                 for d in state.definitions
                 if d["owner"] == ctx.user and _short(d["machine"]) == wanted]
    return Reply.json(found)


# ---------------------------------------------------------------- offline jobs

def _owned_offline(ctx, state, job_id):
    job = state.offline.get(job_id)
    if job is None or job["owner"] != ctx.user:
        raise ApiError(404, "no offline job %s" % job_id)
    ctx.note["offline"] = job_id
    return job


def _public(job):
    return {k: v for k, v in job.items() if k != "owner"}


@request_kind("offline_job_apply", "/tovel/WebServer/OfflineJobApply.php", WEB)
def offline_job_apply(ctx, body):
    need_object(body)
    state = _state(ctx.store)
    with ctx.store.lock:
        if "id" in body:
            exact_keys(body, ["id"])
            return Reply.json(_public(_owned_offline(ctx, state, string(body, "id"))))
        job_id = uuid.uuid4().hex
        job = dict(body, id=job_id, state="applied", owner=ctx.user)
        state.offline[job_id] = job
        state.save()
        ctx.note["offline"] = job_id
        return Reply.json({"id": job_id, "state": "applied"})


@request_kind("offline_job_cancel", "/tovel/WebServer/UserCancelOfflineJob.php", WEB)
def offline_job_cancel(ctx, body):
    exact_keys(body, ["id"])
    state = _state(ctx.store)
    with ctx.store.lock:
        job = _owned_offline(ctx, state, string(body, "id"))
        job["state"] = "cancelled"
        state.save()
        return Reply.json({"id": job["id"], "state": "cancelled"})


@request_kind("offline_job_list", "/tovel/WebServer/ListOfflineJob.php", WEB, body=EMPTY)
def offline_job_list(ctx, body):
    state = _state(ctx.store)
    with ctx.store.lock:
        jobs = [_public(j) for j in state.offline.values() if j["owner"] == ctx.user]
    return Reply.json(sorted(jobs, key=lambda j: j["id"]))


# ----------------------------------------------------------------- control

def control_routes(service):
    """The control endpoints of this module, for ``Control``'s route table."""

    def add_definition(args, body):
        need_object(body)
        record = {}
        for key in ("owner", "machine", "id", "name"):
            value = body.get(key)
            if not isinstance(value, str) or not value:
                raise bad('"%s" must be a non-empty string' % key)
            record[key] = value
        state = _state(service.store)
        with service.store.lock:
            state.definitions.append(record)
            state.save()
        return {"result": "ok"}

    def list_offline(args, body):
        state = _state(service.store)
        with service.store.lock:
            return {"offlinejobs": list(state.offline.values())}

    return {("POST", "definitions"): add_definition,
            ("GET", "offlinejobs"): list_offline}
