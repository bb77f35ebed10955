#include "starter/webserver/documents.h"

#include <strings.h>
#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace tovel::web {
namespace {

struct TypeOf {
    const char* extension;
    const char* type;
};
constexpr TypeOf kTypes[] = {
    {".html", "text/html; charset=utf-8"},
    {".htm", "text/html; charset=utf-8"},
    {".css", "text/css; charset=utf-8"},
    {".js", "text/javascript; charset=utf-8"},
    {".mjs", "text/javascript; charset=utf-8"},
    {".json", "application/json"},
    {".txt", "text/plain; charset=utf-8"},
    {".png", "image/png"},
    {".svg", "image/svg+xml"},
    {".ico", "image/x-icon"},
    {".woff2", "font/woff2"},
};

std::string real_path(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

}  // namespace

std::string document_folder(const char* root) {
    if (!root || !*root) return std::string();
    std::string folder = real_path(root);
    struct stat s {};
    if (folder.empty() || ::stat(folder.c_str(), &s) != 0 || !S_ISDIR(s.st_mode)) return {};
    return folder;
}

bool find_document(const std::string& folder, const char* path, Document& out) {
    if (folder.empty() || !path || path[0] != '/' || std::strchr(path, '\\')) return false;
    std::string file = real_path(folder + path);
    std::string inside = folder == "/" ? folder : folder + "/";
    if (file.size() <= inside.size() || file.compare(0, inside.size(), inside) != 0) return false;
    struct stat s {};
    if (::stat(file.c_str(), &s) != 0 || !S_ISREG(s.st_mode)) return false;
    out.path = file;
    out.type = document_type(file);
    return true;
}

const char* document_type(const std::string& name) {
    size_t dot = name.rfind('.');
    size_t slash = name.rfind('/');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        for (const TypeOf& t : kTypes) {
            if (strcasecmp(name.c_str() + dot, t.extension) == 0) return t.type;
        }
    }
    return "application/octet-stream";
}

}  // namespace tovel::web
