#include "wirekit/http_url.h"

#include <cstring>

namespace {

constexpr size_t kPrefix = 7;  // "http://"
constexpr int kMaxPort = 65535;

// The end of the authority that starts at rest: its first '/' or the end.
const char* authority_end(const char* rest) {
    const char* slash = std::strchr(rest, '/');
    return slash ? slash : rest + std::strlen(rest);
}

}  // namespace

int url_port(const char* url) {
    if (!url || std::strlen(url) < kPrefix + 1) return 80;
    const char* rest = url + kPrefix;
    const char* end = authority_end(rest);
    const char* colon = static_cast<const char*>(std::memchr(rest, ':', end - rest));
    if (!colon) return 80;
    const char* digits = colon + 1;
    if (digits == end) return 0;
    int port = 0;
    for (const char* p = digits; p < end; ++p) {
        if (*p < '0' || *p > '9') return 0;
        port = port * 10 + (*p - '0');
        if (port > kMaxPort) return 0;
    }
    return port;
}

std::string url_host(const char* url) {
    if (!url || std::strlen(url) <= kPrefix) return std::string();
    const char* rest = url + kPrefix;
    const char* slash = std::strchr(rest, '/');
    if (!slash) return std::string();
    const char* colon = static_cast<const char*>(std::memchr(rest, ':', slash - rest));
    return std::string(rest, colon ? colon : slash);
}

std::string url_path(const char* url) {
    if (!url || std::strlen(url) <= kPrefix) return std::string();
    const char* slash = std::strchr(url + kPrefix, '/');
    return slash ? std::string(slash) : std::string();
}
