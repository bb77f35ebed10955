#include "common/utf16le.h"

#include <cstdint>

size_t utf16_length(std::wstring_view text) {
    size_t units = 0;
    for (wchar_t c : text)
        units += static_cast<uint32_t>(c) > 0xFFFF && static_cast<uint32_t>(c) <= 0x10FFFF ? 2 : 1;
    return units;
}

void append_utf16le(std::wstring_view text, std::string& out) {
    size_t at = out.size();
    out.resize(at + 2 * utf16_length(text));
    auto put_unit = [&out, &at](uint32_t unit) {
        out[at++] = static_cast<char>(unit & 0xFF);
        out[at++] = static_cast<char>((unit >> 8) & 0xFF);
    };
    for (wchar_t wc : text) {
        uint32_t c = static_cast<uint32_t>(wc);
        if (c > 0x10FFFF) c = 0xFFFD;
        if (c > 0xFFFF) {
            c -= 0x10000;
            put_unit(0xD800 + (c >> 10));
            put_unit(0xDC00 + (c & 0x3FF));
        } else {
            put_unit(c);
        }
    }
}

std::string to_utf16le(const std::wstring& text) {
    std::string out;
    append_utf16le(text, out);
    return out;
}

std::wstring from_utf16le(const void* bytes, size_t units) {
    auto p = static_cast<const unsigned char*>(bytes);
    std::wstring out;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        uint32_t unit = p[2 * i] | (static_cast<uint32_t>(p[2 * i + 1]) << 8);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
            uint32_t low = p[2 * i + 2] | (static_cast<uint32_t>(p[2 * i + 3]) << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                out += static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        out += static_cast<wchar_t>(unit);
    }
    return out;
}
