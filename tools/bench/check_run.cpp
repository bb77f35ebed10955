// The driver of the consistent-check benchmark (check_bench.sh): runs one check of a selection
// against a last-backup listing, both read from files, on the machine TOVEL_ROOT names, then
// queries one folder of the result, and prints the times:
//
//   check_run SELECTION.json LISTING.json FOLDER
//
// prints "check <seconds> <rows>" and "query <seconds> <entries>" (the fastest of 5 queries) and
// exits 0, or 1 when the check or the query fails.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "portvane/check/consistencheck.h"

namespace {

double since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string slurp(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s SELECTION.json LISTING.json FOLDER\n", argv[0]);
        return 2;
    }
    std::string selection = slurp(argv[1]), listing = slurp(argv[2]);
    portvane::ConsistencheckImpl check("bench-check");
    auto start = std::chrono::steady_clock::now();
    if (!check.consistentcheck(selection, listing, "bench")) {
        std::fprintf(stderr, "the check failed\n");
        return 1;
    }
    std::printf("check %.3f\n", since(start));
    double best = 1e9;
    json_spirit::Array rows;
    for (int i = 0; i < 5; ++i) {
        rows.clear();
        start = std::chrono::steady_clock::now();
        if (!check.query_resultdb(argv[3], rows)) {
            std::fprintf(stderr, "the query failed\n");
            return 1;
        }
        best = std::min(best, since(start));
    }
    std::printf("query %.4f %zu\n", best, rows.size());
    return 0;
}
