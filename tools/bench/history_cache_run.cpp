// The driver of the run-cache benchmark (history_cache_bench.sh): builds the local cache of one
// run from a remote tree in a file and lists one folder of it, on the machine TOVEL_ROOT names,
// and prints the times:
//
//   history_cache_run TREE.json FOLDER
//
// prints "build <seconds>", "list <seconds> <entries>" (the fastest of 5 listings), "all
// <seconds> <bytes>" (every file written out as "#all" is) and exits 0, or 1 when the build or a
// listing fails.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "portvane/jobs/local_job_history_src.h"

namespace {

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s TREE.json FOLDER\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    portvane::LocalJobHistorySrc cache("bench-run");
    cache.Free_DB();
    // Read as the service reads the server's answer: as a stream, into the table as it comes.
    auto start = std::chrono::steady_clock::now();
    if (cache.BuildJobHistorySrcDB(in) != portvane::LocalJobHistorySrc::BuildResult::built) {
        std::fprintf(stderr, "the build failed\n");
        return 1;
    }
    std::printf("build %.3f\n", since(start));
    double best = 1e9;
    std::string out;
    for (int i = 0; i < 5; ++i) {
        start = std::chrono::steady_clock::now();
        if (!cache.QueryJobHistorySrcNode(argv[2], out)) {
            std::fprintf(stderr, "the listing failed\n");
            return 1;
        }
        best = std::min(best, since(start));
    }
    // Every file, written out as the service writes "#all" (to nothing here).
    start = std::chrono::steady_clock::now();
    uint64_t length = 0, pieces = 0;
    if (!cache.WriteAll(
            false, [&](uint64_t told) { return length = told, true; },
            [&](const std::string& piece) { return pieces += piece.size(), true; }) ||
        pieces != length) {
        std::fprintf(stderr, "the listing of every file failed\n");
        return 1;
    }
    std::printf("all %.4f %llu\n", since(start), static_cast<unsigned long long>(length));
    json_spirit::Value listed;
    json_spirit::read(out, listed);
    std::printf("list %.4f %zu\n", best,
                listed.type() == json_spirit::array_type ? listed.get_array().size() : 0);
    return 0;
}
