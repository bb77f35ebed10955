// Synchronous WinHTTP as the updater uses it: each call returns when done on
// the caller's thread, HEAD and GET on one connection, added request headers,
// header values as text with the short-buffer protocol, and the time-outs.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tools/testkit/http_script_server.h"

using tovel::testing::HttpPeer;
using tovel::testing::HttpScriptServer;

#define EXPECT_FAILS(call, code)                    \
    do {                                            \
        EXPECT_FALSE(call) << #call;                \
        EXPECT_EQ(GetLastError(), (code)) << #call; \
    } while (0)

namespace {

// A synchronous session and connection to 127.0.0.1:port.
class SyncClient {
public:
    explicit SyncClient(unsigned short port) {
        session_ =
            WinHttpOpen(L"Tovel Agent", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr, nullptr, 0);
        connection_ = WinHttpConnect(session_, L"127.0.0.1", port, 0);
    }
    ~SyncClient() {
        for (HINTERNET h : {connection_, session_})
            if (h) WinHttpCloseHandle(h);
    }
    HINTERNET session() const { return session_; }
    HINTERNET open(const wchar_t* verb, const wchar_t* path) {
        return WinHttpOpenRequest(connection_, verb, path, nullptr, nullptr, nullptr,
                                  WINHTTP_FLAG_REFRESH);
    }

private:
    HINTERNET session_ = nullptr;
    HINTERNET connection_ = nullptr;
};

bool send_and_receive(HINTERNET request) {
    return WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) &&
           WinHttpReceiveResponse(request, nullptr);
}

// A header's value through the short-buffer protocol: first a size query.
std::wstring query_text(HINTERNET request, DWORD level, const wchar_t* name = nullptr) {
    DWORD length = 0;
    if (WinHttpQueryHeaders(request, level, name, nullptr, &length, nullptr)) return L"?";
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return L"!" + std::to_wstring(GetLastError());
    std::vector<WCHAR> buffer(length / sizeof(WCHAR));
    DWORD small = length - sizeof(WCHAR);  // one unit short: the terminator has no room
    if (WinHttpQueryHeaders(request, level, name, buffer.data(), &small, nullptr) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER || small != length)
        return L"short buffer accepted";
    if (!WinHttpQueryHeaders(request, level, name, buffer.data(), &length, nullptr))
        return L"!" + std::to_wstring(GetLastError());
    return std::wstring(buffer.data(), length / sizeof(WCHAR));
}

// Reads the body to its end with synchronous queries and reads.
std::string read_body(HINTERNET request) {
    std::string body;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) return "query failed";
        if (available == 0) return body;
        std::string part(available, '\0');
        DWORD read = 0;
        if (!WinHttpReadData(request, part.data(), available, &read)) return "read failed";
        body.append(part, 0, read);
    }
}

}  // namespace

