"""The consistent check's requests and the deletion of backed-up files.

A job instance's selection comes from its job's definition as Create Job
Definition received it; the last-backup listings give each file that the
user's backups hold with the last-write time it was uploaded with, as
"high-low" (the halves of the FILETIME as unsigned decimals), with "/"
separators.  Delete Files marks paths deleted for the session's user: they
leave every listing, and deleting again is a harmless repeat.  Each of these
URIs carries "?machinename=", which is taken and not checked.
"""

from .catalogue import WEB, Reply, request_kind, _owned_instance
from .catalogue_jobs import _run_items
from .checks import ApiError, bad, exact_keys, need_object, string
from .store import path_key


def _deleted(ctx):
    """The path keys that the session's user deleted with Delete Files."""
    with ctx.store.lock:
        every = ctx.store.__dict__.setdefault("deleted_files", {})
        return every.setdefault(ctx.user, set())


def _slashed(name):
    return name.replace("\\", "/").rstrip("/")


def _time(entry):
    attri = entry["attri"]
    return "%d-%d" % (attri["ftLastWriteTimedwHighDateTime"] & 0xFFFFFFFF,
                      attri["ftLastWriteTimedwLowDateTime"] & 0xFFFFFFFF)


def _listing(entries, deleted):
    """{path: time} of the file entries, the deleted ones left out."""
    out = {}
    for entry in entries:
        if entry["type"] == "folder" or path_key(entry["name"]) in deleted:
            continue
        out[_slashed(entry["name"])] = _time(entry)
    return out


def _user_files(ctx):
    """The newest complete version of each file of the user's backups, by path key."""
    store = ctx.store
    records = [store.instance(iid) for iid in store.instances()]
    records = [r for r in records
               if r and r.get("owner") == ctx.user and r.get("kind") == "backup"
               and not r.get("deleted") and r.get("state") == "completed"]
    newest = {}
    # Oldest first, so that a later version replaces an earlier one.
    for record in sorted(records, key=lambda r: r.get("created") or 0):
        for entry in store.files(record["id"]):
            if entry["type"] == "folder" or not store.is_complete(record["id"], entry):
                continue
            newest[path_key(entry["name"])] = entry
    return newest


@request_kind("cc_job_selection", "/tovel/WebServer/consistentcheck/getjobselecsion.php", WEB)
def cc_job_selection(ctx, body):
    exact_keys(body, ["jobinstanceid"])
    record = _owned_instance(ctx, string(body, "jobinstanceid"), "backup")
    job = ctx.store.job(record["job"]) or {}
    definition = job.get("definition")
    if not definition:
        raise ApiError(404, "job instance %s has no job definition" % record["id"])
    held = {path_key(entry["name"]): entry["type"] for entry, _ in _run_items(ctx, record)}
    source = {}
    for path in definition.get("source") or []:
        if not isinstance(path, str):
            continue
        folder = path.endswith(("/", "\\")) or held.get(path_key(path), "folder") == "folder"
        source[_slashed(path)] = 1 if folder else 0
    return Reply.json({"source": source, "exclusion": []})


@request_kind("cc_job_last_backup",
              "/tovel/WebServer/consistentcheck/jobinstancelastbackup.php", WEB)
def cc_job_last_backup(ctx, body):
    exact_keys(body, ["jobinstanceid"])
    record = _owned_instance(ctx, string(body, "jobinstanceid"), "backup")
    listing = _listing([entry for entry, _ in _run_items(ctx, record)], _deleted(ctx))
    ctx.note["files"] = len(listing)
    return Reply.json(listing)


@request_kind("cc_last_backup", "/tovel/WebServer/consistentcheck/getlastbackup.php", WEB)
def cc_last_backup(ctx, body):
    need_object(body)
    source = body.get("source")
    if not isinstance(source, dict):
        raise bad('"source" is not an object')
    folders = [path_key(p) + "\\" for p, v in source.items() if v == 1]
    files = {path_key(p) for p, v in source.items() if v != 1}
    chosen = [entry for key, entry in _user_files(ctx).items()
              if key in files or any(key.startswith(f) for f in folders)]
    listing = _listing(chosen, _deleted(ctx))
    ctx.note["files"] = len(listing)
    return Reply.json(listing)


@request_kind("delete_files", "/tovel/WebServer/catalog/DeleteFiles.php", WEB)
def delete_files(ctx, body):
    if not isinstance(body, list) or not all(isinstance(p, str) for p in body):
        raise bad("the body is not an array of paths")
    ctx.note["paths"] = body
    held = _user_files(ctx)
    deleted = _deleted(ctx)
    unknown = [p for p in body if path_key(p) not in held and path_key(p) not in deleted]
    if unknown:
        raise ApiError(404, "nothing backed up under %s" % unknown[0])
    with ctx.store.lock:
        deleted.update(path_key(p) for p in body)
    return Reply.ok()
