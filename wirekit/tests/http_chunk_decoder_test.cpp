// The chunked-body decoder on bytes in memory: the bounds of a size line and
// of a body, and decoding that does not depend on how the bytes arrive.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "wirekit/http_receive_buffer.h"
#include "wirekit/message_block_ptr.h"

namespace {

using Reader = HTTP_Receive_Buffer;

// Feeds text to reader and decodes all it can (mode 2, into a block of 64
// bytes at a time): the decoded bytes.
std::string decode(Reader& reader, const std::string& text) {
    EXPECT_EQ(reader.feed(text.data(), text.size()), 0);
    std::string body;
    auto out = make_message_block(64);
    for (;;) {
        out->reset();
        int n = reader.read_chunked(*out, nullptr, 2);
        body.append(out->rd_ptr(), out->length());
        if (n <= 0 || reader.state() == Reader::CHUNK_END || reader.state() == Reader::CHUNK_ERROR)
            return body;
    }
}

struct Decoded {
    std::string body;
    int state;
};

Decoded decode(const std::string& text, uint64_t limit = UINT64_MAX) {
    Reader reader(nullptr);
    reader.max_body(limit);
    std::string body = decode(reader, text);
    return {body, reader.state()};
}

TEST(HttpClientChunkDecoder, SizesUpTo64MiBAreTakenAndLargerOnesRefused) {
    Reader reader(nullptr);
    decode(reader, "4000000\r\n");
    EXPECT_EQ(reader.state(), Reader::CHUNK_DATA);
    EXPECT_EQ(reader.size(), 64u << 20);

    EXPECT_EQ(decode("4000001\r\n").state, Reader::CHUNK_ERROR);
    EXPECT_EQ(decode("40000000\r\n").state, Reader::CHUNK_ERROR);
    // Each would wrap to 5 in 32 bits.
    EXPECT_EQ(decode("100000005\r\nhello\r\n0\r\n\r\n").state, Reader::CHUNK_ERROR);
    EXPECT_EQ(decode("FFFFFFFF00000005\r\nhello\r\n0\r\n\r\n").state, Reader::CHUNK_ERROR);
    // Leading zeros add nothing.
    Decoded zeros = decode("0000000000000005\r\nhello\r\n0\r\n\r\n");
    EXPECT_EQ(zeros.state, Reader::CHUNK_END);
    EXPECT_EQ(zeros.body, "hello");
}

TEST(HttpClientChunkDecoder, SizeLineWithoutDigitsIsNoLastChunk) {
    EXPECT_EQ(decode("\r\n\r\n").state, Reader::CHUNK_ERROR);
    EXPECT_EQ(decode(";ext\r\n\r\n").state, Reader::CHUNK_ERROR);
    EXPECT_EQ(decode("3\r\nabc\r\n\r\n\r\n").state, Reader::CHUNK_ERROR);
}

TEST(HttpClientChunkDecoder, SizeLineOfUpTo1024BytesIsTaken) {
    auto line = [](size_t total) {  // "5;" + extension + CRLF, total bytes
        return "5;" + std::string(total - 4, 'e') + "\r\n";
    };
    Decoded fits = decode(line(1024) + "hello\r\n0\r\n\r\n");
    EXPECT_EQ(fits.state, Reader::CHUNK_END);
    EXPECT_EQ(fits.body, "hello");
    EXPECT_EQ(decode(line(1025) + "hello\r\n0\r\n\r\n").state, Reader::CHUNK_ERROR);
    // An extension that never ends stops there too.
    EXPECT_EQ(decode("5;" + std::string(100000, 'e')).state, Reader::CHUNK_ERROR);
}

TEST(HttpClientChunkDecoder, BodyLimitIsCheckedBeforeTheChunksData) {
    const std::string ten = "6\r\nabcdef\r\n4\r\nghij\r\n";
    Decoded fits = decode(ten + "0\r\n\r\n", 10);
    EXPECT_EQ(fits.state, Reader::CHUNK_END);
    EXPECT_EQ(fits.body, "abcdefghij");

    Decoded over = decode(ten + "1\r\nk\r\n0\r\n\r\n", 10);
    EXPECT_EQ(over.state, Reader::CHUNK_ERROR);
    EXPECT_EQ(over.body, "abcdefghij");

    Decoded first = decode("b\r\nabcdefghijk\r\n0\r\n\r\n", 10);
    EXPECT_EQ(first.state, Reader::CHUNK_ERROR);
    EXPECT_EQ(first.body, "");
}

TEST(HttpClientChunkDecoder, LimitHoldsAcrossResetAndTotalStartsOver) {
    Reader reader(nullptr);
    reader.max_body(5);
    EXPECT_EQ(decode(reader, "5\r\nhello\r\n0\r\n\r\n"), "hello");
    EXPECT_EQ(reader.total(), 5u);
    ASSERT_EQ(reader.reset(nullptr), 0);
    EXPECT_EQ(reader.total(), 0u);
    EXPECT_EQ(decode(reader, "5\r\nworld\r\n0\r\n\r\n"), "world");
    EXPECT_EQ(reader.state(), Reader::CHUNK_END);
    ASSERT_EQ(reader.reset(nullptr), 0);
    decode(reader, "6\r\n");
    EXPECT_EQ(reader.state(), Reader::CHUNK_ERROR);
}

TEST(HttpClientChunkDecoder, BytesFedOneByOneDecodeAsAWhole) {
    const std::string text = "5\r\nhello\r\n1A;x=y\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n";
    for (int mode = 0; mode <= 2; ++mode) {
        Reader reader(nullptr);
        std::string body;
        auto out = make_message_block(7);
        for (char c : text) {
            ASSERT_NE(reader.state(), Reader::CHUNK_END) << mode;
            ASSERT_EQ(reader.feed(&c, 1), 0);
            out->reset();
            ASSERT_GE(reader.read_chunked(*out, nullptr, mode), 0) << mode;
            body.append(out->rd_ptr(), out->length());
            ASSERT_NE(reader.state(), Reader::CHUNK_ERROR) << mode;
        }
        EXPECT_EQ(reader.state(), Reader::CHUNK_END) << mode;
        EXPECT_EQ(body, "helloabcdefghijklmnopqrstuvwxyz") << mode;
    }
}

}  // namespace
