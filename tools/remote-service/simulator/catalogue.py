"""The request kinds that the service answers.

Each kind is a function registered with ``@request_kind``: its name (used by
the fault table and the request log), its path, the role of the server that
serves it (web server, storage server, or either), the form of its body and
whether it needs a session.  The function receives a ``Context`` and the
checked body and returns a ``Reply`` or raises ``ApiError``.  New kinds (the
web interface's own requests, for example) are added the same way.

Statuses of refusals, the same for every kind:

    400  the body is malformed or inconsistent
    401  no session cookie, or one the service does not know (any more)
    403  the job or instance belongs to another user
    404  no such instance, stored item or block
    406  a block whose MD5 does not match its bytes
    409  the instance is in a state that does not allow the request
"""

import json
import re
import time
import urllib.parse

from .checks import (INT32_MAX, INT32_MIN, ApiError, bad, exact_keys, string, int32, uint32,
                     uint64, array, need_object, md5_text, parse_json, join_halves)
from .digest import md5_hex
from .multipart import parse_block_upload
from .pack import attributes_json
from .store import (PACKED_FROM_FILES, SESSION_COOKIE, block_count, expected_block_length,
                    path_key)

WEB = "web"
STORAGE = "storage"
EITHER = "either"

JSON = "json"            # a JSON text
EMPTY = "empty"          # no body at all (Content-Length: 0)
MULTIPART = "multipart"  # the block upload form
IGNORED = "ignored"      # whatever is sent is not looked at

ATTRIBUTE_KEYS = [
    "dwFileAttributes", "nFileSizeHigh", "nFileSizeLow",
    "ftCreationTimedwHighDateTime", "ftCreationTimedwLowDateTime",
    "ftLastAccessTimedwHighDateTime", "ftLastAccessTimedwLowDateTime",
    "ftLastWriteTimedwHighDateTime", "ftLastWriteTimedwLowDateTime",
]
FILE_ATTRIBUTE_DIRECTORY = 0x10
# The keys of the bodies that come once per file or block, as exact_keys takes them quickest.
_ATTRIBUTE_SET = frozenset(ATTRIBUTE_KEYS)
_FILE_KEYS = frozenset(["attri", "type", "jobinstanceid", "sourcename", "totalsizeHigh",
                        "totalsizeLow", "totalblock"])
_SOURCE_KEYS = frozenset(["path", "mtimeHigh", "mtimeLow"])
_FILE_INFO_KEYS = frozenset(["machine", "jobinstanceid", "path", "filename"])
_BLOCK_KEYS = _FILE_INFO_KEYS | {"blockindex"}
_DATE = re.compile(r"^\d{4,}-\d\d-\d\d \d\d:\d\d:\d\d$")


class Reply:
    """A reply before the fault table and the wire layer shape it."""

    def __init__(self, status=200, body=b"", content_type="application/json",
                 headers=None):
        self.status = status
        self.body = body
        self.content_type = content_type
        self.headers = list(headers or [])

    @classmethod
    def json(cls, value, status=200, headers=None):
        return cls(status, _ENCODER.encode(value).encode("utf-8"), "application/json", headers)

    @classmethod
    def ok(cls):
        return cls(200, _OK_BODY)

    @classmethod
    def error(cls, status, message, headers=None):
        return cls.json({"error": message}, status, headers)


_ENCODER = json.JSONEncoder(separators=(",", ":"), sort_keys=True)
_OK_BODY = json.dumps({"result": "ok"}, separators=(",", ":")).encode("utf-8")


class Kind:
    """One request kind of the catalogue."""

    def __init__(self, name, path, role, body, auth, handler, method="POST"):
        self.name = name
        self.path = path
        self.role = role
        self.body = body
        self.auth = auth
        self.handler = handler
        self.method = method

    def serves(self, role, split):
        """Whether a server of ``role`` answers this kind.

        With one port (``split`` false) every port serves every kind; with a
        separate storage port, web-server kinds are served on the web port
        only and storage-server kinds on the storage port only.
        """
        return not split or self.role in (EITHER, role)


KINDS_BY_PATH = {}   # by the percent-decoded path
KINDS_BY_NAME = {}


def request_kind(name, path, role, body=JSON, auth=True, method="POST"):
    """Register a request kind (decorator); ``method`` is the one it takes."""
    def register(handler):
        kind = Kind(name, path, role, body, auth, handler, method)
        KINDS_BY_PATH[urllib.parse.unquote(path)] = kind
        KINDS_BY_NAME[name] = kind
        return handler
    return register


