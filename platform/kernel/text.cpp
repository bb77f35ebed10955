#include "platform/win/text.h"

#include <cwchar>
#include <string>

#include "platform/win/errors.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool utf8_code_page(UINT codePage) { return codePage == CP_UTF8 || codePage == CP_ACP; }

// Decodes the sequence at p (n bytes left). Returns the bytes consumed; c is
// the code point, or kReplacement with ok false for the maximal ill-formed
// subpart (Unicode's recommended practice, as Windows does).
size_t decode_utf8(const unsigned char* p, size_t n, char32_t& c, bool& ok) {
    unsigned char b = p[0];
    ok = true;
    if (b < 0x80) {
        c = b;
        return 1;
    }
    size_t length;
    unsigned char low = 0x80, high = 0xBF;
    if (b >= 0xC2 && b <= 0xDF)
        length = 2, c = b & 0x1F;
    else if (b >= 0xE0 && b <= 0xEF) {
        length = 3, c = b & 0x0F;
        if (b == 0xE0) low = 0xA0;
        if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4, c = b & 0x07;
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;
    } else {
        ok = false;
        c = kReplacement;
        return 1;
    }
    for (size_t i = 1; i < length; ++i) {
        if (i >= n || p[i] < low || p[i] > high) {
            ok = false;
            c = kReplacement;
            return i;
        }
        c = (c << 6) | (p[i] & 0x3F);
        low = 0x80, high = 0xBF;
    }
    return length;
}

size_t encode_utf8(char32_t c, char* out) {
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

}  // namespace

int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR multi,
                        int multiSize, LPCSTR defaultChar, LPBOOL usedDefaultChar) {
    if (!utf8_code_page(codePage) || !wide || wideLength == 0 || wideLength < -1 || multiSize < 0 ||
        (multiSize > 0 && !multi) || defaultChar || usedDefaultChar) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (flags & ~WC_ERR_INVALID_CHARS) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    size_t length = wideLength == -1 ? std::wcslen(wide) + 1 : static_cast<size_t>(wideLength);
    std::string out;
    out.reserve(length);
    char bytes[4];
    for (size_t i = 0; i < length; ++i) {
        char32_t c = static_cast<char32_t>(wide[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length) {
            char32_t next = static_cast<char32_t>(wide[i + 1]);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
                ++i;
            }
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            if (flags & WC_ERR_INVALID_CHARS) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            c = kReplacement;
        }
        out.append(bytes, encode_utf8(c, bytes));
    }
    if (out.size() > 0x7FFFFFFF) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int needed = static_cast<int>(out.size());
    if (multiSize == 0) return needed;
    if (needed > multiSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    out.copy(multi, out.size());
    return needed;
}

int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR multi, int multiLength, LPWSTR wide,
                        int wideSize) {
    if (!utf8_code_page(codePage) || !multi || multiLength == 0 || multiLength < -1 ||
        wideSize < 0 || (wideSize > 0 && !wide)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (flags & ~MB_ERR_INVALID_CHARS) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    size_t length = multiLength == -1 ? std::char_traits<char>::length(multi) + 1
                                      : static_cast<size_t>(multiLength);
    std::wstring out;
    out.reserve(length);
    auto p = reinterpret_cast<const unsigned char*>(multi);
    for (size_t i = 0; i < length;) {
        char32_t c;
        bool ok;
        i += decode_utf8(p + i, length - i, c, ok);
        if (!ok && (flags & MB_ERR_INVALID_CHARS)) {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
        out += static_cast<wchar_t>(c);
    }
    int needed = static_cast<int>(out.size());
    if (wideSize == 0) return needed;
    if (needed > wideSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    out.copy(wide, out.size());
    return needed;
}
