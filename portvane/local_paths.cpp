#include "portvane/local_paths.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "common/holders.h"
#include "common/text_conv.h"
#include "platform/win32.h"

namespace portvane {
namespace {

struct Identity {
    DWORD volume = 0;
    uint64_t index = 0;
    bool operator==(const Identity&) const = default;
};

// The identity of the folder or file at path, links followed; false when it cannot be opened.
bool identityOf(const std::wstring& path, Identity& out) {
    scoped_handle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.valid()) return false;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file.get(), &information)) return false;
    out.volume = information.dwVolumeSerialNumber;
    out.index = (uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
    return true;
}

// path and every folder above it on its drive, the drive root last.
std::vector<std::wstring> selfAndAncestors(std::wstring path) {
    std::vector<std::wstring> out;
    while (path.size() > 3 && path.back() == L'\\') path.pop_back();
    for (;;) {
        out.push_back(path);
        size_t slash = path.rfind(L'\\');
        if (slash == std::wstring::npos || path.size() <= 3) break;
        path = slash <= 2 ? path.substr(0, 3) : path.substr(0, slash);
    }
    return out;
}

// The identities that no request may remove or move, read afresh on each call (a drive can be
// mapped elsewhere while the service runs).
std::vector<Identity> protectedIdentities() {
    std::vector<std::wstring> paths;
    for (wchar_t letter = L'a'; letter <= L'z'; ++letter) {
        paths.push_back(std::wstring(1, letter) + L":\\");
    }
    std::wstring data;
    if (common_appdata_path(data, tovel::kDataSubFolder)) {
        for (auto& p : selfAndAncestors(data)) paths.push_back(std::move(p));
    }
    wchar_t program[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        std::wstring folder(program, length);
        size_t slash = folder.rfind(L'\\');
        if (slash != std::wstring::npos) folder.resize(slash);
        for (auto& p : selfAndAncestors(folder)) paths.push_back(std::move(p));
    }
    std::vector<Identity> out;
    for (const std::wstring& p : paths) {
        Identity id;
        if (identityOf(p, id)) out.push_back(id);
    }
    return out;
}

}  // namespace

bool isDrivePath(const std::string& text) {
    if (text.size() < 3) return false;
    char letter = static_cast<char>(text[0] | 0x20);
    return letter >= 'a' && letter <= 'z' && text[1] == ':' && (text[2] == '/' || text[2] == '\\');
}

std::wstring windowsPath(const std::string& text) {
    std::wstring out = from_utf8(text);
    std::replace(out.begin(), out.end(), L'/', L'\\');
    return out;
}

bool isProtectedFolder(const std::wstring& path) {
    last_error_restorer keep;
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    Identity target;
    if (!identityOf(path, target)) return false;
    std::vector<Identity> guarded = protectedIdentities();
    return std::find(guarded.begin(), guarded.end(), target) != guarded.end();
}

}  // namespace portvane
