#include "portvane/local_paths.h"

#include <algorithm>
#include <cstdint>
#include <cwctype>
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

// The folders whose content no request may change, as the file system resolves them, in lower
// case.
std::vector<std::wstring> agentFolders() {
    std::vector<std::wstring> out;
    std::wstring data;
    if (common_appdata_path(data, tovel::kDataSubFolder)) out.push_back(data);
    wchar_t program[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        std::wstring folder(program, length);
        size_t slash = folder.rfind(L'\\');
        if (slash != std::wstring::npos) out.push_back(folder.substr(0, slash));
    }
    return out;
}

std::wstring lowered(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return text;
}

// The plain drive path of the existing folder or file at path as the file system resolves it
// (links followed), or empty when it cannot be opened.
std::wstring finalPathOf(const std::wstring& path) {
    scoped_handle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.valid()) return std::wstring();
    std::wstring out(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(file.get(), out.data(), static_cast<DWORD>(out.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length >= out.size()) {
        out.assign(length, L'\0');
        length =
            GetFinalPathNameByHandleW(file.get(), out.data(), static_cast<DWORD>(out.size()), 0);
    }
    if (length == 0 || length >= out.size()) return std::wstring();
    out.resize(length);
    if (out.compare(0, 4, L"\\\\?\\") == 0) out.erase(0, 4);
    return plainDrivePath(to_utf8(out));
}

// The place at a plain drive path with the folders above it resolved: the resolved path of the
// deepest folder above it that exists, and the rest of the path after it as written.
std::wstring resolvedPlace(const std::wstring& path) {
    size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos || path.size() <= 3) return path;
    std::wstring rest = path.substr(slash);  // "\name"
    std::wstring folder = path.substr(0, slash <= 2 ? 3 : slash);
    for (;;) {
        std::wstring resolved = finalPathOf(folder);
        if (!resolved.empty()) {
            if (resolved.back() == L'\\') resolved.pop_back();
            return resolved + rest;
        }
        if (folder.size() <= 3) return path;
        size_t up = folder.rfind(L'\\');
        rest = folder.substr(up) + rest;
        folder = folder.substr(0, up <= 2 ? 3 : up);
    }
}

// Whether path is folder or lies below it; both plain, lower case.
bool within(const std::wstring& path, std::wstring folder) {
    if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    return path == folder || (path.size() > folder.size() && path[folder.size()] == L'\\' &&
                              path.compare(0, folder.size(), folder) == 0);
}

}  // namespace

bool hasControlCharacter(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

bool holdsControlCharacter(const json_spirit::Value& value) {
    switch (value.type()) {
        case json_spirit::str_type:
            return hasControlCharacter(value.get_str());
        case json_spirit::array_type:
            for (const json_spirit::Value& element : value.get_array())
                if (holdsControlCharacter(element)) return true;
            return false;
        case json_spirit::obj_type:
            for (const auto& [name, member] : value.get_obj())
                if (hasControlCharacter(name) || holdsControlCharacter(member)) return true;
            return false;
        default:
            return false;
    }
}

bool definitionPathHasControlCharacter(const json_spirit::Value& definition) {
    if (definition.type() != json_spirit::obj_type) return false;
    const json_spirit::Object& object = definition.get_obj();
    for (const char* key : {"source", "offline", "location"}) {
        auto found = object.find(key);
        if (found != object.end() && holdsControlCharacter(found->second)) return true;
    }
    return false;
}

std::wstring plainDrivePath(const std::string& text) {
    if (!(text.size() == 2 ? isDrivePath(text + "\\") : isDrivePath(text))) return std::wstring();
    std::wstring wide = windowsPath(text);
    std::vector<std::wstring> parts;
    size_t at = 3;
    while (at <= wide.size()) {
        size_t end = wide.find(L'\\', at);
        if (end == std::wstring::npos) end = wide.size();
        std::wstring part = wide.substr(at, end - at);
        if (part == L"..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != L".") {
            parts.push_back(std::move(part));
        }
        at = end + 1;
    }
    std::wstring out = {static_cast<wchar_t>(std::towupper(static_cast<wint_t>(wide[0]))), L':'};
    for (const std::wstring& part : parts) out += L"\\" + part;
    if (parts.empty()) out += L'\\';
    return out;
}

bool isInsideAgentFolders(const std::wstring& path) {
    last_error_restorer keep;
    if (path.size() <= 3) return false;
    std::wstring place = lowered(resolvedPlace(path));
    for (const std::wstring& folder : agentFolders()) {
        std::wstring resolved = finalPathOf(folder);
        if (within(place, lowered(resolved.empty() ? folder : resolved))) return true;
        // Named as written too, for a folder that cannot be opened now.
        if (within(lowered(path), lowered(folder))) return true;
    }
    return false;
}

bool passesThroughLink(const std::wstring& path) {
    last_error_restorer keep;
    for (size_t at = 3; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != L'\\') continue;
        DWORD attributes = GetFileAttributesW(path.substr(0, at).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return false;  // nothing further exists
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return true;
    }
    return false;
}

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
