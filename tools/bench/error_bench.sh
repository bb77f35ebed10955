#!/usr/bin/env bash
# The failing-items benchmark. Builds the driver (tools/bench/offline_run) in
# a Release configuration, makes a tree of BENCH_ITEMS small files (kept in
# the bench folder), backs it up offline in a fresh simulated machine, then:
#   - restores every item below C:\good: every item succeeds;
#   - removes the run's data files and restores every item below C:\bad:
#     every item fails (its data file is missing), so that each one adds an
#     entry to the run's error list;
# and prints both times and their ratio (failing / good). A failed item
# costs no more than a good one when its error is only appended to the run's
# error list; a run that rewrote the whole list per error would cost n^2.
#
#   tools/bench/error_bench.sh
#
# Environment: BENCH_DIR (default build/bench), BENCH_BUILD (default
# build/release), BENCH_ITEMS (default 4000), JOBS (build jobs, default 2).
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bench=${BENCH_DIR:-$source_dir/build/bench}
build=${BENCH_BUILD:-$source_dir/build/release}
items=${BENCH_ITEMS:-4000}
jobs=${JOBS:-2}
driver=$build/tools/bench/offline_run
user=bench
cookie=sid=0123456789abcdef0123456789abcdef
restore_id=5a7e0c31-2b4d-4e6f-8a9b-0c1d2e3f4a5b

bash "$source_dir/tools/setup.sh"
cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOVEL_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target offline_run >/dev/null

mkdir -p "$bench"
tree=$bench/small-$items
python3 "$source_dir/tools/bench/make_tree.py" small "$tree" --count "$items"

run=$bench/errors-run
rm -rf "$run"
mkdir -p "$run/machine"
service_pid=
stop_service() {
    if [ -n "$service_pid" ]; then
        kill "$service_pid" 2>/dev/null || true
        wait "$service_pid" 2>/dev/null || true
        service_pid=
    fi
}
trap 'stop_service; rm -rf "$run"' EXIT

python3 "$source_dir/tools/remote-service/remote_service.py" --state "$run/service" --port 0 \
    --account "$user:secret" --cookie "$user:$cookie" >"$run/service.out" 2>"$run/service.err" &
service_pid=$!
port=
for _ in $(seq 200); do
    port=$(sed -n 's/^port \([0-9][0-9]*\)$/\1/p' "$run/service.out")
    [ -n "$port" ] && break
    sleep 0.05
done
if [ -z "$port" ]; then
    echo "the remote-service simulator did not start:" >&2
    cat "$run/service.err" >&2
    exit 1
fi

driver_run() { env TOVEL_ROOT="$run/machine" "$driver" "$@" --port "$port" --user "$user" \
    --cookie "$cookie"; }
now() { printf '%s' "$EPOCHREALTIME"; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

driver_run backup --source "Z:${tree//\//\\}" --offline 'C:\backups' --log "$run/backup.log" \
    >"$run/backup.out"
catalogue=$(find "$run/machine/drives/c/backups" -maxdepth 1 -name '*.cat' | head -n 1)
catalogue_name="C:\\backups\\$(basename "$catalogue")"

# restore LOCATION [OPTIONS]: one restore of every item; sets seconds and
# status.
restore() {
    local start end location=$1
    shift
    status=0
    start=$(now)
    driver_run restore --catalogue "$catalogue_name" --location "$location" "$@" \
        --log "$run/restore.log" >"$run/restore.out" || status=$?
    end=$(now)
    seconds=$(elapsed "$start" "$end")
}

restore 'C:\good'
good_seconds=$seconds
if [ "$status" -ne 0 ]; then
    echo "the good restore did not complete:" >&2
    cat "$run/restore.out" >&2
    exit 1
fi
good_files=$(find "$run/machine/drives/c/good" -type f | wc -l)

rm -rf "${catalogue%.cat}"
restore 'C:\bad' --id "$restore_id"
bad_seconds=$seconds
listed=$(python3 -c 'import glob, json, sys
lists = glob.glob(sys.argv[1] + "/drives/c/ProgramData/morvask/Tovel/job/" + sys.argv[2] + "/hist/*/err")
print(sum(len(json.load(open(p))) for p in lists))' "$run/machine" "$restore_id")

echo "restore of $items items: $good_files files back in $good_seconds s;" \
    "every item failing ($listed in the error list): $bad_seconds s;" \
    "ratio $(awk -v a="$bad_seconds" -v b="$good_seconds" 'BEGIN { printf "%.2f", a / b }')"
