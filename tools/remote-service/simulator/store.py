"""The service's persistent state, kept in one folder.

Layout of the state folder (every JSON file is replaced atomically, by
writing a temporary file and renaming it over the old one):

    service.json                 accounts, sessions, key checksums, jobs
    catalogues/<job>.json        per backup job: path -> modification time
                                 as of the completed instances
    instances/<instance>/instance.json
                                 one job instance (a backup or restore run)
    instances/<instance>/files/<n>/meta.json
                                 the n-th file or folder described in it
    instances/<instance>/files/<n>/<block>.blk
                                 the bytes of one stored block (from 1)
    instances/<instance>/pack    instead of files/, for a run that announced
                                 PACKED_FROM_FILES files or more: its items
                                 and blocks in one file (see ``pack``)

Folder and file names made from ids keep only safe characters; other ids are
written in hexadecimal (see ``safe_name``).  The store holds everything in
memory as well and is guarded by one re-entrant lock, ``Store.lock``, which
callers hold across a whole request so that its checks and changes are one
step.

The writes of the per-file path (a new item's folder and its meta.json, a
block) are queued rather than made at once, and ``Store.flush`` makes them:
the server calls it right after each reply is out, so that this disk work
overlaps the client's handling of the reply, and again before it serves any
request, so that every request (and the control endpoints) finds the folder
as if each write had been made at once.  ``Service.stop`` flushes too.
"""

import hashlib
import json
import os
import re
import secrets
import shutil
import sys
import threading
import time
import traceback

from . import BLOCK_SIZE
from .pack import Pack

SESSION_COOKIE = "sid"
"""Name of the session cookie; Set-Cookie carries exactly "sid=<token>"."""

PACKED_FROM_FILES = 1000
"""A backup run that announces this many files or more keeps its items in a pack."""

_NO_BLOCKS = {}  # the blocks of an item that has none; never changed

_SAFE = re.compile(r"^[A-Za-z0-9_-][A-Za-z0-9._-]{0,99}$")


def safe_name(ident):
    """A file-system name for an id: the id itself when it is plain, else hex."""
    if _SAFE.match(ident):
        return ident
    return "x-" + ident.encode("utf-8").hex()[:200]


def path_key(name):
    """The comparison key of a stored path.

    Paths are compared the way the agent's file system compares them: without
    regard to case, with "/" and "\\" alike, and without trailing separators.
    """
    key = name.replace("/", "\\")
    # For ASCII text lower() is casefold(), at a fraction of its cost on PyPy.
    key = key.lower() if key.isascii() else key.casefold()
    if not key.endswith("\\"):
        return key
    stripped = key.rstrip("\\")
    return stripped if stripped else key


def split_path(text):
    """Folder part and name part: around the last "/" or "\\" of the text."""
    cut = max(text.rfind("/"), text.rfind("\\"))
    if cut < 0:
        return text, ""
    return text[:cut], text[cut + 1:]


def block_count(size):
    """Number of blocks that hold ``size`` bytes."""
    return (size + BLOCK_SIZE - 1) // BLOCK_SIZE


def expected_block_length(size, index):
    """Length of block ``index`` (from 1) of a file of ``size`` bytes."""
    return min(BLOCK_SIZE, size - (index - 1) * BLOCK_SIZE)


def _write_json(path, value):
    _write_bytes(path, json.dumps(value, indent=1, sort_keys=True).encode("utf-8"))


def _write_compact_json(path, value):
    """Compact JSON, which the C encoder writes at a fraction of the cost of an indented text:
    for what is written per stored item, or holds an entry per item."""
    text = json.dumps(value, sort_keys=True, separators=(",", ":"))
    _write_bytes(path, text.encode("utf-8"))


_CATALOGUE_ENTRY_KEYS = frozenset(["instance", "mtimeHigh", "mtimeLow", "name"])
_string = json.encoder.encode_basestring_ascii


