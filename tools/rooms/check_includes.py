#!/usr/bin/env python3
"""The walls between the tree's rooms: fails when a file includes from a folder
that its own folder may not use.

Usage: check_includes.py [ROOT]

A file's room is its folder, a tests/ folder counted with the room it lies in.
Each room below names the rooms it may include from (its own always); "x/*"
stands for x and every room inside it. A room's tests may also include from
any room of their own library (the first part of the path), any tests/
folder and tools/testkit. Every C and C++ file of the tree must lie in a room
of this table (tools/ and build/ aside): a new folder needs its line here,
which is where its walls are decided. Includes in <> and includes of files
outside the project's folders (system headers, "mongoose.h") are not walls.
"""
import os
import re
import subprocess
import sys

PLATFORM = ["platform", "platform/win"]
BASE = ["common", "platform/*"]
JOB_CORE = ["job/core", "wirekit", "plandeck"] + BASE

RULES = {
    # The layer of Windows facilities: win32.h and win/ are what callers use.
    "platform": ["platform/win"],
    "platform/win": ["platform"],
    "platform/kernel": PLATFORM,
    "platform/threads": ["platform/kernel"] + PLATFORM,
    "platform/fault": ["platform/kernel"] + PLATFORM,
    "platform/files": ["platform/fault", "platform/threads", "platform/kernel"] + PLATFORM,
    "platform/services": ["platform/threads", "platform/kernel"] + PLATFORM,
    "platform/net": ["platform/threads", "platform/kernel"] + PLATFORM,
    "platform/sqlite": ["platform/files", "platform/kernel"] + PLATFORM,
    "platform/modules": ["platform/kernel"] + PLATFORM,
    "platform/desktop": ["platform/modules", "platform/files", "platform/fault", "platform/threads",
                         "platform/kernel"] + PLATFORM,
    "platform/clock": ["platform/desktop", "platform/threads", "platform/kernel"] + PLATFORM,
    # The helpers every deliverable compiles in, and the libraries over them.
    "common": ["platform/*"],
    "plandeck": BASE,
    "wirekit": BASE,
    "scheduler": ["job/core", "job/stores", "plandeck"] + BASE,
    # The job library, from the bottom up.
    "job/core": JOB_CORE,
    "job/stores": JOB_CORE,
    "job/remote": ["job/stores"] + JOB_CORE,
    "job/sources": JOB_CORE,
    "job/storage": ["job/sources", "job/remote", "job/stores"] + JOB_CORE,
    "job/runs": ["job/storage", "job/sources", "job/remote", "job/stores", "scheduler"] + JOB_CORE,
    "job": ["job/*", "scheduler"] + JOB_CORE,
    # The programs and the web interface, over the job library.
    "starter/webserver": BASE,
    "starter": ["job/*", "scheduler", "starter/webserver", "plandeck", "wirekit"] + BASE,
    "updater": ["starter", "job/*", "plandeck", "wirekit"] + BASE,
    "tray": ["starter", "job/*", "plandeck", "wirekit"] + BASE,
    "tray/app": ["tray", "starter", "job/*", "plandeck", "wirekit"] + BASE,
    "portvane/db": BASE,
    "portvane": ["job/*", "scheduler", "starter/webserver", "plandeck", "wirekit"] + BASE,
    "portvane/jobs": ["portvane", "portvane/db", "job/*", "scheduler", "starter/webserver",
                      "plandeck", "wirekit"] + BASE,
    "portvane/check": ["portvane", "portvane/db", "job/*", "scheduler", "starter/webserver",
                       "plandeck", "wirekit"] + BASE,
    "portvane/machine": ["portvane", "job/*", "scheduler", "starter/webserver", "plandeck",
                         "wirekit"] + BASE,
}
# What a room's tests may use beyond the above: the web server's live tests
# run it with the job engine's options.
TEST_EXTRA = {"starter/webserver": ["job/*"]}
# Test drivers, benchmarks and fuzz targets may use anything.
UNCHECKED = ("tools/", "build/")
SOURCE_EXT = (".cpp", ".h", ".c", ".cc", ".hpp")
INCLUDE_RE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def room_of(path):
    """(room, in_tests) for a file path."""
    parts = os.path.dirname(path).split("/")
    if "tests" in parts:
        return "/".join(parts[: parts.index("tests")]), True
    return "/".join(parts), False


def allowed(src_room, in_tests, target_room, target_in_tests):
    if target_room == src_room and (in_tests or not target_in_tests):
        return True
    if in_tests:
        if target_in_tests or target_room == "tools/testkit" or target_room.startswith("tools/testkit/"):
            return True
        if target_room.split("/")[0] == src_room.split("/")[0]:
            return True
    elif target_in_tests:
        return False  # code never includes a test's helper
    rules = RULES.get(src_room, []) + (TEST_EXTRA.get(src_room, []) if in_tests else [])
    for a in rules:
        if a.endswith("/*"):
            base = a[:-2]
            if target_room == base or target_room.startswith(base + "/"):
                return True
        elif target_room == a:
            return True
    return False


def list_files(root):
    r = subprocess.run(["git", "-C", root, "ls-files", "-co", "--exclude-standard"],
                       capture_output=True, text=True)
    if r.returncode == 0 and r.stdout.strip():
        return sorted(set(r.stdout.split()))
    out = []
    for d, _, names in os.walk(root):
        for n in names:
            out.append(os.path.relpath(os.path.join(d, n), root))
    return sorted(out)


def check(root, overlay=None):
    """The faults of the tree at root as lines of text; overlay maps a path to
    a text that stands for the file's (a file that need not exist)."""
    overlay = overlay or {}
    files = set(list_files(root)) | set(overlay)
    existing = files
    faults = []
    for f in sorted(files):
        if not f.endswith(SOURCE_EXT) or f.startswith(UNCHECKED):
            continue
        room, in_tests = room_of(f)
        if room not in RULES:
            faults.append(f"{f}: its folder {room}/ is in no room of tools/rooms/check_includes.py")
            continue
        if f in overlay:
            lines = overlay[f].splitlines()
        else:
            full = os.path.join(root, f)
            if not os.path.isfile(full):
                continue
            with open(full, encoding="utf-8", errors="replace") as fh:
                lines = fh.read().splitlines()
        for n, line in enumerate(lines, 1):
            m = INCLUDE_RE.match(line)
            if not m:
                continue
            target = m.group(1)
            if target not in existing:
                continue  # a system header or one found through a package's own path
            t_room, t_tests = room_of(target)
            if not allowed(room, in_tests, t_room, t_tests):
                faults.append(f"{f}:{n}: includes {target}: {room}{'/tests' if in_tests else ''}/ "
                              f"may not use {t_room}{'/tests' if t_tests else ''}/")
    return faults


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(__file__), "..", ".."))
    faults = check(root)
    for line in faults:
        print(line)
    if faults:
        print(f"check_includes: {len(faults)} include(s) cross a wall")
        return 1
    print("check_includes: every include stays within its room's walls")
    return 0


if __name__ == "__main__":
    sys.exit(main())
