// Resource libraries in the project's own text format (platform/modules/resources.md):
// LoadLibraryW of a ".dll", LoadStringW, the icons and dialog templates they
// name.
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <vector>

#include "platform/kernel/machine.h"
#include "platform/modules/resources_core.h"
#include "platform/win/desktop.h"
#include "platform/win/errors.h"
#include "platform/win/module.h"
#include "platform/win/text.h"

namespace tovel::platform::res {
namespace {

constexpr off_t kLargest = 1 << 20;
const wchar_t kHeader[] = L"tovel-resources 1";

struct Library {
    std::wstring folder;  // Windows path of its folder, with a final "\"
    std::map<UINT, std::wstring> strings;
    std::map<UINT, std::wstring> icons;
    std::map<UINT, Dialog> dialogs;
};

struct Libraries {
    std::mutex lock;
    std::vector<std::unique_ptr<Library>> loaded;  // kept until the process ends
    std::unique_ptr<Library> program;
    bool program_read = false;
};

Libraries& libraries() {
    static auto* all = new Libraries;  // lives until the process ends
    return *all;
}

bool decode_utf8(const std::string& bytes, std::wstring& out) {
    out.clear();
    if (bytes.empty()) return true;
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                static_cast<int>(bytes.size()), nullptr, 0);
    if (n <= 0) return false;
    out.resize(static_cast<size_t>(n));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                        out.data(), n);
    return true;
}

bool unescape(const std::wstring& text, std::wstring& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
            case L'n':
                out += L'\n';
                break;
            case L't':
                out += L'\t';
                break;
            case L's':
                out += L' ';
                break;
            case L'\\':
                out += L'\\';
                break;
            default:
                return false;
        }
    }
    return true;
}

bool number(const std::wstring& word, int low, int high, int& out) {
    if (word.empty() || word.size() > 6) return false;
    long value = 0;
    for (wchar_t c : word) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + (c - L'0');
    }
    if (value < low || value > high) return false;
    out = static_cast<int>(value);
    return true;
}

// Splits off the first count words; the rest of the line is the text.
bool words(const std::wstring& line, size_t count, std::vector<std::wstring>& out,
           std::wstring& rest) {
    out.clear();
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t end = line.find(L' ', at);
        if (end == std::wstring::npos) {
            if (i + 1 != count) return false;
            out.push_back(line.substr(at));
            rest.clear();
            return !out.back().empty();
        }
        out.push_back(line.substr(at, end - at));
        if (out.back().empty()) return false;
        at = end + 1;
    }
    return unescape(line.substr(at), rest);
}

bool parse(const std::string& bytes, Library& library) {
    std::wstring text;
    if (!decode_utf8(bytes, text)) return false;
    std::vector<std::wstring> lines;
    std::wstringstream in(text);
    std::wstring line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        lines.push_back(line);
    }
    if (lines.empty() || lines[0] != kHeader) return false;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::wstring& l = lines[i];
        if (l.empty() || l[0] == L'#') continue;
        std::vector<std::wstring> w;
        std::wstring rest;
        int id;
        if (l.rfind(L"string ", 0) == 0) {
            if (!words(l, 2, w, rest) || !number(w[1], 0, 65535, id)) return false;
            if (!library.strings.emplace(id, rest).second) return false;
        } else if (l.rfind(L"icon ", 0) == 0) {
            if (!words(l, 2, w, rest) || !number(w[1], 1, 65535, id) || rest.empty()) return false;
            if (rest.find(L"..") != std::wstring::npos || rest[0] == L'\\' ||
                rest.find(L':') != std::wstring::npos)
                return false;
            if (!library.icons.emplace(id, rest).second) return false;
        } else if (l.rfind(L"dialog ", 0) == 0) {
            Dialog dialog;
            if (!words(l, 4, w, rest) || !number(w[1], 1, 65535, id) ||
                !number(w[2], 1, 4000, dialog.width) || !number(w[3], 1, 4000, dialog.height))
                return false;
            dialog.caption = rest;
            if (!library.dialogs.emplace(id, dialog).second) return false;
        } else if (l.rfind(L"control ", 0) == 0) {
            Control control;
            if (!words(l, 8, w, rest) || !number(w[1], 1, 65535, id) ||
                !number(w[2], 0, 65535, control.id) || !number(w[4], 0, 4000, control.x) ||
                !number(w[5], 0, 4000, control.y) || !number(w[6], 0, 4000, control.width) ||
                !number(w[7], 0, 4000, control.height))
                return false;
            control.kind = w[3];
            if (control.kind != L"STATIC" && control.kind != L"BUTTON" && control.kind != L"ICON")
                return false;
            control.text = rest;
            auto dialog = library.dialogs.find(static_cast<UINT>(id));
            if (dialog == library.dialogs.end()) return false;
            dialog->second.controls.push_back(control);
        } else {
            return false;
        }
    }
    return true;
}

