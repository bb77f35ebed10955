#include "plandeck/json_paths.h"

#include <algorithm>

#include "common/text_conv.h"

namespace plandeck {

std::wstring path_from_json(const std::string& text) {
    std::wstring path = from_utf8(text);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

std::string path_to_json(const std::wstring& path) {
    std::string text = to_utf8(path);
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

}  // namespace plandeck
