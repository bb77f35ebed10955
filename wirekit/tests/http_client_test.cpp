// The HTTP client against scripted peers: request heads and bodies on the
// wire, response heads and Content-Length or chunked bodies however they are
// split, connection reuse through the cache, and the time-outs.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "job/tests/http_test_server.h"
#include "tools/testkit/log_capture.h"
#include "wirekit/connector_mgr.h"
#include "wirekit/http_invoker.h"
#include "wirekit/http_stream.h"

using http_tests::Peer;
using http_tests::Scripted_Server;

namespace {

constexpr int kMalformed = HTTP_Invoker::kMalformedReply;
const char kLetters[] = "abcdefghijklmnopqrstuvwxyz";

std::string response_with(const std::string& body, const std::string& headers = "") {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + headers +
           "\r\n" + body;
}

// Answers every request of a connection with the same response.
Scripted_Server::Script answer_each(const std::string& response) {
    return [response](Peer& peer) {
        while (!peer.read_head().empty()) peer.send(response);
    };
}

// Answers the requests of each connection with replies in turn (the last one
// again once they run out); counts in ended each connection that the client
// closed.
Scripted_Server::Script answer_in_turn(std::vector<std::string> replies, std::atomic<int>& ended) {
    return [replies, &ended](Peer& peer) {
        size_t next = 0;
        while (!peer.read_head().empty()) peer.send(replies[std::min(next++, replies.size() - 1)]);
        ++ended;
    };
}

// Short time-outs, so that a failing case ends soon.
HTTP_Timeouts short_timeouts(DWORD ms = 300) { return HTTP_Timeouts{ms, ms, ms}; }

class HttpClient : public tovel::testing::LoggedTest {
protected:
    Connector_Mgr_Impl::Connector& connector() {
        return Connector_Mgr_Impl::instance()->connector();
    }

    std::unique_ptr<HTTP_Invoker> invoker(const Scripted_Server& server) {
        auto made = std::make_unique<HTTP_Invoker>("127.0.0.1", server.port());
        made->timeouts(HTTP_Timeouts{5000, 5000, 5000});
        return made;
    }

    // Connects and sends a GET of path.
    void start_get(HTTP_Invoker& client, const char* path = "/") {
        ASSERT_EQ(client.connect(connector()), 0) << logged();
        HTTP_Request request(HTTP_METHOD_GET, path, 1, 1);
        request.keep_alive(true);
        ASSERT_EQ(client.send_head(request), 0);
        ASSERT_EQ(client.state(), HTTP_Invoker::STATE_REQUEST_SENT);
    }

    // That the last operation failed on a malformed reply and closed the
    // connection, which the peer's script then counted in ended.
    static void expect_malformed_and_closed(const HTTP_Invoker& client,
                                            const std::atomic<int>& ended) {
        EXPECT_EQ(client.error(), kMalformed);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(kMalformed));
        EXPECT_EQ(client.state(), HTTP_Invoker::STATE_IDLE);
        EXPECT_EQ(client.handler(), nullptr);
        for (int waited = 0; ended.load() == 0 && waited < 5000; waited += 10)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(ended.load(), 1) << "the connection was not closed";
    }

    // The rest of the body, read through a stream.
    static std::string read_stream(HTTP_Invoker& client) {
        HTTP_Input_Stream_T<HTTP_Invoker> in(client);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // One whole GET exchange: the body (as the stream gives it); closes.
    std::string get(HTTP_Invoker& client, HTTP_Response& response, const char* path = "/") {
        start_get(client, path);
        if (client.recv_head(response) != 0) return "<no head>";
        std::string body = read_stream(client);
        client.close();
        return body;
    }
    std::string get(HTTP_Invoker& client) {
        HTTP_Response response;
        return get(client, response);
    }
};

// --- Content-Length bodies --------------------------------------------------

using HttpClientBodies = HttpClient;

TEST_F(HttpClientBodies, ContentLengthZeroIsCompleteRightAfterTheHead) {
    Scripted_Server server(answer_each(response_with("")));
    auto client = invoker(server);
    start_get(*client);
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_COMPLETE);
    auto out = make_message_block(64);
    size_t got = 99;
    EXPECT_EQ(client->recv_body(*out, &got, 0), -1);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(client->close(), 0);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_IDLE);
}

TEST_F(HttpClientBodies, BodyThatCameWithTheHeadIsReadFirst) {
    std::string body;
    for (int i = 0; i < 20000; ++i) body += kLetters[i % 26];
    std::string response = response_with(body);
    size_t head = response.size() - body.size();
    Scripted_Server server([&](Peer& peer) {
        peer.read_head();
        peer.send_split(response, {head + 10, 5000});
    });
    auto client = invoker(server);
    start_get(*client);
    HTTP_Response reply;
    ASSERT_EQ(client->recv_head(reply), 0);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_HEAD_RECEIVED);
    EXPECT_EQ(client->length(), body.size());
    EXPECT_EQ(read_stream(*client), body);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_COMPLETE);
    EXPECT_EQ(client->done(), body.size());
}

TEST_F(HttpClientBodies, Mode2ReadsExactlyWhatTheBlockTakes) {
    std::string body(3000, 'x');
    std::string response = response_with(body);
    Scripted_Server server([&](Peer& peer) {
        peer.read_head();
        peer.send_split(response, {response.size() - body.size() + 1, 1, 500, 700});
    });
    auto client = invoker(server);
    start_get(*client);
    HTTP_Response reply;
    ASSERT_EQ(client->recv_head(reply), 0);
    auto out = make_message_block(1000);
    size_t got = 0;
    EXPECT_EQ(client->recv_body(*out, &got, 2), 1000);
    EXPECT_EQ(got, 1000u);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_RECEIVING_BODY);
    auto rest = make_message_block(5000);
    EXPECT_EQ(client->recv_body(*rest, &got, 2), 2000);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_COMPLETE);
    EXPECT_EQ(
        std::string(out->rd_ptr(), out->length()) + std::string(rest->rd_ptr(), rest->length()),
        body);
}

