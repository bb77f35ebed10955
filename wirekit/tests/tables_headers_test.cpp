// wirekit's name tables, header table, messages and URL helpers.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "wirekit/http_headers.h"
#include "wirekit/http_message.h"
#include "wirekit/http_tables.h"
#include "wirekit/http_url.h"

// --- Name tables ------------------------------------------------------------

TEST(WirekitTables, IndicesThatTheClientRelliesOn) {
    EXPECT_STREQ(http_method_string(4), "POST");
    EXPECT_STREQ(http_method_string(5), "PUT");
    // The status requests of the web interface go out with index 1 and read a body.
    EXPECT_STREQ(http_method_string(1), "GET");
    EXPECT_STREQ(http_head_string(14), "Cookie");
    EXPECT_STREQ(http_head_string(19), "Host");
    EXPECT_STREQ(http_head_string(23), "Location");
    EXPECT_STREQ(http_head_string(43), "Set-Cookie");
    EXPECT_STREQ(http_head_string(45), "X-Client-Kind");
    for (const char* name :
         {"Content-Length", "Content-Type", "Transfer-Encoding", "Connection", "Accept-Encoding"}) {
        int index = http_head_type(name);
        ASSERT_GE(index, 0) << name;
        EXPECT_LT(index, HTTP_HEAD_COUNT) << name;
        EXPECT_STREQ(http_head_string(index), name);
    }
    EXPECT_EQ(http_head_type("content-LENGTH"), HTTP_HEAD_CONTENT_LENGTH);
}

TEST(WirekitTables, OutsideTheTables) {
    EXPECT_EQ(http_method_string(-1), nullptr);
    EXPECT_EQ(http_method_string(HTTP_METHOD_COUNT), nullptr);
    EXPECT_EQ(http_head_string(-1), nullptr);
    EXPECT_EQ(http_head_string(47), nullptr);
    EXPECT_EQ(http_head_type("X-Not-Numbered"), -1);
    EXPECT_EQ(http_head_type("Host2"), -1);
    EXPECT_EQ(http_head_type("Hos"), -1);
    EXPECT_EQ(http_head_type(""), -1);
    EXPECT_EQ(http_head_type(nullptr), -1);
}

TEST(WirekitTables, EveryHeaderNameIsUniqueAndFindsItsSlot) {
    std::set<std::string> lower;
    for (int i = 0; i < HTTP_HEAD_COUNT; ++i) {
        const char* name = http_head_string(i);
        ASSERT_NE(name, nullptr) << i;
        EXPECT_EQ(http_head_type(name), i) << name;
        std::string folded(name);
        for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_TRUE(lower.insert(folded).second) << name;
    }
}

// --- Header table -----------------------------------------------------------

TEST(WirekitHeaders, SlotsOutsideZeroTo46AreRefused) {
    HTTP_Headers headers;
    EXPECT_EQ(headers.put(47, "x"), -1);
    EXPECT_EQ(headers.put(-1, "x"), -1);
    EXPECT_EQ(headers.get(47), nullptr);
    EXPECT_EQ(headers.get(-1), nullptr);
    EXPECT_EQ(headers.put(46, "last"), 0);
    EXPECT_STREQ(headers.get(46), "last");
    EXPECT_EQ(headers.put(0, "first"), 0);
    EXPECT_STREQ(headers.get(0), "first");
    EXPECT_EQ(headers.extra_count(), 0u);
}

TEST(WirekitHeaders, SlotsHoldTheirOwnCopies) {
    HTTP_Headers headers;
    char text[] = "sid=1";
    EXPECT_EQ(headers.put(HTTP_HEAD_COOKIE, text), 0);
    text[4] = '9';
    EXPECT_STREQ(headers.get(HTTP_HEAD_COOKIE), "sid=1");
    EXPECT_EQ(headers.put(HTTP_HEAD_COOKIE, headers.get(HTTP_HEAD_COOKIE)), 0);
    EXPECT_STREQ(headers.get(HTTP_HEAD_COOKIE), "sid=1");
    EXPECT_EQ(headers.put(HTTP_HEAD_COOKIE, nullptr), 0);
    EXPECT_EQ(headers.get(HTTP_HEAD_COOKIE), nullptr);
}

