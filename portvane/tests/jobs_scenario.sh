#!/usr/bin/env bash
# The jobs of the web interface tried as a new user would, with curl, against the agent as
# "make run" starts it (tools/run_agent.py: the service host in the console and the simulator,
# on a fresh machine): log in, define a backup job of a generated tree, follow it on /jobnotify
# while it is started, paused and resumed, list and browse its run, read the run's cache with an
# independent reader, restore part of it into another folder and compare, delete the run and the
# job. Prints one line per check and ends with status 0 when every check passed.
#
#   portvane/tests/jobs_scenario.sh [starter program]   (default build/asan/bin/starter)
#
# KEEP=1 keeps the machine folder for a look afterwards.
scenario=jobs-scenario
source "$(dirname "$0")/scenario_kit.sh"

# A tree with nested and empty folders, an empty file, 2 MiB + 1 bytes and non-ASCII names.
tree=$root/drives/c/t
python3 - "$tree" <<'PY'
import os, sys
t = sys.argv[1]
for d in ["a_b", "aXb", "empty", "n\u00e9st/deep", "n\u00e9st/leer"]:
    os.makedirs(os.path.join(t, d), exist_ok=True)
open(os.path.join(t, "a_b", "x.txt"), "w").write("under a_b\n")
open(os.path.join(t, "aXb", "y.txt"), "w").write("under aXb\n")
open(os.path.join(t, "zero"), "w").close()
open(os.path.join(t, "n\u00e9st", "deep", "big.bin"), "wb").write(
    bytes((i * 7919 >> 3) & 255 for i in range(2 * 1024 * 1024 + 1)))
open(os.path.join(t, "n\u00e9st", "\u65e5\u672c.txt"), "w").write("nihon\n")
PY

cookie=$(curl -s -i -X POST --data "username=demo&userpassword=$password" "$agent/login" |
    sed -n 's/^Set-Cookie: \([^;]*\).*/\1/ip' | tr -d '\r')
check "login gives a session cookie" test -n "$cookie"
curl -s -X POST --data-binary '{"user":"other","password":"pw"}' "$sim/_sim/accounts" >/dev/null
other=$(curl -s -i -X POST --data "username=other&userpassword=pw" "$agent/login" |
    sed -n 's/^Set-Cookie: \([^;]*\).*/\1/ip' | tr -d '\r')

call POST /jobs '{"type":"backup","name":"Trial backup","source":["C:/t"],"schedule":{"type":"manual"}}'
check "POST /jobs answers the new job's id" same "$status" 200
job=$(printf '%s' "$body" | json 'v["id"]')
call GET /jobs
check "GET /jobs lists it" same "$(printf '%s' "$body" | json '[d["id"] for d in v]')" "[\"$job\"]"
saved=$cookie
cookie=$other
call GET /jobs
check "another user's GET /jobs does not" same "$body" "[]"
cookie=$saved
call GET /jobsview
check "/jobsview gives its name and type" same \
    "$(printf '%s' "$body" | json '[(d["name"], d["type"]) for d in v]')" '[["Trial backup", "backup"]]'

curl -sN -H "Cookie: $cookie" "$agent/jobnotify/" >"$root/notify.out" &
notify=$!
sleep 0.5
# The simulator takes its time with each block, so that there is a run to pause.
curl -s -X POST --data-binary '{"kind":"upload_data","action":"delay","seconds":0.25}' \
    "$sim/_sim/faults" >/dev/null
