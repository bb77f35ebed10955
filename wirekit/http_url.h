// The parts of an HTTP URL, as a redirect's Location gives it. Each function
// takes a full URL that starts with the seven characters "http://" (not
// checked) and looks only at what follows them. Any thread.
#pragma once

#include <string>

// The port: the number (decimal, as atoi reads it, not range-checked) between
// the first ':' after the prefix and the next '/' or the end; 80 when the URL
// is shorter than 8 characters, has no ':' after the prefix, or has a '/'
// before that ':'.
int url_port(const char* url);

// The host: from the eighth character up to the first ':' after it, or up to
// the first '/' after it when there is no ':'; empty when the URL has 7
// characters or fewer or no '/' after the prefix.
std::string url_host(const char* url);

// The path: from the first '/' after the prefix to the end; empty when there
// is none.
std::string url_path(const char* url);