class Context:
    """What a handler needs of the request and the service."""

    def __init__(self, service, kind, headers, body, role):
        self.service = service
        self.store = service.store
        self.kind = kind
        self.headers = headers
        self.raw_body = body
        self.role = role
        self.user = None
        self.token = None
        self.note = {}   # extra facts for the request log

    def parse_body(self):
        """The body in the kind's form, checked."""
        form = self.kind.body
        if form == JSON:
            return parse_json(self.raw_body)
        if form == EMPTY:
            if self.raw_body:
                raise bad("this request carries no body")
            return None
        if form == MULTIPART:
            return parse_block_upload(self.headers.get("Content-Type"), self.raw_body)
        return self.raw_body


def session_token(cookie_header):
    """The session token of a Cookie header ("sid=<token>", among others)."""
    if not cookie_header:
        return None
    for pair in cookie_header.split(";"):
        name, eq, value = pair.strip().partition("=")
        if eq and name.strip() == SESSION_COOKIE and value.strip():
            return value.strip()
    return None


# ------------------------------------------------------------------ helpers

def _all_int32(values):
    """Whether every value is an integer of the signed 32-bit range (a loop, which costs less
    than a generator on PyPy)."""
    for v in values:
        if type(v) is not int or not INT32_MIN <= v <= INT32_MAX:
            return False
    return True


def _owned_instance(ctx, iid, kind=None):
    """The instance ``iid`` of the session's user, of the given kind."""
    record = ctx.store.instance(iid)
    if record is None:
        raise ApiError(404, "no job instance %s" % iid)
    if record["owner"] != ctx.user:
        raise ApiError(403, "job instance %s belongs to another user" % iid)
    if kind is not None and record["kind"] != kind:
        raise ApiError(409, "job instance %s is a %s run" % (iid, record["kind"]))
    ctx.note["instance"] = iid
    return record


def _running(record):
    if record["state"] != "running":
        raise ApiError(409, "job instance %s is %s" % (record["id"], record["state"]))


def _date(obj, key):
    value = string(obj, key)
    if value != "unknown" and not _DATE.match(value):
        raise bad('"%s" is neither a date "YYYY-MM-DD hh:mm:ss" nor "unknown"' % key)
    return value


def _find_stored(ctx, record, path, filename):
    """The newest complete version of an item, as of a backup instance.

    The instance itself is searched first, then the completed instances of
    the same job that started before it, newest first: an item that did not
    change was not sent again, and its last stored version is what the
    instance holds.  Returns (instance id, file entry) or raises 404.
    """
    name = path if filename == "" else path + "\\" + filename
    job = ctx.store.job(record["job"]) or {"instances": [record["id"]]}
    order = job["instances"]
    position = order.index(record["id"]) if record["id"] in order else len(order)
    candidates = [record["id"]] + [
        iid for iid in reversed(order[:position])
        if (ctx.store.instance(iid) or {}).get("state") == "completed"]
    for iid in candidates:
        entry = ctx.store.file_entry(iid, name)
        if entry is not None and ctx.store.is_complete(iid, entry):
            ctx.note["found_in"] = iid
            return iid, entry
    raise ApiError(404, "nothing stored under %s in job instance %s" % (name, record["id"]))


def _restore_query(body):
    string(body, "machine")
    iid = string(body, "jobinstanceid", empty=True)
    path = string(body, "path")
    filename = string(body, "filename", empty=True)
    return iid, path, filename


def _restore_source(ctx, iid, path, filename):
    """(instance id, file entry) that a restore reads: of the instance as it holds it, or with
    no instance (a one-time restore) the newest complete version among the user's backups."""
    if iid != "":
        return _find_stored(ctx, _owned_instance(ctx, iid, "backup"), path, filename)
    name = path if filename == "" else path + "\\" + filename
    records = [ctx.store.instance(i) for i in ctx.store.instances()]
    records = [r for r in records if r and r.get("owner") == ctx.user
               and r.get("kind") == "backup" and r.get("state") == "completed"
               and not r.get("deleted")]
    for record in sorted(records, key=lambda r: r.get("created") or 0, reverse=True):
        entry = ctx.store.file_entry(record["id"], name)
        if entry is not None and ctx.store.is_complete(record["id"], entry):
            ctx.note["found_in"] = record["id"]
            return record["id"], entry
    raise ApiError(404, "nothing of %s stored in the backups of %s" % (name, ctx.user))


# ---------------------------------------------------------- session requests

