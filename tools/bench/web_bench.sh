#!/usr/bin/env bash
# The web benchmark: a tree of BENCH_FILES small files (200 000) backed up to the remote-service
# simulator and restored from it through the service host in the console (a Release build in
# build/release), then used through the web interface as a browser would. In one run it prints:
#   - the web backup's and the web restore's times, with the CPU that the agent (the service
#     host) and the simulator spent per file;
#   - the cold browse of the root (the run's tree fetched and its cache built) and the warm one,
#     the same for a folder five levels down, "#all" (every file of the run), the consistent
#     check of the unchanged tree and of the tree with 1 % of its files changed;
#   - the service's resident memory (VmRSS) after each step, and the peak of one cold browse
#     above what it held before (VmHWM, reset through clear_refs);
#   - the cache's build alone (history_cache_run over the simulator's own reply) against the
#     sqlite3 shell loading the same rows;
#   - when restic is installed (the benchmark never installs it: apt-get install restic), the
#     same work by restic (backup to a local repository, `restic ls latest`, the backup of the
#     changed tree, the restore) and `find -printf` over the tree, as ratios beside each figure;
#   - every bound, as met or not in this run.
#
#   tools/bench/web_bench.sh
#
# With BENCH_TREE=mixed the tree is instead the mixed tree of the backup benchmark
# (tools/bench/make_tree.py: four large files and many medium ones, BENCH_BYTES in all, default
# 1 200 000 000, the backup benchmark's), with BENCH_TREE=large only its four large files (48 %
# of it); then only the web backup and restore are run (as BENCH_RUNS=1), the job compressing its
# files, the restore compared
# with the tree (diff -r) and its agent CPU given in all.
#
# Environment: BENCH_DIR (default build/bench; the tree is made once in it and kept), BENCH_BUILD
# (default build/release), BENCH_FILES (default 200000), BENCH_OTHERS (0: leave restic out),
# BENCH_DEBUG (1: the agent logs its debug lines, as its default configuration has it),
# BENCH_RUNS (1: the web backup and restore only, without the browses, the cache and the check),
# BENCH_REQUESTS (a file: the requests
# of the web backups as the simulator logged them, without what differs from run to run, one a
# line, to be compared with another build's),
# BENCH_PERF (1: record the agent with `perf record -g` during the backup and the restore, into
# perf-backup.data and perf-restore.data of the bench's web folder), BENCH_STRACE (1: count the
# agent's system calls with `strace -c -f` instead, into strace-backup.txt and
# strace-restore.txt), JOBS (build jobs, default 2), BENCH_SIM_PYTHON (the interpreter that runs
# the simulator: by default pypy3 when it is installed, which spends a quarter to a third
# less CPU per request than python3, else python3). Every run starts a fresh machine
# and a fresh simulator; both are stopped when the script ends, however it ends.
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bench=${BENCH_DIR:-$source_dir/build/bench}
build=${BENCH_BUILD:-$source_dir/build/release}
files=${BENCH_FILES:-200000}
others=${BENCH_OTHERS:-1}
jobs=${JOBS:-2}
sim_python=${BENCH_SIM_PYTHON:-}

bash "$source_dir/tools/setup.sh"
if [ -z "$sim_python" ]; then
    sim_python=python3
    command -v pypy3 >/dev/null 2>&1 && sim_python=pypy3
fi
sim_version=$("$sim_python" -c 'import platform; print(platform.python_implementation(), platform.python_version())')
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOVEL_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j "$jobs" --target starter portvane history_cache_run >/dev/null
starter=$build/bin/starter
cache_driver=$(find "$build" -name history_cache_run -type f -perm -u+x | head -1)

