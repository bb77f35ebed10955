// The incremental response head parser.
#include <gtest/gtest.h>

#include <string>

#include "wirekit/http_parser.h"

namespace {

const std::string kHead =
    "HTTP/1.1 301 Moved Permanently\r\n"
    "Location: http://other:81/x\r\n"
    "Set-Cookie: sid=7; Path=/\r\n"
    "X-Extra: \t spaced value \t\r\n"
    "Content-Length: 4\r\n"
    "\r\n";

// A block holding text.
struct Block {
    explicit Block(const std::string& text, size_t size = 0)
        : block(size ? size : text.size() + 1) {
        block.copy(text.data(), text.size());
    }
    ACE_Message_Block block;
};

void expect_moved(const HTTP_Response& response) {
    EXPECT_EQ(response.status(), 301);
    EXPECT_EQ(response.major_version(), 1);
    EXPECT_EQ(response.minor_version(), 1);
    EXPECT_STREQ(response.headers().get(HTTP_HEAD_LOCATION), "http://other:81/x");
    EXPECT_STREQ(response.set_cookie(), "sid=7; Path=/");
    EXPECT_STREQ(response.headers().get("x-extra"), "spaced value");
    EXPECT_EQ(response.content_length(), 4u);
}

HTTP_Parser_State parse_all(const std::string& text, HTTP_Response& response) {
    Block in(text);
    HTTP_Response_Parser parser;
    return parser.parse(in.block, response);
}

}  // namespace

TEST(WirekitParser, WholeHeadLeavesTheBodyUnread) {
    Block in(kHead + "BODY");
    HTTP_Response response;
    HTTP_Response_Parser parser;
    EXPECT_EQ(parser.parse(in.block, response), HTTP_PARSER_DONE);
    expect_moved(response);
    EXPECT_EQ(std::string(in.block.rd_ptr(), in.block.length()), "BODY");
    EXPECT_EQ(parser.parse(in.block, response), HTTP_PARSER_DONE);
    EXPECT_EQ(in.block.length(), 4u);
}

TEST(WirekitParser, HeadFedOneByteAtATime) {
    ACE_Message_Block block(64);
    HTTP_Response response;
    HTTP_Response_Parser parser;
    for (size_t i = 0; i < kHead.size(); ++i) {
        block.copy(&kHead[i], 1);
        HTTP_Parser_State state = parser.parse(block, response);
        if (i + 1 < kHead.size()) {
            ASSERT_GE(state, HTTP_PARSER_FIRST_LINE) << i;
            ASSERT_LT(state, HTTP_PARSER_DONE) << i;
        } else {
            EXPECT_EQ(state, HTTP_PARSER_DONE);
        }
        block.crunch();
    }
    expect_moved(response);
    EXPECT_EQ(block.length(), 0u);
}

TEST(WirekitParser, OnlyWholeLinesAreTaken) {
    Block in("HTTP/1.1 200 OK\r\nContent-Le", 64);
    HTTP_Response response;
    HTTP_Response_Parser parser;
    EXPECT_EQ(parser.parse(in.block, response), HTTP_PARSER_HEADERS);
    EXPECT_EQ(std::string(in.block.rd_ptr(), in.block.length()), "Content-Le");
    in.block.crunch();
    in.block.copy("ngth: 9\r\n\r\n", 11);
    EXPECT_EQ(parser.parse(in.block, response), HTTP_PARSER_DONE);
    EXPECT_EQ(response.content_length(), 9u);
}

TEST(WirekitParser, FirstLineVariants) {
    HTTP_Response response;
    EXPECT_EQ(parse_all("HTTP/1.0 204\n\n", response), HTTP_PARSER_DONE);
    EXPECT_EQ(response.status(), 204);
    EXPECT_EQ(response.minor_version(), 0);
    EXPECT_EQ(parse_all("HTTP/2.0 599 \r\n\r\n", response), HTTP_PARSER_DONE);
    EXPECT_EQ(response.major_version(), 2);
    EXPECT_EQ(response.status(), 599);
    EXPECT_EQ(parse_all("HTTP/1.1 100 Continue\r\nAccept:\r\n\r\n", response), HTTP_PARSER_DONE);
    EXPECT_STREQ(response.headers().get(HTTP_HEAD_ACCEPT), "");
}

