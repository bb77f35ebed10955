"""A simulator of the remote backup service that the agent talks to.

The package is split by concern:

- ``store``: the service's persistent state (accounts, sessions, jobs,
  instances, stored files and blocks, key checksums) in a state folder;
- ``checks``: strict checkers for the fields of request bodies;
- ``multipart``: the parser of the block upload's multipart body;
- ``catalogue``: the request kinds of the agent, each with its path, role,
  body checks and handler;
- ``faults``: the per-kind misbehaviour table;
- ``control``: the control and inspection endpoints for tests;
- ``server``: the HTTP/1.1 servers that tie the rest together.

``remote_service.py`` beside the package is the command line.
"""

BLOCK_SIZE = 131072
"""Size of every stored block except the last of a file."""

CONTROL_PREFIX = "/_sim/"
"""Path prefix of the control and inspection endpoints."""
