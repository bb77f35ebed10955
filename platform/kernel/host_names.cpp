#include "platform/kernel/host_names.h"

namespace tovel::platform {
namespace {

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Length of the well-formed UTF-8 sequence at p (at most n bytes), 0 if none.
size_t utf8_sequence(const unsigned char* p, size_t n, char32_t& c) {
    unsigned char b = p[0];
    size_t len;
    char32_t min;
    if (b < 0x80) {
        c = b;
        return 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
        len = 2, c = b & 0x1F, min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3, c = b & 0x0F, min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4, c = b & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (n < len) return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        c = (c << 6) | (p[i] & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    return len;
}

}  // namespace

std::string host_name_from_wide(const wchar_t* text, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        char32_t c = static_cast<char32_t>(text[i]);
        if (c >= 0xDC80 && c <= 0xDCFF) {
            out += static_cast<char>(c - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length &&
                   static_cast<char32_t>(text[i + 1]) >= 0xDC00 &&
                   static_cast<char32_t>(text[i + 1]) <= 0xDFFF) {
            append_utf8(out, 0x10000 + ((c - 0xD800) << 10) +
                                 (static_cast<char32_t>(text[i + 1]) - 0xDC00));
            ++i;
        } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            append_utf8(out, 0xFFFD);
        } else {
            append_utf8(out, c);
        }
    }
    return out;
}

std::wstring wide_from_host_name(const char* text, size_t length) {
    std::wstring out;
    out.reserve(length);
    auto p = reinterpret_cast<const unsigned char*>(text);
    for (size_t i = 0; i < length;) {
        char32_t c;
        size_t len = utf8_sequence(p + i, length - i, c);
        if (len == 0) {
            out += static_cast<wchar_t>(0xDC00 + p[i]);
            ++i;
        } else {
            out += static_cast<wchar_t>(c);
            i += len;
        }
    }
    return out;
}

}  // namespace tovel::platform