// Reads a library; null with 126 (missing) or 193 (not a resource library).
std::unique_ptr<Library> read(const std::wstring& windows_path) {
    std::string host;
    if (!host_path(windows_path.c_str(), host)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    struct stat st;
    if (::stat(host.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::ifstream file(host, std::ios::binary);
    if (!file) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (st.st_size > kLargest) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto library = std::make_unique<Library>();
    size_t cut = windows_path.find_last_of(L"\\/");
    library->folder = cut == std::wstring::npos ? L"" : windows_path.substr(0, cut + 1);
    if (!parse(bytes, *library)) {
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    return library;
}

// Under the lock: the library of a module handle, or null.
Library* library_of(HMODULE module) {
    auto& all = libraries();
    if (!module || module == GetModuleHandleW(nullptr)) {
        if (!all.program_read) {
            all.program_read = true;
            wchar_t path[MAX_PATH + 8];
            DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
            if (n > 0 && n < MAX_PATH) {
                DWORD last = GetLastError();
                all.program = read(std::wstring(path, n) + L".res");
                SetLastError(last);
            }
        }
        return all.program.get();
    }
    for (auto& library : all.loaded)
        if (reinterpret_cast<HMODULE>(library.get()) == module) return library.get();
    return nullptr;
}

}  // namespace

bool icon_file(HMODULE module, UINT id, std::wstring& path) {
    auto& all = libraries();
    std::lock_guard<std::mutex> guard(all.lock);
    Library* library = library_of(module);
    if (!library) return false;
    auto it = library->icons.find(id);
    if (it == library->icons.end()) return false;
    path = library->folder + it->second;
    return true;
}

bool dialog(HMODULE module, UINT id, Dialog& out) {
    auto& all = libraries();
    std::lock_guard<std::mutex> guard(all.lock);
    Library* library = library_of(module);
    if (!library) return false;
    auto it = library->dialogs.find(id);
    if (it == library->dialogs.end()) return false;
    out = it->second;
    return true;
}

bool is_library(HMODULE module) {
    auto& all = libraries();
    std::lock_guard<std::mutex> guard(all.lock);
    for (auto& library : all.loaded)
        if (reinterpret_cast<HMODULE>(library.get()) == module) return true;
    return false;
}

}  // namespace tovel::platform::res

HMODULE LoadLibraryW(LPCWSTR name) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::wstring path(name);
    auto ends_dll = [&] {
        if (path.size() < 4) return false;
        std::wstring tail = path.substr(path.size() - 4);
        for (auto& c : tail) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
        return tail == L".dll";
    };
    if (!ends_dll() || path.find_first_of(L"\\/") == std::wstring::npos)
        return LoadLibraryExW(name, nullptr, 0);
    auto library = tovel::platform::res::read(path);
    if (!library) return nullptr;
    auto& all = tovel::platform::res::libraries();
    std::lock_guard<std::mutex> guard(all.lock);
    all.loaded.push_back(std::move(library));
    return reinterpret_cast<HMODULE>(all.loaded.back().get());
}

int LoadStringW(HINSTANCE module, UINT id, LPWSTR buffer, int size) {
    if (!buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto& all = tovel::platform::res::libraries();
    std::lock_guard<std::mutex> guard(all.lock);
    auto* library = tovel::platform::res::library_of(module);
    const std::wstring* text = nullptr;
    if (library) {
        auto it = library->strings.find(id);
        if (it != library->strings.end()) text = &it->second;
    }
    if (size == 0) {
        *reinterpret_cast<const wchar_t**>(buffer) = text ? text->c_str() : nullptr;
        if (!text) SetLastError(1814);  // the resource name cannot be found
        return text ? static_cast<int>(text->size()) : 0;
    }
    if (size < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!text) {
        buffer[0] = 0;
        SetLastError(1814);
        return 0;
    }
    const int n = std::min<int>(static_cast<int>(text->size()), size - 1);
    std::copy(text->begin(), text->begin() + n, buffer);
    buffer[n] = 0;
    return n;
}
