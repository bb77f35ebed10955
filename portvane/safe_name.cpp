#include "portvane/safe_name.h"

#include <cstdint>
#include <cstring>

namespace portvane {
namespace {

// Decodes one UTF-8 sequence at text[at]; the code point, or -1 for a malformed, overlong or
// surrogate sequence. at moves past it.
int32_t decode(std::string_view text, size_t& at) {
    unsigned char lead = static_cast<unsigned char>(text[at++]);
    if (lead < 0x80) return lead;
    int extra;
    int32_t point;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        point = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        point = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        point = lead & 0x07;
    } else {
        return -1;
    }
    for (int i = 0; i < extra; ++i) {
        if (at >= text.size()) return -1;
        unsigned char next = static_cast<unsigned char>(text[at++]);
        if ((next & 0xC0) != 0x80) return -1;
        point = (point << 6) | (next & 0x3F);
    }
    static const int32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (point < kLeast[extra] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        return -1;
    }
    return point;
}

}  // namespace

bool isSafeFileName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    size_t count = 0;
    for (size_t at = 0; at < name.size();) {
        int32_t point = decode(name, at);
        if (point < 0x20 || (point >= 0x7F && point < 0xA0)) return false;  // controls, bad UTF-8
        if (point < 0x80 && std::strchr("\\/:*?\"<>|", static_cast<char>(point))) return false;
        if (++count > kMaxSafeNameLength) return false;
    }
    return true;
}

}  // namespace portvane
