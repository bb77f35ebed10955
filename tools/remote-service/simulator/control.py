"""Control and inspection endpoints for tests, under "/_sim/".

Every endpoint takes and gives JSON (except ``GET /_sim/file``, which gives
the stored bytes); a POST without a body counts as ``{}``.  They are served on
every port, are never subject to faults, and do not appear in the request
log.  The README lists them with examples.
"""

import urllib.parse

from . import CONTROL_PREFIX, catalogue_updates
from .catalogue import Reply
from .catalogue_machines import control_routes
from .checks import ApiError, bad, md5_text, parse_json, need_object
from .store import SESSION_COOKIE, block_count


class Control:
    """Routes "/_sim/..." requests to the service's state."""

    def __init__(self, service):
        self.service = service
        self.routes = {
            ("GET", "health"): self.health,
            ("GET", "requests"): self.requests,
            ("POST", "requests/clear"): self.clear_requests,
            ("GET", "faults"): self.list_faults,
            ("POST", "faults"): self.add_faults,
            ("POST", "faults/clear"): self.clear_faults,
            ("GET", "settings"): self.get_settings,
            ("POST", "settings"): self.set_settings,
            ("GET", "accounts"): self.list_accounts,
            ("POST", "accounts"): self.add_account,
            ("GET", "sessions"): self.list_sessions,
            ("POST", "sessions"): self.open_session,
            ("POST", "sessions/expire"): self.expire_sessions,
            ("GET", "keys"): self.list_keys,
            ("POST", "keys"): self.set_key,
            ("GET", "jobs"): self.list_jobs,
            ("GET", "job"): self.get_job,
            ("POST", "job"): self.set_job,
            ("GET", "instances"): self.list_instances,
            ("GET", "instance"): self.get_instance,
            ("GET", "file"): self.get_file,
        }
        self.routes.update(control_routes(service))
        self.routes[("POST", "updates")] = (
            lambda args, body: catalogue_updates.control_updates(self.service, args, body))

    def handle(self, method, path, query, body):
        """A ``Reply`` for one control request."""
        route = self.routes.get((method, path[len(CONTROL_PREFIX):].rstrip("/")))
        if route is None:
            raise ApiError(404, "no control endpoint %s %s" % (method, path))
        args = {k: v[-1] for k, v in urllib.parse.parse_qs(query).items()}
        value = parse_json(body) if body else {}
        result = route(args, value)
        if isinstance(result, Reply):
            return result
        return Reply.json(result)

    # ----------------------------------------------------------- service

    def health(self, args, body):
        s = self.service
        return {"ok": True, "web_port": s.web_port, "storage_port": s.storage_port,
                "state": s.store.folder}

    def requests(self, args, body):
        try:
            since = int(args.get("since", "0"))
        except ValueError:
            raise bad("since= takes a request number")
        entries = self.service.log.since(since, args.get("kind"))
        return {"requests": entries,
                "last": entries[-1]["seq"] if entries else since}

    def clear_requests(self, args, body):
        self.service.log.clear()
        return {"result": "ok"}

    def list_faults(self, args, body):
        return {"faults": self.service.faults.list()}

    def add_faults(self, args, body):
        given = body if isinstance(body, list) else [body]
        return {"faults": [self.service.faults.add(wanted) for wanted in given]}

    def clear_faults(self, args, body):
        need_object(body)
        removed = self.service.faults.clear(kind=body.get("kind"), fault_id=body.get("id"))
        return {"removed": removed}

    def get_settings(self, args, body):
        return self.service.settings()

    def set_settings(self, args, body):
        return self.service.change_settings(body)

    # ------------------------------------------------------------ people

    def list_accounts(self, args, body):
        return {"accounts": self.service.store.accounts()}

    def add_account(self, args, body):
        user, password = _text(body, "user"), _text(body, "password", empty=True)
        self.service.store.set_account(user, password)
        return {"result": "ok"}

    def list_sessions(self, args, body):
        return {"sessions": self.service.store.sessions()}

    def open_session(self, args, body):
        store = self.service.store
        user = _text(body, "user")
        if not store.has_account(user):
            raise ApiError(404, "no account %s" % user)
        cookie = body.get("cookie")
        token = None
        if cookie is not None:
            name, eq, token = _text(body, "cookie").partition("=")
            if not eq or name != SESSION_COOKIE or not token:
                raise bad('"cookie" must read "%s=<token>"' % SESSION_COOKIE)
        token = store.open_session(user, token)
        return {"cookie": "%s=%s" % (SESSION_COOKIE, token)}

    def expire_sessions(self, args, body):
        need_object(body)
        token = None
        if body.get("cookie") is not None:
            token = _text(body, "cookie").partition("=")[2] or body["cookie"]
        count = self.service.store.expire_sessions(user=body.get("user"), token=token)
        return {"expired": count}

    def list_keys(self, args, body):
        return {"keys": self.service.store.keys()}

    def set_key(self, args, body):
        user = _text(body, "user")
        md5 = body.get("md5") or ""
        if md5:
            md5_text(md5, '"md5"')
        self.service.store.set_key_md5(user, md5)
        return {"result": "ok"}

    # --------------------------------------------------------- inspection

    def list_jobs(self, args, body):
        return {"jobs": self.service.store.jobs()}

    def get_job(self, args, body):
        store = self.service.store
        job_id = _arg(args, "id")
        with store.lock:
            job = store.job(job_id)
            if job is None:
                raise ApiError(404, "no job %s" % job_id)
            return dict(job, id=job_id, catalogue=store.catalogue(job_id))

    def set_job(self, args, body):
        job_id = _text(body, "id")
        compression = body.get("compression")
        if compression is not None and not isinstance(compression, bool):
            raise bad('"compression" must be true or false')
        job = self.service.store.set_job(job_id, owner=body.get("owner"),
                                         compression=compression)
        return dict(job, id=job_id)

    def list_instances(self, args, body):
        store = self.service.store
        with store.lock:
            out = []
            for iid in store.instances():
                record = store.instance(iid)
                files = store.files(iid)
                out.append({"id": iid, "kind": record["kind"], "job": record["job"],
                            "owner": record["owner"], "state": record["state"],
                            "files": len(files),
                            "complete": sum(1 for entry in files
                                            if store.is_complete(iid, entry))})
            return {"instances": out}

    def get_instance(self, args, body):
        store = self.service.store
        iid = _arg(args, "id")
        with store.lock:
            record = store.instance(iid)
            if record is None:
                raise ApiError(404, "no job instance %s" % iid)
            return dict(record, files=[store.describe_file(iid, entry)
                                       for entry in store.files(iid)])

    def get_file(self, args, body):
        store = self.service.store
        iid, name = _arg(args, "instance"), _arg(args, "name")
        partial = args.get("partial") in ("1", "true", "yes")
        with store.lock:
            if store.instance(iid) is None:
                raise ApiError(404, "no job instance %s" % iid)
            entry = store.file_entry(iid, name)
            if entry is None:
                raise ApiError(404, "no item %s in job instance %s" % (name, iid))
            data = store.file_bytes(iid, entry, partial)
            if data is None:
                missing = sorted(set(range(1, block_count(entry["size"]) + 1))
                                 - set(store.blocks(iid, entry)))
                raise ApiError(409, "%s lacks blocks %s" % (name, missing))
            return Reply(200, data, "application/octet-stream")


def _arg(args, name):
    value = args.get(name)
    if not value:
        raise bad("the query needs %s=" % name)
    return value


def _text(body, key, empty=False):
    need_object(body)
    value = body.get(key)
    if not isinstance(value, str) or (not empty and not value):
        raise bad('"%s" must be a%s string' % (key, "" if empty else " non-empty"))
    return value