TEST(WirekitHeaders, NamesOfTheNumberingGoToTheirSlots) {
    HTTP_Headers headers;
    EXPECT_EQ(headers.put("host", "h"), 0);
    EXPECT_STREQ(headers.get(HTTP_HEAD_HOST), "h");
    EXPECT_STREQ(headers.get("HOST"), "h");
    EXPECT_EQ(headers.put("Host", "again"), 0);
    EXPECT_STREQ(headers.get(HTTP_HEAD_HOST), "again");
    EXPECT_EQ(headers.extra_count(), 0u);
    EXPECT_EQ(headers.get("Location"), nullptr);
}

TEST(WirekitHeaders, OtherNamesAreExtraHeaders) {
    HTTP_Headers headers;
    EXPECT_EQ(headers.put("X-Custom", "1"), 0);
    EXPECT_STREQ(headers.get("x-custom"), "1");
    EXPECT_EQ(headers.put("X-CUSTOM", "2"), 1);
    EXPECT_STREQ(headers.get("X-Custom"), "2");
    EXPECT_EQ(headers.extra_count(), 1u);
    for (int i = 0; i < HTTP_HEAD_COUNT; ++i) EXPECT_EQ(headers.get(i), nullptr) << i;
    EXPECT_EQ(headers.put("X-Custom", nullptr), 1);
    EXPECT_EQ(headers.get("X-Custom"), nullptr);
    EXPECT_EQ(headers.put("X-Custom", nullptr), 0);
    EXPECT_EQ(headers.put(nullptr, "v"), -1);
    EXPECT_EQ(headers.get(nullptr), nullptr);
}

TEST(WirekitHeaders, ResetEmptiesSlotsAndExtras) {
    HTTP_Headers headers;
    headers.put(HTTP_HEAD_SET_COOKIE, "a");
    headers.put("X-One", "1");
    headers.reset();
    EXPECT_EQ(headers.get(HTTP_HEAD_SET_COOKIE), nullptr);
    EXPECT_EQ(headers.get("X-One"), nullptr);
    EXPECT_EQ(headers.extra_count(), 0u);
    EXPECT_EQ(headers.put("X-One", "again"), 0);
    EXPECT_STREQ(headers.get("X-One"), "again");
}

// --- Messages ---------------------------------------------------------------

TEST(WirekitMessages, NewAndResetMessages) {
    HTTP_Request request(-1, nullptr, 1, 1);
    EXPECT_EQ(request.method(), -1);
    EXPECT_EQ(request.uri(), nullptr);
    EXPECT_EQ(request.status(), 200);
    EXPECT_EQ(request.major_version(), 1);
    EXPECT_EQ(request.minor_version(), 1);
    EXPECT_EQ(request.content_length(), 0u);
    EXPECT_FALSE(request.chunked_transfer_encoding());

    request.method(HTTP_METHOD_POST);
    request.uri("/x");
    request.minor_version(0);
    request.status(500);
    request.cookie("c");
    request.reset();
    EXPECT_EQ(request.method(), -1);
    EXPECT_EQ(request.uri(), nullptr);
    EXPECT_STREQ(request.decoded_uri(), "");
    EXPECT_EQ(request.minor_version(), 1);
    EXPECT_EQ(request.status(), 200);
    EXPECT_STREQ(request.cookie(), "c");  // reset leaves the headers

    HTTP_Response response;
    response.set_cookie("s=1");
    EXPECT_STREQ(response.headers().get(HTTP_HEAD_SET_COOKIE), "s=1");
    EXPECT_STREQ(response.set_cookie(), "s=1");
}