TEST(WirekitParser, MalformedHeads) {
    const char* heads[] = {
        "HTTP/1.1 20 OK\r\n\r\n",
        "HTTP/1.1 2000 OK\r\n\r\n",
        "HTTP/1.1 099 Low\r\n\r\n",
        "HTTP/1.1 600 High\r\n\r\n",
        "HTTX/1.1 200 OK\r\n\r\n",
        "HTTP/1 200 OK\r\n\r\n",
        "HTTP/1.1200 OK\r\n\r\n",
        "HTTP/.1 200 OK\r\n\r\n",
        "\r\nHTTP/1.1 200 OK\r\n\r\n",
        "HTTP/1.1 200 OK\r\nNo colon\r\n\r\n",
        "HTTP/1.1 200 OK\r\nA: 1\r\n folded\r\n\r\n",
        "HTTP/1.1 200 OK\r\nBad Name: x\r\n\r\n",
        "HTTP/1.1 200 OK\r\n: nameless\r\n\r\n",
        // A control character other than HTAB in a header's text, a bare CR
        // among them, could split the header where it is written again.
        "HTTP/1.1 200 OK\r\nSet-Cookie: sid=1\rX-Injected: 1\r\n\r\n",
        "HTTP/1.1 200 OK\r\nSet-Cookie: sid=1\x01\r\n\r\n",
        "HTTP/1.1 200 OK\r\nSet-Cookie: sid=1\x7f\r\n\r\n",
        "HTTP/1.1 200 O\rK\r\n\r\n",
    };
    for (const char* head : heads) {
        HTTP_Response response;
        EXPECT_EQ(parse_all(head, response), HTTP_PARSER_ERROR) << head;
    }
    std::string with_nul("HTTP/1.1 200 OK\r\nA: x\0y\r\n\r\n", 28);
    HTTP_Response response;
    EXPECT_EQ(parse_all(with_nul, response), HTTP_PARSER_ERROR);
    HTTP_Response tabbed;
    EXPECT_EQ(parse_all("HTTP/1.1 200 OK\r\nA: x\ty\r\n\r\n", tabbed), HTTP_PARSER_DONE);
    EXPECT_STREQ(tabbed.headers().get("A"), "x\ty");
}

TEST(WirekitParser, ErrorStaysAndResetStartsOver) {
    Block in("HTTP/1.1 abc\r\nHTTP/1.1 200 OK\r\n\r\n");
    HTTP_Response response;
    HTTP_Response_Parser parser;
    EXPECT_EQ(parser.parse(in.block, response), HTTP_PARSER_ERROR);
    size_t left = in.block.length();
    EXPECT_EQ(parser.parse(in.block, response), HTTP_PARSER_ERROR);
    EXPECT_EQ(in.block.length(), left);
    parser.reset();
    EXPECT_EQ(parser.state(), HTTP_PARSER_FIRST_LINE);
    EXPECT_EQ(parser.parse(in.block, response), HTTP_PARSER_DONE);
    EXPECT_EQ(response.status(), 200);
}

// A head with count header lines.
std::string head_with_headers(int count) {
    std::string head = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < count; ++i) head += "X-Same: " + std::to_string(i) + "\r\n";
    return head + "\r\n";
}

TEST(WirekitParser, HundredHeaderLinesAndNoMore) {
    HTTP_Response response;
    EXPECT_EQ(parse_all(head_with_headers(100), response), HTTP_PARSER_DONE);
    EXPECT_STREQ(response.headers().get("X-Same"), "99");
    // Lines of one name count each: they are read one by one all the same.
    EXPECT_EQ(parse_all(head_with_headers(101), response), HTTP_PARSER_ERROR);
}

TEST(WirekitParser, HeaderCountStartsOverWithEachHead) {
    std::string head = head_with_headers(100);
    Block in(head + head);
    HTTP_Response response;
    HTTP_Response_Parser parser;
    EXPECT_EQ(parser.parse(in.block, response), HTTP_PARSER_DONE);
    parser.reset();
    EXPECT_EQ(parser.parse(in.block, response), HTTP_PARSER_DONE);
    EXPECT_EQ(in.block.length(), 0u);
}
