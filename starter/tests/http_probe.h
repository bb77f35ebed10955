// Plain-socket HTTP requests to the agent's web server, independent of the
// code under test.
#pragma once

#include <string>

namespace tovel::starter::testing {

// Sends request (a whole request text) to 127.0.0.1:port and reads the reply
// until the server closes the connection; "" when the connection is refused
// or fails, or nothing came within timeoutMs.
std::string http_exchange(unsigned short port, const std::string& request, int timeoutMs = 30000);
// GET path with the given extra header lines (each ending in CRLF).
std::string http_get(unsigned short port, const std::string& path, const std::string& headers = "");
// The reply's status code; 0 when it has no status line.
int status_of(const std::string& reply);
// The value of the reply's header name (case-insensitive); "" when absent.
std::string header_of(const std::string& reply, const std::string& name);
// The port of the first address in the agent's "started on port(s) [...]"
// line; 0 when the output has none.
unsigned short listening_port(const std::string& output);

// A request with curl, as the web interface sends it (Cookie and, with a
// body, Content-Type headers): the reply's head and body as received. A curl
// that fails fails the test and gives what it printed.
std::string curl(unsigned short port, const std::string& method, const std::string& path,
                 const std::string& cookie = "", const std::string& body = "",
                 const std::string& type = "application/json");

}  // namespace tovel::starter::testing
