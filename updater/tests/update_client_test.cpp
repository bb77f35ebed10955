// The updater's HTTP client against a scripted server: HEAD then GET on one
// connection, header values whole through the short-buffer protocol, a body
// without a length, the 2 MiB chunk's edge and a range past 2 GiB.
#include "updater/update_client.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "tools/testkit/http_script_server.h"
#include "tools/testkit/log_capture.h"

using tovel::testing::HttpPeer;
using tovel::testing::HttpScriptServer;
using tovel::updater::InstallerGetRequest;
using tovel::updater::InstallerHeadRequest;
using tovel::updater::kChunkSize;
using tovel::updater::MD5Request;
using tovel::updater::ServerConnector;

namespace {

class UpdateClient : public tovel::testing::LoggedTest {
protected:
    void TearDown() override {
        tovel::updater::close_winhttp_session();
        LoggedTest::TearDown();
    }
    // The heads the server read, in order.
    std::vector<std::string> heads() {
        std::lock_guard<std::mutex> guard(lock_);
        return heads_;
    }
    std::string read_head(HttpPeer& peer) {
        std::string head = peer.read_head();
        std::lock_guard<std::mutex> guard(lock_);
        heads_.push_back(head);
        return head;
    }

private:
    std::mutex lock_;
    std::vector<std::string> heads_;
};

const std::string kLongValue(300, 'q');

}  // namespace

TEST_F(UpdateClient, HeadThenGetOnOneConnectionAndABodyWithoutLength) {
    HttpScriptServer server([&](HttpPeer& peer) {
        read_head(peer);
        peer.send("HTTP/1.1 200 OK\r\nContent-Length: 1234567\r\nX-Long: " + kLongValue +
                  "\r\n\r\n");
        read_head(peer);
        peer.send_chunked_head(200);
        peer.send_chunk("0123456789abcdef");
        peer.send_chunk("0123456789abcdef\r\n");
        peer.end_chunks();
        peer.wait_closed();
    });
    ASSERT_TRUE(server.listening());
    ServerConnector connector("127.0.0.1", server.port());
    ASSERT_EQ(connector.open(), 0);

    InstallerHeadRequest head;
    ASSERT_EQ(head.open("HEAD", connector, "/tovel/updates/Tovel.exe"), 0);
    EXPECT_EQ(head.open("HEAD", connector, "/"), -1);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_INITIALIZED);
    SetLastError(4242);
    ASSERT_EQ(head.send(), 0);
    ASSERT_EQ(head.receive(), 0);
    EXPECT_EQ(GetLastError(), 4242u);  // the caller's value, kept on success
    EXPECT_EQ(head.status_code(), 200);
    EXPECT_EQ(head.content_length(), 1234567);
    EXPECT_EQ(head.query_header(WINHTTP_QUERY_CUSTOM, L"X-Long"), kLongValue);
    ASSERT_EQ(head.close(), 0);

    MD5Request get;
    ASSERT_EQ(get.open("GET", connector, ""), 0);
    ASSERT_EQ(get.send(), 0);
    ASSERT_EQ(get.receive(), 0);
    EXPECT_EQ(get.content_length(), -1);
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_HEADER_NOT_FOUND);
    std::string body;
    EXPECT_EQ(get.read_all(body, 4096), 34);
    EXPECT_EQ(body, "0123456789abcdef0123456789abcdef\r\n");

    EXPECT_EQ(server.accepted(), 1);
    auto seen = heads();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].rfind("HEAD /tovel/updates/Tovel.exe HTTP/1.1\r\n", 0), 0u) << seen[0];
    EXPECT_EQ(seen[1].rfind("GET / HTTP/1.1\r\n", 0), 0u) << seen[1];
    EXPECT_NE(seen[1].find("\r\nUser-Agent: Tovel Agent\r\n"), std::string::npos);
}

TEST_F(UpdateClient, ChunksOfTwoMebibytesAndRangesPastTwoGibibytes) {
    const std::string body(kChunkSize + 1, 'b');
    HttpScriptServer server([&](HttpPeer& peer) {
        for (size_t length : {size_t(kChunkSize), size_t(kChunkSize) + 1}) {
            read_head(peer);
            peer.send("HTTP/1.1 206 Partial Content\r\nContent-Length: " + std::to_string(length) +
                      "\r\n\r\n" + body.substr(0, length));
        }
        peer.wait_closed();
    });
    ASSERT_TRUE(server.listening());
    ServerConnector connector("127.0.0.1", server.port());
    ASSERT_EQ(connector.open(), 0);
    std::vector<char> buffer(kChunkSize);

    {
        InstallerGetRequest exact;
        ASSERT_EQ(exact.open("GET", connector, "/tovel/updates/Tovel.exe"), 0);
        ASSERT_EQ(exact.set_range(3221225472LL), 0);
        ASSERT_EQ(exact.send(), 0);
        ASSERT_EQ(exact.receive(), 0);
        EXPECT_EQ(exact.read_chunk(buffer.data()), kChunkSize);
        EXPECT_EQ(logged().find("Read response data incompletely"), std::string::npos);
        EXPECT_EQ(exact.read_chunk(buffer.data()), 0);
    }
    {
        InstallerGetRequest longer;
        ASSERT_EQ(longer.open("GET", connector, "/tovel/updates/Tovel.exe"), 0);
        ASSERT_EQ(longer.set_range(1), 0);
        ASSERT_EQ(longer.set_range(5000000000LL), 0);  // replaces the first
        ASSERT_EQ(longer.send(), 0);
        ASSERT_EQ(longer.receive(), 0);
        EXPECT_EQ(longer.read_chunk(buffer.data()), kChunkSize);
        EXPECT_NE(logged().find("Read response data incompletely, content-length = 2097153, "
                                "buffer-size = 2097152, readed-size = 2097152."),
                  std::string::npos);
        EXPECT_EQ(longer.read_chunk(buffer.data()), 1);
        EXPECT_EQ(longer.read_chunk(buffer.data()), 0);
    }
    auto seen = heads();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_NE(seen[0].find("\r\nRANGE: bytes=3221225472-\r\n"), std::string::npos) << seen[0];
    EXPECT_NE(seen[1].find("\r\nRANGE: bytes=5000000000-\r\n"), std::string::npos) << seen[1];
    EXPECT_EQ(seen[1].find("bytes=1-"), std::string::npos) << seen[1];
}

TEST_F(UpdateClient, ConnectorWithoutServerAndRequestsNotOpened) {
    ServerConnector none("", 0);
    EXPECT_EQ(none.open(), -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ServerConnector refused("127.0.0.1", tovel::testing::free_loopback_port());
    ASSERT_EQ(refused.open(), 0);  // no traffic yet
    EXPECT_EQ(refused.open(), -1);
    EXPECT_NE(logged().find("Failed to open connection to server, 127.0.0.1:"), std::string::npos);
    MD5Request request;
    EXPECT_EQ(request.send(), -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(request.add_headers("A: b\r\n", 6), -1);
    ASSERT_EQ(request.open("GET", refused, "/"), 0);
    EXPECT_EQ(request.send(), -1);
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_CANNOT_CONNECT);
}