TEST(WirekitMessages, KeepAliveFollowsConnectionAndVersion) {
    HTTP_Response response;
    EXPECT_TRUE(response.keep_alive());
    response.headers().put(HTTP_HEAD_CONNECTION, "Upgrade, Close");
    EXPECT_FALSE(response.keep_alive());
    response.headers().put(HTTP_HEAD_CONNECTION, "closed");
    EXPECT_TRUE(response.keep_alive());
    response.minor_version(0);
    EXPECT_FALSE(response.keep_alive());
    response.headers().put(HTTP_HEAD_CONNECTION, "Keep-Alive");
    EXPECT_TRUE(response.keep_alive());
    response.keep_alive(false);
    EXPECT_STREQ(response.headers().get(HTTP_HEAD_CONNECTION), "close");
    EXPECT_FALSE(response.keep_alive());
    response.keep_alive(true);
    EXPECT_TRUE(response.keep_alive());
}

TEST(WirekitMessages, ChunkedAmongTheTransferCodings) {
    HTTP_Response response;
    response.headers().put(HTTP_HEAD_TRANSFER_ENCODING, "gzip, CHUNKED");
    EXPECT_TRUE(response.chunked_transfer_encoding());
    response.headers().put(HTTP_HEAD_TRANSFER_ENCODING, "chunkedx");
    EXPECT_FALSE(response.chunked_transfer_encoding());
    response.chunked_transfer_encoding(true);
    EXPECT_STREQ(response.headers().get(HTTP_HEAD_TRANSFER_ENCODING), "chunked");
    response.chunked_transfer_encoding(false);
    EXPECT_EQ(response.headers().get(HTTP_HEAD_TRANSFER_ENCODING), nullptr);
}

TEST(WirekitMessages, ContentLengthReadAndWritten) {
    HTTP_Response response;
    response.content_length(0);
    EXPECT_STREQ(response.headers().get(HTTP_HEAD_CONTENT_LENGTH), "0");
    response.content_length(18446744073709551615ull);
    EXPECT_STREQ(response.headers().get(HTTP_HEAD_CONTENT_LENGTH), "18446744073709551615");
    EXPECT_EQ(response.content_length(), 18446744073709551615ull);
    for (const char* bad : {"18446744073709551616", "12a", "-1", " 5", ""}) {
        response.headers().put(HTTP_HEAD_CONTENT_LENGTH, bad);
        EXPECT_EQ(response.content_length(), 0u) << bad;
    }
    response.content_type("text/plain");
    EXPECT_STREQ(response.headers().get("content-type"), "text/plain");
}

TEST(WirekitMessages, RequestUriPathAndQuery) {
    HTTP_Request request(HTTP_METHOD_GET, "/a%20b/c%2fd?x=1&y=a+b%21&&z", 1, 1);
    EXPECT_STREQ(request.uri(), "/a%20b/c%2fd?x=1&y=a+b%21&&z");
    EXPECT_STREQ(request.decoded_uri(), "/a b/c/d");
    const HTTP_Query_String& query = request.query_string();
    ASSERT_EQ(query.count(), 3);
    EXPECT_STREQ(query.name(0), "x");
    EXPECT_STREQ(query.value(0), "1");
    EXPECT_STREQ(query.value(1), "a b!");
    EXPECT_STREQ(query.name(2), "z");
    EXPECT_STREQ(query.value(2), "");
    EXPECT_EQ(query.name(3), nullptr);
    EXPECT_EQ(query.value(-1), nullptr);

    request.uri(request.uri());
    EXPECT_STREQ(request.decoded_uri(), "/a b/c/d");
    request.uri("/plain%2");
    EXPECT_STREQ(request.decoded_uri(), "/plain%2");
    EXPECT_EQ(request.query_string().count(), 0);
}

// --- URL helpers ------------------------------------------------------------

TEST(WirekitUrl, HostPortAndPath) {
    EXPECT_EQ(url_port("http://h/p"), 80);
    EXPECT_EQ(url_host("http://h/p"), "h");
    EXPECT_EQ(url_path("http://h/p"), "/p");
    EXPECT_EQ(url_port("http://h:8080/p"), 8080);
    EXPECT_EQ(url_host("http://h:8080/p"), "h");
    EXPECT_EQ(url_path("http://h:8080/p"), "/p");
    EXPECT_EQ(url_path("http://h:8080/a/b?c=d"), "/a/b?c=d");
}

