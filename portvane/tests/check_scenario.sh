#!/usr/bin/env bash
# The consistent check tried as a user would, with curl, against the agent as "make run" starts
# it (tools/run_agent.py: the service host in the console and the simulator, on a fresh
# machine): a tree backed up by a job is changed on disk and checked by job instance and by
# selection; the result is browsed folder by folder and read back with sqlite3 against what an
# independent reader derives from the tree and the simulator's listing; files are deleted on the
# server, excluded and backed up again, the result removed, and bad ids and missing cookies
# refused without a trace on the machine. Prints one line per check and ends with status 0 when
# every check passed.
#
#   portvane/tests/check_scenario.sh [starter program]   (default build/asan/bin/starter)
#
# KEEP=1 keeps the machine folder for a look afterwards.
scenario=check-scenario
source "$(dirname "$0")/scenario_kit.sh"

tree=$root/drives/c/t
python3 - "$tree" <<'PY'
import os, sys
t = sys.argv[1]
for d in ["a_b", "aXb", "n\u00e9st/deep", "keep"]:
    os.makedirs(os.path.join(t, d), exist_ok=True)
for f in ["a_b/x", "aXb/y", "gone", "newer", "keep/k", "n\u00e9st/deep/\u65e5\u672c.txt", "n\u00e9st/e"]:
    open(os.path.join(t, f), "w").write(f + "\n")
PY

cookie=$(curl -s -i -X POST --data "username=demo&userpassword=$password" "$agent/login" |
    sed -n 's/^Set-Cookie: \([^;]*\).*/\1/ip' | tr -d '\r')
check "login gives a session cookie" test -n "$cookie"

call POST /jobs '{"type":"backup","name":"Checked","source":["C:/t"],"schedule":{"type":"manual"}}'
job=$(printf '%s' "$body" | json 'v["id"]')
call GET "/jobs/$job/start"
check "the backup completes" wait_for "/jobs/$job/lastruntime" 'v.get("state") == "completed"'
call GET "/jobs/$job/instanceids"
run=$(printf '%s' "$body" | json 'v[0]["id"]')

# The changes: one file added, one made newer, three deleted.
echo added >"$tree/nést/added"
touch -d '+1 hour' "$tree/newer"
rm "$tree/gone" "$tree/a_b/x" "$tree/aXb/y"

call POST /consistentcheck/submit "{\"jobInstanceId\":\"$run\"}"
check "submit by instance answers its id" same "$status $body" "200 {\"id\":\"$run\"}"
q() { call POST /consistentcheck/query "{\"consistentcheck_id\":\"$1\",\"path\":\"$2\"}"; }
q "$run" ""
check "the top level is C:/" same "$body" '[{"path":"C:/","state":""}]'
q "$run" "C:/"
check "then t/" same "$body" '[{"path":"t/","state":""}]'
q "$run" "C:/t/"
check "folders first, then added, deleted, modified" same \
    "$(printf '%s' "$body" | json '[(d["path"], d["state"]) for d in v]')" \
    '[["aXb/", ""], ["a_b/", ""], ["n\u00e9st/", ""], ["gone", "deleted"], ["newer", "modified"]]'
q "$run" "C:/t/nést"
check "below a non-ASCII folder" same "$body" '[{"path":"added","state":"added"}]'

# The independent check: the rows a python3 reader derives from the tree and the listing.
listing=$(remote "consistentcheck/jobinstancelastbackup.php?machinename=x" "{\"jobinstanceid\":\"$run\"}")
expected_rows() {  # expected_rows LISTING EXCLUDED...: fullpath|parentpath|status by byte order
    python3 - "$tree" "$@" <<'PY'
import json, os, sys
tree, listing, excluded = sys.argv[1], json.loads(sys.argv[2]), set(sys.argv[3:])
def filetime(path):
    ns = os.stat(path).st_mtime_ns
    ticks = ns // 100 + 116444736000000000
    return ticks
disk = {}
for folder, dirs, files in os.walk(tree):
    for f in files:
        full = os.path.join(folder, f)
        disk["C:/t/" + os.path.relpath(full, tree).replace(os.sep, "/")] = filetime(full)
status = {}
for path, ticks in disk.items():
    if path not in listing:
        status[path] = "added"
    else:
        hi, lo = listing[path].split("-")
        if ticks > (int(hi) << 32 | int(lo)):
            status[path] = "modified"
for path in listing:
    if path not in disk:
        status[path] = "deleted"
rows = {("", ""): ""}
for path, s in status.items():
    if path in excluded:
        continue
    parent = path[: path.rfind("/") + 1]
    rows[(path, parent)] = s
    while parent:
        cur = parent
        cut = cur.rfind("/", 0, len(cur) - 1)
        parent = cur[: cut + 1] if cut >= 0 else ""
        rows[(cur, parent)] = ""
for (full, parent), s in sorted(rows.items(), key=lambda r: r[0][0].encode()):
    print("%s|%s|%s" % (full, parent, s))
PY
}
rows() {
    sqlite3 -readonly "$data/consistentcheck/$1/checkresult.db" \
        "select fullpath,parentpath,status from res order by cast(fullpath as blob)"
}
check "sqlite3 -readonly shows the rows a python3 reader derives" \
    same "$(rows "$run")" "$(expected_rows "$listing")"

call POST /consistentcheck/submit '{"source":{"C:/t":1}}'
sel=$(printf '%s' "$body" | json 'v["id"]')
check "submit by selection answers a new UUID" \
    python3 -c 'import sys,uuid; assert str(uuid.UUID(sys.argv[1])) == sys.argv[1] != sys.argv[2]' "$sel" "$run"
