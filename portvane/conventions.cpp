#include "portvane/conventions.h"

#include <cstring>

#include "job/stores/cookie_manager.h"
#include "wirekit/http_tables.h"

namespace portvane {
namespace {

CookieManagerImpl* cookies() {
    return ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance();
}

}  // namespace

int reply(mg_connection* conn, std::string_view literal) {
    return tovel::web::mg_write(conn, literal.data(), literal.size());
}

int replyJson(mg_connection* conn, const std::string& body) {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\n\r\n";
    return tovel::web::mg_write(conn, (head + body).data(), head.size() + body.size());
}

std::string browserCookie(const std::string& cookie) {
    return cookie + "; HttpOnly; Path=/; SameSite=Strict";
}

int replyRelayed(mg_connection* conn, int status, const char* setCookie, const std::string& body) {
    std::string head =
        "HTTP/1.1 " + std::to_string(status) + " " + http_status_string(status) + "\r\n";
    if (setCookie && *setCookie) head += "Set-Cookie: " + browserCookie(setCookie) + "\r\n";
    head += "Content-Type: application/json\r\nX-Content-Type-Options: nosniff\r\n";
    // These two statuses carry no body, and 204 not even its length.
    bool bodiless = status == 204 || status == 304;
    if (status != 204)
        head += "Content-Length: " + std::to_string(bodiless ? 0 : body.size()) + "\r\n";
    head += "\r\n";
    std::string whole = bodiless ? head : head + body;
    return tovel::web::mg_write(conn, whole.data(), whole.size());
}

std::vector<std::string> splitUri(const char* uri) {
    std::vector<std::string> out;
    std::string_view rest = uri ? uri : "";
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view piece = rest.substr(0, slash);
        if (!piece.empty()) out.emplace_back(piece);
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    return out;
}

bool methodIs(const mg_request_info* request, const char* method) {
    return request && request->request_method && std::strcmp(request->request_method, method) == 0;
}

std::string userFromCookie(const mg_connection* conn, std::string& user) {
    const char* header = tovel::web::mg_get_header(conn, "Cookie");
    if (!header || !*header) return "";
    std::string owner;
    if (cookies()->findUser(header, owner)) {
        user = owner;
        return header;
    }
    std::string_view rest = header;
    while (!rest.empty()) {
        size_t end = rest.find("; ");
        std::string pair(rest.substr(0, end));
        if (!pair.empty() && cookies()->findUser(pair.c_str(), owner)) {
            user = owner;
            return pair;
        }
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 2);
    }
    return "";
}

}  // namespace portvane
