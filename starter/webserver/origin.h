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
// - its "Sec-Fetch-Site" is not "cross-site", unless binding (null for a file of the document
//   folder) lets other sites' links reach its handler.
// Any thread.
bool same_origin_request(const Connection& io, const Binding* binding);

}  // namespace tovel::web