check "with the same rows" same "$(rows "$sel")" "$(rows "$run")"

sim_bodies() { curl -s "$sim/_sim/requests?kind=$1" | json '[r["body"] for r in v["requests"]]'; }
call POST /consistentcheck/deletefiles "{\"consistentcheck_id\":\"$run\",\"source\":[\"C:/T/a_b/\"]}"
check "deletefiles of C:/T/a_b/ answers 200" same "$status" 200
check "and sends nothing" same "$(sim_bodies delete_files)" "[]"
call POST /consistentcheck/deletefiles "{\"consistentcheck_id\":\"$run\",\"source\":[\"C:/t/a_b/\"]}"
check "deletefiles of C:/t/a_b/ sends exactly C:/t/a_b/x" same "$status $(sim_bodies delete_files)" '200 [["C:/t/a_b/x"]]'

call POST /consistentcheck/exclude "{\"consistentcheck_id\":\"$run\",\"source\":[\"C:/t/aXb/\"]}"
check "exclude of C:/t/aXb/" same "$status" 200
call GET /exclusion
check "puts C:/t/aXb/y on the list" same "$body" '["C:/t/aXb/y"]'
call POST /consistentcheck/submit '{"source":{"C:/t":1}}'
next=$(printf '%s' "$body" | json 'v["id"]')
listing2=$(remote "consistentcheck/getlastbackup.php?machinename=x" '{"source":{"C:/t":1}}')
check "the next check hides it (and the deleted file)" \
    same "$(rows "$next")" "$(expected_rows "$listing2" C:/t/aXb/y)"
curl -s -X POST --data-binary '{"kind":"delete_files","action":"status","status":404,"times":1}' \
    "$sim/_sim/faults" >/dev/null
call POST /deletefiles '["C:/t/aXb/y"]'
check "/deletefiles relays the simulator's 404" same "$status" 404
call GET /exclusion
check "and the list keeps the path" same "$body" '["C:/t/aXb/y"]'
call POST /deletefiles '["C:/t/aXb/y"]'
check "after its 200" same "$status" 200
call GET /exclusion
check "the path leaves the list" same "$body" '[]'

# Every entry with its size and time, but the tree's own folder, whose time a restored file moves.
tree_state() { (cd "$tree" && find . -mindepth 1 -printf '%p %s %T@\n' | sort); }
before_restore=$(tree_state)
call POST /consistentcheck/restore "{\"consistentcheck_id\":\"$run\",\"source\":[\"C:/t/gone\"]}"
check "restore of C:/t/gone makes a one-time job" same "$status" 200
restore=$(printf '%s' "$body" | json 'v["id"]')
check "which completes" wait_for "/jobs/$restore/lastruntime" 'v.get("state") == "completed"'
check "the file is back byte for byte" same "$(cat "$tree/gone" 2>&1)" gone
check "with its time" same "$(python3 -c 'import os,sys; print("%d-%d" % divmod(os.stat(sys.argv[1]).st_mtime_ns // 100 + 116444736000000000, 1 << 32))' "$tree/gone")" \
    "$(printf '%s' "$listing" | json 'v["C:/t/gone"]')"
check "and nothing else was written" same "$(tree_state | grep -v '^./gone ')" "$before_restore"

call POST /consistentcheck/backup "{\"consistentcheck_id\":\"$sel\",\"source\":[\"C:/t/\"]}"
check "backup of C:/t/ makes a one-time job" same "$status" 200
once=$(printf '%s' "$body" | json 'v["id"]')
check "which completes" wait_for "/jobs/$once/lastruntime" 'v.get("state") == "completed"'
call POST /consistentcheck/submit '{"source":{"C:/t":1}}'
after=$(printf '%s' "$body" | json 'v["id"]')
check "a check afterwards shows neither the newer nor the added file" \
    same "$(rows "$after" | grep -c -e 'modified$' -e 'added$')" 0

call POST /consistentcheck/deleteresult "{\"consistentcheck_id\":\"$sel\"}"
check "deleteresult removes the folder" test ! -e "$data/consistentcheck/$sel"
snapshot=$(cd "$root" && find . -path ./run.out -prune -o -path ./body -prune -o -print | grep -v '/logs\?/' | sort)
q "$sel" ""
check "a later query gives 500" same "$status" 500
for id in '..' 'a/b' '..\\x' "$(printf 'a%.0s' $(seq 200))"; do
    call POST /consistentcheck/query "{\"consistentcheck_id\":\"$id\",\"path\":\"\"}"
    check "query of id $id gives 400" same "$status" 400
    call POST /consistentcheck/deleteresult "{\"consistentcheck_id\":\"$id\"}"
    check "deleteresult of id $id gives 400" same "$status" 400
    call POST /consistentcheck/submit "{\"jobInstanceId\":\"$id\"}"
    check "submit of id $id gives 400" same "$status" 400
done
check "nothing was made or removed on the machine" same \
    "$(cd "$root" && find . -path ./run.out -prune -o -path ./body -prune -o -print | grep -v '/logs\?/' | sort)" "$snapshot"

for path in /consistentcheck/query /consistentcheck/deleteresult /consistentcheck/submit /exclusion /deletefiles; do
    code=$(curl -s -o /dev/null -w '%{http_code}' -X POST --data-binary '{}' "$agent$path")
    check "no cookie: 401 on $path" same "$code" 401
done

echo "$failures check(s) failed"
[ "$failures" = 0 ]
