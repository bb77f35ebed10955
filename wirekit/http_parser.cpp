#include "wirekit/http_parser.h"

#include <cstring>
#include <string>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A header name: visible ASCII without separators that end it.
bool is_name_char(char c) { return c > ' ' && c < 127 && c != ':'; }

// Whether a line holds a control character other than HTAB (a bare CR
// included): a header text with one could split a head line where the
// message is written again, so the head is malformed.
bool has_control(const char* line, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if ((c < 0x20 && c != '\t') || c == 0x7F) return true;
    }
    return false;
}

// Reads decimal digits at p (at most 9); the number, or -1 without a digit.
int read_number(const char*& p, const char* end) {
    int value = -1;
    int digits = 0;
    while (p < end && is_digit(*p) && digits < 9) {
        value = (value < 0 ? 0 : value * 10) + (*p - '0');
        ++p;
        ++digits;
    }
    return value;
}

}  // namespace

HTTP_Parser_State HTTP_Parser::parse(ACE_Message_Block& block, HTTP_Base& message) {
    while (state_ == HTTP_PARSER_FIRST_LINE || state_ == HTTP_PARSER_HEADERS) {
        const char* begin = block.rd_ptr();
        size_t available = block.length();
        const char* newline = static_cast<const char*>(std::memchr(begin, '\n', available));
        if (!newline) break;
        size_t length = static_cast<size_t>(newline - begin);
        block.rd_ptr(length + 1);
        if (length > 0 && begin[length - 1] == '\r') --length;
        if (has_control(begin, length)) {
            state_ = HTTP_PARSER_ERROR;
        } else if (state_ == HTTP_PARSER_FIRST_LINE) {
            state_ = parse_first_line(begin, length, message) == 0 ? HTTP_PARSER_HEADERS
                                                                   : HTTP_PARSER_ERROR;
        } else if (length == 0) {
            state_ = HTTP_PARSER_DONE;
        } else if (++headers_ > kMaxHeaders || header_line(begin, length, message) != 0) {
            state_ = HTTP_PARSER_ERROR;
        }
    }
    return static_cast<HTTP_Parser_State>(state_);
}

int HTTP_Parser::header_line(const char* line, size_t length, HTTP_Base& message) {
    const char* end = line + length;
    const char* colon = line;
    while (colon < end && is_name_char(*colon)) ++colon;
    if (colon == line || colon == end || *colon != ':') return -1;
    const char* value = colon + 1;
    while (value < end && (*value == ' ' || *value == '\t')) ++value;
    const char* value_end = end;
    while (value_end > value && (value_end[-1] == ' ' || value_end[-1] == '\t')) --value_end;
    std::string name(line, colon);
    std::string text(value, value_end);
    return message.headers().put(name.c_str(), text.c_str()) < 0 ? -1 : 0;
}

int HTTP_Response_Parser::parse_first_line(const char* line, size_t length, HTTP_Base& message) {
    const char* p = line;
    const char* end = line + length;
    if (length < 5 || std::memcmp(p, "HTTP/", 5) != 0) return -1;
    p += 5;
    int major = read_number(p, end);
    if (major < 0 || p == end || *p != '.') return -1;
    ++p;
    int minor = read_number(p, end);
    if (minor < 0 || p == end || *p != ' ') return -1;
    ++p;
    if (end - p < 3 || !is_digit(p[0]) || !is_digit(p[1]) || !is_digit(p[2])) return -1;
    int status = (p[0] - '0') * 100 + (p[1] - '0') * 10 + (p[2] - '0');
    p += 3;
    if (status < 100 || status > 599 || (p < end && *p != ' ')) return -1;
    message.major_version(major);
    message.minor_version(minor);
    message.status(status);
    return 0;
}
