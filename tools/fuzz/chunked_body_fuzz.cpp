// Decodes a chunked body fed in pieces, in one of the read modes and into
// blocks of a chosen size, and checks it against one decode of the whole.
// Input: mode, out block size, piece size, body limit (in 4 KiB), then the
// body.
#include <ace/Message_Block.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "wirekit/http_receive_buffer.h"
#include "wirekit/message_block_ptr.h"

namespace {

using Reader = HTTP_Receive_Buffer;

constexpr size_t kMaxInput = 1 << 16;

void require(bool condition) {
    if (!condition) __builtin_trap();
}

bool ended(const Reader& reader) {
    return reader.state() == Reader::CHUNK_END || reader.state() == Reader::CHUNK_ERROR;
}

// Reads until the reader needs more bytes or the body has ended.
void drain(Reader& reader, ACE_Message_Block& out, int mode, std::string& body) {
    while (!ended(reader)) {
        out.reset();
        int n = reader.read_chunked(out, nullptr, mode);
        require(n >= 0 || reader.state() == Reader::CHUNK_ERROR);
        require(n < 0 || static_cast<size_t>(n) == out.length());
        body.append(out.rd_ptr(), out.length());
        if (n <= 0) {
            // Nothing delivered: every buffered byte has been taken.
            require(ended(reader) || reader.block()->length() == 0);
            return;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    int mode = data[0] % 3;
    size_t out_size = static_cast<size_t>(data[1]) + 1;
    size_t piece = static_cast<size_t>(data[2]) + 1;
    uint64_t limit = static_cast<uint64_t>(data[3]) << 12;
    const char* text = reinterpret_cast<const char*>(data + 4);
    size = std::min(size - 4, kMaxInput);

    Reader whole(nullptr);
    whole.max_body(limit);
    require(whole.feed(text, size) == 0);
    std::string expected;
    auto big = make_message_block(kMaxInput);
    require(big != nullptr);
    drain(whole, *big, 2, expected);

    Reader reader(nullptr);
    reader.max_body(limit);
    std::string body;
    auto out = make_message_block(out_size);
    require(out != nullptr);
    for (size_t at = 0; at < size && !ended(reader); at += piece) {
        size_t n = std::min(piece, size - at);
        require(reader.feed(text + at, n) == 0);
        drain(reader, *out, mode, body);
    }

    require(reader.state() == whole.state());
    require(body == expected);
    require(reader.total() == whole.total());
    require(reader.total() <= limit);
    require(body.size() <= reader.total());
    if (reader.state() == Reader::CHUNK_END) require(body.size() == reader.total());
    return 0;
}
