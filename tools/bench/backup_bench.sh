#!/usr/bin/env bash
# The offline backup benchmark. Builds the driver (tools/bench/offline_run) in
# a Release configuration, makes its source trees once (kept in the bench
# folder), then in one run:
#   - backs up a mixed tree of about 1.2 GB (large and medium files, text-like
#     and incompressible) through the job manager into an offline folder, and
#     runs the reference pipeline, tar | gzip -6 | openssl aes-128-cbc, over
#     the same tree; prints both times and their ratio (backup / reference),
#     and what the storage's group flush costs (forcing the run's files to
#     the disk in groups; the driver's --group-flush 0 leaves it out): the
#     backup is timed BENCH_FLUSH_PAIRS times (default 3) with it and as
#     many without, in pairs run one after the other in alternate order,
#     and the median of the pairs' ratios (with / without) is printed with
#     their spread, so that a change of the machine's load during one run
#     does not pass for the flush's cost; beside it, the median against the
#     backups without the flush timed until a sync of their files has ended
#     (what forcing the files in groups adds to writing them once);
#   - restores that backup through a restore job (every item, below another
#     folder) and runs the reference's way back, openssl -d | gunzip | tar -x,
#     over the reference's output; prints both times and their ratio;
#   - backs up a tree of 200 000 small files the same way and prints its time
#     against the reference and the driver's peak resident memory; restores
#     it against the reference's way back; then runs the same backup job
#     again in the same machine over the unchanged tree, with the service
#     answering the increment check that nothing changed (the simulator's
#     "body" fault, so that the time is the agent's own: walk, list, check
#     and an empty run), against find -printf '%s %T@\n' over the tree;
#   - when restic or borg (borgbackup) is installed, backs up, restores and
#     backs up again the same trees with it (restic with its defaults, borg
#     with repokey encryption and zlib,6) and prints its times beside
#     Tovel's; the benchmark installs neither (apt-get install restic
#     borgbackup adds them);
#   - ends with the ratios that the performance goals are stated in, each
#     with its bound, as measured in this run.
# Every backup runs in a fresh simulated machine with a fresh remote-service
# simulator (for the increment check). Times are wall-clock, with the source
# trees in the page cache (each is read once before it is measured).
#
#   tools/bench/backup_bench.sh
#   BENCH_MODE=million tools/bench/backup_bench.sh
#
# The second form (run by hand: it makes a tree of 1 000 000 small files,
# about 1 GB and 2 000 000 inodes with the backup, and takes a while) backs
# up only that tree against the reference and prints the driver's peak
# memory against its bound.
#
# Environment: BENCH_MODE (full or million), BENCH_DIR (default build/bench:
# trees, runs and logs), BENCH_BUILD (default build/release), BENCH_BYTES
# (size of the mixed tree, default 1200000000), BENCH_SMALL_FILES (default
# 200000, or 1000000 in the million mode), BENCH_FLUSH_PAIRS (above; 1 to
# 9), BENCH_SETTLE (below), BENCH_OTHERS
# (0: leave restic and borg out), BENCH_RESTORE (0: leave Tovel's restores
# out), JOBS (build jobs, default 2).
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bench=${BENCH_DIR:-$source_dir/build/bench}
build=${BENCH_BUILD:-$source_dir/build/release}
bytes=${BENCH_BYTES:-1200000000}
mode=${BENCH_MODE:-full}
case "$mode" in
    full) small_files=${BENCH_SMALL_FILES:-200000} ;;
    # The increment check's body of a million paths (about 130 MB) is larger
    # than the simulator takes by default.
    million) small_files=${BENCH_SMALL_FILES:-1000000} service_options=(--max-body 1073741824) ;;
    *)
        echo "BENCH_MODE is full or million" >&2
        exit 2
        ;;
