// The head of an HTTP reply as a test reads it: status, reason and headers by
// lower-case name. Shared by the handler kit (replies written to a fake
// connection) and the web fixture (replies as curl received them).
#pragma once

#include <cstdlib>
#include <map>
#include <string>

namespace portvane::testing {

struct ReplyHead {
    int status = 0;
    std::string reason;
    std::multimap<std::string, std::string> headers;

    std::string header(const std::string& lowerName) const {
        auto it = headers.find(lowerName);
        return it == headers.end() ? "" : it->second;
    }
    bool has(const std::string& lowerName) const { return headers.count(lowerName) > 0; }
};

// Reads a head (the status line and the header lines, without the blank line
// that ends it) into out; a line without a colon is skipped.
inline void parse_head(const std::string& head, ReplyHead& out) {
    size_t line_end = head.find("\r\n");
    std::string first = head.substr(0, line_end);
    if (first.size() >= 12) {
        out.status = std::atoi(first.c_str() + 9);
        out.reason = first.size() > 13 ? first.substr(13) : "";
    }
    while (line_end != std::string::npos) {
        size_t start = line_end + 2;
        line_end = head.find("\r\n", start);
        std::string line = head.substr(
            start, line_end == std::string::npos ? std::string::npos : line_end - start);
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = line.substr(0, colon);
        for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        size_t value = line.find_first_not_of(' ', colon + 1);
        out.headers.emplace(name, value == std::string::npos ? "" : line.substr(value));
    }
}

}  // namespace portvane::testing
