"""The update files and the user's account information.

The installer that the service serves is a file of the simulator's host,
named by the start option ``--installer`` or by ``POST /_sim/updates``;
replacing it (or naming another) is a new version.  Its md5 text and its size
are computed from its bytes at each request.  Switches of ``POST
/_sim/updates`` spoil the replies for tests:

    md5_crlf             the md5 body ends in "\\r\\n"
    md5_upper            the md5 text in upper case
    md5_pad_to           the md5 body padded with "0" to this many bytes
    head_without_length  HEAD answers without Content-Length
    ignore_range         GET answers 200 with the whole file whatever Range says

No session is needed for the update files; the user information needs one.
"""

import hashlib
import re
import threading

from .catalogue import EMPTY, WEB, KINDS_BY_NAME, KINDS_BY_PATH, Reply, request_kind
from .checks import ApiError, bad, need_object

INSTALLER_PATH = "/tovel/updates/Tovel.exe"
SWITCHES = ("md5_crlf", "md5_upper", "head_without_length", "ignore_range")
_RANGE = re.compile(r"^\s*bytes\s*=\s*(\d+)\s*-\s*$")
# What the service knows of its users' storage.
QUOTA = 10 * 1024 ** 3

_lock = threading.Lock()


def _state(service):
    """The update state of one service (made on first use)."""
    with _lock:
        state = getattr(service, "update_state", None)
        if state is None:
            state = {"installer": None, "md5_pad_to": 0}
            service.update_state = state
        return state


def set_installer(service, path):
    """Serve the host file at ``path`` from now on (None: no installer)."""
    state = _state(service)
    with _lock:
        state["installer"] = path


def _installer_bytes(ctx):
    state = _state(ctx.service)
    with _lock:
        path = state["installer"]
    if not path:
        raise ApiError(404, "no installer is served")
    try:
        with open(path, "rb") as src:
            return src.read()
    except OSError as exc:
        raise ApiError(404, "the installer cannot be read: %s" % exc)


def _switch(ctx, name):
    state = _state(ctx.service)
    with _lock:
        return state.get(name)


@request_kind("update_md5", "/tovel/updates/Tovel.exe.md5sum", WEB, body=EMPTY, auth=False,
              method="GET")
def update_md5(ctx, body):
    text = hashlib.md5(_installer_bytes(ctx)).hexdigest()
    if _switch(ctx, "md5_upper"):
        text = text.upper()
    if _switch(ctx, "md5_crlf"):
        text += "\r\n"
    pad = _switch(ctx, "md5_pad_to") or 0
    data = text.encode("ascii")
    if pad > len(data):
        data += b"0" * (pad - len(data))
    return Reply(200, data, "text/plain")


@request_kind("update_size", INSTALLER_PATH, WEB, body=EMPTY, auth=False, method="HEAD")
def update_size(ctx, body):
    reply = Reply(200, _installer_bytes(ctx), "application/octet-stream")
    reply.omit_length = bool(_switch(ctx, "head_without_length"))
    return reply


@request_kind("update_download", INSTALLER_PATH, WEB, body=EMPTY, auth=False, method="GET")
def update_download(ctx, body):
    data = _installer_bytes(ctx)
    wanted = ctx.headers.get("Range")
    if wanted is None or _switch(ctx, "ignore_range"):
        return Reply(200, data, "application/octet-stream")
    ctx.note["range"] = wanted
    match = _RANGE.match(wanted)
    start = int(match.group(1)) if match else None
    if start is None or start >= len(data):
        return Reply(416, b"", "text/plain", [("Content-Range", "bytes */%d" % len(data))])
    return Reply(206, data[start:], "application/octet-stream",
                 [("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data)))])


# One path, two kinds: HEAD asks the size, GET the bytes.
KINDS_BY_PATH[INSTALLER_PATH].by_method = {"HEAD": KINDS_BY_NAME["update_size"]}


@request_kind("user_info", "/tovel/WebServer/UserInfo.php", WEB, body=EMPTY, method="GET")
def user_info(ctx, body):
    used = 0
    for iid in ctx.store.instances():
        record = ctx.store.instance(iid) or {}
        if record.get("owner") == ctx.user:
            for entry in ctx.store.files(iid):
                used += int(entry.get("size", 0) or 0) if isinstance(entry, dict) else 0
    return Reply.json({"name": ctx.user, "quota": QUOTA, "used": used})


def control_updates(service, args, body):
    """POST /_sim/updates: {"installer": path, switches...}; gives the state."""
    need_object(body)
    state = _state(service)
    with _lock:
        for key, value in body.items():
            if key == "installer":
                if value is not None and not isinstance(value, str):
                    raise bad('"installer" takes a path or null')
                state["installer"] = value
            elif key in SWITCHES:
                if not isinstance(value, bool):
                    raise bad('"%s" takes true or false' % key)
                state[key] = value
            elif key == "md5_pad_to":
                if not isinstance(value, int) or isinstance(value, bool) or value < 0:
                    raise bad('"md5_pad_to" takes a count of bytes')
                state[key] = value
            else:
                raise bad("no update switch %r" % key)
        return dict(state)