TEST(PlatformWinHttpSync, HeadThenGetOnOneConnectionWithHeadersAsText) {
    std::mutex lock;
    std::vector<std::string> heads;
    const std::string longValue(300, 'v');
    HttpScriptServer server([&](HttpPeer& peer) {
        std::string head = peer.read_head();
        {
            std::lock_guard<std::mutex> guard(lock);
            heads.push_back(head);
        }
        // HEAD: a length but no body; the connection stays.
        peer.send("HTTP/1.1 200 OK\r\nContent-Length: 5000000\r\nX-Long: " + longValue +
                  "\r\n\r\n");
        head = peer.read_head();
        {
            std::lock_guard<std::mutex> guard(lock);
            heads.push_back(head);
        }
        peer.send("HTTP/1.1 206 Partial Content\r\nContent-Length: 5\r\n\r\nhello");
        head = peer.read_head();  // a body without a length, chunked
        peer.send_chunked_head(200);
        peer.send_chunk("one ");
        peer.send_chunk("two");
        peer.end_chunks();
        peer.wait_closed();
    });
    ASSERT_TRUE(server.listening());
    SyncClient client(server.port());
    ASSERT_NE(client.session(), nullptr);

    HINTERNET head = client.open(L"HEAD", L"/tovel/updates/Tovel.exe");
    ASSERT_NE(head, nullptr);
    DWORD none = 0;
    EXPECT_FAILS(
        WinHttpQueryHeaders(head, WINHTTP_QUERY_CONTENT_LENGTH, nullptr, nullptr, &none, nullptr),
        ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    ASSERT_TRUE(send_and_receive(head)) << GetLastError();
    EXPECT_EQ(query_text(head, WINHTTP_QUERY_STATUS_CODE), L"200");
    EXPECT_EQ(query_text(head, WINHTTP_QUERY_CONTENT_LENGTH), L"5000000");
    EXPECT_EQ(query_text(head, WINHTTP_QUERY_CUSTOM, L"x-long"),
              std::wstring(longValue.begin(), longValue.end()));
    EXPECT_EQ(read_body(head), "");  // nothing after a HEAD, whatever the length said
    EXPECT_TRUE(WinHttpCloseHandle(head));

    HINTERNET get = client.open(L"GET", L"/tovel/updates/Tovel.exe");
    ASSERT_NE(get, nullptr);
    EXPECT_TRUE(WinHttpAddRequestHeaders(get, L"RANGE: bytes=1-\r\n", -1,
                                         WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE));
    EXPECT_TRUE(WinHttpAddRequestHeaders(get, L"Range: bytes=3221225472-\r\nX-Cut: yes", 24,
                                         WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE));
    EXPECT_FAILS(WinHttpAddRequestHeaders(get, L"no colon", -1, WINHTTP_ADDREQ_FLAG_ADD),
                 ERROR_WINHTTP_INVALID_HEADER);
    EXPECT_FAILS(WinHttpAddRequestHeaders(get, L"A: b", -1, 0x1), ERROR_INVALID_PARAMETER);
    char byte = 'x';
    DWORD written = 0;
    EXPECT_FAILS(WinHttpWriteData(get, &byte, 1, &written), ERROR_NOT_SUPPORTED);
    ASSERT_TRUE(send_and_receive(get)) << GetLastError();
    EXPECT_EQ(query_text(get, WINHTTP_QUERY_STATUS_CODE), L"206");
    EXPECT_EQ(read_body(get), "hello");
    EXPECT_TRUE(WinHttpCloseHandle(get));

    HINTERNET chunked = client.open(L"GET", nullptr);
    ASSERT_TRUE(send_and_receive(chunked));
    DWORD length = 64;
    WCHAR buffer[32];
    EXPECT_FAILS(WinHttpQueryHeaders(chunked, WINHTTP_QUERY_CONTENT_LENGTH, nullptr, buffer,
                                     &length, nullptr),
                 ERROR_WINHTTP_HEADER_NOT_FOUND);
    EXPECT_EQ(read_body(chunked), "one two");
    EXPECT_TRUE(WinHttpCloseHandle(chunked));

    EXPECT_EQ(server.accepted(), 1);
    std::lock_guard<std::mutex> guard(lock);
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_EQ(heads[0].rfind("HEAD /tovel/updates/Tovel.exe HTTP/1.1\r\n", 0), 0u) << heads[0];
    EXPECT_NE(heads[0].find("\r\nCache-Control: no-cache\r\n"), std::string::npos) << heads[0];
    EXPECT_NE(heads[0].find("\r\nUser-Agent: Tovel Agent\r\n"), std::string::npos) << heads[0];
    EXPECT_EQ(heads[1].rfind("GET /tovel/updates/Tovel.exe HTTP/1.1\r\n", 0), 0u) << heads[1];
    // The replaced header is gone; the length cut the text before X-Cut.
    EXPECT_NE(heads[1].find("\r\nRange: bytes=3221225472-\r\n"), std::string::npos) << heads[1];
    EXPECT_EQ(heads[1].find("bytes=1-"), std::string::npos) << heads[1];
    EXPECT_EQ(heads[1].find("X-Cut"), std::string::npos) << heads[1];
}

TEST(PlatformWinHttpSync, ReceiveLimitEndsAStalledHeadOrBody) {
    HttpScriptServer server([&](HttpPeer& peer) {
        peer.read_head();
        if (peer.index() == 2) peer.send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
        peer.wait_closed();
    });
    ASSERT_TRUE(server.listening());
    SyncClient client(server.port());
    ASSERT_TRUE(WinHttpSetTimeouts(client.session(), 0, 1000, 1000, 300));

    HINTERNET silent = client.open(L"GET", L"/");
    ASSERT_TRUE(WinHttpSendRequest(silent, nullptr, 0, nullptr, 0, 0, 0));
    EXPECT_FAILS(WinHttpReceiveResponse(silent, nullptr), ERROR_WINHTTP_TIMEOUT);
    EXPECT_TRUE(WinHttpCloseHandle(silent));

    HINTERNET stalled = client.open(L"GET", L"/");
    ASSERT_TRUE(send_and_receive(stalled));
    char buffer[16];
    DWORD read = 0;
    ASSERT_TRUE(WinHttpReadData(stalled, buffer, sizeof buffer, &read));
    EXPECT_EQ(std::string(buffer, read), "abc");
    EXPECT_FAILS(WinHttpReadData(stalled, buffer, sizeof buffer, &read), ERROR_WINHTTP_TIMEOUT);
    EXPECT_TRUE(WinHttpCloseHandle(stalled));
}

TEST(PlatformWinHttpSync, RefusedConnectionFailsTheSend) {
    SyncClient client(tovel::testing::free_loopback_port());
    HINTERNET request = client.open(L"GET", L"/");
    ASSERT_NE(request, nullptr);
    EXPECT_FAILS(WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0),
                 ERROR_WINHTTP_CANNOT_CONNECT);
    EXPECT_FAILS(WinHttpReceiveResponse(request, nullptr), ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
    EXPECT_TRUE(WinHttpCloseHandle(request));
}
