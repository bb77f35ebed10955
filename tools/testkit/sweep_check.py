"""The independent check of a backup after a fault sweep's point: what was
stored is read from its own layout (the offline catalogue through
catalogue.py, the simulator's state folder from its files), every file's
stored form is decrypted by openssl and inflated by python's zlib (as the
test kit's decode_stored does) and compared with the tree that was backed up.

    python3 sweep_check.py offline BACKUPS TREE ROOT [REFERENCE]
    python3 sweep_check.py web STATE JOB TREE ROOT [REFERENCE]

BACKUPS is the host folder of the offline location, STATE the simulator's
state folder, JOB the backup job's id, TREE the host folder that was backed
up and ROOT its Windows path ("C:\\data"). REFERENCE (an offline location,
or the job of another run in STATE) is a backup of the same tree that was
checked before: a stored form byte-equal to the reference's is known good
without decoding it again (the stored form of the same bytes is always the
same), which keeps a sweep of hundreds of points fast. Prints one line per
finding and nothing else:

    missing PATH      an item of the tree that was not stored
    twice PATH        an item stored more than once
    differs PATH      a file whose stored form does not give its bytes back
    damaged WHY       the catalogue or the run's record cannot be read
    named PATH        a path that the run's error list names
    state STATE       (web) the service's state of the run, when not completed
"""

import json
import os
import subprocess
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import catalogue  # noqa: E402

KEY = "d272421353966d34b17abce7982f3319"
IV = "358d66b829eca80589a08a6736910973"


def tree_items(tree, root):
    """Windows path -> host path of a file, or None for a folder."""
    items = {root: None}
    for folder, folders, files in os.walk(tree):
        relative = os.path.relpath(folder, tree)
        base = root if relative == "." else root + "\\" + relative.replace("/", "\\")
        for name in folders:
            items[base + "\\" + name] = None
        for name in files:
            items[base + "\\" + name] = os.path.join(folder, name)
    return items


def decoded(stored_bytes, compressed):
    run = subprocess.run(["openssl", "enc", "-d", "-aes-128-cbc", "-K", KEY, "-iv", IV],
                         input=stored_bytes, capture_output=True)
    if run.returncode != 0:
        return None
    if not compressed:
        return run.stdout
    inflate = zlib.decompressobj(15)
    try:
        out = inflate.decompress(run.stdout) + inflate.flush()
    except zlib.error:
        return None
    return out if inflate.eof and not inflate.unused_data else None


def compare(items, stored, findings, reference=None):
    """stored: Windows path -> list of (stored bytes or None, compressed);
    reference: the same of a backup checked before, or None."""
    for path, host in sorted(items.items()):
        got = stored.get(path, [])
        if not got:
            findings.append("missing " + path)
            continue
        if len(got) > 1:
            findings.append("twice " + path)
        if host is None:
            continue
        data, compressed = got[-1]
        known = (reference or {}).get(path)
        if data is not None and known and known[-1] == got[-1]:
            continue
        with open(host, "rb") as f:
            expected = f.read()
        if data is None or decoded(data, compressed) != expected:
            findings.append("differs " + path)


def stored_offline(backups, findings):
    """Windows path -> [(stored bytes, compressed) or None for a folder], or
    None when the catalogue cannot be read (findings say why)."""
    cats = [n for n in os.listdir(backups) if n.endswith(".cat")] if os.path.isdir(backups) else []
    if len(cats) != 1:
        findings.append("damaged %d catalogues" % len(cats))
        return None
    path = os.path.join(backups, cats[0])
    with open(path, "rb") as f:
        data = f.read()
    try:
        records = catalogue.records(data)
    except catalogue.Malformed as error:
        findings.append("damaged " + str(error))
        return None
    folder = path[:-4]
    stored = {}
    for record in records:
        if record[0] not in ("FILE", "DIRB"):
            continue
        item = None
        if record[0] == "FILE":
            data_file = os.path.join(folder, str(record[2]))
            content = None
            if os.path.isfile(data_file):
                with open(data_file, "rb") as f:
                    content = f.read()
            item = (content, record[5] == 1)
        stored.setdefault(record[1], []).append(item)
    return stored


def check_offline(backups, tree, root, reference=None):
    findings = []
    stored = stored_offline(backups, findings)
    if stored is None:
        return findings
    known = stored_offline(reference, []) if reference else None
    compare(tree_items(tree, root), stored, findings, known)
    errors = os.path.join(backups, "err")
    if os.path.isfile(errors):
        try:
            with open(errors, encoding="utf-8") as f:
                for entry in json.load(f):
                    findings.append("named " + entry.get("path", ""))
        except ValueError as error:
            findings.append("damaged err: %s" % error)
    return findings


def stored_web(state, job, findings):
    """As stored_offline, of the job's one run in the simulator's state."""
    runs = []
    folder = os.path.join(state, "instances")
    for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
        try:
            with open(os.path.join(folder, name, "instance.json"), encoding="utf-8") as f:
                record = json.load(f)
        except (OSError, ValueError):
            continue
        if record.get("job") == job:
            runs.append((name, record))
    if len(runs) != 1:
        findings.append("damaged %d runs of the job" % len(runs))
        return None, None
    name, record = runs[0]
    stored = {}
    files = os.path.join(folder, name, "files")
    for number in os.listdir(files) if os.path.isdir(files) else []:
        try:
            with open(os.path.join(files, number, "meta.json"), encoding="utf-8") as f:
                meta = json.load(f)
        except (OSError, ValueError):
            continue
        item = None
        if meta.get("type") != "folder":
            blocks = []
            for index in range(1, (meta.get("size", 0) + 131071) // 131072 + 1):
                block = os.path.join(files, number, "%d.blk" % index)
                if not os.path.isfile(block):
                    blocks = None
                    break
                with open(block, "rb") as f:
                    blocks.append(f.read())
            item = (b"".join(blocks) if blocks is not None else None, True)
        stored.setdefault(meta.get("name"), []).append(item)
    return stored, record


def check_web(state, job, tree, root, reference=None):
    findings = []
    stored, record = stored_web(state, job, findings)
    if stored is None:
        return findings
    if record.get("state") != "completed":
        findings.append("state %s" % record.get("state"))
    known = stored_web(state, reference, [])[0] if reference else None
    compare(tree_items(tree, root), stored, findings, known)
    for entry in record.get("errors") or []:
        findings.append("named " + entry.get("path", ""))
    return findings


def main(argv):
    if len(argv) in (4, 5) and argv[0] == "offline":
        findings = check_offline(*argv[1:])
    elif len(argv) in (5, 6) and argv[0] == "web":
        findings = check_web(*argv[1:])
    else:
        sys.stderr.write(__doc__)
        return 2
    for finding in findings:
        print(finding)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
