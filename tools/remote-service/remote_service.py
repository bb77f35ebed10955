#!/usr/bin/env python3
"""Command line of the remote-service simulator.

Serve (the default command):

    remote_service.py --state DIR [--port 0] [--storage-port P] [--config FILE]
                      [--account USER:PASSWORD]... [--fault JSON]... [...]

prints "port N" and then "storage-port M" (the same number when the web port
plays both roles) on standard output, flushes, and serves until SIGTERM or
SIGINT (or, with --until-stdin-closes, until its standard input closes).

Control a running simulator:

    remote_service.py ctl --port N METHOD PATH [JSON]

sends one request to a control endpoint ("/_sim/..." or the short form
"faults", "requests", ...) and prints the reply body.
"""

import argparse
import http.client
import json
import os
import signal
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from simulator import CONTROL_PREFIX  # noqa: E402
from simulator.catalogue import session_token  # noqa: E402
from simulator.checks import ApiError  # noqa: E402
from simulator import server  # noqa: E402
from simulator.server import Service  # noqa: E402


def _serve_parser():
    p = argparse.ArgumentParser(
        prog="remote_service.py",
        description="Simulator of the remote backup service (web and storage server).")
    p.add_argument("--state", required=True, help="state folder (created when missing)")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on")
    p.add_argument("--port", type=int, default=0, help="web server port (0: any free one)")
    p.add_argument("--storage-port", type=int, default=None,
                   help="a separate storage server port (0: any free one); "
                        "without it the web port serves both roles")
    p.add_argument("--storage-host", default=None,
                   help="host that Start Job names (default: the --host)")
    p.add_argument("--config", help="JSON file of accounts, jobs, keys, faults, settings")
    p.add_argument("--account", action="append", default=[], metavar="USER:PASSWORD",
                   help="an account (repeatable)")
    p.add_argument("--cookie", action="append", default=[], metavar="USER:sid=TOKEN",
                   help="a session cookie of an account that is valid from the start")
    p.add_argument("--fault", action="append", default=[], metavar="JSON",
                   help="a fault in force from the start (repeatable)")
    p.add_argument("--chunked", action="store_true", help="send every reply chunked")
    p.add_argument("--chunk-size", type=int, default=None, help="bytes per reply chunk")
    p.add_argument("--no-keep-alive", action="store_true", help="close after every reply")
    p.add_argument("--session-ttl", type=float, default=None,
                   help="seconds an unused session lives (default: for ever)")
    p.add_argument("--idle-timeout", type=float, default=0,
                   help="close a connection idle that many seconds (default: never)")
    p.add_argument("--forget-sessions", action="store_true",
                   help="drop the sessions kept in the state folder")
    p.add_argument("--until-stdin-closes", action="store_true",
                   help="also stop when standard input reaches its end")
    p.add_argument("--installer", default=None, help="host file served as the newest installer")
    p.add_argument("--verbose", action="store_true", help="log requests on standard error")
    p.add_argument("--log-limit", type=int, default=server.LOG_LIMIT, metavar="N",
                   help="keep the last N requests in the request log (0: all; default %(default)s)")
    p.add_argument("--max-body", type=int, default=None, metavar="BYTES",
                   help="largest request body taken (default 64 MiB)")
    return p


def serve(argv):
    args = _serve_parser().parse_args(argv)
    if args.max_body is not None:
        server.MAX_BODY = args.max_body
    service = Service(args.state, host=args.host, port=args.port,
                      storage_port=args.storage_port, idle_timeout=args.idle_timeout,
                      forget_sessions=args.forget_sessions, log_limit=args.log_limit)
    try:
        _configure(service, args)
    except (ApiError, KeyError, TypeError, ValueError, OSError) as exc:
        service.stop()
        sys.exit("remote_service.py: bad configuration: %s" % exc)

    done = threading.Event()
    # The signal handlers only note the signal: they run on the main thread,
    # which may hold the event's lock inside done.wait(), so setting the event
    # from them could wait for ever on a lock the thread itself holds.
    signalled = []
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: signalled.append(True))
    if args.until_stdin_closes:
        threading.Thread(target=lambda: (sys.stdin.read(), done.set()), daemon=True).start()
    service.start()
    sys.stdout.write("port %d\nstorage-port %d\n" % (service.web_port, service.storage_port))
    sys.stdout.flush()
    while not signalled and not done.wait(0.5):
        pass
    # A stop that cannot finish (a thread stuck on a peer) must not keep the
    # process alive: whoever started it waits for its end.
    watchdog = threading.Timer(10.0, _give_up_stopping)
    watchdog.daemon = True
    watchdog.start()
    service.stop()
    return 0


def _give_up_stopping():
    sys.stderr.write("remote_service.py: the servers did not stop within 10 s\n")
    sys.stderr.flush()
    os._exit(1)


def _configure(service, args):
    """Apply the configuration file and the options, in that order."""
    if args.config:
        with open(args.config, encoding="utf-8") as src:
            service.configure(json.load(src))
    config = {"accounts": [], "faults": [json.loads(f) for f in args.fault]}
    for account in args.account:
        user, sep, password = account.partition(":")
        if not sep or not user:
            raise ValueError("--account takes USER:PASSWORD")
        config["accounts"].append({"user": user, "password": password})
    service.configure(config)
    for cookie in args.cookie:
        user, sep, text = cookie.partition(":")
        token = session_token(text)
        if not sep or not token or not service.store.has_account(user):
            raise ValueError("--cookie takes USER:sid=TOKEN of a known account")
        service.store.open_session(user, token)
    if args.installer:
        from simulator import catalogue_updates
        catalogue_updates.set_installer(service, args.installer)
    settings = {}
    if args.chunked:
        settings["chunked"] = True
    if args.chunk_size:
        settings["chunk_size"] = args.chunk_size
    if args.no_keep_alive:
        settings["keep_alive"] = False
    if args.session_ttl is not None:
        settings["session_ttl"] = args.session_ttl
    if args.storage_host:
        settings["storage_host"] = args.storage_host
    if args.verbose:
        settings["verbose"] = True
    service.change_settings(settings)


def ctl(argv):
    p = argparse.ArgumentParser(prog="remote_service.py ctl",
                                description="Send one request to a control endpoint.")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("method", choices=["GET", "POST"])
    p.add_argument("path", help='e.g. /_sim/faults, or just "faults"')
    p.add_argument("body", nargs="?", default="", help="JSON body of a POST")
    args = p.parse_args(argv)
    path = args.path if args.path.startswith("/") else CONTROL_PREFIX + args.path
    conn = http.client.HTTPConnection(args.host, args.port, timeout=30)
    body = args.body.encode("utf-8")
    conn.request(args.method, path, body=body if args.method == "POST" else None,
                 headers={"Content-Type": "application/json"})
    reply = conn.getresponse()
    data = reply.read()
    sys.stdout.buffer.write(data + (b"" if data.endswith(b"\n") else b"\n"))
    return 0 if reply.status == 200 else 1


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv and argv[0] == "ctl":
        return ctl(argv[1:])
    if argv and argv[0] == "serve":
        argv = argv[1:]
    return serve(argv)


if __name__ == "__main__":
    sys.exit(main())
