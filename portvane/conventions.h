// What every handler of the web interface shares: the fixed replies, the reply forms, the
// splitting of a URI into segments, the method test and the session cookie of a request.
// Everything here runs on the web server's worker thread of the request it is given.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "starter/webserver/mongoose.h"

namespace portvane {

using tovel::web::mg_connection;
using tovel::web::mg_request_info;

// The replies without a body.
inline constexpr std::string_view kReply200 = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
inline constexpr std::string_view kReply400 =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
inline constexpr std::string_view kReply401 =
    "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n";
inline constexpr std::string_view kReply403 = "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n";
inline constexpr std::string_view kReply404 = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
inline constexpr std::string_view kReply409 = "HTTP/1.1 409 Conflict\r\nContent-Length: 0\r\n\r\n";
inline constexpr std::string_view kReply500 =
    "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n";
inline constexpr std::string_view kReply503 =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n";

// Writes one fixed reply; the bytes written (see mg_write).
int reply(mg_connection* conn, std::string_view literal);

// Writes "200 OK" with a JSON body (Content-Type application/json and its byte length).
int replyJson(mg_connection* conn, const std::string& body);

// Writes a reply that carries what a remote server answered: the status with its reason text,
// the Set-Cookie value when not empty (as browserCookie gives it), "Content-Type:
// application/json", "X-Content-Type-Options: nosniff", the body's length and the body. Nothing
// else of the remote reply reaches the browser.
int replyRelayed(mg_connection* conn, int status, const char* setCookie, const std::string& body);

// The cookie text as the browser is given it: the session cookie with "HttpOnly" (no script of a
// page reads it), "Path=/" (every handler of the interface gets it, whatever path set it) and
// "SameSite=Strict" (no other site's request carries it). Attributes of the remote server's
// making come before them, so that these win.
std::string browserCookie(const std::string& cookie);

// The non-empty segments of uri between its slashes ("//a/b/" gives "a", "b").
std::vector<std::string> splitUri(const char* uri);

// Whether the request's method is exactly method ("GET", "POST", "DELETE").
bool methodIs(const mg_request_info* request, const char* method);

// The request's session cookie and its user: the whole "Cookie" header when the cookie store
// knows it, else the first of its "; "-separated pairs that the store knows (a browser sends
// every cookie that any program set on this host, whatever its port). Empty, with user left as
// it was, when the header is missing or nothing of it is known.
std::string userFromCookie(const mg_connection* conn, std::string& user);

}  // namespace portvane
