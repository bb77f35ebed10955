#!/usr/bin/env bash
# The offline backup benchmark. Builds the driver (tools/bench/offline_run) in
# a Release configuration, makes its source trees once (kept in the bench
# folder), then in one run:
#   - backs up a mixed tree of about 1.2 GB (large and medium files, text-like
#     and incompressible) through the job manager into an offline folder, and
#     runs the reference pipeline, tar | gzip -6 | openssl aes-128-cbc, over
#     the same tree; prints both times and their ratio (backup / reference),
#     and the ratio of a backup without the storage's group flush (the
#     driver's --group-flush 0: what forcing the run's files to the disk in
#     groups costs);
#   - restores that backup through a restore job (every item, below another
#     folder) and runs the reference's way back, openssl -d | gunzip | tar -x,
#     over the reference's output; prints both times and their ratio;
#   - backs up a tree of 200 000 small files the same way and prints its time
#     against the reference and the driver's peak resident memory.
# Every backup runs in a fresh simulated machine with a fresh remote-service
# simulator (for the increment check). Times are wall-clock, with the source
# trees in the page cache (each is read once before it is measured).
#
#   tools/bench/backup_bench.sh
#
# Environment: BENCH_DIR (default build/bench: trees, runs and logs),
# BENCH_BUILD (default build/release), BENCH_BYTES (size of the mixed tree,
# default 1200000000), BENCH_SMALL_FILES (default 200000), BENCH_SETTLE
# (below), JOBS (build jobs, default 2), BENCH_RESTORE_ONLY (1: only the
# restores, of both trees, each against openssl -d | gunzip | tar -x; their
# backups are made but not compared).
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bench=${BENCH_DIR:-$source_dir/build/bench}
build=${BENCH_BUILD:-$source_dir/build/release}
bytes=${BENCH_BYTES:-1200000000}
small_files=${BENCH_SMALL_FILES:-200000}
jobs=${JOBS:-2}
driver=$build/tools/bench/offline_run
user=bench
cookie=sid=0123456789abcdef0123456789abcdef
# The reference's key and IV (any fixed value: the cipher's cost does not depend on it).
ref_key=000102030405060708090a0b0c0d0e0f
ref_iv=f0e0d0c0b0a090807060504030201000

bash "$source_dir/tools/setup.sh"
cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOVEL_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target offline_run >/dev/null

mkdir -p "$bench"
mixed_tree=$bench/tree-$bytes
small_tree=$bench/small-$small_files
python3 "$source_dir/tools/bench/make_tree.py" mixed "$mixed_tree" --bytes "$bytes"
python3 "$source_dir/tools/bench/make_tree.py" small "$small_tree" --count "$small_files"

# Every backup runs in a folder of its own under runs/, and all of them are
# removed only when the measurements are over: some file systems keep freed
# inodes from reuse for a while (ext4 without a journal, as on these machines,
# for up to six minutes), and creating many files soon after many were
# deleted then costs a search past each of them, which would be measured as
# the backup's. For the same reason a run first waits until BENCH_SETTLE
# seconds (default 361) have passed since the previous run's clean-up, whose
# time it keeps in the bench folder.
runs=$bench/runs
cleaned=$bench/cleaned
service_pid=
stop_service() {
    if [ -n "$service_pid" ]; then
        kill "$service_pid" 2>/dev/null || true
        wait "$service_pid" 2>/dev/null || true
        service_pid=
    fi
}
clean_runs() {
    if [ -e "$runs" ]; then
        rm -rf "$runs"
        sync
        touch "$cleaned"
    fi
}
cleanup() {
    stop_service
    clean_runs
}
trap cleanup EXIT
clean_runs
if [ -e "$cleaned" ]; then
    wait_s=$((${BENCH_SETTLE:-361} - ($(date +%s) - $(stat -c %Y "$cleaned"))))
    if [ "$wait_s" -gt 0 ]; then
        echo "waiting $wait_s s for the file system to settle after the last clean-up"
        sleep "$wait_s"
    fi
