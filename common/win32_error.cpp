#include "common/win32_error.h"

namespace {

// Allocates the buffer, ignores inserts (no arguments are passed, so an insert
// such as "%1" must stay text) and line breaks, user default language.
constexpr DWORD kSystemFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
constexpr DWORD kModuleFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                               FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
constexpr DWORD kUserDefaultLanguage = 0x400;

HMODULE winhttp_module() {
    HMODULE module = GetModuleHandleW(L"winhttp");
    if (!module) module = LoadLibraryExW(L"winhttp", nullptr, DONT_RESOLVE_DLL_REFERENCES);
    return module;
}

template <class Char, class Format>
Char* message_of(DWORD code, Format format) {
    Char* text = nullptr;
    if (format(kSystemFlags, nullptr, code, kUserDefaultLanguage, reinterpret_cast<Char*>(&text), 0,
               nullptr) &&
        text)
        return text;
    if (HMODULE module = winhttp_module()) {
        text = nullptr;
        if (format(kModuleFlags, module, code, kUserDefaultLanguage, reinterpret_cast<Char*>(&text),
                   0, nullptr) &&
            text)
            return text;
    }
    return static_cast<Char*>(LocalAlloc(LMEM_ZEROINIT, sizeof(Char)));
}

}  // namespace

win32_error_text::win32_error_text(DWORD code) : text_(message_of<char>(code, FormatMessageA)) {
    static char empty[1] = {0};
    owned_ = text_ != nullptr;
    if (!owned_) text_ = empty;  // no memory even for an empty text
}

win32_error_text::~win32_error_text() {
    if (owned_) LocalFree(text_);
}

win32_error_wtext::win32_error_wtext(DWORD code)
    : text_(message_of<wchar_t>(code, FormatMessageW)) {
    static wchar_t empty[1] = {0};
    owned_ = text_ != nullptr;
    if (!owned_) text_ = empty;
}

win32_error_wtext::~win32_error_wtext() {
    if (owned_) LocalFree(text_);
}

std::ostream& print_win32_error(std::ostream& os, DWORD code) {
    win32_error_text text(code);
    return os << "err=" << code << ", " << text.text();
}