@request_kind("login", "/tovel/WebServer/CommonInterface/Login.php", WEB, auth=False)
def login(ctx, body):
    exact_keys(body, ["name", "passwd"])
    user = string(body, "name")
    password = string(body, "passwd", empty=True)
    ctx.note["user"] = user
    if not ctx.store.check_password(user, password):
        raise ApiError(401, "wrong user name or password")
    token = ctx.store.open_session(user)
    return Reply.json({"result": "ok", "user": user},
                      headers=[("Set-Cookie", "%s=%s" % (SESSION_COOKIE, token))])


@request_kind("logout", "/tovel/WebServer/CommonInterface/Logout.php", WEB,
              body=IGNORED, auth=False)
def logout(ctx, body):
    token = session_token(ctx.headers.get("Cookie"))
    if token:
        ctx.store.close_session(token)
    return Reply.ok()


@request_kind("server_status", "/tovel/WebServer/ServerStatus.php", WEB, body=EMPTY,
              auth=False, method="GET")
def server_status(ctx, body):
    return Reply(200, b"running", "text/plain")


# ------------------------------------------------------------- backup runs

@request_kind("increment_check", "/tovel/WebServer/catalog/FilesToBackup.php", WEB)
def increment_check(ctx, body):
    exact_keys(body, ["id", "source"])
    job_id = string(body, "id")
    items = array(body, "source")
    checked = []
    for n, item in enumerate(items):
        if type(item) is dict and len(item) == 3 and item.keys() == _SOURCE_KEYS:
            path, high, low = item["path"], item["mtimeHigh"], item["mtimeLow"]
            if type(path) is str and path and _all_int32((high, low)):
                checked.append((path, high, low))
                continue
        what = "source[%d]" % n
        exact_keys(item, _SOURCE_KEYS, what)
        checked.append((string(item, "path", what), int32(item, "mtimeHigh", what),
                        int32(item, "mtimeLow", what)))
    job = ctx.store.job(job_id)
    if job is not None and job["owner"] not in (None, ctx.user):
        raise ApiError(403, "job %s belongs to another user" % job_id)
    catalogue = ctx.store.catalogue(job_id) if job is not None else {}
    changed = []
    for path, high, low in checked:
        known = catalogue.get(path_key(path))
        if known is None or (known["mtimeHigh"], known["mtimeLow"]) != (high, low):
            changed.append(path)
    ctx.note["job"] = job_id
    ctx.note["changed"] = len(changed)
    return Reply.json(changed)


@request_kind("start_job", "/tovel/WebServer/jobs/StartJob.php", WEB)
def start_job(ctx, body):
    exact_keys(body, ["jobdefinitionid", "jobinstanceid", "totaldirectories",
                      "totalfiles", "totalsize", "starttime"])
    job_id = string(body, "jobdefinitionid")
    iid = string(body, "jobinstanceid")
    for key in ("totaldirectories", "totalfiles", "totalsize"):
        uint64(body, key)
    _date(body, "starttime")
    store = ctx.store
    job = store.job(job_id)
    if job is not None and job["owner"] not in (None, ctx.user):
        raise ApiError(403, "job %s belongs to another user" % job_id)
    if job is None or job["owner"] is None:
        job = store.set_job(job_id, owner=ctx.user)
    record = store.instance(iid)
    if record is not None:
        record = _owned_instance(ctx, iid, "backup")
        if record["job"] != job_id:
            raise ApiError(409, "job instance %s belongs to job %s" % (iid, record["job"]))
        _running(record)
        record["starts"] += 1
        record["start"] = dict(body)
        store.save_instance(record)
    else:
        store.create_instance({
            "id": iid, "kind": "backup", "job": job_id, "owner": ctx.user,
            "state": "running", "start": dict(body), "starts": 1,
            "compression": job["compression"], "endtime": None,
            "errors": None, "error_submissions": 0, "created": time.time(),
        }, packed=body["totalfiles"] >= PACKED_FROM_FILES)
        store.add_job_instance(job_id, iid)
        ctx.note["instance"] = iid
    host, port = ctx.service.storage_address()
    return Reply.json({"host": host, "port": port})


@request_kind("stop_job", "/tovel/WebServer/jobs/CancelJob.php", WEB)
def stop_job(ctx, body):
    exact_keys(body, ["id"])
    record = _owned_instance(ctx, string(body, "id"))
    if record["state"] == "completed":
        raise ApiError(409, "job instance %s has already ended" % record["id"])
    if record["state"] != "cancelled":
        record["state"] = "cancelled"
        record["cancelled_at"] = time.time()
        ctx.store.save_instance(record)
    return Reply.ok()


