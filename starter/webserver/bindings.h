// Which of the plug-in's handlers answers a URI, and whether it needs a session cookie.
#pragma once

#include <cstddef>
#include <span>

namespace tovel::web {

struct Binding {
    const char* prefix;       // leading characters of the URI (the whole URI when exact)
    bool exact;               // the URI must equal prefix
    const char* export_name;  // the handler's name in the plug-in
    bool needs_cookie;        // the handler serves logged-in users only
    bool cross_site = false;  // a request that another site's page made may reach it
    bool whole_word = false;  // prefix must end the URI or be followed by '/'
};

// Every binding, longest prefix first.
std::span<const Binding> bindings();

// The binding of uri: the longest prefix that uri begins with, or null when no handler is bound
// (the URI names a file of the document folder). The index in bindings() is written to index.
const Binding* find_binding(const char* uri, size_t* index = nullptr);

}  // namespace tovel::web
