#!/usr/bin/env python3
"""Runs the agent in the console against the remote-service simulator.

    run_agent.py --program build/asan/starter/starter --conf starter/mongoose.conf

The machine is the folder TOVEL_ROOT names (build/run-root when it is unset).
The launcher starts the simulator with one account (printed), points the
agent's settings at it, copies the web server's options file into the data
folder when it has none, names the checkout's pages as its document folder,
runs "starter -d" and prints the web interface's address once the agent
listens. Ctrl-C (or SIGTERM to the launcher) stops the
agent, then the simulator. Nothing outlives the launcher: the simulator ends
when its standard input closes, and both children get SIGTERM should the
launcher die. Exit status: the agent's, or 1 when something could not start.
"""

import argparse
import ctypes
import json
import os
import re
import secrets
import shutil
import signal
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SIMULATOR = os.path.join(HERE, "remote-service", "remote_service.py")
# The data folder below the machine's C:\ProgramData.
DATA_FOLDER = os.path.join("drives", "c", "ProgramData", "morvask", "Tovel")
# Where the agent believes it is installed: inside the machine, so that the
# files it keeps beside its program stay there too.
PROGRAM_PATH = "C:\\Program Files\\Tovel\\starter.exe"
ACCOUNT = "demo"
STARTED = re.compile(r"started on port\(s\) \[([^\]]*)\]")


def die_with_parent():
    """In the child before exec: SIGTERM when the launcher dies."""
    libc = ctypes.CDLL(None, use_errno=True)
    pr_set_pdeathsig = 1
    libc.prctl(pr_set_pdeathsig, signal.SIGTERM, 0, 0, 0)


def web_addresses(ports):
    """The URLs of a "ports" text such as "127.0.0.1:8888,8889s"."""
    out = []
    for port in ports.split(","):
        port = port.strip()
        secure = port.endswith("s")
        port = port.rstrip("sr")
        if not port:
            continue
        if ":" not in port:
            port = "127.0.0.1:" + port
        out.append(("https://" if secure else "http://") + port + "/")
    return out


def bind_settings(data, port):
    """Points the agent's settings ("options" in the data folder) at the
    simulator, keeping every other setting."""
    path = os.path.join(data, "options")
    settings = {}
    if os.path.isfile(path):
        with open(path, encoding="utf-8") as f:
            try:
                settings = json.load(f)
            except ValueError:
                settings = {}
    settings.update({"webServerName": "simulator", "webServerHost": "127.0.0.1",
                     "webServerPort": port})
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        json.dump(settings, f, indent=4, sort_keys=True)
    os.chmod(path + ".tmp", 0o600)
    os.replace(path + ".tmp", path)


def point_at_pages(conf, pages):
    """Makes the options file's document folder the checkout's pages, so that a change to them
    shows at the next reload; the other lines stay."""
    with open(conf, encoding="utf-8") as f:
        lines = [line for line in f if not re.match(r"(root|document_root)\s", line)]
    if lines and not lines[-1].endswith("\n"):
        lines[-1] += "\n"
    lines.append("root %s\n" % pages)
    with open(conf + ".tmp", "w", encoding="utf-8") as f:
        f.writelines(lines)
    os.replace(conf + ".tmp", conf)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, help="the starter program")
    parser.add_argument("--conf", required=True, help="the shipped mongoose.conf")
    args = parser.parse_args()

    root = os.path.abspath(os.environ.get("TOVEL_ROOT") or os.path.join("build", "run-root"))
    data = os.path.join(root, DATA_FOLDER)
    os.makedirs(data, exist_ok=True)
    env = dict(os.environ, TOVEL_ROOT=root, TOVEL_PROGRAM=PROGRAM_PATH)

    # Ctrl-C reaches the agent directly (it is in the terminal's process
    # group); the launcher waits for the agent to end and then stops the rest.
    stopping = []
    agent = None

    def on_signal(number, _frame):
        stopping.append(number)
        if agent is not None and number != signal.SIGINT:
            agent.send_signal(signal.SIGTERM)

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)

    password = secrets.token_hex(6)
    simulator = subprocess.Popen(
        [sys.executable, SIMULATOR, "--state", os.path.join(root, "remote-service"),
         "--port", "0", "--account", "%s:%s" % (ACCOUNT, password), "--until-stdin-closes"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
        start_new_session=True, preexec_fn=die_with_parent)
    status = 1
    try:
        line = simulator.stdout.readline()
        match = re.match(r"port (\d+)", line)
        if not match:
            print("run: the simulator did not start", file=sys.stderr)
            return 1
        port = int(match.group(1))
        print("Simulator of the remote service: http://127.0.0.1:%d/ (state in %s)"
              % (port, os.path.join(root, "remote-service")))
        print("Account: %s, password %s" % (ACCOUNT, password))
        bind_settings(data, port)
        conf = os.path.join(data, "mongoose.conf")
        if not os.path.exists(conf):
            shutil.copyfile(args.conf, conf)
        point_at_pages(conf, os.path.join(os.path.dirname(HERE), "pages"))
        print("Machine: %s" % root, flush=True)
        if stopping:
            return 1

        agent = subprocess.Popen([os.path.abspath(args.program), "-d"], env=env,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True,
                                 preexec_fn=die_with_parent)
        for line in agent.stdout:
            print(line, end="", flush=True)
            found = STARTED.search(line)
            if found:
                for address in web_addresses(found.group(1)):
                    print("Web interface: %s" % address, flush=True)
                print("Ctrl-C stops the agent, then the simulator.", flush=True)
        status = agent.wait()
        if status != 0 and not stopping:
            print("run: the agent ended with status %d (is the web interface's port in use?"
                  " see %s)" % (status, conf), file=sys.stderr)
        return status if status >= 0 else 128 - status
    finally:
        if agent is not None and agent.poll() is None:
            agent.terminate()
            agent.wait()
        simulator.stdin.close()
        try:
            simulator.wait(timeout=30)
        except subprocess.TimeoutExpired:
            simulator.kill()
            simulator.wait()
        print("The simulator has ended.", flush=True)


if __name__ == "__main__":
    sys.exit(main())