def _catalogue_json(catalogue):
    """The compact JSON of a job's catalogue, keys sorted, as the encoder writes it (by its
    parts when every entry is as End Job makes it, which costs about half as much)."""
    parts = []
    for key in sorted(catalogue):
        entry = catalogue[key]
        if (type(key) is not str or type(entry) is not dict
                or entry.keys() != _CATALOGUE_ENTRY_KEYS):
            return json.dumps(catalogue, sort_keys=True, separators=(",", ":"))
        instance, high, low, name = (entry["instance"], entry["mtimeHigh"],
                                     entry["mtimeLow"], entry["name"])
        if (type(instance) is not str or type(high) is not int or type(low) is not int
                or type(name) is not str):
            return json.dumps(catalogue, sort_keys=True, separators=(",", ":"))
        parts.append(_string(key) + ':{"instance":' + _string(instance) + ',"mtimeHigh":'
                     + str(high) + ',"mtimeLow":' + str(low) + ',"name":' + _string(name)
                     + "}")
    return "{" + ",".join(parts) + "}"


def _make_item_folder(folder):
    try:
        os.mkdir(folder)  # the common case: one call, nothing looked at first
    except FileExistsError:
        pass
    except FileNotFoundError:
        os.makedirs(folder, exist_ok=True)


def _write_bytes(path, data):
    tmp = path + ".tmp"
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o644)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
    finally:
        os.close(fd)
    os.replace(tmp, path)


def _read_bytes(path):
    """A whole file, read without the buffered reader's look at the file first (one call
    each to open, read and close it, for a block of a restore)."""
    fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC)
    try:
        chunks = []
        while True:
            chunk = os.read(fd, 1 << 18)
            if not chunk:
                return b"".join(chunks)
            chunks.append(chunk)
    finally:
        os.close(fd)


def _read_json(path, default):
    try:
        with open(path, encoding="utf-8") as src:
            return json.load(src)
    except FileNotFoundError:
        return default


