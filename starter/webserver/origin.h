// Which requests the server answers at all: those that name this server as a browser on this
// machine reaches it, made by a page of this server or by no page (a program, a typed address,
// a bookmark). A page of another site, or of another name that resolves to this machine, is
// refused before any handler or the authorisation hook sees its request.
#pragma once

#include "starter/webserver/bindings.h"
#include "starter/webserver/connection.h"

namespace tovel::web {

// True when io's request may be answered:
// - its "Host" is "127.0.0.1", "localhost" or "[::1]" (letter case aside) followed by ":" and
//   the port the request came in on, which may be left out only when that port is 80;
// - its "Origin", when it has one, is exactly "http://" followed by the "Host" text;
// - its "Sec-Fetch-Site", when it has one, is "same-origin" or "none", unless binding (null for a
//   file of the document folder) lets other sites' links reach its handler. "same-site" is
//   refused too: a page on another port of this machine is the same site to a browser, which
//   then sends it the session cookie.
// Any thread.
bool same_origin_request(const Connection& io, const Binding* binding);

// True when address (a client's address as text) is on this machine: 127.0.0.0/8, ::1, or
// 127.0.0.0/8 mapped into IPv6. False for null and anything else. Any thread.
bool loopback_peer(const char* address);

}  // namespace tovel::web