// --- Chunked bodies ---------------------------------------------------------

using HttpClientChunked = HttpClient;

const char kChunkedHead[] = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

TEST_F(HttpClientChunked, LastChunkAloneDeliversNothingAndCompletes) {
    Scripted_Server server(answer_each(std::string(kChunkedHead) + "0\r\n\r\n"));
    auto client = invoker(server);
    start_get(*client);
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_HEAD_RECEIVED);
    auto out = make_message_block(64);
    size_t got = 99;
    EXPECT_EQ(client->recv_body(*out, &got, 0), 0);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_COMPLETE);
    EXPECT_EQ(client->recv_body(*out, &got, 0), -1);
}

TEST_F(HttpClientChunked, SizeLineWithAnExtensionGivesA26ByteChunk) {
    std::string letters(kLetters);
    Scripted_Server server(
        answer_each(std::string(kChunkedHead) + "1A;name=value\r\n" + letters + "\r\n0\r\n\r\n"));
    auto client = invoker(server);
    start_get(*client);
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0);
    auto out = make_message_block(100);
    size_t got = 0;
    EXPECT_EQ(client->recv_body(*out, &got, 2), 26);
    EXPECT_EQ(std::string(out->rd_ptr(), out->length()), letters);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_COMPLETE);
}

TEST_F(HttpClientChunked, BodySplitAtEveryByteIsDecodedTheSame) {
    std::string letters(kLetters);
    std::string body = "5\r\nhello\r\n1A;x\r\n" + letters + "\r\n3\r\nend\r\n0\r\n\r\n";
    std::string response = std::string(kChunkedHead) + body;
    std::mutex mutex;
    size_t split = 0;  // the next response is cut after this many bytes; past the end: bytewise
    Scripted_Server server([&](Peer& peer) {
        while (!peer.read_head().empty()) {
            size_t at;
            {
                std::lock_guard<std::mutex> lock(mutex);
                at = split;
            }
            if (at < response.size())
                peer.send_split(response, {at});
            else
                peer.send_bytewise(response);
        }
    });
    auto client = invoker(server);
    for (size_t at = 1; at <= response.size(); ++at) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            split = at;
        }
        HTTP_Response reply;
        EXPECT_EQ(get(*client, reply), "hello" + letters + "end") << "cut after " << at;
        EXPECT_EQ(client->error(), 0) << "cut after " << at;
    }
    EXPECT_EQ(server.accepts(), 1);
}

TEST_F(HttpClientChunked, Mode1GrowsTheBlockToTakeWholeChunks) {
    std::string big(10000, 'q');
    char size_line[16];
    std::snprintf(size_line, sizeof size_line, "%zx\r\n", big.size());
    Scripted_Server server(answer_each(std::string(kChunkedHead) + "3\r\nabc\r\n" + size_line +
                                       big + "\r\n0\r\n\r\n"));
    auto client = invoker(server);
    start_get(*client);
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0);
    auto out = make_message_block(2);
    size_t got = 0;
    EXPECT_EQ(client->recv_body(*out, &got, 1), 3);
    EXPECT_EQ(std::string(out->rd_ptr(), out->length()), "abc");
    out->reset();
    EXPECT_EQ(client->recv_body(*out, &got, 1), 10000);
    EXPECT_EQ(got, 10000u);
    EXPECT_EQ(std::string(out->rd_ptr(), out->length()), big);
    EXPECT_GE(out->size(), 10000u);
    out->reset();
    EXPECT_EQ(client->recv_body(*out, &got, 1), 0);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_COMPLETE);
}

TEST_F(HttpClientChunked, MalformedSizeLineFailsAfterTheGoodChunksAndCloses) {
    std::atomic<int> ended{0};
    Scripted_Server server(
        answer_in_turn({std::string(kChunkedHead) + "5\r\nhello\r\nzz\r\n"}, ended));
    auto client = invoker(server);
    start_get(*client);
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0);
    auto out = make_message_block(64);
    size_t got = 0;
    EXPECT_EQ(client->recv_body(*out, &got, 2), -1);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(std::string(out->rd_ptr(), out->length()), "hello");
    EXPECT_EQ(logged(), "The chunked HTTP response body from 127.0.0.1:" +
                            std::to_string(server.port()) + " is malformed.\n");
    // Failed as a dropped connection: the command layer retries it and a run
    // pauses, where a malformed head ends in an error.
    EXPECT_EQ(client->error(), 10054);
    EXPECT_EQ(GetLastError(), 10054u);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_IDLE);
    EXPECT_EQ(client->handler(), nullptr);
    for (int waited = 0; ended.load() == 0 && waited < 5000; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ended.load(), 1) << "the connection was not closed";
    EXPECT_EQ(client->recv_body(*out, &got, 0), -1);
}

// --- Response heads ---------------------------------------------------------

using HttpClientHead = HttpClient;