work=$bench/web
machine=$work/machine
data=$machine/drives/c/ProgramData/morvask/Tovel
tree=$work/tree-$files
deep=a00/b0/c0/d0/e0
kind=${BENCH_TREE:-small}
compression=
if [ "$kind" = mixed ] || [ "$kind" = large ]; then
    tree=$work/tree-mixed-${BENCH_BYTES:-1200000000}
    python3 "$source_dir/tools/bench/make_tree.py" mixed "$tree" --bytes "${BENCH_BYTES:-1200000000}"
    [ "$kind" = large ] && tree=$tree/large
    files=$(find "$tree" -type f | wc -l)
    BENCH_RUNS=1
    compression='"compression":true,'
fi
# The tree: five levels of folders (10 x 5 x 4 x 5 x 5), 40 files of up to 2 KiB in each of
# the lowest, made once and kept.
if [ ! -d "$tree" ]; then
    python3 - "$tree.partial" "$files" <<'PY'
import os, random, shutil, sys
root, total = sys.argv[1], int(sys.argv[2])
shutil.rmtree(root, ignore_errors=True)
rng = random.Random(36)
pool = bytes(rng.randrange(32, 127) for _ in range(1 << 16))
per = 40
for n in range(total):
    f = n // per
    folder = os.path.join(root, "a%02d" % (f // 500 % 10), "b%d" % (f // 100 % 5),
                          "c%d" % (f // 25 % 4), "d%d" % (f // 5 % 5), "e%d" % (f % 5))
    if f >= 5000:
        folder = os.path.join(root, "x%03d" % (f // 5000), "e%04d" % (f % 5000))
    if n % per == 0:
        os.makedirs(folder, exist_ok=True)
    size = rng.randint(0, 2048)
    at = rng.randrange(0, len(pool) - size)
    with open(os.path.join(folder, "f%06d.txt" % n), "wb") as out:
        out.write(pool[at:at + size])
PY
    mv "$tree.partial" "$tree"
fi

sim_pid=
perf_pid=
agent_pid=
finish() {
    [ -n "$perf_pid" ] && kill -INT "$perf_pid" 2>/dev/null && wait "$perf_pid" 2>/dev/null
    [ -n "$agent_pid" ] && kill -TERM "$agent_pid" 2>/dev/null && wait "$agent_pid" 2>/dev/null
    [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    true
}
trap finish EXIT

rm -rf "$machine" "$work/restic" "$work/restic-out" "$work/changed"
mkdir -p "$data" "$machine/drives/c"
# The tree is moved into the machine for the run (a rename), and back at the end.
mv "$tree" "$machine/drives/c/w"
trap 'finish; mv "$machine/drives/c/w" "$tree"' EXIT
src=$machine/drives/c/w

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
# CPU seconds (user and system) that a process has spent so far.
cpu_of() { awk '{ print ($14 + $15) / '"$(getconf CLK_TCK)"' }' "/proc/$1/stat"; }
rss_mb() { awk '/^VmRSS/ { printf "%.1f", $2 / 1024 }' "/proc/$agent_pid/status"; }
sim_hwm_mb() { awk '/^VmHWM/ { printf "%.1f", $2 / 1024 }' "/proc/$sim_pid/status"; }
hwm_mb() { awk '/^VmHWM/ { printf "%.1f", $2 / 1024 }' "/proc/$agent_pid/status"; }
reset_peak() { echo 5 >"/proc/$agent_pid/clear_refs"; }
perf_start() {  # perf_start NAME: records the agent until perf_stop, when BENCH_PERF or BENCH_STRACE=1
    if [ "${BENCH_STRACE:-0}" = 1 ]; then
        strace -c -f -p "$agent_pid" -o "$work/strace-$1.txt" >/dev/null 2>&1 &
    elif [ "${BENCH_PERF:-0}" = 1 ]; then
        perf record -q -g -p "$agent_pid" -o "$work/perf-$1.data" >/dev/null 2>&1 &
    else
        return 0
    fi
    perf_pid=$!
    sleep 0.5
}
perf_stop() {
    [ -n "$perf_pid" ] || return 0
    kill -INT "$perf_pid"
    wait "$perf_pid" || true
    perf_pid=
}

password=bench-password
"$sim_python" "$source_dir/tools/remote-service/remote_service.py" --state "$machine/remote-service" \
    --port 0 --account "bench:$password" --max-body 1073741824 \
    $([ -n "${BENCH_REQUESTS:-}" ] && echo --log-limit 0) >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
# On a loaded machine the simulator has taken over 30 s to print its port: up to two minutes.
for _ in $(seq 1200); do grep -q '^port ' "$work/sim.out" && break; sleep 0.1; done
sim_port=$(sed -n 's/^port //p' "$work/sim.out")
[ -n "$sim_port" ] || { echo "the simulator did not start:"; cat "$work/sim.err"; exit 1; }
sim=http://127.0.0.1:$sim_port
printf '{"webServerName": "simulator", "webServerHost": "127.0.0.1", "webServerPort": %d}\n' \
    "$sim_port" >"$data/options"
echo "ports 127.0.0.1:0" >"$data/mongoose.conf"
# The agent logs as a configured service does, without its debug lines (BENCH_DEBUG=1 keeps
# the default configuration, which logs them too, to the file and to standard error).
if [ "${BENCH_DEBUG:-0}" != 1 ]; then
    printf 'dynamic Logger Service_Object * ACE:_make_ACE_Logging_Strategy()\r\n"-s "%s" -f OSTREAM|STDERR|VERBOSE_LITE -p ~DEBUG|INFO|WARNING|NOTICE|ERROR|CRITICAL|ALERT|EMERGENCY -i 30 -m 2048 -N 5"' \
        "$data/agent.log" >"$data/svc.conf"
fi
TOVEL_ROOT=$machine TOVEL_PROGRAM='C:\Program Files\Tovel\starter.exe' "$starter" -d \
    >"$work/agent.out" 2>"$work/agent.err" </dev/null &
agent_pid=$!
for _ in $(seq 300); do grep -q 'started on port' "$work/agent.out" && break; sleep 0.1; done
agent_port=$(sed -n 's/.*started on port(s) \[127.0.0.1:\([0-9]*\).*/\1/p' "$work/agent.out" | head -1)
agent=http://127.0.0.1:$agent_port
[ -n "$agent_port" ] || { echo "the agent did not start:"; cat "$work/agent.out" "$work/agent.err"; exit 1; }

cookie=$(curl -s -i -X POST --data "username=bench&userpassword=$password" "$agent/login" |
    sed -n 's/^Set-Cookie: \([^;]*\).*/\1/ip' | tr -d '\r')
call() {  # call METHOD PATH [JSON]: status in $status, body in $work/body
    local args=(-s -o "$work/body" -w '%{http_code}' -X "$1" -H "Cookie: $cookie")
    [ $# -gt 2 ] && args+=(-H 'Content-Type: application/json' --data-binary "$3")
    status=$(curl "${args[@]}" "$agent$2")
}
field() { python3 -c 'import json,sys; v=json.load(open(sys.argv[1])); print(eval(sys.argv[2]))' "$work/body" "$1"; }
wait_done() {  # wait_done JOB: until its last run completed (or failed: exit)
    while :; do
        call GET "/jobs/$1/lastruntime"
        state=$(field 'v.get("state", "")' 2>/dev/null || true)
        [ "$state" = completed ] && return 0
        if [ "$state" = error ]; then echo "the run of job $1 failed"; exit 1; fi
        sleep 0.2
    done
}

results=()
bound() {  # bound TEXT MET(0/1)
    results+=("$(printf '  %-72s %s' "$1" "$([ "$2" = 1 ] && echo met || echo 'NOT met')")")
}
le() { awk -v a="$1" -v b="$2" 'BEGIN { print (a <= b) ? 1 : 0 }'; }

echo "web benchmark of $files files (machine $machine, simulator $sim on $sim_python, $sim_version, agent $agent)"
echo "  (ratios in brackets: Tovel's time over the other's)"
find "$src" -type f -exec cat {} + >/dev/null 2>&1 || true

# ---- the references
if [ "$others" != 0 ] && command -v restic >/dev/null; then
    export RESTIC_PASSWORD=bench RESTIC_REPOSITORY=$work/restic
    restic init -q >/dev/null
    start=$(now); restic backup -q "$src" >/dev/null; r_backup=$(elapsed "$start")
    start=$(now); restic ls latest >/dev/null; r_ls=$(elapsed "$start")
else
    others=0
fi
start=$(now); find "$src" -printf '%p %s %T@\n' >/dev/null; r_find=$(elapsed "$start")

# ---- the web backup
call POST /jobs "{\"type\":\"backup\",\"name\":\"Web bench\",\"source\":[\"C:/w\"],$compression\"schedule\":{\"type\":\"manual\"}}"
job=$(field 'v["id"]')
agent_cpu=$(cpu_of "$agent_pid"); sim_cpu=$(cpu_of "$sim_pid")
perf_start backup
start=$(now)
call GET "/jobs/$job/start"
wait_done "$job"
backup_s=$(elapsed "$start")
perf_stop
backup_agent_ms=$(awk -v a="$agent_cpu" -v b="$(cpu_of "$agent_pid")" -v n="$files" 'BEGIN { printf "%.3f", (b - a) * 1000 / n }')
backup_sim_ms=$(awk -v a="$sim_cpu" -v b="$(cpu_of "$sim_pid")" -v n="$files" 'BEGIN { printf "%.3f", (b - a) * 1000 / n }')
printf "web backup:                 %8.3f s%s, agent %s ms CPU/file, simulator %s ms/file; RSS %s MB\n" \
    "$backup_s" "$([ "$others" = 1 ] && echo " [restic backup $r_backup s: $(ratio "$backup_s" "$r_backup")]")" \
    "$backup_agent_ms" "$backup_sim_ms" "$(rss_mb)"
bound "web backup: agent CPU per file <= 0.2 ms ($backup_agent_ms)" "$(le "$backup_agent_ms" 0.2)"
call GET "/jobs/$job/instanceids"
run=$(field 'v[0]["id"]')

if [ -n "${BENCH_REQUESTS:-}" ]; then
    curl -s "$sim/_sim/requests" | python3 -c '
import json, sys
# What differs between two runs of one tree: ids, times, cookies, the creation and access times
# of the files and folders (the lengths of the bodies that carry them), the port of the simulator.
volatile = {"seq", "time", "headers", "instanceid", "instance", "starttime", "endtime", "jobid",
            "id", "client", "elapsed", "cookie", "creationtime", "port", "jobinstanceid",
            "jobdefinitionid", "job", "body_length"}
def clean(value):
    if isinstance(value, dict):
        return {k: clean(v) for k, v in sorted(value.items()) if k.lower() not in volatile
                and not k.startswith(("ftCreationTime", "ftLastAccessTime"))}
    if isinstance(value, list):
        return [clean(v) for v in value]
    return value
for entry in json.load(sys.stdin)["requests"]:
    if entry["kind"] != "login":
        print(json.dumps(clean(entry), sort_keys=True))' >"$BENCH_REQUESTS"
fi

if [ "${BENCH_RUNS:-0}" != 1 ]; then  # BENCH_RUNS=1: the backup and the restore only
# ---- browsing the run
cache=$data/jobhistorysrc/$run
browse() {  # browse LABEL PATH REFERENCE-SECONDS REFERENCE-NAME
    local start rss
    rss=$(rss_mb)
    reset_peak
    start=$(now)
    call GET "/jobinstances/$run/source/$2"
    local s
    s=$(elapsed "$start")
    [ "$status" = 200 ] || { echo "$1 answered $status"; exit 1; }
    printf "%-27s %8.3f s%s; %s entries; RSS %s MB (peak +%s MB)\n" "$1:" "$s" \
        "$([ -n "$3" ] && echo " [$4 $3 s: $(ratio "$s" "$3")]")" \
        "$(field 'len(v)')" "$(rss_mb)" "$(awk -v a="$rss" -v b="$(hwm_mb)" 'BEGIN { printf "%.1f", b - a }')"
    last_s=$s
    last_peak=$(awk -v a="$rss" -v b="$(hwm_mb)" 'BEGIN { printf "%.1f", b - a }')
}
ls_ref=; ls_name=
[ "$others" = 1 ] && ls_ref=$r_ls && ls_name="restic ls latest"
worst_peak=0
for n in 1 2 3; do
    rm -rf "$cache"
    browse "cold browse of the root ($n)" "" "$ls_ref" "$ls_name"
    worst_peak=$(awk -v a="$worst_peak" -v b="$last_peak" 'BEGIN { print (b > a) ? b : a }')
done
browse "warm browse of the root" "" "$r_find" "find -printf"
rm -rf "$cache"
browse "cold browse of $deep" "C:/w/$deep" "$ls_ref" "$ls_name"
browse "warm browse of $deep" "C:/w/$deep" "$r_find" "find -printf"
bound "one cold browse adds at most 100 MB at its peak (+$worst_peak MB)" "$(le "$worst_peak" 100)"
worst_all=0
for n in 1 2 3; do
    browse "#all ($n)" "%23all" "$ls_ref" "$ls_name"
    worst_all=$(awk -v a="$worst_all" -v b="$last_s" 'BEGIN { print (b > a) ? b : a }')
done
bound "\"#all\" of $files entries within 1 s ($worst_all s)" "$(le "$worst_all" 1)"

# ---- the cache's build alone, against the sqlite3 shell
curl -s -X POST -H "Cookie: $cookie" --data-binary "{\"jobinstanceid\":\"$run\"}" \
    "$sim/tovel/WebServer/catalog/GetSourcesByJobInstanceID.php" >"$work/tree.json"
python3 "$source_dir/portvane/tests/history_rows.py" <"$work/tree.json" | python3 -c '
import sys
def q(t): return "'"'"'" + t.replace("'"'"'", "'"'"''"'"'") + "'"'"'"
print("PRAGMA journal_mode=MEMORY;PRAGMA synchronous=OFF;")
print("create table src(fullpath varchar(4096) primary key,parentpath varchar(4096),type varchar(10),mtime varchar(20),atime varchar(20),ctime varchar(20),size INTEGER, srcpath INTEGER, increment INTEGER);")
print("create index src_parentpath on src(parentpath);")
print("BEGIN;")
for line in sys.stdin.buffer.read().decode("utf-8").splitlines():
    f = line.split("|")
    print("insert into src values(%s,%s,%s,%s,%s,%s,%s,%s,%s);" % (q(f[0]), q(f[1]), q(f[2]), q(f[3]), q(f[4]), q(f[5]), f[6], f[7], f[8]))
print("COMMIT;")' >"$work/rows.sql"
mkdir -p "$work/cache-machine"
driven=$(TOVEL_ROOT=$work/cache-machine "$cache_driver" "$work/tree.json" "C:/w/$deep")
build_s=$(echo "$driven" | awk '/^build/ { print $2 }')
all_s=$(echo "$driven" | awk '/^all/ { print $2 }')
rm -f "$work/cli.db"
start=$(now); sqlite3 "$work/cli.db" <"$work/rows.sql" >/dev/null; cli_s=$(elapsed "$start")
printf "cache build alone:          %8.3f s [sqlite3 shell, same rows, %s s: %s]\n" "$build_s" "$cli_s" "$(ratio "$build_s" "$cli_s")"
printf "\"#all\" from the cache alone: %8.3f s (every file written out, without the web server)\n" "$all_s"
bound "the cache builds in at most 1.5 x the sqlite3 shell's time ($(ratio "$build_s" "$cli_s"))" \
    "$(le "$(ratio "$build_s" "$cli_s")" 1.5)"

# ---- the consistent check
check() {  # check LABEL REFERENCE-SECONDS REFERENCE-NAME
    local start s
    start=$(now)
    call POST /consistentcheck/submit "{\"jobInstanceId\":\"$run\"}"
    s=$(elapsed "$start")
    [ "$status" = 200 ] || { echo "$1 answered $status"; exit 1; }
    call POST /consistentcheck/query "{\"consistentcheck_id\":\"$run\",\"path\":\"C:/w/\"}"
    printf "%-27s %8.3f s [%s %s s: %s]; RSS %s MB\n" "$1:" "$s" "$3" "$2" "$(ratio "$s" "$2")" "$(rss_mb)"
}
for n in 1 2 3; do check "check, unchanged ($n)" "$r_find" "find -printf"; done
rss_after=$(rss_mb)
bound "service memory after 3 cold browses, 3 #all, 3 checks < 200 MB ($rss_after MB)" \
    "$(le "$rss_after" 199.99)"
# 1 % of the files changed: rewritten, an hour newer.
find "$src" -type f -name 'f*00.txt' -exec touch -d '+1 hour' {} + 
changed=$(find "$src" -type f -name 'f*00.txt' | wc -l)
if [ "$others" = 1 ]; then
    start=$(now); restic backup -q "$src" >/dev/null; r_changed=$(elapsed "$start")
    check "check, $changed changed" "$r_changed" "restic backup of the changed tree"
else
    check "check, $changed changed" "$r_find" "find -printf"
fi
fi  # BENCH_RUNS

# ---- the web restore
perf_start restore
call POST /jobs "{\"type\":\"restore\",\"name\":\"Web bench restore\",\"instanceId\":\"$run\",\"location\":\"C:/r\",\"existing\":\"overwrite\",\"source\":[\"C:/w/\"]}"
restore=$(field 'v["id"]')
agent_cpu=$(cpu_of "$agent_pid"); sim_cpu=$(cpu_of "$sim_pid")
start=$(now)
wait_done "$restore"
restore_s=$(elapsed "$start")
perf_stop
restore_agent_ms=$(awk -v a="$agent_cpu" -v b="$(cpu_of "$agent_pid")" -v n="$files" 'BEGIN { printf "%.3f", (b - a) * 1000 / n }')
restore_sim_ms=$(awk -v a="$sim_cpu" -v b="$(cpu_of "$sim_pid")" -v n="$files" 'BEGIN { printf "%.3f", (b - a) * 1000 / n }')
restored=$(find "$machine/drives/c/r" -type f | wc -l)
r_restore=
if [ "$others" = 1 ]; then
    start=$(now); restic restore -q latest --target "$work/restic-out" >/dev/null; r_restore=$(elapsed "$start")
fi
printf "web restore:                %8.3f s%s, agent %s ms CPU/file, simulator %s ms/file; %s files; RSS %s MB (simulator's peak %s MB)\n" \
    "$restore_s" "$([ -n "$r_restore" ] && echo " [restic restore $r_restore s: $(ratio "$restore_s" "$r_restore")]")" \
    "$restore_agent_ms" "$restore_sim_ms" "$restored" "$(rss_mb)" "$(sim_hwm_mb)"
if [ "$kind" != small ]; then
    printf "web restore agent CPU:      %8.3f s in all\n" \
        "$(awk -v a="$restore_agent_ms" -v n="$files" 'BEGIN { printf "%.3f", a * n / 1000 }')"
    # A tree of files only comes back below a folder of its name.
    restored_root=$machine/drives/c/r
    [ -d "$restored_root/w" ] && [ ! -e "$src/w" ] && restored_root=$restored_root/w
    if diff -rq "$src" "$restored_root" >"$work/diff.txt"; then
        echo "web restore: the restored tree is the tree"
    else
        echo "web restore: the restored tree differs:"; head "$work/diff.txt"; exit 1
    fi
fi
bound "web restore: agent CPU per file <= 0.2 ms ($restore_agent_ms)" "$(le "$restore_agent_ms" 0.2)"
[ "$others" = 1 ] || echo "(restic is not installed: its figures are left out)"

echo "bounds:"
printf '%s\n' "${results[@]}"