call GET "/jobs/$job/start"
check "start" same "$status" 200
check "the job runs" wait_for "/jobs/$job/state" 'v.get("state") == "running"'
call GET "/jobs/$job/pause"
check "pause" same "$status" 200
check "the job is paused" wait_for "/jobs/$job/state" 'v.get("state") == "paused"'
call GET "/jobs/$job/resume"
check "resume" same "$status" 200
curl -s -X POST --data-binary '{}' "$sim/_sim/faults/clear" >/dev/null
check "the run completes" wait_for "/jobs/$job/lastruntime" 'v.get("state") == "completed"'
sleep 0.5
kill "$notify"
notify=
states=$(python3 -c '
import json, re, sys
text = open(sys.argv[1], encoding="utf-8").read()
print(" ".join(json.loads(m)["state"] for m in re.findall(r"\{[^{}]*\}", text)))' "$root/notify.out")
echo "      /jobnotify: $states"
check "/jobnotify showed the run paused, resumed and completed" \
    python3 -c 'import sys; s=sys.argv[1].split(); i=s.index("paused"); assert "running" in s[i:] and "completed" in s[i:]' "$states"

call GET "/jobs/$job/instanceids"
check "instanceids lists the run" same "$(printf '%s' "$body" | json 'len(v)')" 1
run=$(printf '%s' "$body" | json 'v[0]["id"]')
db=$data/jobhistorysrc/$run/jobhistorysrc.db

# A build that fails (a reply cut in half) leaves no cache behind.
curl -s -X POST --data-binary '{"kind":"get_instance_sources","action":"malformed_json","times":1}' \
    "$sim/_sim/faults" >/dev/null
call GET "/jobinstances/$run/source/"
check "a failed build answers 500" same "$status" 500
check "and leaves no database file" test ! -e "$db"
before=$(sim_requests get_instance_sources)
call GET "/jobinstances/$run/source/"
check "source/ gives the volume" same "$body" \
    '[{"atime":"","ctime":"","has_sub_dir":"true","increment":0,"mtime":"","vol":"C:"}]'
call GET "/jobinstances/$run/source/C:/t/"
check "folders come before files, with sizes" same \
    "$(printf '%s' "$body" | json '[(d.get("dir") or d.get("file"), d.get("size")) for d in v]')" \
    '[["aXb", null], ["a_b", null], ["empty", null], ["n\u00e9st", null], ["zero", 0]]'
call GET "/jobinstances/$run/source/C:/t/n%C3%A9st/deep"
check "a non-ASCII folder and the 2 MiB + 1 file" same \
    "$(printf '%s' "$body" | json '[(d.get("file"), d.get("size")) for d in v]')" '[["big.bin", 2097153]]'
call GET "/jobinstances/$run/source/%23all"
check "#all gives every file" same "$(printf '%s' "$body" | json 'sorted(d["path"] for d in v)')" \
    '["C:/t/aXb/y.txt", "C:/t/a_b/x.txt", "C:/t/n\u00e9st/deep/big.bin", "C:/t/n\u00e9st/\u65e5\u672c.txt", "C:/t/zero"]'
call GET "/jobinstances/$run/source/%23increment"
check "#increment gives the files sent in this run" same "$(printf '%s' "$body" | json 'len(v)')" 5
check "the browses after the first sent nothing to the simulator" same \
    "$(sim_requests get_instance_sources)" "$((before + 1))"

remote catalog/GetSourcesByJobInstanceID.php "{\"jobinstanceid\":\"$run\"}" >"$root/tree.json"
python3 "$source_dir/portvane/tests/history_rows.py" <"$root/tree.json" >"$root/rows.expected"
sqlite3 -readonly "$db" "select fullpath,parentpath,type,mtime,atime,ctime,size,srcpath,quote(increment) from src order by cast(fullpath as blob)" >"$root/rows.cache"
check "the cache holds the rows an independent reader derives from the run's tree" \
    cmp "$root/rows.cache" "$root/rows.expected"
check "the cache passes its integrity check" same "$(sqlite3 -readonly "$db" 'pragma integrity_check')" ok

for kind in history errors; do
    path=catalog/GetHistoryByJobInstanceID.php
    [ $kind = errors ] && path=catalog/ListErrorByJobInstanceID.php
    call GET "/jobinstances/$run/$kind"
    check "$kind is the simulator's body byte for byte" same "$body" \
        "$(remote $path "{\"jobinstanceid\":\"$run\"}")"
done

call POST /jobs "{\"type\":\"restore\",\"name\":\"Trial restore\",\"instanceId\":\"$run\",\"location\":\"C:/out\",\"existing\":\"overwrite\",\"source\":[\"C:/t/n\u00e9st/\",\"C:/t/a_b/x.txt\"]}"
check "POST of a restore of a folder and a file" same "$status" 200
restore=$(printf '%s' "$body" | json 'v["id"]')
check "the restore runs at once and completes" \
    wait_for "/jobs/$restore/lastruntime" 'v.get("state") == "completed"'
for f in "a_b/x.txt" "nést/deep/big.bin" "nést/日本.txt"; do
    check "restored $f equals its original" cmp "$tree/$f" "$root/drives/c/out/$f"
done
check "the empty folder of the selection is restored" test -d "$root/drives/c/out/nést/leer"

call DELETE "/jobinstances/$run"
check "DELETE of the run" same "$status" 200
check "its cache folder is gone" test ! -e "$data/jobhistorysrc/$run"
check "its restore job is gone" wait_for "/jobs" "\"$restore\" not in [d[\"id\"] for d in v]"
call POST /jobs "{\"type\":\"restore\",\"name\":\"Again\",\"instanceId\":\"$run\",\"location\":\"C:/out2\",\"source\":[\"C:/t/\"]}"
check "a new restore of the deleted run gets 404" same "$status" 404

# A run whose tree the simulator describes as empty ("[]" and a line break) is answered without a
# cache, and asked for again next time.
mkdir -p "$root/drives/c/void"
call POST /jobs '{"type":"backup","name":"Nothing","source":["C:/void"],"schedule":{"type":"manual"}}'
empty_job=$(printf '%s' "$body" | json 'v["id"]')
call GET "/jobs/$empty_job/start"
check "a second backup completes" wait_for "/jobs/$empty_job/lastruntime" 'v.get("state") == "completed"'
call GET "/jobs/$empty_job/instanceids"
empty_run=$(printf '%s' "$body" | json 'v[0]["id"]')
curl -s -X POST --data-binary '{"kind":"get_instance_sources","action":"body","body":"[]\n","times":1}' \
    "$sim/_sim/faults" >/dev/null
call GET "/jobinstances/$empty_run/source/"
check "an empty run's tree is answered []" same "$status $body" "200 []"
check "no database file for an empty run" test ! -e "$data/jobhistorysrc/$empty_run/jobhistorysrc.db"

call DELETE "/jobs/$job"
check "DELETE /jobs/<id>" same "$status" 200
check "the job is gone" wait_for "/jobs" "\"$job\" not in [d[\"id\"] for d in v]"
call DELETE "/jobs/$job"
check "DELETE /jobs/<id> again gets 500" same "$status" 500

echo "$failures check(s) failed"
[ "$failures" = 0 ]