fi
mkdir -p "$runs"
run_number=0

# The Windows form of a host path: drive Z: of the simulated machine is the
# host's root.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# Starts the simulator with the bench account and session; sets port.
start_service() {
    local out=$run/service.out
    : >"$out"
    python3 "$source_dir/tools/remote-service/remote_service.py" --state "$run/service" \
        --port 0 --account "$user:secret" --cookie "$user:$cookie" >"$out" 2>"$run/service.err" &
    service_pid=$!
    for _ in $(seq 200); do
        port=$(sed -n 's/^port \([0-9][0-9]*\)$/\1/p' "$out")
        [ -n "$port" ] && return 0
        kill -0 "$service_pid" 2>/dev/null || break
        sleep 0.05
    done
    echo "the remote-service simulator did not start:" >&2
    cat "$run/service.err" >&2
    exit 1
}

# Reads the whole tree once, so that both measurements find it in the page cache.
warm() { tar -C "$(dirname "$1")" -cf - "$(basename "$1")" | wc -c >/dev/null; }

now() { printf '%s' "$EPOCHREALTIME"; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# backup TREE [GROUP_FLUSH]: one offline backup of the tree in a fresh
# machine (GROUP_FLUSH 0: without forcing the storage's groups to the disk);
# sets backup_seconds, peak_kb and stored_bytes. Fails the script unless the
# run completed and stored one data file per file of the tree.
backup() {
    local tree=$1 group_flush=${2:-1}
    run_number=$((run_number + 1))
    run=$runs/$run_number
    mkdir -p "$run/machine"
    start_service
    local command=(env TOVEL_ROOT="$run/machine" "$driver" backup --source "$(windows_path "$tree")"
        --offline 'C:\backups' --port "$port" --user "$user" --cookie "$cookie"
        --group-flush "$group_flush" --log "$run/engine.log")
    local start end status=0
    start=$(now)
    if [ -x /usr/bin/time ]; then
        /usr/bin/time -f '%M' -o "$run/peak" "${command[@]}" >"$run/driver.out" || status=$?
    else
        python3 -c 'import resource, subprocess, sys
status = subprocess.call(sys.argv[2:])
open(sys.argv[1], "w").write("%d\n" % resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
sys.exit(status)' "$run/peak" "${command[@]}" >"$run/driver.out" || status=$?
    fi
    end=$(now)
    stop_service
    if [ "$status" -ne 0 ]; then
        echo "the backup of $tree failed (exit status $status):" >&2
        cat "$run/driver.out" >&2
        tail -n 40 "$run/engine.log" >&2
        exit 1
    fi
    backup_seconds=$(elapsed "$start" "$end")
    peak_kb=$(tail -n 1 "$run/peak")
    local offline=$run/machine/drives/c/backups files stored
    files=$(find "$tree" -type f | wc -l)
    stored=$(find "$offline" -mindepth 2 -maxdepth 2 -type f | wc -l)
    if [ "$files" -ne "$stored" ]; then
        echo "the backup of $tree stored $stored files of $files" >&2
        exit 1
    fi
    stored_bytes=$(du -sb "$offline" | cut -f1)
    backup_run=$run
}

# restore TREE: restores the last backup (of TREE) in its machine below
# C:\restored; sets restore_seconds. Fails the script unless the run completed
# and gave back every file of the tree with its size.
restore() {
    local tree=$1 catalogue
    run=$backup_run
    catalogue=$(find "$run/machine/drives/c/backups" -maxdepth 1 -name '*.cat' | head -n 1)
    start_service
    local command=(env TOVEL_ROOT="$run/machine" "$driver" restore
        --catalogue "C:\\backups\\$(basename "$catalogue")" --location 'C:\restored'
        --port "$port" --user "$user" --cookie "$cookie" --log "$run/restore.log")
    local start end status=0
    start=$(now)
    "${command[@]}" >"$run/restore.out" || status=$?
    end=$(now)
    stop_service
    if [ "$status" -ne 0 ]; then
        echo "the restore of $tree failed (exit status $status):" >&2
        cat "$run/restore.out" >&2
        tail -n 40 "$run/restore.log" >&2
        exit 1
    fi
    restore_seconds=$(elapsed "$start" "$end")
    local restored=$run/machine/drives/c/restored
    if [ "$(du -sb --apparent-size "$tree" | cut -f1)" != \
        "$(du -sb --apparent-size "$restored"/* | cut -f1)" ] ||
        [ "$(find "$tree" -type f | wc -l)" -ne "$(find "$restored" -type f | wc -l)" ]; then
        echo "the restore of $tree did not give back the whole tree" >&2
        exit 1
    fi
}

# reference TREE: tar | gzip -6 | openssl over the tree; sets reference_seconds
# and reference_bytes, and keeps the output in reference_out.
reference() {
    local tree=$1 start end
    run_number=$((run_number + 1))
    run=$runs/$run_number
    mkdir -p "$run"
    start=$(now)
    tar -C "$(dirname "$tree")" -cf - "$(basename "$tree")" | gzip -6 |
        openssl enc -aes-128-cbc -K "$ref_key" -iv "$ref_iv" >"$run/reference.out"
    end=$(now)
    reference_seconds=$(elapsed "$start" "$end")
    reference_bytes=$(stat -c %s "$run/reference.out")
    reference_out=$run/reference.out
}

# reference_back: openssl -d | gunzip | tar -x of the last reference output;
# sets reference_back_seconds.
reference_back() {
    local start end into=$(dirname "$reference_out")/untarred
    mkdir -p "$into"
    start=$(now)
    openssl enc -d -aes-128-cbc -K "$ref_key" -iv "$ref_iv" <"$reference_out" | gunzip |
        tar -C "$into" -xf -
    end=$(now)
    reference_back_seconds=$(elapsed "$start" "$end")
}

gb() { awk -v n="$1" 'BEGIN { printf "%.2f GB", n / 1e9 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

echo "machine: $(nproc) cores; driver $driver"

# The restore-only mode: each tree is backed up, restored and compared with
# the reference's way back, one after the other.
if [ "${BENCH_RESTORE_ONLY:-0}" = 1 ]; then
    for tree in "$mixed_tree" "$small_tree"; do
        warm "$tree"
        backup "$tree"
        reference "$tree"
        restore "$tree"
        reference_back
        rm -f "$reference_out"
        echo "restore $(basename "$tree") ($(find "$tree" -type f | wc -l) files): $restore_seconds s;" \
            "reference openssl -d | gunzip | tar -x: $reference_back_seconds s;" \
            "ratio $(ratio "$restore_seconds" "$reference_back_seconds")"
    done
    exit 0
fi

tree_bytes=$(du -sb --apparent-size "$mixed_tree" | cut -f1)
warm "$mixed_tree"
backup "$mixed_tree" 0
unflushed_seconds=$backup_seconds
backup "$mixed_tree"
reference "$mixed_tree"
echo "backup $(gb "$tree_bytes"): $backup_seconds s; reference pipeline: $reference_seconds s;" \
    "ratio $(ratio "$backup_seconds" "$reference_seconds")"
echo "  without the group flush: $unflushed_seconds s; ratio" \
    "$(ratio "$unflushed_seconds" "$reference_seconds")"
echo "  stored $(gb "$stored_bytes"), reference output $(gb "$reference_bytes");" \
    "peak memory $((peak_kb / 1024)) MB"
restore "$mixed_tree"
reference_back
echo "restore $(gb "$tree_bytes"): $restore_seconds s; reference openssl -d | gunzip | tar -x:" \
    "$reference_back_seconds s; ratio $(ratio "$restore_seconds" "$reference_back_seconds")"

warm "$small_tree"
backup "$small_tree"
reference "$small_tree"
rm -f "$reference_out"
echo "backup $small_files small files: $backup_seconds s; reference pipeline:" \
    "$reference_seconds s; ratio $(ratio "$backup_seconds" "$reference_seconds")"
echo "peak memory, $small_files small files: $((peak_kb / 1024)) MB"