TEST_F(HttpClientHead, HeadArrivingOneByteAtATimeIsParsed) {
    Scripted_Server server([](Peer& peer) {
        peer.read_head();
        peer.send_bytewise(
            "HTTP/1.1 302 Found\r\nLocation: http://other/x\r\nSet-Cookie: sid=42\r\n"
            "X-Not-Numbered: yes\r\nContent-Length: 3\r\n\r\nabc");
    });
    auto client = invoker(server);
    start_get(*client);
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0);
    EXPECT_EQ(response.status(), 302);
    EXPECT_STREQ(response.headers().get(HTTP_HEAD_LOCATION), "http://other/x");
    EXPECT_STREQ(response.set_cookie(), "sid=42");
    EXPECT_STREQ(response.headers().get("x-not-numbered"), "yes");
    EXPECT_EQ(read_stream(*client), "abc");
}

TEST_F(HttpClientHead, HeadsUpTo8192BytesFitAndLongerOnesFail) {
    auto head_of = [](size_t total) {
        std::string start = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nX-Pad: ";
        std::string end = "\r\n\r\n";
        return start + std::string(total - start.size() - end.size(), 'p') + end;
    };
    std::atomic<int> ended{0};
    Scripted_Server server(answer_in_turn({head_of(8192), head_of(8193)}, ended));
    auto client = invoker(server);
    start_get(*client);
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0) << logged();
    EXPECT_EQ(std::string(response.headers().get("X-Pad")).size(), 8192u - 43u - 4u);
    client->close();

    start_get(*client);
    EXPECT_EQ(client->recv_head(response), -1);
    EXPECT_NE(logged().find("is too long"), std::string::npos);
    expect_malformed_and_closed(*client, ended);
    EXPECT_EQ(server.accepts(), 1);
    // The next exchange does not find the broken connection in the cache.
    start_get(*client);
    EXPECT_EQ(server.accepts_reaching(2), 2);
}

TEST_F(HttpClientHead, MalformedStatusLineFails) {
    Scripted_Server server(answer_each("HTTP/1.1 2x0 OK\r\nContent-Length: 0\r\n\r\n"));
    auto client = invoker(server);
    start_get(*client);
    HTTP_Response response;
    EXPECT_EQ(client->recv_head(response), -1);
    EXPECT_EQ(client->error(), kMalformed);
    EXPECT_NE(logged().find("is malformed"), std::string::npos);
}

TEST_F(HttpClientHead, ServerThatClosesInsteadOfAnsweringGives10054) {
    Scripted_Server server([](Peer& peer) { peer.read_head(); });
    auto client = invoker(server);
    start_get(*client);
    HTTP_Response response;
    EXPECT_EQ(client->recv_head(response), -1);
    EXPECT_EQ(client->error(), WSAECONNRESET);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAECONNRESET));
    EXPECT_EQ(logged(), "The HTTP connection is closed by 127.0.0.1:" +
                            std::to_string(server.port()) + ".\n");
}

TEST_F(HttpClientHead, HeadersOfAnEarlierResponseAreNotKept) {
    std::vector<std::string> replies = {
        "HTTP/1.1 401 Unauthorized\r\nSet-Cookie: old\r\nContent-Length: 0\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"};
    Scripted_Server server([&](Peer& peer) {
        for (const auto& reply : replies)
            if (!peer.read_head().empty()) peer.send(reply);
    });
    auto client = invoker(server);
    HTTP_Response response;
    get(*client, response);
    EXPECT_STREQ(response.set_cookie(), "old");
    get(*client, response);
    EXPECT_EQ(response.status(), 200);
    EXPECT_EQ(response.set_cookie(), nullptr);
}

// --- Requests on the wire ---------------------------------------------------

using HttpClientSend = HttpClient;

// Keeps what the peer received: the head and the body of each request.
struct Received {
    std::mutex mutex;
    std::vector<std::string> heads;
    std::vector<std::string> bodies;

    void add(const std::string& head, const std::string& body) {
        std::lock_guard<std::mutex> lock(mutex);
        heads.push_back(head);
        bodies.push_back(body);
    }
};

Scripted_Server::Script record(Received& received, bool chunked = false) {
    return [&received, chunked](Peer& peer) {
        for (std::string head; !(head = peer.read_head()).empty();) {
            std::string body;
            size_t at = head.find("Content-Length: ");
            bool has_body = head.rfind("POST ", 0) == 0 || head.rfind("PUT ", 0) == 0;
            if (!has_body)
                body.clear();
            else if (chunked)
                body = peer.read_chunked_raw();
            else if (at != std::string::npos)
                body = peer.read_exactly(std::strtoul(head.c_str() + at + 16, nullptr, 10));
            received.add(head, body);
            peer.send(response_with("ok"));
        }
    };
}

TEST_F(HttpClientSend, HeadGoesOutInSlotOrderWithTheHostAndWithoutExtraHeaders) {
    Received received;
    Scripted_Server server(record(received));
    auto client = invoker(server);
    ASSERT_EQ(client->connect(connector()), 0);
    HTTP_Request request(-1, nullptr, 1, 1);
    request.method(HTTP_METHOD_POST);
    request.uri("/a/b?x=1");
    request.keep_alive(true);
    request.headers().put(HTTP_HEAD_X_CLIENT_KIND, "agenttoweb");
    request.cookie("sid=1");
    request.content_type("application/json");
    request.content_length(2);
    EXPECT_EQ(request.headers().put("X-Not-Numbered", "secret"), 0);
    EXPECT_EQ(request.headers().put(47, "never"), -1);
    ASSERT_EQ(client->send_head(request), 0);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_HEAD_SENT);
    EXPECT_EQ(client->send_body("{}", 2), 2);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_REQUEST_SENT);
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0);
    EXPECT_EQ(read_stream(*client), "ok");

    std::lock_guard<std::mutex> lock(received.mutex);
    ASSERT_EQ(received.heads.size(), 1u);
    EXPECT_EQ(received.heads[0],
              "POST /a/b?x=1 HTTP/1.1\r\n"
              "Connection: keep-alive\r\n"
              "Content-Length: 2\r\n"
              "Content-Type: application/json\r\n"
              "Cookie: sid=1\r\n"
              "Host: 127.0.0.1\r\n"
              "X-Client-Kind: agenttoweb\r\n"
              "\r\n");
    EXPECT_EQ(received.bodies[0], "{}");
}

