#include "job/storage/received_name.h"

#include <cwchar>
#include <cwctype>

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool decode_utf8(const unsigned char* text, size_t length, std::wstring& out) {
    for (size_t i = 0; i < length;) {
        unsigned char lead = text[i];
        size_t extra;
        char32_t code, least;
        if (lead < 0x80) {
            extra = 0, code = lead, least = 0;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1, code = lead & 0x1F, least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, code = lead & 0x0F, least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, code = lead & 0x07, least = 0x10000;
        } else {
            return false;
        }
        if (length - i <= extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            if ((text[i + k] & 0xC0) != 0x80) return false;
            code = (code << 6) | (text[i + k] & 0x3F);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        out += static_cast<wchar_t>(code);
        i += extra + 1;
    }
    return true;
}

bool is_device(const std::wstring& part) {
    std::wstring base = part.substr(0, part.find(L'.'));
    while (!base.empty() && base.back() == L' ') base.pop_back();
    for (auto& c : base) c = static_cast<wchar_t>(std::towupper(c));
    static const wchar_t* const kNames[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t* name : kNames)
        if (base == name) return true;
    if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0)) {
        wchar_t digit = base[3];
        return (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
               digit == L'\u00B3';
    }
    return false;
}

bool part_allowed(const std::wstring& part) {
    if (part.empty() || part.back() == L'.' || part.back() == L' ') return false;  // ".", ".." too
    for (wchar_t c : part)
        if (c < 0x20 || c == 0x7F || std::wcschr(L"<>:\"|?*", c)) return false;
    return !is_device(part);
}

}  // namespace

bool received_path(const std::wstring& folder, const char* name, size_t length, std::wstring& out) {
    if (folder.empty() || !name || length == 0) return false;
    std::wstring wide;
    if (!decode_utf8(reinterpret_cast<const unsigned char*>(name), length, wide)) return false;
    std::wstring path = folder;
    while (path.size() > 1 && path.back() == L'\\') path.pop_back();
    size_t start = 0;
    for (;;) {
        size_t end = wide.find_first_of(L"\\/", start);
        std::wstring part = wide.substr(start, end == std::wstring::npos ? end : end - start);
        if (!part_allowed(part)) return false;
        path += L'\\';
        path += part;
        if (end == std::wstring::npos) break;
        start = end + 1;
    }
    out.swap(path);
    return true;
}
