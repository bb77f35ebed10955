"""The web interface's requests about job definitions and their runs.

Job definitions are kept by their "id" under the session's user; a Start Job
of that id then runs that job.  The catalogue requests list a definition's
runs, describe the source tree of a run, tell a run's status, and give its
history and errors as kept; the delete requests mark runs deleted (a deleted
run is no longer listed and its status is "deleted"; deleting again is a
harmless repeat, so that a client's retry after a lost reply is not refused).
"""

import datetime
from json.encoder import encode_basestring_ascii as _quoted

from .catalogue import WEB, Reply, request_kind, _owned_instance
from .checks import ApiError, exact_keys, need_object, string
from .store import path_key

_EPOCH = datetime.datetime(1601, 1, 1)
_LAST_DAY = (datetime.datetime(9999, 12, 31) - _EPOCH).days  # of the calendar, since _EPOCH


def _definition_job(ctx, job_id, must_exist):
    """The job record of a definition id, checked against the session's user."""
    job = ctx.store.job(job_id)
    if job is None:
        if must_exist:
            raise ApiError(404, "no job definition %s" % job_id)
        return None
    if job["owner"] not in (None, ctx.user):
        raise ApiError(403, "job %s belongs to another user" % job_id)
    ctx.note["job"] = job_id
    return job


def _keep_definition(ctx, body, must_exist):
    need_object(body)
    job_id = string(body, "id")
    _definition_job(ctx, job_id, must_exist)
    # The definition's own compression flag is the job's, as the file information reports it.
    compression = body.get("compression")
    job = ctx.store.set_job(job_id, owner=ctx.user,
                            compression=compression if isinstance(compression, bool) else None)
    with ctx.store.lock:
        job["definition"] = body
        ctx.store._save_service()
    return Reply.ok()


@request_kind("create_job_definition", "/tovel/WebServer/jobs/CreateJobDefinition.php", WEB)
def create_job_definition(ctx, body):
    return _keep_definition(ctx, body, must_exist=False)


@request_kind("update_job_definition", "/tovel/WebServer/jobs/UpdateJobDefinition.php", WEB)
def update_job_definition(ctx, body):
    return _keep_definition(ctx, body, must_exist=True)


class _Clock:
    """FILETIMEs as "YYYY-MM-DD hh:mm:ss" texts, for one reply: each second's text is worked
    out once (the items of a run share many), and each day's date once."""

    def __init__(self):
        self._seconds = {}
        self._days = {}

    def text(self, high, low):
        """The time of a FILETIME's halves (signed 32-bit as sent); "" past year 9999."""
        second = (((high & 0xFFFFFFFF) << 32) | (low & 0xFFFFFFFF)) // 10000000
        text = self._seconds.get(second)
        if text is None:
            text = self._seconds[second] = self._work_out(second)
        return text

    def _work_out(self, second):
        day, second = divmod(second, 86400)
        date = self._days.get(day)
        if date is None:
            if day > _LAST_DAY:
                return ""
            date = self._days[day] = (_EPOCH + datetime.timedelta(days=day)).strftime("%Y-%m-%d")
        hour, second = divmod(second, 3600)
        minute, second = divmod(second, 60)
        return "%s %02d:%02d:%02d" % (date, hour, minute, second)


# A node as compact JSON with its keys sorted, as json.dumps(node, sort_keys=True) writes it.
_FOLDER = '{"atime":"%s","bUp":%d,"ctime":"%s","dir":%s,"mtime":"%s"}'
_FILE = '{"atime":"%s","bUp":%d,"ctime":"%s","file":%s,"mtime":"%s","size":%d}'
_VOLUME = '{"atime":"","bUp":0,"ctime":"","mtime":"","vol":%s}'


def _node_text(entry, sent, clock):
    """(path, JSON text) of an item's node: its path with "/" separators ("/" after a folder's),
    its three times, "bUp" 1 when the run sent it itself, and a file's size."""
    attri = entry["attri"]
    path = entry["name"].replace("\\", "/").rstrip("/")
    when = clock.text
    mtime = when(attri["ftLastWriteTimedwHighDateTime"], attri["ftLastWriteTimedwLowDateTime"])
    atime = when(attri["ftLastAccessTimedwHighDateTime"], attri["ftLastAccessTimedwLowDateTime"])
    ctime = when(attri["ftCreationTimedwHighDateTime"], attri["ftCreationTimedwLowDateTime"])
    if entry["type"] == "folder":
        path += "/"
        return path, _FOLDER % (atime, 1 if sent else 0, ctime, _quoted(path), mtime)
    # The size of the original file, not of its stored form.
    size = ((attri["nFileSizeHigh"] & 0xFFFFFFFF) << 32) | (attri["nFileSizeLow"] & 0xFFFFFFFF)
    return path, _FILE % (atime, 1 if sent else 0, ctime, _quoted(path), mtime, size)


