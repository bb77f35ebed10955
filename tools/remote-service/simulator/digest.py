"""The MD5 of a block's bytes, as 32 lower-case hexadecimal characters.

On PyPy the standard ``hashlib.md5`` goes through a foreign-function layer to OpenSSL
whose fixed cost is most of the work for the small blocks of small files; its own
``_md5`` module costs a fraction of that up to a few KiB and more beyond.  Both give the
same digest.
"""

import hashlib
import platform

_SMALL = 8192

try:
    if platform.python_implementation() != "PyPy":
        raise ImportError("the interpreter's hashlib is the quicker")
    from _md5 import md5 as _small_md5
except ImportError:
    _small_md5 = hashlib.md5


def md5_hex(data):
    """The MD5 of ``data`` (bytes-like) in lower-case hexadecimal."""
    if len(data) < _SMALL:
        return _small_md5(data).hexdigest()
    return hashlib.md5(data).hexdigest()
