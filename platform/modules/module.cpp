#include "platform/win/module.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include "platform/kernel/machine.h"
#include "platform/modules/messages.h"
#include "platform/modules/resources_core.h"
#include "platform/win/errors.h"
#include "platform/win/text.h"

namespace {

// Module handles are addresses of these markers; they are never unloaded.
char g_main_module;
char g_winhttp_module;
std::atomic<bool> g_winhttp_loaded{false};

HMODULE main_module() { return reinterpret_cast<HMODULE>(&g_main_module); }
HMODULE winhttp_module() { return reinterpret_cast<HMODULE>(&g_winhttp_module); }

bool names_winhttp(LPCWSTR name) {
    std::wstring n(name);
    std::transform(n.begin(), n.end(), n.begin(), [](wchar_t c) { return std::towlower(c); });
    return n == L"winhttp" || n == L"winhttp.dll";
}

// The host path of the process's executable; empty when it cannot be read.
std::string executable_host_path() {
    std::vector<char> buffer(256);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (n < 0) return std::string();
        if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring program_path() {
    const char* program = std::getenv("TOVEL_PROGRAM");
    if (program && *program) {
        std::wstring wide;
        int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, program, -1, nullptr, 0);
        if (n > 1) {
            wide.resize(static_cast<size_t>(n));
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, program, -1, wide.data(), n);
            wide.resize(static_cast<size_t>(n - 1));
        }
        return wide;
    }
    std::string host = executable_host_path();
    return host.empty() ? std::wstring() : tovel::platform::windows_path(host);
}

bool has_inserts(const char* text) {
    for (const char* p = std::strchr(text, '%'); p; p = std::strchr(p + 2, '%')) {
        if (p[1] == 0) return false;
        if (p[1] >= '1' && p[1] <= '9') return true;
    }
    return false;
}

// Finds and shapes the text; false with the last error set when there is none.
bool message_text(DWORD flags, LPCVOID source, DWORD id, std::string& out) {
    if (flags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const char* text = nullptr;
    if ((flags & FORMAT_MESSAGE_FROM_HMODULE) && source == winhttp_module())
        text = tovel::platform::winhttp_message(id);
    if (!text && (flags & FORMAT_MESSAGE_FROM_SYSTEM)) text = tovel::platform::system_message(id);
    if (!text) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return false;
    }
    if (!(flags & FORMAT_MESSAGE_IGNORE_INSERTS) && has_inserts(text)) {
        SetLastError(ERROR_INVALID_PARAMETER);  // no arguments are ever supplied here
        return false;
    }
    out = text;
    if ((flags & FORMAT_MESSAGE_MAX_WIDTH_MASK) == 0) out += "\r\n";
    return true;
}

template <class Char>
DWORD deliver(DWORD flags, const std::basic_string<Char>& text, Char* buffer, DWORD size) {
    DWORD length = static_cast<DWORD>(text.size());
    if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
        if (!buffer) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        SIZE_T units = std::max<SIZE_T>(size, length + 1);
        auto memory = static_cast<Char*>(LocalAlloc(LMEM_ZEROINIT, units * sizeof(Char)));
        if (!memory) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        std::copy(text.begin(), text.end(), memory);
        *reinterpret_cast<Char**>(buffer) = memory;
        return length;
    }
    if (!buffer || size < length + 1) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(text.begin(), text.end(), buffer);
    buffer[length] = 0;
    return length;
}

}  // namespace

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
    void* memory = (flags & LMEM_ZEROINIT) ? std::calloc(bytes ? bytes : 1, 1)
                                           : std::malloc(bytes ? bytes : 1);
    if (!memory) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return memory;
}

HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}

DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD id, DWORD /*languageId*/, LPSTR buffer,
                     DWORD size, va_list* /*arguments*/) {
    std::string text;
    if (!message_text(flags, source, id, text)) return 0;
    return deliver<char>(flags, text, buffer, size);
}

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD id, DWORD /*languageId*/, LPWSTR buffer,
                     DWORD size, va_list* /*arguments*/) {
    std::string text;
    if (!message_text(flags, source, id, text)) return 0;
    std::wstring wide(text.size(), L'\0');
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                static_cast<int>(wide.size()));
    wide.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return deliver<wchar_t>(flags, wide, buffer, size);
}

HMODULE GetModuleHandleW(LPCWSTR name) {
    if (!name) return main_module();
    if (names_winhttp(name) && g_winhttp_loaded) return winhttp_module();
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

HMODULE LoadLibraryExW(LPCWSTR name, HANDLE /*reserved*/, DWORD /*flags*/) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (names_winhttp(name)) {
        g_winhttp_loaded = true;
        return winhttp_module();
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
    if (module != main_module() && module != winhttp_module() &&
        !tovel::platform::res::is_library(module)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR filename, DWORD size) {
    if (module && module != main_module()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (!filename && size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::wstring path = program_path();
    if (path.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    if (path.size() >= size) {
        if (size) {
            std::copy(path.begin(), path.begin() + (size - 1), filename);
            filename[size - 1] = 0;
        }
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::copy(path.begin(), path.end(), filename);
    filename[path.size()] = 0;
    return static_cast<DWORD>(path.size());
}

BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size) {
    if (!size || (!buffer && *size)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "LOCALHOST");
    std::string name(host, std::strcspn(host, "."));
    if (name.size() > MAX_COMPUTERNAME_LENGTH) name.resize(MAX_COMPUTERNAME_LENGTH);
    for (auto& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    DWORD length = static_cast<DWORD>(name.size());
    if (*size < length + 1) {
        *size = length + 1;
        SetLastError(ERROR_BUFFER_OVERFLOW);
        return FALSE;
    }
    for (DWORD i = 0; i < length; ++i) buffer[i] = static_cast<unsigned char>(name[i]);
    buffer[length] = 0;
    *size = length;
    return TRUE;
}