@request_kind("end_job", "/tovel/Storage%20Server/backupServer/endjob.php", STORAGE)
def end_job(ctx, body):
    exact_keys(body, ["jobinstanceid", "endtime"])
    record = _owned_instance(ctx, string(body, "jobinstanceid"), "backup")
    endtime = _date(body, "endtime")
    if record["state"] == "cancelled":
        raise ApiError(409, "job instance %s was cancelled" % record["id"])
    if record["state"] == "running":
        store = ctx.store
        record["state"] = "completed"
        record["endtime"] = endtime
        store.save_instance(record)
        done = []
        for entry in store.files(record["id"]):
            if store.is_complete(record["id"], entry):
                attri = entry["attri"]
                done.append({"name": entry["name"], "instance": record["id"],
                             "mtimeHigh": attri["ftLastWriteTimedwHighDateTime"],
                             "mtimeLow": attri["ftLastWriteTimedwLowDateTime"]})
        store.merge_catalogue(record["job"], done)
    return Reply.ok()


@request_kind("submit_errors", "/tovel/WebServer/jobs/AddErrorFiles.php", WEB)
def submit_errors(ctx, body):
    exact_keys(body, ["jobinstanceid", "err"])
    record = _owned_instance(ctx, string(body, "jobinstanceid"))
    entries = array(body, "err")
    for n, entry in enumerate(entries):
        what = "err[%d]" % n
        exact_keys(entry, ["code", "path", "reason"], what)
        uint32(entry, "code", what)
        string(entry, "path", what)
        string(entry, "reason", what, empty=True)
    # The agent sends the whole list of its run each time: the last one counts.
    record["errors"] = entries
    record["error_submissions"] += 1
    ctx.store.save_instance(record)
    return Reply.ok()


@request_kind("upload_file", "/tovel/Storage%20Server/backupServer/uploadfile.php", STORAGE)
def upload_file(ctx, body):
    exact_keys(body, _FILE_KEYS)
    attri = exact_keys(body.get("attri"), _ATTRIBUTE_SET, '"attri"')
    if not _all_int32(attri.values()):
        for key in ATTRIBUTE_KEYS:
            int32(attri, key, '"attri"')
    kind = string(body, "type")
    if kind not in ("file", "folder"):
        raise bad('"type" must be "file" or "folder"')
    name = string(body, "sourcename")
    high = int32(body, "totalsizeHigh")
    low = int32(body, "totalsizeLow")
    total_blocks = uint64(body, "totalblock")
    size = join_halves(high, low)
    is_dir = bool(attri["dwFileAttributes"] & FILE_ATTRIBUTE_DIRECTORY)
    if is_dir != (kind == "folder"):
        raise bad('"type" %s does not agree with the directory bit of "dwFileAttributes"' % kind)
    if kind == "folder" and (size != 0 or total_blocks != 0):
        raise bad("a folder is described with size 0 and 0 blocks")
    if kind == "file" and total_blocks < block_count(size):
        raise bad('"totalblock" %d is fewer than the %d blocks of %d bytes'
                  % (total_blocks, block_count(size), size))
    record = _owned_instance(ctx, string(body, "jobinstanceid"), "backup")
    _running(record)
    ctx.store.put_file(record["id"], {
        "name": name, "type": kind, "attri": attri, "totalsizeHigh": high,
        "totalsizeLow": low, "size": size, "totalblock": total_blocks})
    ctx.note["sourcename"] = name
    return Reply.ok()


@request_kind("upload_data", "/tovel/Storage%20Server/backupServer/uploadblock.php",
              STORAGE, body=MULTIPART)
def upload_data(ctx, form):
    md5 = md5_text(form["md5"], 'the "md5" part')
    data = form["data"]
    index = form["block"]
    name = form["sourcename"]
    iid = form["jobinstanceid"]
    note = ctx.note
    note["sourcename"] = name
    note["block"] = index
    note["length"] = len(data)
    note["md5"] = md5
    if not iid:
        raise bad('the "jobinstanceid" part is empty')
    if not name:
        raise bad('the "sourcename" part is empty')
    record = _owned_instance(ctx, iid, "backup")
    _running(record)
    entry = ctx.store.file_entry(record["id"], name)
    if entry is None:
        raise ApiError(404, "%s was not described in job instance %s" % (name, record["id"]))
    if entry["type"] != "file":
        raise bad("%s is a folder and holds no blocks" % entry["name"])
    blocks = block_count(entry["size"])
    if index > blocks:
        raise bad("block %d is past the %d blocks of %d bytes" % (index, blocks, entry["size"]))
    expected = expected_block_length(entry["size"], index)
    if len(data) != expected:
        raise bad("block %d holds %d bytes, %d expected" % (index, len(data), expected))
    if md5_hex(data) != md5:
        raise ApiError(406, "the MD5 of block %d does not match its bytes" % index)
    ctx.store.put_block(record["id"], entry, index, data)
    return Reply.ok()


