"""The table of faults: how the service misbehaves, per request kind.

A fault is a JSON object:

    {"kind": "upload_data", "action": "status", "status": 503,
     "times": 1, "skip": 2}

- "kind": a request kind's name, or "*" for every kind (never the control
  endpoints).
- "action": one of ``ACTIONS`` below, with its own parameters.
- "times": how many requests it hits before it removes itself (absent or
  null: until it is cleared).
- "skip": how many matching requests it lets through untouched first.
- "process": whether the request is carried out before the reply is spoiled;
  the default is per action (a refusal or a redirect does nothing; a lost,
  late or damaged reply follows a request that was carried out, as when a
  reply is lost on the way back).  A request that is not carried out gets
  200 {"result": "ok"} as its reply, unless the action makes its own
  ("status", "redirect", "body"): a lost write that the client cannot see.

Faults are tried in the order they were added; the first that matches the
kind and has no skips left applies, and only that one.

Actions and their parameters:

    status          refuse: "status" (default 500), optional "body" text
    redirect        "status" (default 302), "location": a URL template with
                    {host} (of the request's Host header), {port} (where the
                    request arrived), {web_port}, {storage_port}, {path} (the
                    request's path); default "http://{host}:{port}{path}",
                    the same server again
    drop            send "after" bytes of the reply (default 0) and close;
                    "reset": true closes with a TCP reset
    stall           never answer: "at" "reply" (default, after reading the
                    request) or "request" (before reading its body);
                    optional "seconds", then the connection is closed
    delay           answer after "seconds"
    malformed_json  the reply body cut in half, so that it is not JSON
    body            replace the reply body by "body" (text), optional
                    "status" and "content_type"
    content_length  announce "delta" bytes more (default 16) or fewer than
                    the body has; with more, the connection is closed after
                    the body ("close": false keeps it open, so the client
                    waits); with fewer, the whole body is sent anyway
    chunked         send the reply chunked, optional "chunk_size"
    close           answer with "Connection: close" and close
    rotate_cookie   answer with a new session cookie in Set-Cookie; the old
                    one stops working at once
    trickle         send the reply a byte at a time
    bad_chunk       a chunked reply whose second size line is no number
    header          one more reply header "name": "value", as it stands
    headers         "headers": {name: value, ...}, each replacing the reply's
                    header of that name (Content-Type, Location...) or added
"""

import threading

from .checks import ApiError, is_int

# action -> (default of "process", {parameter: type check})
ACTIONS = {
    "status": (False, {"status": is_int, "body": str}),
    "redirect": (False, {"status": is_int, "location": str}),
    "drop": (True, {"after": is_int, "reset": bool}),
    "stall": (True, {"at": str, "seconds": (int, float)}),
    "delay": (True, {"seconds": (int, float)}),
    "malformed_json": (True, {}),
    "body": (True, {"body": str, "status": is_int, "content_type": str}),
    "content_length": (True, {"delta": is_int, "close": bool}),
    "chunked": (True, {"chunk_size": is_int}),
    "close": (True, {}),
    "rotate_cookie": (True, {}),
    "trickle": (True, {"at": str, "interval": (int, float), "chunk_size": is_int}),
    "bad_chunk": (True, {}),
    "header": (True, {"name": str, "value": str}),
    "headers": (True, {"headers": dict}),
}
COMMON = {"kind": str, "action": str, "times": is_int, "skip": is_int,
          "process": bool, "id": is_int}


def _type_ok(check, value):
    if check is bool:
        return isinstance(value, bool)
    if isinstance(check, tuple):
        return isinstance(value, check) and not isinstance(value, bool)
    if isinstance(check, type):
        return isinstance(value, check)
    return check(value)


class Fault:
    """One entry of the table."""

    def __init__(self, wanted, kinds):
        if not isinstance(wanted, dict):
            raise ApiError(400, "a fault must be a JSON object")
        action = wanted.get("action")
        if action not in ACTIONS:
            raise ApiError(400, "unknown fault action %r; known: %s"
                           % (action, ", ".join(sorted(ACTIONS))))
        kind = wanted.get("kind")
        if kind != "*" and kind not in kinds:
            raise ApiError(400, "unknown request kind %r; known: %s"
                           % (kind, ", ".join(sorted(kinds))))
        default_process, params = ACTIONS[action]
        allowed = dict(COMMON, **params)
        for key, value in wanted.items():
            if key not in allowed:
                raise ApiError(400, "fault %s takes no %r" % (action, key))
            if value is not None and not _type_ok(allowed[key], value):
                raise ApiError(400, "fault %s: bad value of %r" % (action, key))
        if wanted.get("times") is not None and wanted["times"] < 1:
            raise ApiError(400, 'fault %s: "times" must be at least 1' % action)
        if wanted.get("skip") is not None and wanted["skip"] < 0:
            raise ApiError(400, 'fault %s: "skip" must not be negative' % action)
        if action == "stall" and wanted.get("at", "reply") not in ("reply", "request"):
            raise ApiError(400, 'fault stall: "at" is "reply" or "request"')
        if action == "trickle" and wanted.get("at", "head") not in ("head", "body"):
            raise ApiError(400, 'fault trickle: "at" is "head" or "body"')
        if action == "header" and not wanted.get("name"):
            raise ApiError(400, 'fault header: "name" is required')
        if action == "headers" and not all(
                name and isinstance(value, str)
                for name, value in (wanted.get("headers") or {}).items()):
            raise ApiError(400, 'fault headers: "headers" maps names to texts')
        self.kind = kind
        self.action = action
        self.params = {k: v for k, v in wanted.items() if k in params}
        self.times = wanted.get("times")
        self.skip = wanted.get("skip") or 0
        self.process = wanted.get("process", default_process)
        self.hits = 0
        self.id = None

    def get(self, name, default=None):
        value = self.params.get(name)
        return default if value is None else value

    def describe(self):
        out = {"id": self.id, "kind": self.kind, "action": self.action,
               "times": self.times, "skip": self.skip, "process": self.process,
               "hits": self.hits}
        out.update(self.params)
        return out


class FaultTable:
    """The faults in force; safe to use from every request thread."""

    def __init__(self, kinds):
        self._kinds = kinds
        self._faults = []
        self._next_id = 1
        self._lock = threading.Lock()

    def add(self, wanted):
        """Add one fault (a dict); returns its description with its id."""
        fault = Fault(wanted, self._kinds)
        with self._lock:
            fault.id = self._next_id
            self._next_id += 1
            self._faults.append(fault)
            return fault.describe()

    def clear(self, kind=None, fault_id=None):
        """Remove every fault, or those of one kind, or the one of an id."""
        with self._lock:
            before = len(self._faults)
            self._faults = [f for f in self._faults
                            if not ((kind is None or f.kind == kind)
                                    and (fault_id is None or f.id == fault_id))]
            return before - len(self._faults)

    def any(self):
        """Whether a fault is in force (read without the lock: a hint that can be stale)."""
        return bool(self._faults)

    def list(self):
        with self._lock:
            return [f.describe() for f in self._faults]

    def take(self, kind):
        """The fault that applies to one request of ``kind``, or None.

        Counts the hit, and removes a fault whose "times" are used up.
        """
        with self._lock:
            for fault in self._faults:
                if fault.kind not in ("*", kind):
                    continue
                if fault.skip > 0:
                    fault.skip -= 1
                    continue
                fault.hits += 1
                if fault.times is not None:
                    fault.times -= 1
                    if fault.times <= 0:
                        self._faults.remove(fault)
                return fault
            return None