TEST_F(HttpClientSend, HostThatIsSetIsSentAsItStands) {
    Received received;
    Scripted_Server server(record(received));
    auto client = invoker(server);
    ASSERT_EQ(client->connect(connector()), 0);
    HTTP_Request request(HTTP_METHOD_GET, "/", 1, 0);
    request.headers().put(HTTP_HEAD_HOST, "files.example:81");
    ASSERT_EQ(client->send_head(request), 0);
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0);
    std::lock_guard<std::mutex> lock(received.mutex);
    EXPECT_EQ(received.heads.at(0), "GET / HTTP/1.0\r\nHost: files.example:81\r\n\r\n");
}

TEST_F(HttpClientSend, BodyIsCutAtTheContentLength) {
    Received received;
    Scripted_Server server(record(received));
    auto client = invoker(server);
    ASSERT_EQ(client->connect(connector()), 0);
    HTTP_Request request(HTTP_METHOD_PUT, "/put", 1, 1);
    request.content_length(5);
    ASSERT_EQ(client->send_head(request), 0);
    EXPECT_EQ(client->send_body("ab", 2), 2);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_SENDING_BODY);
    EXPECT_EQ(client->send_body("cdefgh", 6), 3);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_REQUEST_SENT);
    EXPECT_EQ(client->send_body("i", 1), -1);
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0);
    std::lock_guard<std::mutex> lock(received.mutex);
    EXPECT_EQ(received.bodies.at(0), "abcde");
}

TEST_F(HttpClientSend, GatherBodyPastTheContentLengthFailsWithError7) {
    Received received;
    Scripted_Server server(record(received));
    auto client = invoker(server);
    ASSERT_EQ(client->connect(connector()), 0);
    HTTP_Request request(HTTP_METHOD_POST, "/", 1, 1);
    request.content_length(4);
    ASSERT_EQ(client->send_head(request), 0);
    logged();
    iovec parts[] = {http_iovec("ab", 2), http_iovec("cde", 3)};
    EXPECT_EQ(client->send_body_v(parts, 2), -1);
    EXPECT_EQ(client->error(), 7);
    EXPECT_EQ(errno, 7);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_SENDING_BODY);
    EXPECT_EQ(logged(), "Send too much request content to 127.0.0.1:" +
                            std::to_string(server.port()) + " and the connection is corrupted.\n");
}

TEST_F(HttpClientSend, ChunkedRequestBodyOnTheWire) {
    Received received;
    Scripted_Server server(record(received, true));
    auto client = invoker(server);
    ASSERT_EQ(client->connect(connector()), 0);
    HTTP_Request request(HTTP_METHOD_POST, "/up", 1, 1);
    request.chunked_transfer_encoding(true);
    ASSERT_EQ(client->send_head(request), 0);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_HEAD_SENT);
    std::string big(300, 'z');
    EXPECT_EQ(client->send_chunk("hello", 5), 5);
    iovec parts[] = {http_iovec("ab", 2), http_iovec("", 0), http_iovec(big.data(), big.size())};
    EXPECT_EQ(client->send_chunk_v(parts, 3), 302);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_SENDING_BODY);
    EXPECT_EQ(client->done(), 307u);
    EXPECT_EQ(client->send_chunk_v(parts, 0), 0);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_REQUEST_SENT);
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0);
    std::lock_guard<std::mutex> lock(received.mutex);
    EXPECT_EQ(received.heads.at(0),
              "POST /up HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n");
    EXPECT_EQ(received.bodies.at(0), "5\r\nhello\r\n12e\r\nab" + big + "\r\n0\r\n\r\n");
}

TEST_F(HttpClientSend, RequestsWithoutBodyAreCompleteAfterTheHead) {
    Received received;
    Scripted_Server server(record(received));
    auto client = invoker(server);
    for (int method : {HTTP_METHOD_GET, HTTP_METHOD_POST, HTTP_METHOD_DELETE}) {
        ASSERT_EQ(client->connect(connector()), 0);
        HTTP_Request request(method, "/", 1, 1);
        request.content_length(method == HTTP_METHOD_DELETE ? 9 : 0);
        ASSERT_EQ(client->send_head(request), 0);
        EXPECT_EQ(client->state(), HTTP_Invoker::STATE_REQUEST_SENT) << method;
        HTTP_Response response;
        ASSERT_EQ(client->recv_head(response), 0);
        EXPECT_EQ(read_stream(*client), "ok");
        client->close();
    }
}

TEST_F(HttpClientSend, OperationsOutOfTurnFailAndChangeNothing) {
    Scripted_Server server(answer_each(response_with("ok")));
    auto client = invoker(server);
    HTTP_Request request(HTTP_METHOD_GET, "/", 1, 1);
    HTTP_Response response;
    auto out = make_message_block(16);
    size_t got = 0;
    EXPECT_EQ(client->send_head(request), -1);
    EXPECT_EQ(client->send_body("x", 1), -1);
    EXPECT_EQ(client->send_chunk("x", 1), -1);
    EXPECT_EQ(client->recv_head(response), -1);
    EXPECT_EQ(client->recv_body(*out, &got, 0), -1);
    EXPECT_EQ(client->send_buffer_size(4096), -1);
    EXPECT_EQ(client->close(), -1);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_IDLE);
    EXPECT_EQ(logged(), "");

    ASSERT_EQ(client->connect(connector()), 0);
    EXPECT_EQ(client->connect(connector()), -1);
    EXPECT_EQ(client->send_buffer_size(4096), 0);
    EXPECT_EQ(client->recv_head(response), -1);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_CONNECTED);

    HTTP_Request no_method(-1, "/", 1, 1);
    EXPECT_EQ(client->send_head(no_method), -1);
    EXPECT_EQ(client->error(), 87);
}

