#include "starter/webserver/origin.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <string>
#include <string_view>

namespace tovel::web {
namespace {

bool is_loopback_name(std::string_view name) {
    for (std::string_view allowed : {"127.0.0.1", "localhost", "[::1]"}) {
        if (name.size() == allowed.size() &&
            strncasecmp(name.data(), allowed.data(), allowed.size()) == 0) {
            return true;
        }
    }
    return false;
}

bool names_this_server(std::string_view host, int local_port) {
    // The port follows the last ':' after a bracketed address's ']'.
    size_t bracket = host.rfind(']');
    size_t colon = host.rfind(':');
    if (colon != std::string_view::npos && bracket != std::string_view::npos && colon < bracket) {
        colon = std::string_view::npos;
    }
    std::string_view name = host.substr(0, colon);
    if (!is_loopback_name(name)) return false;
    if (colon == std::string_view::npos) return local_port == 80;
    return host.substr(colon + 1) == std::to_string(local_port);
}

}  // namespace

bool same_origin_request(const Connection& io, const Binding* binding) {
    const char* host = io.header("Host");
    if (!host || !names_this_server(host, io.local_port())) return false;
    const char* origin = io.header("Origin");
    if (origin && std::string_view(origin) != "http://" + std::string(host)) return false;
    const char* site = io.header("Sec-Fetch-Site");
    bool cross_site_allowed = !binding || binding->cross_site;
    if (site && !cross_site_allowed && strcasecmp(site, "same-origin") != 0 &&
        strcasecmp(site, "none") != 0) {
        return false;
    }
    return true;
}

bool loopback_peer(const char* address) {
    if (!address) return false;
    in_addr v4{};
    if (inet_pton(AF_INET, address, &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, address, &v6) != 1) return false;
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

}  // namespace tovel::web
