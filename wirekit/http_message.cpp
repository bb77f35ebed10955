#include "wirekit/http_message.h"

#include <cstring>

#include "wirekit/http_tables.h"

namespace {

// Percent-decodes [begin, end); a '%' without two hexadecimal digits stays.
std::string percent_decode(const char* begin, const char* end, bool plus_is_space) {
    std::string out;
    out.reserve(static_cast<size_t>(end - begin));
    for (const char* p = begin; p < end; ++p) {
        if (*p == '%' && end - p >= 3 && hex_digit(p[1]) >= 0 && hex_digit(p[2]) >= 0) {
            out += static_cast<char>(hex_digit(p[1]) * 16 + hex_digit(p[2]));
            p += 2;
        } else if (*p == '+' && plus_is_space) {
            out += ' ';
        } else {
            out += *p;
        }
    }
    return out;
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether a comma-separated header value holds token (without regard to case).
bool has_token(const char* value, const char* token) {
    if (!value) return false;
    size_t length = std::strlen(token);
    const char* p = value;
    while (*p) {
        while (*p == ' ' || *p == '\t' || *p == ',') ++p;
        const char* start = p;
        while (*p && *p != ',' && *p != ';') ++p;
        const char* end = p;
        while (end > start && (end[-1] == ' ' || end[-1] == '\t')) --end;
        if (static_cast<size_t>(end - start) == length) {
            size_t i = 0;
            while (i < length && ascii_lower(start[i]) == ascii_lower(token[i])) ++i;
            if (i == length) return true;
        }
        while (*p && *p != ',') ++p;
    }
    return false;
}

}  // namespace

void HTTP_Query_String::reset_i(const char* text) {
    if (!text) return;
    const char* p = text;
    while (*p) {
        const char* end = std::strchr(p, '&');
        if (!end) end = p + std::strlen(p);
        if (end > p) {
            const char* equal = static_cast<const char*>(std::memchr(p, '=', end - p));
            const char* name_end = equal ? equal : end;
            pairs_.emplace_back(percent_decode(p, name_end, true),
                                equal ? percent_decode(equal + 1, end, true) : std::string());
        }
        p = *end ? end + 1 : end;
    }
}

bool HTTP_Base::keep_alive() const {
    const char* connection = headers_.get(HTTP_HEAD_CONNECTION);
    if (has_token(connection, "close")) return false;
    if (has_token(connection, "keep-alive")) return true;
    return major_ > 1 || (major_ == 1 && minor_ >= 1);
}

bool HTTP_Base::chunked_transfer_encoding() const {
    return has_token(headers_.get(HTTP_HEAD_TRANSFER_ENCODING), "chunked");
}

uint64_t HTTP_Base::content_length() const {
    const char* text = headers_.get(HTTP_HEAD_CONTENT_LENGTH);
    if (!text || !*text) return 0;
    uint64_t length = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return 0;
        uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (length > (UINT64_MAX - digit) / 10) return 0;
        length = length * 10 + digit;
    }
    return length;
}

void HTTP_Base::content_length(uint64_t length) {
    char text[24];
    char* p = text + sizeof text;
    *--p = '\0';
    do {
        *--p = static_cast<char>('0' + length % 10);
        length /= 10;
    } while (length);
    headers_.put(HTTP_HEAD_CONTENT_LENGTH, p);
}

void HTTP_Request::uri(const char* text) {
    uri_ = http_copy_text(text);  // text may be the old URI itself: copy first
    decoded_uri_.clear();
    query_.destroy();
    const char* uri = uri_.get();
    if (!uri) return;
    const char* question = std::strchr(uri, '?');
    const char* path_end = question ? question : uri + std::strlen(uri);
    decoded_uri_ = percent_decode(uri, path_end, false);
    if (question) query_.reset_i(question + 1);
}
