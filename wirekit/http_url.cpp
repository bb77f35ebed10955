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

// Where the host of the authority [rest, end) ends: its ']' for a bracketed
// address (null when there is none), else its first ':' or end.
const char* host_end(const char* rest, const char* end) {
    if (rest < end && *rest == '[') {
        const char* close = static_cast<const char*>(std::memchr(rest, ']', end - rest));
        return close;
    }
    const char* colon = static_cast<const char*>(std::memchr(rest, ':', end - rest));
    return colon ? colon : end;
}

}  // namespace

int url_port(const char* url) {
    if (!url || std::strlen(url) < kPrefix + 1) return 80;
    const char* rest = url + kPrefix;
    const char* end = authority_end(rest);
    const char* host = host_end(rest, end);
    if (!host) return 0;
    if (*rest == '[') {
        ++host;  // past ']': nothing, or ':' and the port
        if (host == end) return 80;
        if (*host != ':') return 0;
    }
    const char* colon = host < end && *host == ':' ? host : nullptr;
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
    const char* end = host_end(rest, slash);
    if (!end) return std::string();
    if (*rest == '[') return std::string(rest + 1, end);
    return std::string(rest, end);
}

std::string url_path(const char* url) {
    if (!url || std::strlen(url) <= kPrefix) return std::string();
    const char* slash = std::strchr(url + kPrefix, '/');
    return slash ? std::string(slash) : std::string();
}

bool url_is_absolute_http(const char* url) {
    static const char kScheme[] = "http://";
    if (!url) return false;
    for (size_t i = 0; i < kPrefix; ++i) {
        char c = url[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kScheme[i]) return false;
    }
    return true;
}
