#include "wirekit/http_url.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kPrefix = 7;  // "http://"

}  // namespace

int url_port(const char* url) {
    if (!url || std::strlen(url) < kPrefix + 1) return 80;
    const char* rest = url + kPrefix;
    const char* colon = std::strchr(rest, ':');
    if (!colon) return 80;
    const char* slash = std::strchr(rest, '/');
    if (slash && slash < colon) return 80;
    return std::atoi(colon + 1);
}

std::string url_host(const char* url) {
    if (!url || std::strlen(url) <= kPrefix) return std::string();
    const char* rest = url + kPrefix;
    const char* slash = std::strchr(rest, '/');
    if (!slash) return std::string();
    const char* colon = std::strchr(rest, ':');
    return std::string(rest, colon ? colon : slash);
}

std::string url_path(const char* url) {
    if (!url || std::strlen(url) <= kPrefix) return std::string();
    const char* slash = std::strchr(url + kPrefix, '/');
    return slash ? std::string(slash) : std::string();
}