class Store:
    """Accounts, sessions, keys, jobs, instances, files and blocks."""

    def __init__(self, folder, forget_sessions=False):
        self.folder = os.path.abspath(folder)
        self.lock = threading.RLock()
        for sub in ("catalogues", "instances"):
            os.makedirs(os.path.join(self.folder, sub), exist_ok=True)
        service = _read_json(self._service_path(), {})
        self._accounts = service.get("accounts", {})
        self._sessions = {} if forget_sessions else service.get("sessions", {})
        self._keys = service.get("keys", {})
        self._jobs = service.get("jobs", {})
        self._catalogues = {}
        self._instances = {}
        self._files = {}      # instance id -> list of file entries
        self._file_index = {}  # (instance id, path key) -> file entry
        self._blocks = {}     # (instance id, file number) -> {block: length}
        self._pending = []    # queued writes: (function, arguments), in order
        self._packs = {}      # instance id -> Pack, of the packed runs
        self._block_at = {}   # (instance id, file number, block) -> offset in its pack
        self._queued_packs = set()  # the packs that a queued write flushes
        self._load_instances()
        if forget_sessions:
            self._save_service()

    # ------------------------------------------------------------------ files

    def flush(self):
        """Make the queued writes, in the order they were queued.

        A write that fails is reported on standard error; the state in
        memory keeps what the request made.
        """
        if not self._pending:
            return  # read without the lock: whoever queues a write flushes it later
        with self.lock:
            pending, self._pending = self._pending, []
            for write, args in pending:
                try:
                    write(*args)
                except OSError:
                    sys.stderr.write("remote-service: a queued write failed:\n")
                    traceback.print_exc()

    def close(self):
        """Make the queued writes and close the packs; the store is not used after."""
        with self.lock:
            self.flush()
            for pack in self._packs.values():
                pack.close()

    def _service_path(self):
        return os.path.join(self.folder, "service.json")

    def _save_service(self):
        _write_json(self._service_path(), {
            "accounts": self._accounts,
            "sessions": self._sessions,
            "keys": self._keys,
            "jobs": self._jobs,
        })

    def _instance_dir(self, iid):
        return os.path.join(self.folder, "instances", safe_name(iid))

    def _file_dir(self, iid, number):
        return os.path.join(self._instance_dir(iid), "files", str(number))

    def _block_path(self, iid, number, index):
        return os.path.join(self._file_dir(iid, number), "%d.blk" % index)

    def _load_instances(self):
        root = os.path.join(self.folder, "instances")
        for name in sorted(os.listdir(root)):
            record = _read_json(os.path.join(root, name, "instance.json"), None)
            if not record:
                continue
            iid = record["id"]
            self._instances[iid] = record
            self._files[iid] = []
            pack_path = os.path.join(root, name, "pack")
            if os.path.exists(pack_path):
                self._load_pack(iid, Pack(pack_path))
                continue
            files_root = os.path.join(root, name, "files")
            numbers = []
            if os.path.isdir(files_root):
                numbers = sorted(int(n) for n in os.listdir(files_root) if n.isdigit())
            for number in numbers:
                folder = os.path.join(files_root, str(number))
                entry = _read_json(os.path.join(folder, "meta.json"), None)
                if entry is None:
                    continue
                self._add_file_entry(iid, entry)
                blocks = {}
                for blk in os.listdir(folder):
                    if blk.endswith(".blk") and blk[:-4].isdigit():
                        blocks[int(blk[:-4])] = os.path.getsize(os.path.join(folder, blk))
                self._blocks[(iid, number)] = blocks

    def _load_pack(self, iid, pack):
        self._packs[iid] = pack
        files = self._files[iid]
        for record in pack.records():
            number = record[1]
            if record[0] == "M":
                entry = record[2]
                if number == len(files) + 1:
                    self._add_file_entry(iid, entry)
                    self._blocks[(iid, number)] = {}
                elif 1 <= number <= len(files):
                    old = files[number - 1]
                    if old["size"] != entry["size"]:
                        self._blocks[(iid, number)] = {}
                    old.clear()
                    old.update(entry)
            elif (iid, number) in self._blocks:
                _, _, index, offset, length = record
                self._blocks[(iid, number)][index] = length
                self._block_at[(iid, number, index)] = offset

    def _add_file_entry(self, iid, entry, key=None):
        """Add an item as the instance's next; ``key`` is its index key when known."""
        self._files[iid].append(entry)
        self._file_index[key or (iid, path_key(entry["name"]))] = entry

    # --------------------------------------------------------------- accounts

    def set_account(self, user, password):
        with self.lock:
            self._accounts[user] = {"password": password}
            self._save_service()

    def check_password(self, user, password):
        with self.lock:
            account = self._accounts.get(user)
            return account is not None and account["password"] == password

    def has_account(self, user):
        with self.lock:
            return user in self._accounts

    def accounts(self):
        with self.lock:
            return sorted(self._accounts)

    # --------------------------------------------------------------- sessions

    def open_session(self, user, token=None):
        """A new session of ``user``; returns its token."""
        with self.lock:
            token = token or secrets.token_hex(16)
            now = time.time()
            self._sessions[token] = {"user": user, "created": now, "last_used": now}
            self._save_service()
            return token

    def session_user(self, token, ttl=0):
        """The user of a live session, or None.

        With a ``ttl`` above 0 a session unused for longer than ``ttl``
        seconds has expired and is removed; each use renews it.
        """
        with self.lock:
            session = self._sessions.get(token)
            if session is None:
                return None
            now = time.time()
            if ttl > 0 and now - session["last_used"] > ttl:
                del self._sessions[token]
                self._save_service()
                return None
            session["last_used"] = now
            return session["user"]

    def rotate_session(self, token):
        """Replace a session's token by a new one; returns the new token."""
        with self.lock:
            session = self._sessions.pop(token)
            fresh = secrets.token_hex(16)
            session["last_used"] = time.time()
            self._sessions[fresh] = session
            self._save_service()
            return fresh

    def close_session(self, token):
        with self.lock:
            if self._sessions.pop(token, None) is None:
                return False
            self._save_service()
            return True

    def expire_sessions(self, user=None, token=None):
        """Remove the sessions that match (all when neither is given)."""
        with self.lock:
            doomed = [t for t, s in self._sessions.items()
                      if (user is None or s["user"] == user)
                      and (token is None or t == token)]
            for t in doomed:
                del self._sessions[t]
            if doomed:
                self._save_service()
            return len(doomed)

    def sessions(self):
        with self.lock:
            return [{"cookie": "%s=%s" % (SESSION_COOKIE, t), "user": s["user"],
                     "created": s["created"], "last_used": s["last_used"]}
                    for t, s in sorted(self._sessions.items())]

    # ------------------------------------------------------------------- keys

    def key_md5(self, user):
        with self.lock:
            return self._keys.get(user, "")

    def set_key_md5(self, user, md5):
        with self.lock:
            if md5:
                self._keys[user] = md5
            else:
                self._keys.pop(user, None)
            self._save_service()

    def keys(self):
        with self.lock:
            return dict(self._keys)

    # ------------------------------------------------------------------- jobs

    def job(self, job_id):
        """The job record (owner, compression, instances) or None."""
        with self.lock:
            return self._jobs.get(job_id)

    def set_job(self, job_id, owner=None, compression=None):
        """Create or change a backup job definition's record."""
        with self.lock:
            job = self._jobs.setdefault(
                job_id, {"owner": owner, "compression": False, "instances": []})
            if owner is not None:
                job["owner"] = owner
            if compression is not None:
                job["compression"] = bool(compression)
            self._save_service()
            return job

    def add_job_instance(self, job_id, iid):
        with self.lock:
            self._jobs[job_id]["instances"].append(iid)
            self._save_service()

    def jobs(self):
        with self.lock:
            return sorted(self._jobs)

    def catalogue(self, job_id):
        """Path key -> {"name", "mtimeHigh", "mtimeLow", "instance"}."""
        with self.lock:
            if job_id not in self._catalogues:
                path = os.path.join(self.folder, "catalogues", safe_name(job_id) + ".json")
                self._catalogues[job_id] = _read_json(path, {})
            return self._catalogues[job_id]

    def merge_catalogue(self, job_id, entries):
        """Record the modification times of the files of a completed instance."""
        with self.lock:
            catalogue = self.catalogue(job_id)
            for entry in entries:
                catalogue[path_key(entry["name"])] = entry
            path = os.path.join(self.folder, "catalogues", safe_name(job_id) + ".json")
            _write_bytes(path, _catalogue_json(catalogue).encode("utf-8"))

    # -------------------------------------------------------------- instances

    def instance(self, iid):
        """The live record of an instance, or None."""
        with self.lock:
            return self._instances.get(iid)

    def instances(self):
        with self.lock:
            return sorted(self._instances)

    def create_instance(self, record, packed=False):
        """A new instance; ``packed``: its items go to one pack file, not a folder each."""
        with self.lock:
            iid = record["id"]
            if packed:
                os.makedirs(self._instance_dir(iid), exist_ok=True)
                self._packs[iid] = Pack(os.path.join(self._instance_dir(iid), "pack"))
            else:
                os.makedirs(os.path.join(self._instance_dir(iid), "files"), exist_ok=True)
            self._instances[iid] = record
            self._files[iid] = []
            self.save_instance(record)
            return record

    def save_instance(self, record):
        with self.lock:
            _write_json(os.path.join(self._instance_dir(record["id"]), "instance.json"), record)

    def files(self, iid):
        with self.lock:
            return list(self._files.get(iid, []))

    def file_entry(self, iid, name):
        """The entry of a stored item by its path, or None."""
        with self.lock:
            return self._file_index.get((iid, path_key(name)))

    def put_file(self, iid, entry):
        """Describe a file or folder of an instance.

        A new path gets the next file number.  Describing a path again keeps
        its blocks when the stored size is unchanged (a resumed upload goes
        on) and discards them when it changed (the data were made anew).
        """
        with self.lock:
            pack = self._packs.get(iid)
            key = (iid, path_key(entry["name"]))
            old = self._file_index.get(key)
            if old is None:
                entry["number"] = len(self._files[iid]) + 1
                entry["descriptions"] = 1
                if pack is None:
                    self._pending.append((_make_item_folder,
                                          (self._file_dir(iid, entry["number"]),)))
                self._add_file_entry(iid, entry, key)
                self._blocks[(iid, entry["number"])] = {}
                current = entry
            else:
                number = old["number"]
                if old["size"] != entry["size"]:
                    if pack is None:
                        self.flush()
                        folder = self._file_dir(iid, number)
                        shutil.rmtree(folder, ignore_errors=True)
                        os.makedirs(folder, exist_ok=True)
                    self._blocks[(iid, number)] = {}
                descriptions = old.get("descriptions", 1) + 1
                old.clear()
                old.update(entry, number=number, descriptions=descriptions)
                current = old
            if pack is not None:
                pack.add_item(current["number"], current)
                self._queue_pack(pack)
                return current
            # Encoded when written: a copy of the entry as it is now (only "attri" is nested).
            self._pending.append((_write_compact_json, (
                os.path.join(self._file_dir(iid, current["number"]), "meta.json"),
                dict(current, attri=dict(current["attri"])))))
            return current

    def put_block(self, iid, entry, index, data):
        """Store (or overwrite) one block of a file."""
        with self.lock:
            pack = self._packs.get(iid)
            if pack is not None:
                self._block_at[(iid, entry["number"], index)] = pack.add_block(
                    entry["number"], index, data)
                self._queue_pack(pack)
            else:
                self._pending.append(
                    (_write_bytes, (self._block_path(iid, entry["number"], index), data)))
            self._blocks[(iid, entry["number"])][index] = len(data)

    def _queue_pack(self, pack):
        """Have the next flush write what the pack holds (once, however much it holds)."""
        if pack not in self._queued_packs:
            self._queued_packs.add(pack)
            self._pending.append((self._flush_pack, (pack,)))

    def _flush_pack(self, pack):
        self._queued_packs.discard(pack)
        pack.flush()

    def blocks(self, iid, entry):
        """Block index -> length, of the blocks stored for a file."""
        with self.lock:
            return dict(self._blocks.get((iid, entry["number"]), {}))

    def read_block(self, iid, entry, index):
        with self.lock:
            self.flush()
            pack = self._packs.get(iid)
            if pack is not None:
                number = entry["number"]
                return pack.read(self._block_at[(iid, number, index)],
                                 self._blocks[(iid, number)][index])
            return _read_bytes(self._block_path(iid, entry["number"], index))

    def is_complete(self, iid, entry):
        """A folder, or a file whose every block is stored."""
        if entry["type"] == "folder":
            return True
        with self.lock:
            stored = self._blocks.get((iid, entry["number"]), _NO_BLOCKS)
            return all(i in stored for i in range(1, block_count(entry["size"]) + 1))

    def file_bytes(self, iid, entry, partial=False):
        """The stored data of a file, its blocks joined in order.

        Without ``partial`` a missing block gives None; with it the blocks
        present are joined and the gaps left out.
        """
        with self.lock:
            stored = self.blocks(iid, entry)
            parts = []
            for index in range(1, block_count(entry["size"]) + 1):
                if index not in stored:
                    if not partial:
                        return None
                    continue
                parts.append(self.read_block(iid, entry, index))
            return b"".join(parts)

    def describe_file(self, iid, entry):
        """An entry with its blocks (index, length, md5) for inspection."""
        with self.lock:
            out = {k: v for k, v in entry.items()}
            out["blocks"] = [
                {"index": i, "length": n,
                 "md5": hashlib.md5(self.read_block(iid, entry, i)).hexdigest()}
                for i, n in sorted(self.blocks(iid, entry).items())]
            out["complete"] = self.is_complete(iid, entry)
            return out
