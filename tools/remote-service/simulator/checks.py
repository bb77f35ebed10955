"""Strict checks of request bodies.

Every failed check raises ``ApiError``; the server turns it into a reply with
the error's status and a JSON body ``{"error": message}``.  The checks are
deliberately strict: a body must carry exactly the keys of its request, each
of the right JSON type and range, so that a fault in what the agent sends is
seen at once instead of being tolerated.
"""

import json

INT32_MIN = -(2 ** 31)
INT32_MAX = 2 ** 31 - 1
UINT32_MAX = 2 ** 32 - 1
UINT64_MAX = 2 ** 64 - 1


class ApiError(Exception):
    """A refusal of a request: an HTTP status and a message for the body."""

    def __init__(self, status, message, headers=None):
        super().__init__(message)
        self.status = status
        self.message = message
        self.headers = list(headers or [])


def bad(message):
    """A 400 Bad Request refusal."""
    return ApiError(400, message)


def _reject_constant(name):
    raise ValueError("JSON constant %s is not allowed" % name)


_DECODER = json.JSONDecoder(parse_constant=_reject_constant)


def parse_json(data):
    """Parse a request body as JSON text in UTF-8; an empty body is refused."""
    if not data:
        raise bad("the body is empty, a JSON value was expected")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise bad("the body is not UTF-8: %s" % exc)
    # The plain loader is the quick one on PyPy, where a decoder with its own hooks parses
    # in Python: it takes what has none of the refused constants, and any text it refuses
    # is parsed again below, for the message.
    if "NaN" not in text and "Infinity" not in text:
        try:
            return json.loads(text)
        except ValueError:
            pass
    try:
        if text.startswith("\ufeff"):  # refused by json.loads, with its message
            return json.loads(text, parse_constant=_reject_constant)
        return _DECODER.decode(text)
    except ValueError as exc:
        raise bad("the body is not JSON: %s" % exc)


def is_int(value):
    """True for a JSON integer (Python's bool is not one)."""
    return isinstance(value, int) and not isinstance(value, bool)


def need_object(value, what="the body"):
    if not isinstance(value, dict):
        raise bad("%s must be a JSON object" % what)
    return value


def exact_keys(obj, keys, what="the body"):
    """The object must carry exactly the given keys (a frozenset costs least per call)."""
    if type(obj) is dict and len(obj) == len(keys) and obj.keys() == (
            keys if type(keys) is frozenset else set(keys)):
        return obj
    need_object(obj, what)
    missing = sorted(set(keys) - set(obj))
    extra = sorted(set(obj) - set(keys))
    if missing:
        raise bad("%s lacks %s" % (what, ", ".join('"%s"' % k for k in missing)))
    if extra:
        raise bad("%s has unexpected %s" % (what, ", ".join('"%s"' % k for k in extra)))
    return obj


def string(obj, key, what="the body", empty=False):
    value = obj.get(key)
    if type(value) is str and (value or empty):
        return value
    if not isinstance(value, str):
        raise bad('%s: "%s" must be a string' % (what, key))
    if not empty and value == "":
        raise bad('%s: "%s" must not be empty' % (what, key))
    return value


def int32(obj, key, what="the body"):
    value = obj.get(key)
    if type(value) is int and INT32_MIN <= value <= INT32_MAX:
        return value
    if not is_int(value) or not INT32_MIN <= value <= INT32_MAX:
        raise bad('%s: "%s" must be an integer of a signed 32-bit range' % (what, key))
    return value


def uint32(obj, key, what="the body"):
    value = obj.get(key)
    if type(value) is int and 0 <= value <= UINT32_MAX:
        return value
    if not is_int(value) or not 0 <= value <= UINT32_MAX:
        raise bad('%s: "%s" must be an integer of an unsigned 32-bit range' % (what, key))
    return value


def uint64(obj, key, what="the body"):
    value = obj.get(key)
    if type(value) is int and 0 <= value <= UINT64_MAX:
        return value
    if not is_int(value) or not 0 <= value <= UINT64_MAX:
        raise bad('%s: "%s" must be an integer of an unsigned 64-bit range' % (what, key))
    return value


def array(obj, key, what="the body"):
    value = obj.get(key)
    if not isinstance(value, list):
        raise bad('%s: "%s" must be an array' % (what, key))
    return value


def md5_text(value, what):
    """32 lower-case hexadecimal characters."""
    if not isinstance(value, str) or len(value) != 32 or value.strip("0123456789abcdef"):
        raise bad("%s must be 32 lower-case hexadecimal characters" % what)
    return value


def unsigned32(value):
    """The unsigned reading of a 32-bit half that travels as a signed integer."""
    return value & 0xFFFFFFFF


def join_halves(high, low):
    """A 64-bit number from its halves, each sent as a signed 32-bit integer."""
    return (unsigned32(high) << 32) | unsigned32(low)
