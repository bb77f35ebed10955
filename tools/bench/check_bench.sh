#!/usr/bin/env bash
# The consistent-check benchmark: a check of a tree of BENCH_FILES files (200 000) on the
# simulated machine, one of whose folders holds BENCH_FOLDER entries (10 000), against a
# last-backup listing made from the tree with 1 % of the files changed (a third each newer on
# disk, added since, deleted since); against it, the shell's own way to the same answer: `find
# -printf '%p %T@'` of the tree and a python3 set difference with the same listing. Prints both
# times, their ratio, and the time of a query of the wide folder (every file of it differs).
#
#   tools/bench/check_bench.sh
#
# Environment: BENCH_DIR (default build/bench), BENCH_BUILD (default build/release; an existing
# build folder such as build/asan may be named, its times are then the sanitizers' too),
# BENCH_FILES, BENCH_FOLDER, JOBS (build jobs, default 2).
set -euo pipefail

source_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
bench=${BENCH_DIR:-$source_dir/build/bench}
build=${BENCH_BUILD:-$source_dir/build/release}
files=${BENCH_FILES:-200000}
wide=${BENCH_FOLDER:-10000}
jobs=${JOBS:-2}

if [ ! -f "$build/CMakeCache.txt" ]; then
    bash "$source_dir/tools/setup.sh"
    cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOVEL_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j "$jobs" --target check_run >/dev/null
driver=$(find "$build" -name check_run -type f -perm -u+x | head -1)

work=$bench/check
rm -rf "$work"
mkdir -p "$work/machine/drives/c"
tree=$work/machine/drives/c/data
# The tree (the wide folder's files all added on disk, so that its query lists them all), the
# selection and the listing of the last backup.
python3 - "$tree" "$files" "$wide" "$work" <<'PY'
import json, os, sys
tree, total, wide, work = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
paths = ["wide/f%05d" % n for n in range(wide)]
n = 0
while len(paths) < total:
    paths.append("t%03d/g%05d/file-%06d.bin" % (n // 500, n // 50, n))
    n += 1
for p in paths:
    full = os.path.join(tree, p)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    open(full, "w").close()
listing = {}
for i, p in enumerate(paths):
    if p.startswith("wide/"):
        continue   # added since the backup
    ns = os.stat(os.path.join(tree, p)).st_mtime_ns
    ticks = ns // 100 + 116444736000000000
    changed = i % 100 == 0
    if changed and i % 300 == 0:
        continue                         # added since
    if changed and i % 300 == 100:
        ticks -= 10000000                # newer on disk
    listing["C:/data/" + p] = "%d-%d" % (ticks >> 32, ticks & 0xFFFFFFFF)
    if changed and i % 300 == 200:
        listing["C:/data/" + p + ".gone"] = "1-1"   # deleted since
json.dump({"source": {"C:/data": 1}}, open(os.path.join(work, "selection.json"), "w"))
json.dump(listing, open(os.path.join(work, "listing.json"), "w"))
PY

result=$(TOVEL_ROOT=$work/machine "$driver" "$work/selection.json" "$work/listing.json" "C:/data/wide/")
check_s=$(echo "$result" | awk '/^check/ {print $2}')
query_s=$(echo "$result" | awk '/^query/ {print $2}')
listed=$(echo "$result" | awk '/^query/ {print $3}')
rows=$(sqlite3 -readonly "$work/machine/drives/c/ProgramData/morvask/Tovel/consistentcheck/bench-check/checkresult.db" \
    "select count(*) from res where status != ''")

start=$(date +%s.%N)
find "$tree" -type f -printf '%p %T@\n' | python3 -c '
import json, sys
prefix, listing = sys.argv[1], json.load(open(sys.argv[2]))
disk = {}
for line in sys.stdin:
    path, _, t = line.rstrip("\n").rpartition(" ")
    whole, _, frac = t.partition(".")
    disk["C:/data" + path[len(prefix):]] = (int(whole) * 10000000 + int(frac[:7].ljust(7, "0"))
                                           + 116444736000000000)
differences = 0
for p, t in disk.items():
    if p not in listing:
        differences += 1
    else:
        hi, lo = listing[p].split("-")
        differences += t > (int(hi) << 32 | int(lo))
differences += len(listing.keys() - disk.keys())
print(differences)' "$tree" "$work/listing.json" >"$work/shell.out"
end=$(date +%s.%N)
shell_s=$(awk -v a="$start" -v b="$end" 'BEGIN {print b - a}')

echo "consistent check of $files files ($rows differences; the shell counts $(cat "$work/shell.out"))"
printf "  check by the agent (walk, compare, result file): %8.3f s\n" "$check_s"
printf "  find -printf and a python3 set difference:       %8.3f s\n" "$shell_s"
printf "  ratio:                                           %8.2f\n" "$(awk -v a="$check_s" -v b="$shell_s" 'BEGIN {print a / b}')"
printf "  query of a folder of %s entries: %.4f s (%s listed)\n" "$wide" "$query_s" "$listed"
