// The parts of an HTTP URL, as a redirect's Location gives it. Each function
// takes a full URL that starts with the seven characters "http://" (not
// checked) and looks only at what follows them. The authority is the text
// after the prefix up to the first '/'; the host is the authority up to its
// first ':', or, for an IPv6 address, the text between its '[' and ']' (the
// port then follows the ']'). Any thread.
#pragma once

#include <string>

// The port: 80 when the URL is shorter than 8 characters or its authority
// has no ':'; otherwise the decimal digits after that ':' (up to the path or
// the end) when they read as a number from 1 to 65535, else 0 (no digits,
// anything but digits, 0, or a number above 65535).
int url_port(const char* url);

// The host: the authority up to its ':' (or all of it without one), an IPv6
// address without its brackets; empty when the URL has 7 characters or
// fewer, no '/' after the prefix, or a '[' without its ']'.
std::string url_host(const char* url);

// The path: from the first '/' after the prefix to the end; empty when there
// is none.
std::string url_path(const char* url);

// Whether url starts with "http://" (in any letter case): an absolute URL
// that the functions above can split. A relative reference ("/path",
// "path") or another scheme is not.
bool url_is_absolute_http(const char* url);