// --- Bounds of a response -------------------------------------------------

using HttpClientBounds = HttpClient;

// A head with count header lines besides Content-Length: 0.
std::string head_with_headers(int count) {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n";
    for (int i = 1; i < count; ++i) head += "X-H" + std::to_string(i) + ": v\r\n";
    return head + "\r\n";
}

TEST_F(HttpClientBounds, HundredHeadersAreReadAndOneMoreIsMalformed) {
    std::atomic<int> ended{0};
    Scripted_Server server(answer_in_turn({head_with_headers(100), head_with_headers(101)}, ended));
    auto client = invoker(server);
    start_get(*client);
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0) << logged();
    EXPECT_STREQ(response.headers().get("X-H99"), "v");
    EXPECT_EQ(client->close(), 0);

    start_get(*client);
    EXPECT_EQ(client->recv_head(response), -1);
    EXPECT_NE(logged().find("is malformed"), std::string::npos);
    expect_malformed_and_closed(*client, ended);
}

TEST_F(HttpClientBounds, ContentLengthUpToTheLimitIsReadAndLongerIsMalformed) {
    std::atomic<int> ended{0};
    std::string body(1000, 'b');
    Scripted_Server server(answer_in_turn(
        {response_with(body), "HTTP/1.1 200 OK\r\nContent-Length: 1001\r\n\r\n" + body + "b"},
        ended));
    auto client = invoker(server);
    client->max_body_length(1000);
    HTTP_Response response;
    EXPECT_EQ(get(*client, response), body);

    start_get(*client);
    EXPECT_EQ(client->recv_head(response), -1);
    EXPECT_EQ(logged(), "The HTTP response body from 127.0.0.1:" + std::to_string(server.port()) +
                            " is over its limit.\n");
    expect_malformed_and_closed(*client, ended);
}

TEST_F(HttpClientBounds, NewInvokerRefusesAContentLengthOver16MiB) {
    std::atomic<int> ended{0};
    Scripted_Server server(
        answer_in_turn({"HTTP/1.1 200 OK\r\nContent-Length: 16777217\r\n\r\n"}, ended));
    auto client = invoker(server);
    EXPECT_EQ(client->max_body_length(), 16777216u);
    start_get(*client);
    HTTP_Response response;
    EXPECT_EQ(client->recv_head(response), -1);
    expect_malformed_and_closed(*client, ended);
}

TEST_F(HttpClientBounds, ContentLengthThatIsNoNumberIsMalformed) {
    // Read as 0, each would leave its body in the stream for the next reply.
    for (const char* length : {"12abc", "-1", "", "99999999999999999999999", "0x10"}) {
        std::atomic<int> ended{0};
        Scripted_Server server(answer_in_turn(
            {"HTTP/1.1 200 OK\r\nContent-Length: " + std::string(length) + "\r\n\r\nbody"}, ended));
        auto client = invoker(server);
        start_get(*client);
        HTTP_Response response;
        EXPECT_EQ(client->recv_head(response), -1) << length;
        expect_malformed_and_closed(*client, ended);
    }
}

TEST_F(HttpClientBounds, ChunkSizeThatWouldWrapIsMalformed) {
    // 0x100000005 taken in 32 bits would be a chunk of 5.
    std::atomic<int> ended{0};
    Scripted_Server server(
        answer_in_turn({std::string(kChunkedHead) + "100000005\r\nhello\r\n0\r\n\r\n"}, ended));
    auto client = invoker(server);
    client->max_body_length(UINT64_MAX);
    start_get(*client);
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0);
    auto out = make_message_block(64);
    size_t got = 0;
    EXPECT_EQ(client->recv_body(*out, &got, 2), -1);
    EXPECT_EQ(got, 0u);
    expect_malformed_and_closed(*client, ended);
}

TEST_F(HttpClientBounds, ChunkOver64MiBIsMalformedBeforeItsData) {
    std::atomic<int> ended{0};
    Scripted_Server server(answer_in_turn(
        {std::string(kChunkedHead) + "4000001\r\n" + std::string(4096, 'd')}, ended));
    auto client = invoker(server);
    client->max_body_length(UINT64_MAX);
    start_get(*client);
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0);
    auto out = make_message_block(16);
    size_t got = 0;
    EXPECT_EQ(client->recv_body(*out, &got, 1), -1);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(out->size(), 16u);  // not enlarged for the chunk
    expect_malformed_and_closed(*client, ended);
}

TEST_F(HttpClientBounds, ChunkedBodyUpToTheLimitIsReadAndLongerIsMalformed) {
    std::atomic<int> ended{0};
    std::string ten = "6\r\nabcdef\r\n4\r\nghij\r\n";
    Scripted_Server server(answer_in_turn({std::string(kChunkedHead) + ten + "0\r\n\r\n",
                                           std::string(kChunkedHead) + ten + "1\r\nk\r\n0\r\n\r\n"},
                                          ended));
    auto client = invoker(server);
    client->max_body_length(10);
    HTTP_Response response;
    EXPECT_EQ(get(*client, response), "abcdefghij");
    EXPECT_EQ(client->error(), 0);

    start_get(*client);
    ASSERT_EQ(client->recv_head(response), 0);
    auto out = make_message_block(64);
    size_t got = 0;
    EXPECT_EQ(client->recv_body(*out, &got, 2), -1);
    EXPECT_EQ(std::string(out->rd_ptr(), out->length()), "abcdefghij");
    EXPECT_EQ(got, 10u);
    expect_malformed_and_closed(*client, ended);
}

