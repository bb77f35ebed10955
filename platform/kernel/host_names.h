// Host file names are bytes, mostly UTF-8. Wide names of the layer map to them
// one to one: valid UTF-8 sequences decode to their code points, and every
// byte that is not part of one maps to U+DC80..U+DCFF and back, so that a file
// whose name is not UTF-8 can still be listed, opened and removed.
#pragma once

#include <string>

namespace tovel::platform {

std::string host_name_from_wide(const wchar_t* text, size_t length);
std::wstring wide_from_host_name(const char* text, size_t length);

}  // namespace tovel::platform
