// Incremental parsers of an HTTP message head. The caller feeds the bytes it
// has received, as they come; the parser takes whole lines only and fills the
// message as it goes. One thread at a time.
#pragma once

#include <ace/Message_Block.h>

#include <cstddef>

#include "wirekit/http_message.h"

// The result of a parse step: negative for a malformed head, HTTP_PARSER_DONE
// once the empty line after the headers was read; else more bytes are needed.
enum HTTP_Parser_State {
    HTTP_PARSER_ERROR = -1,
    HTTP_PARSER_FIRST_LINE = 0,
    HTTP_PARSER_HEADERS = 1,
    HTTP_PARSER_DONE = 2,
};

class HTTP_Parser {
public:
    // The most header lines one head may hold; one more is malformed.
    static constexpr int kMaxHeaders = 100;

    HTTP_Parser() = default;
    virtual ~HTTP_Parser() = default;

    // Parses the complete lines between the block's read and write pointers
    // into message (first line, then one header per line, each put into the
    // message's headers by name; a later header of the same name replaces an
    // earlier one) and moves the read pointer past them. A line may end in
    // CRLF or LF; a control character other than HTAB in a line (NUL or a
    // bare CR among them), a folded line, a line without ':' or a header name
    // with blanks is malformed, and so is a head with more than kMaxHeaders
    // header lines (repeated names count each time). Once the result is HTTP_PARSER_DONE or an
    // error, further calls return it again and take nothing.
    HTTP_Parser_State parse(ACE_Message_Block& block, HTTP_Base& message);

    HTTP_Parser_State state() const { return static_cast<HTTP_Parser_State>(state_); }
    // Back to the first line, for the next message.
    void reset() {
        state_ = HTTP_PARSER_FIRST_LINE;
        headers_ = 0;
    }

protected:
    // Reads the first line (without its line break) into message: 0, or -1
    // when it is malformed.
    virtual int parse_first_line(const char* line, size_t length, HTTP_Base& message) = 0;

private:
    int header_line(const char* line, size_t length, HTTP_Base& message);

    int state_ = HTTP_PARSER_FIRST_LINE;
    int headers_ = 0;  // header lines taken
};

// The parser of a response head: "HTTP/<major>.<minor> <status> <reason>",
// with a three-digit status from 100 to 599 and any reason text (or none).
class HTTP_Response_Parser : public HTTP_Parser {
public:
    int parse_first_line(const char* line, size_t length, HTTP_Base& message) override;
};
