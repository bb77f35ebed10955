#!/usr/bin/env bash
# The run-cache benchmark: the local cache of one backup run's source tree, built from a remote
# tree of BENCH_NODES nodes (200 000) one of whose folders holds BENCH_FOLDER entries (5 000),
# against the sqlite3 command line loading the same rows (the same table and index) in one
# transaction from a prepared SQL text; then the listing of that folder. Prints the three times
# and the ratio of the build to the command line's load.
#
#   tools/bench/history_cache_bench.sh
#
# Environment: BENCH_DIR (default build/bench), BENCH_BUILD (default build/release; an existing
# build folder such as build/asan may be named, its times are then the sanitizers' too),
# BENCH_NODES, BENCH_FOLDER, JOBS (build jobs, default 2).
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bench=${BENCH_DIR:-$source_dir/build/bench}
build=${BENCH_BUILD:-$source_dir/build/release}
nodes=${BENCH_NODES:-200000}
folder_entries=${BENCH_FOLDER:-5000}
jobs=${JOBS:-2}

bash "$source_dir/tools/setup.sh"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOVEL_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j "$jobs" --target history_cache_run >/dev/null
driver=$(find "$build" -name history_cache_run -type f -perm -u+x | head -1)

work=$bench/history-cache
rm -rf "$work"
mkdir -p "$work/machine"
tree=$work/tree.json
python3 - "$tree" "$nodes" "$folder_entries" <<'PY'
import json, sys
path, total, wide = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
nodes = [{"vol": "C:/", "mtime": "", "atime": "", "ctime": "", "bUp": 0}]
def item(kind, p, n):
    node = {kind: p, "mtime": "2024-05-06 07:08:09", "atime": "2024-05-06 07:08:09",
            "ctime": "2024-01-02 03:04:05", "bUp": n % 3 != 0}
    node["bUp"] = int(node["bUp"])
    if kind == "file":
        node["size"] = n * 37 % 1000003
    nodes.append(node)
# The wide folder: a fifth of its entries folders, the rest files.
nodes.append({"dir": "C:/data/wide/", "mtime": "", "atime": "", "ctime": "", "bUp": 1})
for n in range(wide):
    if n % 5 == 0:
        item("dir", "C:/data/wide/d%05d/" % n, n)
    else:
        item("file", "C:/data/wide/f%05d.dat" % n, n)
# The rest: folders of 50 files each, ten folders per parent.
n = 0
while len(nodes) < total:
    group = n // 50
    folder = "C:/data/t%03d/g%05d/" % (group // 10, group)
    if n % 50 == 0:
        item("dir", folder, n)
    else:
        item("file", folder + "file-%06d.bin" % n, n)
    n += 1
json.dump(nodes[:total], open(path, "w"), separators=(",", ":"))
PY

# The same rows as SQL for the command line: what an independent reader derives from the tree.
python3 "$source_dir/portvane/tests/history_rows.py" <"$tree" | python3 -c '
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
rows=$(grep -c "^insert" "$work/rows.sql")

result=$(TOVEL_ROOT=$work/machine "$driver" "$tree" "C:/data/wide/")
build_s=$(echo "$result" | awk '/^build/ {print $2}')
list_s=$(echo "$result" | awk '/^list/ {print $2}')
listed=$(echo "$result" | awk '/^list/ {print $3}')
start=$(date +%s.%N)
sqlite3 "$work/cli.db" <"$work/rows.sql" >/dev/null
end=$(date +%s.%N)
cli_s=$(awk -v a="$start" -v b="$end" 'BEGIN {print b - a}')

echo "run cache of $nodes nodes ($rows rows with the added parents and the root row)"
printf "  build by the agent:            %8.3f s\n" "$build_s"
printf "  sqlite3 loading the same rows: %8.3f s (one transaction, prepared SQL text)\n" "$cli_s"
printf "  ratio:                         %8.2f\n" "$(awk -v a="$build_s" -v b="$cli_s" 'BEGIN {print a / b}')"
printf "  listing a folder of %s entries: %.4f s (%s listed)\n" "$folder_entries" "$list_s" "$listed"
printf "  every file written out as \"#all\" is: %.4f s (%s bytes)\n" \
    "$(echo "$result" | awk '/^all/ {print $2}')" "$(echo "$result" | awk '/^all/ {print $3}')"