// --- Texts a request head must not carry --------------------------------------

using HttpClientHeadTexts = HttpClient;

// Each refused request leaves the connection as it was: the good request
// after them is the first head that the peer receives.
TEST_F(HttpClientHeadTexts, ControlCharactersInHeaderTextsAreRefused) {
    Received received;
    Scripted_Server server(record(received));
    auto client = invoker(server);
    ASSERT_EQ(client->connect(connector()), 0);
    const std::string port = std::to_string(server.port());
    for (const char* bad : {"sid=1\r\nX-Injected: 1", "sid=1\nX", "sid=1\rX", "a\x01z", "a\x7fz"}) {
        HTTP_Request request(HTTP_METHOD_GET, "/", 1, 1);
        request.cookie(bad);
        EXPECT_EQ(client->send_head(request), -1);
        EXPECT_EQ(client->error(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(client->state(), HTTP_Invoker::STATE_CONNECTED);
        EXPECT_EQ(logged(), "Refused to send HTTP request to 127.0.0.1:" + port +
                                ": its Cookie header holds a control character.\n");
    }
    HTTP_Request host(HTTP_METHOD_GET, "/", 1, 1);
    host.headers().put(HTTP_HEAD_HOST, "h\r\n\r\nGET /other HTTP/1.1");
    EXPECT_EQ(client->send_head(host), -1);
    EXPECT_EQ(logged(), "Refused to send HTTP request to 127.0.0.1:" + port +
                            ": its Host header holds a control character.\n");

    // Tabs and bytes above ASCII may stand in a header text.
    HTTP_Request good(HTTP_METHOD_GET, "/", 1, 1);
    good.cookie("a\tb \xc3\xa9");
    ASSERT_EQ(client->send_head(good), 0) << logged();
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0);
    std::lock_guard<std::mutex> lock(received.mutex);
    ASSERT_EQ(received.heads.size(), 1u);
    EXPECT_EQ(received.heads[0],
              "GET / HTTP/1.1\r\nCookie: a\tb \xc3\xa9\r\nHost: 127.0.0.1\r\n\r\n");
}

TEST_F(HttpClientHeadTexts, SpacesAndControlCharactersInTheUriAreRefused) {
    Received received;
    Scripted_Server server(record(received));
    auto client = invoker(server);
    ASSERT_EQ(client->connect(connector()), 0);
    for (const char* bad :
         {"/a b", "/a\r\nX-Injected: 1", "/a\n", "/a\r", "/a\tb", "/a\x01", "/a\x7f", " /a"}) {
        HTTP_Request request(HTTP_METHOD_GET, bad, 1, 1);
        EXPECT_EQ(client->send_head(request), -1);
        EXPECT_EQ(client->error(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(logged(),
                  "Refused to send HTTP request to 127.0.0.1:" + std::to_string(server.port()) +
                      ": its URI holds a space or a control character.\n");
    }
    HTTP_Request good(HTTP_METHOD_GET, "/a%20b?c=d", 1, 1);
    ASSERT_EQ(client->send_head(good), 0);
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0);
    std::lock_guard<std::mutex> lock(received.mutex);
    ASSERT_EQ(received.heads.size(), 1u);
    EXPECT_EQ(received.heads[0].rfind("GET /a%20b?c=d HTTP/1.1\r\n", 0), 0u);
}

TEST_F(HttpClientHeadTexts, NulEndsATextBeforeTheWire) {
    // Texts are NUL-terminated: what follows a NUL never reaches the head.
    Received received;
    Scripted_Server server(record(received));
    auto client = invoker(server);
    ASSERT_EQ(client->connect(connector()), 0);
    std::string cookie("sid=1\0\r\nX-Injected: 1", 21);
    std::string uri("/p\0 /q", 6);
    HTTP_Request request(HTTP_METHOD_GET, uri.c_str(), 1, 1);
    request.cookie(cookie.c_str());
    ASSERT_EQ(client->send_head(request), 0);
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0);
    std::lock_guard<std::mutex> lock(received.mutex);
    ASSERT_EQ(received.heads.size(), 1u);
    EXPECT_EQ(received.heads[0], "GET /p HTTP/1.1\r\nCookie: sid=1\r\nHost: 127.0.0.1\r\n\r\n");
}

// --- Connections and the cache ----------------------------------------------

using HttpClientConnections = HttpClient;

TEST_F(HttpClientConnections, KeptAliveConnectionIsReused) {
    Scripted_Server server(answer_each(response_with("ok")));
    auto client = invoker(server);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(get(*client), "ok");
    auto other = invoker(server);
    EXPECT_EQ(get(*other), "ok");
    EXPECT_EQ(server.accepts(), 1);
}

TEST_F(HttpClientConnections, ConnectionTheServerDoesNotKeepIsClosedAfterTheBody) {
    std::atomic<int> closed_by_client{0};
    Scripted_Server server([&](Peer& peer) {
        if (peer.read_head().empty()) return;
        peer.send(response_with("bye", "Connection: close\r\n"));
        if (peer.client_closed(3000)) ++closed_by_client;
    });
    auto client = invoker(server);
    start_get(*client);
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0);
    EXPECT_FALSE(client->keep_alive());
    EXPECT_EQ(read_stream(*client), "bye");
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_IDLE);
    EXPECT_EQ(client->handler(), nullptr);
    EXPECT_EQ(get(*client), "bye");
    EXPECT_EQ(server.accepts(), 2);
    server.stop();
    EXPECT_EQ(closed_by_client.load(), 2);
}