esac
flush_pairs=${BENCH_FLUSH_PAIRS:-3}
case "$flush_pairs" in
    [1-9]) ;;
    *)
        echo "BENCH_FLUSH_PAIRS is a number from 1 to 9" >&2
        exit 2
        ;;
esac
others=${BENCH_OTHERS:-1}
[ -n "${service_options+x}" ] || service_options=()
restores=${BENCH_RESTORE:-1}
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
if [ "$mode" = full ]; then
    python3 "$source_dir/tools/bench/make_tree.py" mixed "$mixed_tree" --bytes "$bytes"
fi
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

# Starts the simulator with the bench account and session, and the faults
# given (JSON objects); sets port.
start_service() {
    local out=$run/service.out fault faults=()
    for fault in "$@"; do faults+=(--fault "$fault"); done
    : >"$out"
    python3 "$source_dir/tools/remote-service/remote_service.py" --state "$run/service" \
        --port 0 --account "$user:secret" --cookie "$user:$cookie" "${service_options[@]}" "${faults[@]}" \
        >"$out" 2>"$run/service.err" &
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
# Every measured step starts with nothing left for the system to write: what
# an earlier step left in the page cache (a backup without the group flush, a
# restore of many files) would hold back the writes of the next one, and be
# counted as its cost.
settled_now() {
    sync
    now
}
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# run_driver LOG PEAK COMMAND...: runs the driver (as COMMAND) with its
# output in LOG and, in PEAK, its user and system CPU seconds on one line and
# its peak resident memory (KB) on the last; sets status.
run_driver() {
    local log=$1 peak=$2
    shift 2
    status=0
    if [ -x /usr/bin/time ]; then
        /usr/bin/time -f '%U %S\n%M' -o "$peak" "$@" >"$log" || status=$?
    else
        python3 -c 'import resource, subprocess, sys
status = subprocess.call(sys.argv[2:])
usage = resource.getrusage(resource.RUSAGE_CHILDREN)
open(sys.argv[1], "w").write("%.2f %.2f\n%d\n" % (usage.ru_utime, usage.ru_stime, usage.ru_maxrss))
sys.exit(status)' "$peak" "$@" >"$log" || status=$?
    fi
}

# The sum of the sizes of the files below a folder.
file_bytes() { find "$1" -type f -printf '%s\n' | awk '{ n += $1 } END { print n + 0 }'; }

# The stored data files of a machine's offline folder.
stored_files() { find "$1/drives/c/backups" -mindepth 2 -maxdepth 2 -type f | wc -l; }

# backup TREE [GROUP_FLUSH] [THREADS]: one offline backup of the tree in a
# fresh machine (GROUP_FLUSH 0: without forcing the storage's groups to the
# disk; THREADS: the run's pools of at most that many threads),
# as a job of its own id (backup_id); sets backup_seconds, peak_kb and
# stored_bytes, and written_seconds: the time until the run's files were on
# the disk (without the group flush, a sync of their file system after the
# run; else backup_seconds). Fails the script unless the run completed and stored one data
# file per file of the tree.
backup() {
    local tree=$1 group_flush=${2:-1} threads=${3:-}
    run_number=$((run_number + 1))
    run=$runs/$run_number
    mkdir -p "$run/machine"
    backup_id=$(python3 -c 'import uuid; print(uuid.uuid4())')
    start_service
    local command=(env TOVEL_ROOT="$run/machine" "$driver" backup --source "$(windows_path "$tree")"
        --offline 'C:\backups' --port "$port" --user "$user" --cookie "$cookie"
        --id "$backup_id" --group-flush "$group_flush" --log "$run/engine.log")
    [ -z "$threads" ] || command+=(--threads "$threads")
    local start end
    start=$(settled_now)
    run_driver "$run/driver.out" "$run/peak" "${command[@]}"
    end=$(now)
    local written=$end
    if [ "$group_flush" = 0 ]; then
        sync -f "$run/machine"
        written=$(now)
    fi
    stop_service
    if [ "$status" -ne 0 ]; then
        echo "the backup of $tree failed (exit status $status):" >&2
        cat "$run/driver.out" >&2
        tail -n 40 "$run/engine.log" >&2
        exit 1
    fi
    backup_seconds=$(elapsed "$start" "$end")
    written_seconds=$(elapsed "$start" "$written")
    peak_kb=$(tail -n 1 "$run/peak")
    local files stored
    files=$(find "$tree" -type f | wc -l)
    stored=$(stored_files "$run/machine")
    if [ "$files" -ne "$stored" ]; then
        echo "the backup of $tree stored $stored files of $files" >&2
        exit 1
    fi
    stored_bytes=$(du -sb "$run/machine/drives/c/backups" | cut -f1)
    backup_run=$run
}

# rerun TREE: runs the job of the last backup (of TREE) again in its machine,
# the service answering that nothing changed; sets rerun_seconds, rerun_cpu
# (user and system seconds) and rerun_peak_kb. Fails the script unless the
# run completed and stored nothing more.
rerun() {
    local tree=$1 before
    run=$backup_run
    before=$(stored_files "$run/machine")
    start_service '{"kind": "increment_check", "action": "body", "body": "[]", "process": false}'
    local command=(env TOVEL_ROOT="$run/machine" "$driver" backup --source "$(windows_path "$tree")"
        --offline 'C:\backups' --port "$port" --user "$user" --cookie "$cookie"
        --id "$backup_id" --log "$run/rerun.log")
    local start end
    start=$(settled_now)
    run_driver "$run/rerun.out" "$run/rerun.peak" "${command[@]}"
    end=$(now)
    stop_service
    if [ "$status" -ne 0 ]; then
        echo "the re-run of $tree failed (exit status $status):" >&2
        cat "$run/rerun.out" >&2
        tail -n 40 "$run/rerun.log" >&2
        exit 1
    fi
    if [ "$(stored_files "$run/machine")" -ne "$before" ]; then
        echo "the re-run of the unchanged $tree stored files" >&2
        exit 1
    fi
    rerun_seconds=$(elapsed "$start" "$end")
    rerun_peak_kb=$(tail -n 1 "$run/rerun.peak")
    rerun_cpu=$(tail -n 2 "$run/rerun.peak" | head -n 1)
}

# restore TREE: restores the last backup (of TREE) in its machine below
# C:\restored; sets restore_seconds and restore_peak_kb. Fails the script
# unless the run completed and gave back every file of the tree with its
# size.
restore() {
    local tree=$1 catalogue
    run=$backup_run
    # The backup's catalogue: the largest (a re-run's lists nothing).
    catalogue=$(find "$run/machine/drives/c/backups" -maxdepth 1 -name '*.cat' -printf '%s %p\n' |
        sort -n | tail -n 1 | cut -d' ' -f2-)
    start_service
    local command=(env TOVEL_ROOT="$run/machine" "$driver" restore
        --catalogue "C:\\backups\\$(basename "$catalogue")" --location 'C:\restored'
        --port "$port" --user "$user" --cookie "$cookie" --log "$run/restore.log")
    local start end
    start=$(settled_now)
    run_driver "$run/restore.out" "$run/restore.peak" "${command[@]}"
    end=$(now)
    stop_service
    if [ "$status" -ne 0 ]; then
        echo "the restore of $tree failed (exit status $status):" >&2
        cat "$run/restore.out" >&2
        tail -n 40 "$run/restore.log" >&2
        exit 1
    fi
    restore_seconds=$(elapsed "$start" "$end")
    restore_peak_kb=$(tail -n 1 "$run/restore.peak")
    local restored=$run/machine/drives/c/restored
    # The files' sizes only: a folder's own size depends on how many names
    # it ever held (the restore's temporary names too).
    if [ "$(file_bytes "$tree")" != "$(file_bytes "$restored")" ] ||
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
    start=$(settled_now)
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
    local start end into
    into=$(dirname "$reference_out")/untarred
    mkdir -p "$into"
    start=$(settled_now)
    openssl enc -d -aes-128-cbc -K "$ref_key" -iv "$ref_iv" <"$reference_out" | gunzip |
        tar -C "$into" -xf -
    end=$(now)
    reference_back_seconds=$(elapsed "$start" "$end")
}

# find_walk TREE: what an unchanged re-run at least does, the size and
# last-write time of every entry; sets find_seconds.
find_walk() {
    local start end
    start=$(settled_now)
    find "$1" -printf '%s %T@\n' >/dev/null
    end=$(now)
    find_seconds=$(elapsed "$start" "$end")
}

# timed VAR COMMAND...: runs the command (its output to the run's others.log)
# and sets VAR to its seconds; fails the script when it fails.
timed() {
    local var=$1 start end
    shift
    start=$(settled_now)
    if ! "$@" >>"$run/others.log" 2>&1; then
        echo "$* failed:" >&2
        tail -n 20 "$run/others.log" >&2
        exit 1
    fi
    end=$(now)
    printf -v "$var" '%s' "$(elapsed "$start" "$end")"
}

# restic_runs TREE / borg_runs TREE: backup, restore and unchanged re-run of
# the tree with the other tool, each in a repository of its own; set
# other_backup, other_restore, other_rerun.
restic_runs() {
    local tree=$1
    run_number=$((run_number + 1))
    run=$runs/$run_number
    mkdir -p "$run/restored"
    export RESTIC_PASSWORD=bench RESTIC_CACHE_DIR=$run/cache
    restic init -q -r "$run/repo" >>"$run/others.log" 2>&1
    timed other_backup restic -q -r "$run/repo" backup "$tree"
    timed other_restore restic -q -r "$run/repo" restore latest --target "$run/restored"
    timed other_rerun restic -q -r "$run/repo" backup "$tree"
    unset RESTIC_PASSWORD RESTIC_CACHE_DIR
}
borg_runs() {
    local tree=$1
    run_number=$((run_number + 1))
    run=$runs/$run_number
    mkdir -p "$run/restored"
    export BORG_PASSPHRASE=bench BORG_BASE_DIR=$run/home
    borg init --encryption=repokey "$run/repo" >>"$run/others.log" 2>&1
    timed other_backup borg create --compression zlib,6 "$run/repo::one" "$tree"
    timed other_restore bash -c 'cd "$1" && borg extract "$2"' - "$run/restored" "$run/repo::one"
    timed other_rerun borg create --compression zlib,6 "$run/repo::two" "$tree"
    unset BORG_PASSPHRASE BORG_BASE_DIR
}

# others TREE LABEL: the other tools that are installed, over the tree.
others() {
    local tree=$1 label=$2
    [ "$others" = 1 ] || return 0
    if command -v restic >/dev/null; then
        warm "$tree"
        restic_runs "$tree"
        echo "  restic, $label: backup $other_backup s, restore $other_restore s," \
            "unchanged re-run $other_rerun s"
        restic_backup=$other_backup restic_restore=$other_restore
    fi
    if command -v borg >/dev/null; then
        warm "$tree"
        borg_runs "$tree"
        echo "  borg zlib,6, $label: backup $other_backup s, restore $other_restore s," \
            "unchanged re-run $other_rerun s"
    fi
}

gb() { awk -v n="$1" 'BEGIN { printf "%.2f GB", n / 1e9 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
# median VALUE...: the middle value (the mean of the two middle ones for an
# even count); lowest VALUE... and highest VALUE...: the ends.
median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
        END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
lowest() { printf '%s\n' "$@" | sort -g | head -n 1; }
highest() { printf '%s\n' "$@" | sort -g | tail -n 1; }

# goal TEXT VALUE BOUND: one line of the summary (VALUE at most BOUND).
goals=()
goal() {
    local verdict
    verdict=$(awk -v v="$2" -v b="$3" 'BEGIN { if (v == "n/a") print "not measured";
        else if (v + 0 <= b + 0) print "met"; else print "NOT MET" }')
    goals+=("$(printf '  %-44s %8s   bound %-6s %s' "$1" "$2" "$3" "$verdict")")
}

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg); driver $driver"
command -v restic >/dev/null || echo "restic is not installed (apt-get install restic to compare with it)"
command -v borg >/dev/null || echo "borg is not installed (apt-get install borgbackup to compare with it)"

if [ "$mode" = full ]; then
    tree_bytes=$(du -sb --apparent-size "$mixed_tree" | cut -f1)
    warm "$mixed_tree"
    backup "$mixed_tree" 1 1
    one_thread_seconds=$backup_seconds
    # The pairs of backups with and without the group flush. The load of a
    # shared machine drifts over a run: each pair's two backups follow one
    # another, in the order that changes from pair to pair (a drift then
    # favours neither), and the last pair ends with the flush, whose backup
    # the restore below reads. The backup's time is the median of those
    # with the flush, its memory the highest.
    flushed=() unflushed=() pair_ratios=() written_ratios=() mixed_peak_kb=0
    for pair in $(seq "$flush_pairs"); do
        order="0 1"
        [ $(((flush_pairs - pair) % 2)) -eq 0 ] || order="1 0"
        warm "$mixed_tree"
        for flush in $order; do
            backup "$mixed_tree" "$flush"
            if [ "$flush" = 1 ]; then
                flushed+=("$backup_seconds")
                [ "$peak_kb" -le "$mixed_peak_kb" ] || mixed_peak_kb=$peak_kb
            else
                unflushed+=("$backup_seconds") unflushed_written=$written_seconds
            fi
        done
        pair_ratios+=("$(ratio "${flushed[-1]}" "${unflushed[-1]}")")
        written_ratios+=("$(ratio "${flushed[-1]}" "$unflushed_written")")
    done
    mixed_backup_seconds=$(median "${flushed[@]}") mixed_peak_mb=$((mixed_peak_kb / 1024))
    unflushed_seconds=$(median "${unflushed[@]}")
    reference "$mixed_tree"
    mixed_backup_ratio=$(ratio "$mixed_backup_seconds" "$reference_seconds")
    flush_cost=$(median "${pair_ratios[@]}")
    speed_up=$(ratio "$one_thread_seconds" "$mixed_backup_seconds")
    echo "backup $(gb "$tree_bytes"): $mixed_backup_seconds s (median of $flush_pairs:" \
        "${flushed[*]}); reference pipeline: $reference_seconds s; ratio $mixed_backup_ratio"
    echo "  without the group flush: $unflushed_seconds s (median of ${unflushed[*]}); ratio" \
        "$(ratio "$unflushed_seconds" "$reference_seconds"); with it / without it, median of" \
        "$flush_pairs pairs $flush_cost (pairs ${pair_ratios[*]}; from $(lowest "${pair_ratios[@]}")" \
        "to $(highest "${pair_ratios[@]}"))"
    # The backup without the flush leaves its files to be written after its
    # end: against its time until a sync of them has ended, the flush costs
    # what forcing them in groups adds to writing them once.
    echo "  against the backup without it until its files were on the disk: median" \
        "$(median "${written_ratios[@]}") (pairs ${written_ratios[*]})"
    echo "  with pools of one thread: $one_thread_seconds s; speed-up of all cores" \
        "($(nproc)) over one: $speed_up"
    echo "  stored $(gb "$stored_bytes"), reference output $(gb "$reference_bytes");" \
        "peak memory $mixed_peak_mb MB"
    mixed_restore_ratio=n/a
    if [ "$restores" = 1 ]; then
        restore "$mixed_tree"
        reference_back
        mixed_restore_ratio=$(ratio "$restore_seconds" "$reference_back_seconds")
        mixed_restore_seconds=$restore_seconds mixed_restore_peak_mb=$((restore_peak_kb / 1024))
        echo "restore $(gb "$tree_bytes"): $restore_seconds s; reference openssl -d | gunzip |" \
            "tar -x: $reference_back_seconds s; ratio $mixed_restore_ratio;" \
            "peak memory $mixed_restore_peak_mb MB"
    fi
    rm -f "$reference_out"
    restic_backup= restic_restore=
    others "$mixed_tree" "$(gb "$tree_bytes")"
    restic_backup_ratio=n/a restic_restore_ratio=n/a
    if [ -n "$restic_backup" ]; then
        restic_backup_ratio=$(ratio "$mixed_backup_seconds" "$restic_backup")
        [ "$restores" = 1 ] && restic_restore_ratio=$(ratio "$mixed_restore_seconds" "$restic_restore")
        echo "  mixed tree against restic: backup $restic_backup_ratio, restore $restic_restore_ratio"
    fi
fi

warm "$small_tree"
backup "$small_tree"
reference "$small_tree"
small_backup_ratio=$(ratio "$backup_seconds" "$reference_seconds")
small_peak_mb=$((peak_kb / 1024))
echo "backup $small_files small files: $backup_seconds s; reference pipeline:" \
    "$reference_seconds s; ratio $small_backup_ratio"
echo "peak memory, $small_files small files: $small_peak_mb MB"
if [ "$mode" = million ]; then
    goal "backup, $small_files small files / pipeline" "$small_backup_ratio" 1.5
    goal "peak memory (MB), $small_files small files" "$small_peak_mb" 300
else
    small_restore_ratio=n/a
    if [ "$restores" = 1 ]; then
        restore "$small_tree"
        reference_back
        small_restore_ratio=$(ratio "$restore_seconds" "$reference_back_seconds")
        echo "restore $small_files small files: $restore_seconds s; reference openssl -d |" \
            "gunzip | tar -x: $reference_back_seconds s; ratio $small_restore_ratio;" \
            "peak memory $((restore_peak_kb / 1024)) MB"
    fi
    rm -f "$reference_out"
    warm "$small_tree"
    rerun "$small_tree"
    find_walk "$small_tree"
    small_rerun_ratio=$(ratio "$rerun_seconds" "$find_seconds")
    echo "unchanged re-run, $small_files small files: $rerun_seconds s; find -printf:" \
        "$find_seconds s; ratio $small_rerun_ratio; peak memory $((rerun_peak_kb / 1024)) MB;" \
        "CPU user ${rerun_cpu% *} s, system ${rerun_cpu#* } s"
    others "$small_tree" "$small_files small files"
    goal "backup, $small_files small files / pipeline" "$small_backup_ratio" 1.5
    goal "restore, $small_files small files / reference" "$small_restore_ratio" 2
    goal "unchanged re-run, $small_files files / find" "$small_rerun_ratio" 3
    goal "peak memory (MB), $small_files small files" "$small_peak_mb" 100
    goal "backup, mixed tree / pipeline" "$mixed_backup_ratio" 0.85
    goal "restore, mixed tree / reference" "$mixed_restore_ratio" 1.05
    goal "backup, mixed tree / restic" "$restic_backup_ratio" 1.0
    goal "restore, mixed tree / restic" "$restic_restore_ratio" 1.0
    goal "group flush, mixed tree: with / without" "$flush_cost" 1.05
    goal "peak memory (MB), mixed backup" "$mixed_peak_mb" 150
    goal "peak memory (MB), mixed restore" "${mixed_restore_peak_mb:-n/a}" 150
    echo "transform speed-up, mixed backup, $(nproc) cores over one thread: $speed_up"
fi
echo "goals (ratios of this run):"
printf '%s\n' "${goals[@]}"