TEST(WirekitUrl, ShortAndPartialUrls) {
    EXPECT_EQ(url_port("http://"), 80);
    EXPECT_EQ(url_host("http://"), "");
    EXPECT_EQ(url_path("http://"), "");
    EXPECT_EQ(url_port("http://h"), 80);
    EXPECT_EQ(url_host("http://h"), "");
    EXPECT_EQ(url_path("http://h"), "");
    EXPECT_EQ(url_port("http://h:81"), 81);
    EXPECT_EQ(url_port("http://h/p:90"), 80);  // the ':' is the path's
    EXPECT_EQ(url_port("http://h:/p"), 0);
    EXPECT_EQ(url_host("http://h:/p"), "h");
    EXPECT_EQ(url_port(nullptr), 80);
    EXPECT_EQ(url_host(nullptr), "");
}

TEST(WirekitUrl, BracketedIpv6AddressesAndRelativeReferences) {
    EXPECT_EQ(url_host("http://[::1]:8080/p"), "::1");
    EXPECT_EQ(url_port("http://[::1]:8080/p"), 8080);
    EXPECT_EQ(url_path("http://[::1]:8080/p"), "/p");
    EXPECT_EQ(url_host("http://[fe80::2]/p"), "fe80::2");
    EXPECT_EQ(url_port("http://[fe80::2]/p"), 80);
    EXPECT_EQ(url_host("http://[::1/p"), "");  // no closing bracket
    EXPECT_EQ(url_port("http://[::1]x/p"), 0);
    EXPECT_TRUE(url_is_absolute_http("http://h/p"));
    EXPECT_TRUE(url_is_absolute_http("HTTP://h/p"));
    EXPECT_FALSE(url_is_absolute_http("/tovel/WebServer/jobs/StartJob.php"));
    EXPECT_FALSE(url_is_absolute_http("https://h/p"));
    EXPECT_FALSE(url_is_absolute_http("http:/"));
    EXPECT_FALSE(url_is_absolute_http(nullptr));
}

TEST(WirekitUrl, ColonInThePathIsNotThePortsOrTheHosts) {
    EXPECT_EQ(url_host("http://h/p:90"), "h");
    EXPECT_EQ(url_port("http://h/p:90"), 80);
    EXPECT_EQ(url_path("http://h/p:90"), "/p:90");
    EXPECT_EQ(url_host("http://h:81/a:b/c"), "h");
    EXPECT_EQ(url_port("http://h:81/a:b/c"), 81);
    EXPECT_EQ(url_path("http://h:81/a:b/c"), "/a:b/c");
}

TEST(WirekitUrl, PortsOutsideOneTo65535AreRefused) {
    EXPECT_EQ(url_port("http://h:1/p"), 1);
    EXPECT_EQ(url_port("http://h:65535/p"), 65535);
    EXPECT_EQ(url_port("http://h:0/p"), 0);
    EXPECT_EQ(url_port("http://h:65536/p"), 0);  // 0 again in 16 bits
    EXPECT_EQ(url_port("http://h:65616/p"), 0);  // 80 in 16 bits
    EXPECT_EQ(url_port("http://h:99999/p"), 0);
    EXPECT_EQ(url_port("http://h:99999999999999999999/p"), 0);
    EXPECT_EQ(url_port("http://h:65535"), 65535);
    EXPECT_EQ(url_port("http://h:65536"), 0);
}

TEST(WirekitUrl, PortThatIsNotAllDigitsIsRefused) {
    for (const char* url : {"http://h:abc/p", "http://h:80x/p", "http://h:+80/p", "http://h: 80/p",
                            "http://h:-1/p", "http://h:8:0/p", "http://h:"})
        EXPECT_EQ(url_port(url), 0) << url;
}
