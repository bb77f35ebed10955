#include "common/text_conv.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "common/text_units.h"
#include "platform/win32.h"

namespace {

int count_utf8(const wchar_t* text, int length) {
    return WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
}
int count_wide(const char* text, int length) {
    return MultiByteToWideChar(CP_UTF8, 0, text, length, nullptr, 0);
}

}  // namespace

int to_utf8(const wchar_t* text, int length, std::string& out) {
    // Plain ASCII (most paths) is its own UTF-8: taken in one pass, without
    // the counting pass and the buffer.
    if (text && length >= -1 && length != 0) {
        size_t units = 0;
        bool ascii = true;
        for (; length == -1 ? text[units] != 0 : units < static_cast<size_t>(length); ++units) {
            if (static_cast<uint32_t>(text[units]) >= 0x80) {
                ascii = false;
                break;
            }
        }
        if (ascii) {
            // The count includes the terminator; the string holds one unit less.
            size_t kept = length == -1 ? units : units - 1;
            if (units <= 0x7FFFFFFE) {
                out.resize(kept);
                for (size_t i = 0; i < kept; ++i) out[i] = static_cast<char>(text[i]);
                return static_cast<int>(length == -1 ? units + 1 : units);
            }
        }
    }
    int n = count_utf8(text, length);
    if (n < 2) {
        out.clear();
        return n;
    }
    // Convert into a buffer of the full count, then keep n - 1 units: when the
    // length did not count a NUL, the last unit is a character, which must not
    // land in the string's terminator slot.
    std::vector<char> buffer(static_cast<size_t>(n));
    int result = WideCharToMultiByte(CP_UTF8, 0, text, length, buffer.data(), n, nullptr, nullptr);
    if (result <= 0) {
        out.clear();
        return result;
    }
    out.assign(buffer.data(), static_cast<size_t>(n - 1));
    return result;
}

std::string to_utf8(const wchar_t* text, int length) {
    std::string out;
    to_utf8(text, length, out);
    return out;
}

std::string to_utf8(const std::wstring& text) { return to_utf8(text.c_str(), -1); }

std::string to_utf8_keeping_units(const wchar_t* text) {
    std::string out;
    if (!text) return out;
    std::wstring run;  // valid text not converted yet
    for (const wchar_t* p = text; *p; ++p) {
        auto unit = static_cast<uint32_t>(*p);
        bool high = unit >= 0xD800 && unit <= 0xDBFF;
        bool surrogate = unit >= 0xD800 && unit <= 0xDFFF;
        auto next = static_cast<uint32_t>(p[1]);
        if (high && sizeof(wchar_t) == 2 && next >= 0xDC00 && next <= 0xDFFF) {
            run += p[0];
            run += p[1];
            ++p;
        } else if (surrogate || unit > 0x10FFFF) {
            out += to_utf8(run);
            run.clear();
            char mark[16];
            std::snprintf(mark, sizeof mark, "\xEF\xBF\xBD{%04x}", static_cast<unsigned>(unit));
            out += mark;
        } else {
            run += p[0];
        }
    }
    return out + to_utf8(run);
}

int from_utf8(const char* text, int length, std::wstring& out) {
    int n = count_wide(text, length);
    if (n < 2) {
        out.clear();
        return n;
    }
    std::vector<wchar_t> buffer(static_cast<size_t>(n));
    int result = MultiByteToWideChar(CP_UTF8, 0, text, length, buffer.data(), n);
    if (result <= 0) {
        out.clear();
        return result;
    }
    out.assign(buffer.data(), static_cast<size_t>(n - 1));
    return result;
}

std::wstring from_utf8(const char* text, int length) {
    std::wstring out;
    from_utf8(text, length, out);
    return out;
}

std::wstring from_utf8(const std::string& text) { return from_utf8(text.c_str(), -1); }

int from_utf8_buffer(const char* text, int length, wchar_t** out) {
    int n = count_wide(text, length);
    if (n < 1) {
        *out = nullptr;
        return n;
    }
    *out = new wchar_t[static_cast<size_t>(n)];
    if (n == 1) {
        (*out)[0] = 0;
        return 1;
    }
    return MultiByteToWideChar(CP_UTF8, 0, text, length, *out, n);
}

int to_utf8_buffer(const wchar_t* text, int length, char** out) {
    int n = count_utf8(text, length);
    if (n < 1) {
        *out = nullptr;
        return n;
    }
    *out = new char[static_cast<size_t>(n)];
    if (n == 1) {
        (*out)[0] = 0;
        return 1;
    }
    return WideCharToMultiByte(CP_UTF8, 0, text, length, *out, n, nullptr, nullptr);
}
