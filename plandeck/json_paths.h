// Paths in the JSON form use forward slashes, in memory back-slashes.
#pragma once

#include <string>

namespace plandeck {

std::wstring path_from_json(const std::string& text);
std::string path_to_json(const std::wstring& path);

}  // namespace plandeck
