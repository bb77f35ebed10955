"""The rows of a run's source cache, derived from the remote tree (a JSON array on standard
input) on their own: node rows in array order, the first row of a path kept; then every missing
ancestor of a listed file or folder; and the root row. Printed as the sqlite3 command line prints
"select fullpath,parentpath,type,mtime,atime,ctime,size,srcpath,quote(increment) from src order
by fullpath"."""

import json
import sys


def parent(path):
    if not path or "/" not in path:
        return None
    last = path.rfind("/")
    if last == len(path) - 1:
        before = path.rfind("/", 0, last)
        return "" if before < 0 else path[:before + 1]
    return path[:last + 1]


def main():
    tree = json.load(sys.stdin)
    rows = {"": ("", "", "", "", "", 0, 0, "0")}
    for node in tree:
        if not isinstance(node, dict):
            continue
        kind = next((k for k in ("file", "dir", "vol") if k in node), None)
        if kind is None or not isinstance(node[kind], str):
            continue
        path = node[kind]
        up = parent(path)
        if up is None or path in rows:
            continue
        text = lambda key: node[key] if isinstance(node.get(key), str) else ""
        size = node.get("size")
        size = size if kind == "file" and isinstance(size, int) and not isinstance(size, bool) else 0
        bup = node.get("bUp")
        increment = 1 if isinstance(bup, int) and not isinstance(bup, bool) and bup != 0 else 0
        rows[path] = (up, kind, text("mtime"), text("atime"), text("ctime"), size, 1,
                      str(increment))
    for node in tree:
        if not isinstance(node, dict):
            continue
        if isinstance(node.get("file"), str):
            path = node["file"]
        elif "file" not in node and isinstance(node.get("dir"), str):
            path = node["dir"]
        else:
            continue
        current = parent(path)
        while current is not None and parent(current) is not None:
            if current not in rows:
                kind = "vol" if current.find("/") == len(current) - 1 else "dir"
                rows[current] = (parent(current), kind, "", "", "", 0, 0, "NULL")
            current = parent(current)
    out = sys.stdout.buffer
    for path in sorted(rows, key=lambda p: p.encode("utf-8")):
        fields = (path,) + rows[path]
        out.write("|".join(str(f) for f in fields).encode("utf-8") + b"\n")


main()
