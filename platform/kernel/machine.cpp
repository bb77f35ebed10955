#include "platform/kernel/machine.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <set>
#include <vector>

#include "platform/kernel/host_names.h"
#include "platform/win/errors.h"

namespace tovel::platform {
namespace {

constexpr const char* kDefaultRoot = "/var/lib/tovel";

std::string current_folder() {
    std::vector<char> buffer(PATH_MAX);
    while (!::getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE) return "/";
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

void make_folder(const std::string& path, mode_t mode) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            std::string part = path.substr(0, i);
            if (::mkdir(part.c_str(), mode) == 0)
                ::chmod(part.c_str(), mode);  // exactly: not narrowed by the file mode mask
            else if (errno != EEXIST)
                return;
        }
    }
}

void lay_out_machine(const std::string& root) {
    make_folder(root + "/drives/c/ProgramData", 0755);
    make_folder(root + "/registry", 0700);
    make_folder(root + "/objects", 0755);
    std::string z = root + "/drives/z";
    struct stat st;
    if (::lstat(z.c_str(), &st) != 0) {
        if (::symlink("/", z.c_str()) != 0 && errno != EEXIST) return;
    }
}

// Splits a path into its parts, resolving "." and ".." without leaving the top.
std::vector<std::string> normal_parts(const std::string& path) {
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        std::string part = path.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        i = j + 1;
    }
    return parts;
}

std::string join_parts(const std::string& base, const std::vector<std::string>& parts) {
    std::string out = base;
    for (const auto& part : parts) {
        if (out.empty() || out.back() != '/') out += '/';
        out += part;
    }
    return out.empty() ? "/" : out;
}

// Whether join_parts(base, normal_parts(path)) is base, a separator when base
// lacks one, and path without its leading separator: every part of path is
// there (no repeated or trailing separator) and none is "." or "..".
bool plain_parts(const std::string& path) {
    size_t at = !path.empty() && path[0] == '/' ? 1 : 0;
    if (at == path.size()) return false;
    for (;;) {
        size_t next = path.find('/', at);
        size_t end = next == std::string::npos ? path.size() : next;
        size_t length = end - at;
        if (length == 0) return false;
        if (path[at] == '.' && (length == 1 || (length == 2 && path[at + 1] == '.'))) return false;
        if (next == std::string::npos) return true;
        at = next + 1;
    }
}

}  // namespace

std::string machine_root() {
    static std::mutex lock;
    static std::set<std::string> laid_out;
    const char* env = std::getenv("TOVEL_ROOT");
    std::string root = (env && *env) ? env : kDefaultRoot;
    // The last absolute root of this thread, as it was given and as it is
    // used (laid out already): most calls name the same.
    thread_local std::string given, used;
    if (root[0] == '/' && root == given) return used;
    bool absolute = root[0] == '/';
    if (absolute) given = root;
    if (!absolute) root = current_folder() + "/" + root;
    root = join_parts("", normal_parts(root));
    std::lock_guard<std::mutex> guard(lock);
    if (laid_out.insert(root).second) lay_out_machine(root);
    if (absolute) used = root;
    return root;
}

namespace {

// Whether the drive folder base exists. A drive found once stays (a machine
// does not lose its drives while it runs): only the first look costs a stat.
bool drive_exists(const std::string& base) {
    static std::mutex lock;
    static std::set<std::string> found;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (found.count(base)) return true;
    }
    struct stat st;
    if (::stat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    std::lock_guard<std::mutex> guard(lock);
    found.insert(base);
    return true;
}

}  // namespace

bool inherited_mode(const std::string& host_path, bool folder, mode_t& mode) {
    const std::string shared = machine_root() + "/drives/c/ProgramData/";
    if (host_path.compare(0, shared.size(), shared) != 0) return false;
    mode = folder ? 0755 : 0644;
    return true;
}

bool host_path(const wchar_t* windows_path, std::string& out) {
    if (!windows_path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::wstring path(windows_path);
    for (auto& c : path)
        if (c == L'\\') c = L'/';
    if (path.rfind(L"//?/", 0) == 0) {
        path.erase(0, 4);
        bool unc = path.size() >= 4 && path[3] == L'/' && (path[0] | 0x20) == L'u' &&
                   (path[1] | 0x20) == L'n' && (path[2] | 0x20) == L'c';
        if (unc) path.replace(0, 3, L"/");  // "\\?\UNC\server\share" is "\\server\share"
    }
    if (path.rfind(L"//", 0) == 0) {  // UNC paths name no drive of this machine
        SetLastError(ERROR_BAD_NETPATH);
        return false;
    }
    std::string base;
    std::string rest;
    bool has_drive = path.size() >= 2 && path[1] == L':' &&
                     ((path[0] >= L'a' && path[0] <= L'z') || (path[0] >= L'A' && path[0] <= L'Z'));
    if (has_drive || (!path.empty() && path[0] == L'/')) {
        char letter = has_drive ? static_cast<char>(path[0] | 0x20) : 'c';
        base = machine_root() + "/drives/" + letter;
        if (!drive_exists(base)) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return false;
        }
        size_t start = has_drive ? 2 : 0;
        rest = host_name_from_wide(path.data() + start, path.size() - start);
    } else {
        base = current_folder();
        rest = host_name_from_wide(path.data(), path.size());
    }
    if (plain_parts(rest)) {  // the common case, without a list of the parts
        out = std::move(base);
        if (out.empty() || out.back() != '/') out += '/';
        out.append(rest, rest[0] == '/' ? 1 : 0, std::string::npos);
    } else {
        out = join_parts(base, normal_parts(rest));
    }
    return true;
}

bool is_drive_root(const std::string& host) {
    std::string drives = machine_root() + "/drives/";
    return host.size() == drives.size() + 1 && host.compare(0, drives.size(), drives) == 0;
}

std::wstring windows_path(const std::string& host) {
    std::string absolute = host.empty() || host[0] != '/' ? current_folder() + "/" + host : host;
    auto parts = normal_parts(absolute);
    auto root_parts = normal_parts(machine_root());
    root_parts.push_back("drives");
    bool under_drive = parts.size() > root_parts.size() &&
                       std::equal(root_parts.begin(), root_parts.end(), parts.begin()) &&
                       parts[root_parts.size()].size() == 1;
    std::wstring out;
    size_t first = 0;
    if (under_drive) {
        out = std::wstring(1, static_cast<wchar_t>(parts[root_parts.size()][0] & ~0x20)) + L":";
        first = root_parts.size() + 1;
    } else {
        out = L"Z:";
    }
    if (first == parts.size()) return out + L"\\";
    for (size_t i = first; i < parts.size(); ++i) {
        out += L'\\';
        out += wide_from_host_name(parts[i].data(), parts[i].size());
    }
    return out;
}

}  // namespace tovel::platform