TEST_F(HttpClientConnections, ResponseWithoutBodyOrKeepAliveIsNotCached) {
    std::atomic<int> closed_by_client{0};
    Scripted_Server server([&](Peer& peer) {
        if (peer.read_head().empty()) return;
        peer.send("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
        if (peer.client_closed(3000)) ++closed_by_client;
    });
    auto client = invoker(server);
    for (int i = 0; i < 2; ++i) {
        start_get(*client);
        HTTP_Response response;
        ASSERT_EQ(client->recv_head(response), 0);
        EXPECT_EQ(client->state(), HTTP_Invoker::STATE_COMPLETE);
        EXPECT_FALSE(client->keep_alive());
        EXPECT_EQ(client->close(), 0);
    }
    EXPECT_EQ(server.accepts(), 2);
    server.stop();
    EXPECT_EQ(closed_by_client.load(), 2);
}

TEST_F(HttpClientConnections, CachedConnectionThatTheServerClosedIsReplaced) {
    std::atomic<int> served{0};
    Scripted_Server server([&](Peer& peer) {
        if (peer.read_head().empty()) return;
        peer.send(response_with("once"));
        ++served;  // and the server closes this kept-alive connection
    });
    auto client = invoker(server);
    EXPECT_EQ(get(*client), "once");
    while (served.load() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    auto second = std::async(std::launch::async, [&] {
        HTTP_Invoker next("127.0.0.1", server.port());
        return get(next);
    });
    if (second.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        std::fprintf(stderr, "the connect after a closed cached connection hangs\n");
        std::abort();
    }
    EXPECT_EQ(second.get(), "once");
    EXPECT_EQ(server.accepts(), 2);
}

TEST_F(HttpClientConnections, InvokersOnManyThreadsShareTheCache) {
    Scripted_Server server([](Peer& peer) {
        for (std::string head; !(head = peer.read_head()).empty();) {
            std::string path = head.substr(4, head.find(' ', 4) - 4);
            peer.send(response_with(path));
        }
    });
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                HTTP_Invoker client("127.0.0.1", server.port());
                std::string path = "/t" + std::to_string(t) + "/" + std::to_string(i);
                if (client.connect(connector()) != 0) continue;
                HTTP_Request request(HTTP_METHOD_GET, path.c_str(), 1, 1);
                HTTP_Response response;
                if (client.send_head(request) != 0 || client.recv_head(response) != 0) continue;
                if (read_stream(client) == path && client.state() == HTTP_Invoker::STATE_COMPLETE)
                    ++good;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(good.load(), kThreads * kRounds);
    EXPECT_GE(server.accepts(), 1);
    EXPECT_LE(server.accepts(), kThreads);
}

// --- Time-outs --------------------------------------------------------------

using HttpClientTimeouts = HttpClient;

TEST_F(HttpClientTimeouts, DefaultsAndTheProcessWideSettings) {
    HTTP_Timeouts defaults;
    EXPECT_EQ(defaults.connect_ms, 30000u);
    EXPECT_EQ(defaults.send_ms, 60000u);
    EXPECT_EQ(defaults.recv_ms, 60000u);
    HTTP_Invoker before("127.0.0.1", 1);
    EXPECT_EQ(before.timeouts().recv_ms, 60000u);

    set_http_client_timeouts(HTTP_Timeouts{1000, 0, 2500});
    HTTP_Invoker after("127.0.0.1", 1);
    EXPECT_EQ(after.timeouts().connect_ms, 1000u);
    EXPECT_EQ(after.timeouts().send_ms, 60000u);
    EXPECT_EQ(after.timeouts().recv_ms, 2500u);
    EXPECT_EQ(before.timeouts().connect_ms, 30000u);

    after.timeouts(HTTP_Timeouts{0, 5, 0});
    EXPECT_EQ(after.timeouts().connect_ms, 30000u);
    EXPECT_EQ(after.timeouts().send_ms, 5u);
    EXPECT_EQ(after.timeouts().recv_ms, 60000u);
    set_http_client_timeouts(HTTP_Timeouts{});
    EXPECT_EQ(http_client_timeouts().connect_ms, 30000u);
}

TEST_F(HttpClientTimeouts, ServerThatNeverAnswersGives10060) {
    Scripted_Server server([](Peer& peer) {
        peer.read_head();
        peer.wait_for_stop();
    });
    auto client = invoker(server);
    client->timeouts(short_timeouts());
    start_get(*client);
    HTTP_Response response;
    EXPECT_EQ(client->recv_head(response), -1);
    EXPECT_EQ(client->error(), WSAETIMEDOUT);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAETIMEDOUT));
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_RECEIVING_HEAD);
    std::string log = logged();
    EXPECT_EQ(log.rfind("Failed to wait for HTTP ready to read from 127.0.0.1:" +
                            std::to_string(server.port()) + " ",
                        0),
              0u)
        << log;
    EXPECT_NE(log.find("ran out of time"), std::string::npos) << log;
    EXPECT_EQ(client->close(), 0);
}

TEST_F(HttpClientTimeouts, ServerThatStallsInTheBodyGives10060) {
    Scripted_Server server([](Peer& peer) {
        peer.read_head();
        peer.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
        peer.wait_for_stop();
    });
    auto client = invoker(server);
    client->timeouts(short_timeouts());
    start_get(*client);
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0);
    EXPECT_EQ(read_stream(*client), "0123456789");
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_RECEIVING_BODY);
    EXPECT_EQ(client->error(), WSAETIMEDOUT);

    auto out = make_message_block(90);
    size_t got = 0;
    EXPECT_EQ(client->recv_body(*out, &got, 2), -1);
    EXPECT_EQ(client->error(), WSAETIMEDOUT);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAETIMEDOUT));
}