# ------------------------------------------------------------ restore runs

@request_kind("start_restore_job", "/tovel/WebServer/jobs/StartRestoreJob.php", WEB)
def start_restore_job(ctx, body):
    exact_keys(body, ["jobdefinitionid", "jobinstanceid"])
    job_id = string(body, "jobdefinitionid")
    iid = string(body, "jobinstanceid")
    store = ctx.store
    if store.instance(iid) is not None:
        record = _owned_instance(ctx, iid, "restore")
        if record["job"] != job_id:
            raise ApiError(409, "job instance %s belongs to job %s" % (iid, record["job"]))
        record["starts"] += 1
        store.save_instance(record)
    else:
        store.create_instance({
            "id": iid, "kind": "restore", "job": job_id, "owner": ctx.user,
            "state": "running", "start": dict(body), "starts": 1, "errors": None,
            "error_submissions": 0, "history": None, "history_submissions": 0,
            "created": time.time(),
        })
        ctx.note["instance"] = iid
    return Reply.ok()


@request_kind("submit_history", "/tovel/WebServer/jobs/RestoreJobHistory.php", WEB)
def submit_history(ctx, body):
    need_object(body)
    record = _owned_instance(ctx, string(body, "instanceId"), "restore")
    record["history"] = body
    record["history_submissions"] += 1
    record["state"] = "ended"
    ctx.store.save_instance(record)
    return Reply.ok()


@request_kind("get_file_info", "/tovel/Storage%20Server/RestoreServer/GetFileInfo.php", EITHER)
def get_file_info(ctx, body):
    exact_keys(body, _FILE_INFO_KEYS)
    iid, path, filename = _restore_query(body)
    found, entry = _restore_source(ctx, iid, path, filename)
    holder = ctx.store.instance(found)
    info = {
        "totalblock": entry["totalblock"], "totalsizeHigh": entry["totalsizeHigh"],
        "totalsizeLow": entry["totalsizeLow"], "compression": holder["compression"],
        "attrib": entry["attri"], "type": entry["type"], "sourcename": entry["name"],
        "jobinstanceid": found,
    }
    attrib = attributes_json(info["attrib"])
    numbers = (info["totalblock"], info["totalsizeHigh"], info["totalsizeLow"])
    if (attrib is None or type(info["compression"]) is not bool
            or not all(type(n) is int for n in numbers)):
        return Reply.json(info)
    text = _FILE_INFO_JSON % (attrib, "true" if info["compression"] else "false",
                              _json_string(found), _json_string(entry["name"]), *numbers,
                              _json_string(entry["type"]))
    return Reply(200, text.encode("utf-8"))


# The file info as the encoder writes it, by a template: keys sorted.
_FILE_INFO_JSON = ('{"attrib":%s,"compression":%s,"jobinstanceid":%s,"sourcename":%s,'
                   '"totalblock":%d,"totalsizeHigh":%d,"totalsizeLow":%d,"type":%s}')
_json_string = json.encoder.encode_basestring_ascii


@request_kind("download_data",
              "/tovel/Storage%20Server/RestoreServer/DownloadFileBlock.php", EITHER)
def download_data(ctx, body):
    exact_keys(body, _BLOCK_KEYS)
    iid, path, filename = _restore_query(body)
    index = uint64(body, "blockindex")
    ctx.note["block"] = index
    found, entry = _restore_source(ctx, iid, path, filename)
    if index not in ctx.store.blocks(found, entry):
        raise ApiError(404, "%s has no block %d" % (entry["name"], index))
    data = ctx.store.read_block(found, entry, index)
    digest = md5_hex(data).encode("ascii")
    return Reply(200, digest + data, "application/octet-stream")


# -------------------------------------------------------------- key checksums

@request_kind("export_key_md5", "/tovel/WebServer/key/ImportEncryptionKeyMd5.php", WEB)
def export_key_md5(ctx, body):
    exact_keys(body, ["md5"])
    md5 = md5_text(string(body, "md5"), '"md5"')
    ctx.store.set_key_md5(ctx.user, md5)
    return Reply.ok()


@request_kind("get_key_md5", "/tovel/WebServer/key/GetEncryptionKey.php", WEB, body=EMPTY)
def get_key_md5(ctx, body):
    return Reply.json({"md5": ctx.store.key_md5(ctx.user)})

