// Feeds a response head to the parser in pieces, as the HTTP client receives
// it into its 8193-byte head buffer, and checks that the pieces change
// nothing of what it reads. The first input byte picks the piece size.
#include <ace/Message_Block.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "wirekit/http_message.h"
#include "wirekit/http_parser.h"
#include "wirekit/http_tables.h"

namespace {

constexpr size_t kHeadSize = 8192;

void require(bool condition) {
    if (!condition) __builtin_trap();
}

bool same_text(const char* a, const char* b) {
    if (!a || !b) return a == b;
    return std::strcmp(a, b) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    size_t piece = static_cast<size_t>(data[0]) + 1;
    const char* text = reinterpret_cast<const char*>(data + 1);
    size = std::min(size - 1, kHeadSize);

    ACE_Message_Block all(kHeadSize + 1);
    all.copy(text, size);
    HTTP_Response whole;
    HTTP_Response_Parser one;
    HTTP_Parser_State expected = one.parse(all, whole);

    ACE_Message_Block block(kHeadSize + 1);
    HTTP_Response split;
    HTTP_Response_Parser parser;
    HTTP_Parser_State state = parser.state();
    for (size_t at = 0; at < size && state >= 0 && state != HTTP_PARSER_DONE;) {
        size_t n = std::min(piece, size - at);
        require(block.copy(text + at, n) == 0);
        at += n;
        HTTP_Parser_State before = state;
        state = parser.parse(block, split);
        require(state < 0 || state >= before);
        require(block.rd_ptr() >= block.base() && block.rd_ptr() <= block.wr_ptr());
        // Only whole lines are taken: what is left holds no line break,
        // unless the parse has ended.
        if (state >= 0 && state != HTTP_PARSER_DONE)
            require(!std::memchr(block.rd_ptr(), '\n', block.length()));
    }
    require(state == expected);
    require(block.rd_ptr() - block.base() == all.rd_ptr() - all.base() ||
            state != HTTP_PARSER_DONE);
    if (state != HTTP_PARSER_DONE) return 0;

    require(split.status() == whole.status() && split.status() >= 100 && split.status() <= 599);
    require(split.major_version() == whole.major_version());
    require(split.minor_version() == whole.minor_version());
    for (int i = 0; i < HTTP_HEAD_COUNT; ++i)
        require(same_text(split.headers().get(i), whole.headers().get(i)));
    require(split.headers().extra_count() == whole.headers().extra_count());
    require(split.headers().extra_count() <= static_cast<size_t>(HTTP_Parser::kMaxHeaders));
    require(split.keep_alive() == whole.keep_alive());
    require(split.chunked_transfer_encoding() == whole.chunked_transfer_encoding());
    require(split.content_length() == whole.content_length());
    return 0;
}