TEST_F(HttpClientTimeouts, ServerThatStallsInAChunkGives10060) {
    Scripted_Server server([](Peer& peer) {
        peer.read_head();
        peer.send(std::string(kChunkedHead) + "10\r\n0123");
        peer.wait_for_stop();
    });
    auto client = invoker(server);
    client->timeouts(short_timeouts());
    start_get(*client);
    HTTP_Response response;
    ASSERT_EQ(client->recv_head(response), 0);
    auto out = make_message_block(64);
    size_t got = 0;
    EXPECT_EQ(client->recv_body(*out, &got, 2), -1);
    EXPECT_EQ(got, 4u);
    EXPECT_EQ(client->error(), WSAETIMEDOUT);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_RECEIVING_BODY);
}

TEST_F(HttpClientTimeouts, ServerThatStopsReadingGives10060OnSend) {
    Scripted_Server server([](Peer& peer) {
        peer.read_head();
        peer.wait_for_stop();
    });
    auto client = invoker(server);
    client->timeouts(short_timeouts());
    ASSERT_EQ(client->connect(connector()), 0);
    client->send_buffer_size(4096);
    HTTP_Request request(HTTP_METHOD_POST, "/", 1, 1);
    const uint64_t total = uint64_t{1} << 30;
    request.content_length(total);
    ASSERT_EQ(client->send_head(request), 0);
    std::string block(1 << 20, 'b');
    int result = 0;
    uint64_t sent = 0;
    while (sent < total && (result = client->send_body(block.data(), block.size())) > 0)
        sent += static_cast<uint64_t>(result);
    EXPECT_EQ(result, -1);
    EXPECT_LT(sent, total);
    EXPECT_EQ(client->error(), WSAETIMEDOUT);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAETIMEDOUT));
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_SENDING_BODY);
    EXPECT_NE(logged().find("Unable to send HTTP request to 127.0.0.1:"), std::string::npos);
}

TEST_F(HttpClientTimeouts, ConnectToAServerThatNeverAnswersGives10060) {
    Scripted_Server black_hole(nullptr, false, 0);
    black_hole.fill_backlog();
    auto client = invoker(black_hole);
    client->timeouts(short_timeouts());
    EXPECT_EQ(client->connect(connector()), -1);
    EXPECT_EQ(client->error(), WSAETIMEDOUT);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAETIMEDOUT));
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_CONNECTING);
    EXPECT_EQ(logged().rfind("Failed to connect HTTP 127.0.0.1:" +
                                 std::to_string(black_hole.port()) + ", 10060: ",
                             0),
              0u);
    EXPECT_EQ(client->close(), -1);
    EXPECT_EQ(client->state(), HTTP_Invoker::STATE_IDLE);
}

// A stop check that answers true once its time has come.
class Stop_After : public interrupter {
public:
    explicit Stop_After(int ms)
        : at_(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)) {}
    bool interrupted() override { return std::chrono::steady_clock::now() >= at_; }

private:
    std::chrono::steady_clock::time_point at_;
};

// A server that trickles a reply one byte every 100 ms, each byte well
// within the receive time-out, in its head, its body or its chunks: the
// exchange's deadline ends it with 10060, a stop check with 1223, each
// within a second or two of its time (asserted generously).
TEST_F(HttpClientTimeouts, TricklingRepliesEndAtTheDeadlineOrAtAStop) {
    const std::string replies[] = {
        "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-Padding: " + std::string(300, 'p') +
            "\r\n\r\nhello",
        "HTTP/1.1 200 OK\r\nContent-Length: 300\r\n\r\n" + std::string(300, 'b'),
        std::string(kChunkedHead) + "12c\r\n" + std::string(300, 'c') + "\r\n0\r\n\r\n",
    };
    for (const std::string& reply : replies) {
        for (bool stop : {false, true}) {
            SCOPED_TRACE(reply.substr(0, 40) + (stop ? " stopped" : " deadline"));
            Scripted_Server server([reply](Peer& peer) {
                peer.read_head();
                size_t head = reply.find("\r\n\r\n") + 4;
                bool head_too = reply.find("X-Padding") != std::string::npos;
                size_t at = head_too ? 0 : head;
                peer.send(reply.substr(0, at));
                for (; at < reply.size() && !peer.client_closed(100); ++at)
                    peer.send(reply.substr(at, 1));
            });
            auto client = invoker(server);
            Stop_After check(1000);
            if (stop)
                client->stop_check(&check);
            else
                client->deadline_in(1000);
            auto begun = std::chrono::steady_clock::now();
            start_get(*client);
            HTTP_Response response;
            if (client->recv_head(response) == 0) read_stream(*client);
            EXPECT_EQ(client->error(), stop ? static_cast<int>(ERROR_CANCELLED) : WSAETIMEDOUT);
            EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(10));
            client->close();
        }
    }
}

TEST_F(HttpClientTimeouts, RefusedConnectGives10061AtOnce) {
    unsigned short port;
    {
        Scripted_Server closed(nullptr, false);
        port = closed.port();
    }
    HTTP_Invoker client("127.0.0.1", port);
    EXPECT_EQ(client.connect(connector()), -1);
    EXPECT_EQ(client.error(), WSAECONNREFUSED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(WSAECONNREFUSED));
    EXPECT_EQ(client.state(), HTTP_Invoker::STATE_CONNECTING);
}

}  // namespace