def _run_entries(ctx, record):
    """(entries, sent): the entries of every item a backup run holds, in order, and how many of
    the first ones the run sent itself.

    The run's own descriptions come first; then the complete items of the
    same job's earlier completed runs (not deleted) that the run did not send
    again, newest first: an item that did not change was carried over.  One
    dict of path keys and one list are made, and no object per item that the
    garbage collector would follow, so that a run of many items makes no full
    collection.
    """
    store = ctx.store
    items = {}
    for entry in store.files(record["id"]):
        items[path_key(entry["name"])] = entry  # a repeated path keeps its first place
    sent = len(items)
    job = store.job(record["job"]) or {"instances": [record["id"]]}
    runs = job["instances"]
    position = runs.index(record["id"]) if record["id"] in runs else len(runs)
    for iid in reversed(runs[:position]):
        earlier = store.instance(iid) or {}
        if earlier.get("state") != "completed" or earlier.get("deleted"):
            continue
        for entry in store.files(iid):
            key = path_key(entry["name"])
            if key not in items and store.is_complete(iid, entry):
                items[key] = entry
    return list(items.values()), sent


def _run_items(ctx, record):
    """(entry, sent) of every item a backup run holds, in order (see ``_run_entries``)."""
    entries, sent = _run_entries(ctx, record)
    return [(entry, n < sent) for n, entry in enumerate(entries)]


@request_kind("get_instance_sources",
              "/tovel/WebServer/catalog/GetSourcesByJobInstanceID.php", WEB)
def get_instance_sources(ctx, body):
    exact_keys(body, ["jobinstanceid"])
    record = _owned_instance(ctx, string(body, "jobinstanceid"), "backup")
    # The reply is written as text, node by node: a dict per node and the encoder's sorting of
    # its keys would cost several times as much for a run of many items.
    nodes = []
    volumes = {}
    clock = _Clock()
    entries, sent = _run_entries(ctx, record)
    for n, entry in enumerate(entries):
        path, text = _node_text(entry, n < sent, clock)
        if len(path) >= 2 and path[1] == ":":
            volumes.setdefault(path[:2] + "/")
        nodes.append(text)
    ctx.note["nodes"] = len(nodes)
    tree = [_VOLUME % _quoted(v) for v in volumes]
    return Reply(200, ("[" + ",".join(tree + nodes) + "]").encode("ascii"))


def _summary(record):
    start = record.get("start") or {}
    return {
        "id": record["id"],
        "state": "deleted" if record.get("deleted") else record["state"],
        "starttime": start.get("starttime", ""),
        "endtime": record.get("endtime") or "",
        "totalfiles": start.get("totalfiles", 0),
        "totalsize": start.get("totalsize", 0),
    }


@request_kind("list_job_instances",
              "/tovel/WebServer/catalog/ListJobInstanceOfJobDefinition.php", WEB)
def list_job_instances(ctx, body):
    exact_keys(body, ["jobdefinitionid"])
    job = _definition_job(ctx, string(body, "jobdefinitionid"), must_exist=True)
    runs = []
    for iid in job["instances"]:
        record = ctx.store.instance(iid)
        if record is not None and not record.get("deleted"):
            runs.append(_summary(record))
    return Reply.json(runs)


@request_kind("instance_status", "/tovel/WebServer/catalog/InstanceStatus.php", WEB)
def instance_status(ctx, body):
    exact_keys(body, ["instanceId"])
    record = _owned_instance(ctx, string(body, "instanceId"))
    return Reply.json({"status": _summary(record)["state"]})


@request_kind("get_instance_history",
              "/tovel/WebServer/catalog/GetHistoryByJobInstanceID.php", WEB)
def get_instance_history(ctx, body):
    exact_keys(body, ["jobinstanceid"])
    record = _owned_instance(ctx, string(body, "jobinstanceid"))
    history = record.get("history")
    return Reply.json(history if history is not None else _summary(record))


@request_kind("list_instance_errors",
              "/tovel/WebServer/catalog/ListErrorByJobInstanceID.php", WEB)
def list_instance_errors(ctx, body):
    exact_keys(body, ["jobinstanceid"])
    record = _owned_instance(ctx, string(body, "jobinstanceid"))
    return Reply.json(record.get("errors") or [])


def _mark_deleted(ctx, record):
    if not record.get("deleted"):
        record["deleted"] = True
        ctx.store.save_instance(record)


@request_kind("delete_job_instance", "/tovel/WebServer/catalog/DeleteJobInstance.php", WEB)
def delete_job_instance(ctx, body):
    exact_keys(body, ["id"])
    _mark_deleted(ctx, _owned_instance(ctx, string(body, "id")))
    return Reply.ok()


@request_kind("delete_job_definition_runs",
              "/tovel/WebServer/catalog/DeleteJobDefinition.php", WEB)
def delete_job_definition_runs(ctx, body):
    exact_keys(body, ["id"])
    job = _definition_job(ctx, string(body, "id"), must_exist=True)
    count = 0
    for iid in job["instances"]:
        record = ctx.store.instance(iid)
        if record is not None:
            _mark_deleted(ctx, record)
            count += 1
    ctx.note["deleted"] = count
    return Reply.ok()
