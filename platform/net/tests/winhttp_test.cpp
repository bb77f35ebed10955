// Asynchronous WinHTTP: the calls and the order of notifications that the job
// notification client relies on, against a scripted server.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "tools/testkit/http_script_server.h"

using tovel::testing::free_loopback_port;
using tovel::testing::HttpPeer;
using tovel::testing::HttpScriptServer;

#define EXPECT_FAILS(call, code)                    \
    do {                                            \
        EXPECT_FALSE(call) << #call;                \
        EXPECT_EQ(GetLastError(), (code)) << #call; \
    } while (0)

namespace {

constexpr auto kBound = std::chrono::seconds(30);  // only reached when something is wrong

struct Seen {
    DWORD status = 0;
    DWORD_PTR context = 0;
    DWORD count = 0;   // DATA_AVAILABLE
    DWORD api = 0;     // REQUEST_ERROR
    DWORD error = 0;   // REQUEST_ERROR
    DWORD length = 0;  // READ_COMPLETE
};

// Records the notifications of one request and, when drive is set, moves it
// on from its callbacks as the notification client does: receive, status,
// query, read at once, query again.
class Recorder {
public:
    bool drive = true;
    DWORD readSize = 1024;
    // Runs on the callback thread before the recorder moves on.
    std::function<void(Recorder&, DWORD status)> hook;
    HINTERNET request = nullptr;

    DWORD_PTR context() { return reinterpret_cast<DWORD_PTR>(this); }

    static void callback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID information,
                         DWORD length) {
        reinterpret_cast<Recorder*>(context)->on(handle, context, status, information, length);
    }

    // Waits until a notification of the status has come.
    bool wait_for(DWORD status) {
        return wait_until([&](const Seen& s) { return s.status == status; });
    }
    // Waits until a notification that matches has come.
    bool wait_until(const std::function<bool(const Seen&)>& match) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, kBound,
                                 [&] { return std::any_of(seen_.begin(), seen_.end(), match); });
    }
    std::vector<Seen> seen() {
        std::lock_guard<std::mutex> guard(lock_);
        return seen_;
    }
    std::vector<DWORD> statuses() {
        std::vector<DWORD> out;
        for (const Seen& s : seen()) out.push_back(s.status);
        return out;
    }
    std::string body() {
        std::lock_guard<std::mutex> guard(lock_);
        return body_;
    }
    DWORD http_status() const { return httpStatus_.load(); }
    // Something the callbacks found wrong, "" when nothing.
    std::string fault() {
        std::lock_guard<std::mutex> guard(lock_);
        return fault_;
    }

private:
    void note(const std::string& fault) {
        std::lock_guard<std::mutex> guard(lock_);
        if (fault_.empty()) fault_ = fault;
    }

    void on(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID information, DWORD length) {
        if (inside_.fetch_add(1) != 0) note("callbacks overlap");
        if (std::this_thread::get_id() == tester_) note("a callback on the caller's thread");
        if (handle != request) note("a callback for another handle");
        Seen s;
        s.status = status;
        s.context = context;
        if (status == WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE) {
            if (length != sizeof(DWORD)) note("DATA_AVAILABLE's length");
            s.count = *static_cast<DWORD*>(information);
        } else if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR) {
            auto* result = static_cast<WINHTTP_ASYNC_RESULT*>(information);
            s.api = static_cast<DWORD>(result->dwResult);
            s.error = result->dwError;
        } else if (status == WINHTTP_CALLBACK_STATUS_READ_COMPLETE) {
            s.length = length;
            if (information != buffer_.data() || length != lastRead_)
                note("READ_COMPLETE differs from the read");
        } else if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
            if (length != sizeof(HINTERNET) || *static_cast<HINTERNET*>(information) != handle)
                note("HANDLE_CLOSING's information");
        }
        if (hook) hook(*this, status);
        if (drive) move_on(handle, s);
        inside_.fetch_sub(1);
        // Recorded last: once a waiter sees HANDLE_CLOSING it may destroy the recorder.
        std::lock_guard<std::mutex> guard(lock_);
        if (!seen_.empty() && seen_.back().status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING)
            fault_ = "a callback after HANDLE_CLOSING";
        seen_.push_back(s);
        changed_.notify_all();
    }

    void move_on(HINTERNET handle, const Seen& s) {
        switch (s.status) {
            case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
                if (!WinHttpReceiveResponse(handle, nullptr)) note("receive refused");
                break;
            case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE: {
                DWORD code = 0;
                DWORD size = sizeof code;
                if (!WinHttpQueryHeaders(
                        handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX))
                    note("status query refused");
                httpStatus_ = code;
                if (!WinHttpQueryDataAvailable(handle, nullptr)) note("query refused");
                break;
            }
            case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE: {
                if (s.count == 0) break;
                buffer_.assign(readSize, '\0');
                DWORD want = std::min(s.count, readSize);
                DWORD got = 0;
                if (!WinHttpReadData(handle, buffer_.data(), want, &got) || got != want)
                    note("a read of available bytes did not complete at once");
                lastRead_ = got;
                {
                    std::lock_guard<std::mutex> guard(lock_);
                    body_.append(buffer_.data(), got);
                }
                if (!WinHttpQueryDataAvailable(handle, nullptr)) note("query refused");
                break;
            }
            default:
                break;
        }
    }

    std::thread::id tester_ = std::this_thread::get_id();
    std::atomic<int> inside_{0};
    std::atomic<DWORD> httpStatus_{0};
    std::vector<char> buffer_;
    DWORD lastRead_ = 0;
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Seen> seen_;
    std::string body_;
    std::string fault_;
};

// A session, a connection to 127.0.0.1:port and a GET of "/jobnotify/" with
// the recorder's callback; closes what is still open at the end.
class Exchange {
public:
    explicit Exchange(unsigned short port, Recorder& recorder) : recorder_(recorder) {
        session_ = WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
        connection_ = WinHttpConnect(session_, L"127.0.0.1", port, 0);
        request_ = WinHttpOpenRequest(connection_, L"GET", L"/jobnotify/", nullptr,
                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0);
        recorder.request = request_;
        EXPECT_NE(request_, nullptr);
        EXPECT_EQ(WinHttpSetStatusCallback(request_, &Recorder::callback,
                                           WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0),
                  nullptr);
    }
    ~Exchange() {
        close_request();
        for (HINTERNET h : {connection_, session_})
            if (h) WinHttpCloseHandle(h);
    }
    HINTERNET request() const { return request_; }
    HINTERNET connection() const { return connection_; }
    HINTERNET session() const { return session_; }
    BOOL send() {
        return WinHttpSendRequest(request_, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                  WINHTTP_NO_REQUEST_DATA, 0, 0, recorder_.context());
    }
    // Closes the request and waits for its final notification.
    void close_request() {
        if (!request_) return;
        EXPECT_TRUE(WinHttpCloseHandle(request_));
        EXPECT_TRUE(recorder_.wait_for(WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING));
        request_ = nullptr;
    }
    // The test closed the request itself and saw its HANDLE_CLOSING.
    void request_closed() { request_ = nullptr; }
    void connection_closed() { connection_ = nullptr; }
    void session_closed() { session_ = nullptr; }

private:
    Recorder& recorder_;
    HINTERNET session_ = nullptr;
    HINTERNET connection_ = nullptr;
    HINTERNET request_ = nullptr;
};

// A text shared between a script's thread and the test.
class Shared {
public:
    void set(const std::string& text) {
        std::lock_guard<std::mutex> guard(lock_);
        text_ = text;
    }
    std::string get() {
        std::lock_guard<std::mutex> guard(lock_);
        return text_;
    }

private:
    std::mutex lock_;
    std::string text_;
};

// A one-way gate: wait() returns once open() was called.
class Gate {
public:
    void open() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            open_ = true;
        }
        changed_.notify_all();
    }
    bool wait() {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, kBound, [&] { return open_; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool open_ = false;
};

constexpr DWORD kSent = WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE;
constexpr DWORD kHead = WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE;
constexpr DWORD kData = WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE;
constexpr DWORD kRead = WINHTTP_CALLBACK_STATUS_READ_COMPLETE;
constexpr DWORD kError = WINHTTP_CALLBACK_STATUS_REQUEST_ERROR;
constexpr DWORD kClosing = WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING;

// Waits for the end of the body: DATA_AVAILABLE with 0 bytes.
bool wait_end(Recorder& r) {
    return r.wait_until([](const Seen& s) { return s.status == kData && s.count == 0; });
}

}  // namespace

TEST(PlatformWinHttp, StreamsAChunkedBodyInTheOrderTheClientRelies) {
    Shared head;
    HttpScriptServer server([&](HttpPeer& peer) {
        head.set(peer.read_head());
        peer.send_chunked_head();
        peer.send_chunk("{\"id\":\"a\"}");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        peer.send_chunk("{\"id\":\"b\"}");
        peer.end_chunks();
        peer.wait_closed();
    });
    Recorder recorder;
    Exchange exchange(server.port(), recorder);
    ASSERT_TRUE(exchange.send());
    ASSERT_TRUE(wait_end(recorder));
    EXPECT_EQ(recorder.body(), "{\"id\":\"a\"}{\"id\":\"b\"}");
    EXPECT_EQ(recorder.http_status(), 200u);
    EXPECT_EQ(recorder.fault(), "");

    std::vector<DWORD> order = recorder.statuses();
    ASSERT_GE(order.size(), 5u);
    EXPECT_EQ(order[0], kSent);
    EXPECT_EQ(order[1], kHead);
    // Then DATA_AVAILABLE and READ_COMPLETE by turns, and the end.
    for (size_t i = 2; i + 1 < order.size(); ++i) EXPECT_EQ(order[i], (i % 2 == 0) ? kData : kRead);
    EXPECT_EQ(order.back(), kData);
    for (const Seen& s : recorder.seen()) EXPECT_EQ(s.context, recorder.context());

    exchange.close_request();
    EXPECT_EQ(recorder.statuses().back(), kClosing);
    EXPECT_EQ(recorder.fault(), "");

    // The request as it went: HTTP/1.1, the Host, no agent, no Accept.
    std::string sent = head.get();
    EXPECT_EQ(sent.rfind("GET /jobnotify/ HTTP/1.1\r\n", 0), 0u) << sent;
    EXPECT_NE(sent.find("Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n"),
              std::string::npos)
        << sent;
    EXPECT_EQ(sent.find("User-Agent"), std::string::npos) << sent;
    EXPECT_EQ(sent.find("Accept"), std::string::npos) << sent;
}

TEST(PlatformWinHttp, ATestMovesPort8888ToItsOwnServer) {
    HttpScriptServer server([&](HttpPeer& peer) {
        peer.read_head();
        peer.send_chunked_head();
        peer.send_chunk("moved");
        peer.end_chunks();
        peer.wait_closed();
    });
    setenv("TOVEL_WINHTTP_PORT_MAP", ("1=2,8888=" + std::to_string(server.port())).c_str(), 1);
    Recorder recorder;
    Exchange exchange(8888, recorder);
    unsetenv("TOVEL_WINHTTP_PORT_MAP");
    ASSERT_TRUE(exchange.send());
    ASSERT_TRUE(wait_end(recorder));
    EXPECT_EQ(recorder.body(), "moved");
}

TEST(PlatformWinHttp, BodyArrivesWholeWhateverItsPieces) {
    std::string body;
    for (int i = 0; i < 300; ++i) body += static_cast<char>('a' + i % 26);
    std::string big(3 * 1024 * 1024 + 17, 'x');
    for (size_t i = 0; i < big.size(); i += 4099) big[i] = static_cast<char>('A' + i % 26);
    std::atomic<int> requests{0};
    HttpScriptServer server([&](HttpPeer& peer) {
        while (!peer.read_head().empty()) {  // the connection may be kept for the next
            peer.send_chunked_head();
            if (++requests == 1) {
                for (char c : body) peer.send_chunk(std::string(1, c));  // a chunk a byte
            } else {
                for (size_t at = 0; at < big.size(); at += 65536)
                    peer.send_chunk(big.substr(at, 65536));
            }
            peer.end_chunks();
        }
    });
    {
        Recorder recorder;
        Exchange exchange(server.port(), recorder);
        ASSERT_TRUE(exchange.send());
        ASSERT_TRUE(wait_end(recorder));
        EXPECT_EQ(recorder.body(), body);
        EXPECT_EQ(recorder.fault(), "");
    }
    {
        // More than the layer buffers: the transfer waits for the reader.
        Recorder recorder;
        recorder.readSize = 16384;
        Exchange exchange(server.port(), recorder);
        ASSERT_TRUE(exchange.send());
        ASSERT_TRUE(wait_end(recorder));
        EXPECT_TRUE(recorder.body() == big) << recorder.body().size();
        EXPECT_EQ(recorder.fault(), "");
    }
}

TEST(PlatformWinHttp, StatusOtherThan200IsReadAsANumber) {
    HttpScriptServer server([&](HttpPeer& peer) {
        peer.read_head();
        peer.send("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found");
        peer.wait_closed();
    });
    Recorder recorder;
    Gate checked;
    recorder.drive = false;
    recorder.hook = [&](Recorder& r, DWORD status) {
        if (status == kSent) WinHttpReceiveResponse(r.request, nullptr);
        if (status != kHead) return;
        DWORD code = 0;
        DWORD size = 2;
        const DWORD level = WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER;
        EXPECT_FAILS(WinHttpQueryHeaders(r.request, level, nullptr, &code, &size, nullptr),
                     ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(size, 4u);
        EXPECT_TRUE(WinHttpQueryHeaders(r.request, level, nullptr, &code, &size, nullptr));
        EXPECT_EQ(code, 404u);
        EXPECT_FAILS(WinHttpQueryHeaders(r.request, 1, nullptr, &code, &size, nullptr),
                     ERROR_WINHTTP_HEADER_NOT_FOUND);  // a level not realised
        checked.open();
    };
    Exchange exchange(server.port(), recorder);
    ASSERT_TRUE(exchange.send());
    ASSERT_TRUE(checked.wait());
    exchange.close_request();
    EXPECT_EQ(recorder.statuses(), (std::vector<DWORD>{kSent, kHead, kClosing}));
    EXPECT_EQ(recorder.fault(), "");
}

TEST(PlatformWinHttp, RefusedConnectionFailsTheSendAndTheRequestCanBeSentAgain) {
    unsigned short port = free_loopback_port();
    ASSERT_NE(port, 0);
    std::unique_ptr<HttpScriptServer> server;
    Recorder recorder;
    recorder.hook = [&](Recorder& r, DWORD status) {
        if (status != kError) return;
        // As the notification client does: again, once the server is up.
        if (!server) {
            server = std::make_unique<HttpScriptServer>(
                [](HttpPeer& peer) {
                    peer.read_head();
                    peer.send_chunked_head();
                    peer.send_chunk("up");
                    peer.end_chunks();
                    peer.wait_closed();
                },
                port);
        }
        EXPECT_TRUE(WinHttpSendRequest(r.request, nullptr, 0, nullptr, 0, 0, r.context()));
    };
    Exchange exchange(port, recorder);
    ASSERT_TRUE(exchange.send());
    ASSERT_TRUE(wait_end(recorder));
    ASSERT_TRUE(server && server->listening());
    std::vector<Seen> seen = recorder.seen();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(seen[0].status, kError);
    EXPECT_EQ(seen[0].api, API_SEND_REQUEST);
    EXPECT_EQ(seen[0].error, ERROR_WINHTTP_CANNOT_CONNECT);
    EXPECT_EQ(seen[1].status, kSent);
    EXPECT_EQ(recorder.body(), "up");
    EXPECT_EQ(recorder.fault(), "");
}

TEST(PlatformWinHttp, ConnectionResetAfterSomeBodyFailsTheNextQuery) {
    HttpScriptServer server([&](HttpPeer& peer) {
        peer.read_head();
        peer.send_chunked_head();
        peer.send_chunk("partial");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        peer.reset();
    });
    Recorder recorder;
    Exchange exchange(server.port(), recorder);
    ASSERT_TRUE(exchange.send());
    ASSERT_TRUE(recorder.wait_for(kError));
    EXPECT_EQ(recorder.body(), "partial");  // what came is read first
    Seen last = recorder.seen().back();
    EXPECT_EQ(last.api, API_QUERY_DATA_AVAILABLE);
    EXPECT_EQ(last.error, ERROR_WINHTTP_CONNECTION_ERROR);
    EXPECT_EQ(recorder.fault(), "");
}

TEST(PlatformWinHttp, ReceiveLimitEndsASilentStreamUnlessLifted) {
    HttpScriptServer server([&](HttpPeer& peer) {
        peer.read_head();
        peer.send_chunked_head();
        if (peer.index() == 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
            peer.send_chunk("late");
            peer.end_chunks();
        }
        peer.wait_closed();
    });
    {
        Recorder recorder;
        Exchange exchange(server.port(), recorder);
        ASSERT_TRUE(WinHttpSetTimeouts(exchange.request(), 0, 60000, 30000, 200));
        ASSERT_TRUE(exchange.send());
        ASSERT_TRUE(recorder.wait_for(kError));
        Seen last = recorder.seen().back();
        EXPECT_EQ(last.api, API_QUERY_DATA_AVAILABLE);
        EXPECT_EQ(last.error, ERROR_WINHTTP_TIMEOUT);
    }
    {
        // -1, as the notification client sets it: no limit.
        Recorder recorder;
        Exchange exchange(server.port(), recorder);
        ASSERT_TRUE(WinHttpSetTimeouts(exchange.request(), 0, 60000, 30000, 200));
        ASSERT_TRUE(WinHttpSetTimeouts(exchange.request(), 0, 60000, 30000, -1));
        ASSERT_TRUE(exchange.send());
        ASSERT_TRUE(wait_end(recorder));
        EXPECT_EQ(recorder.body(), "late");
        for (const Seen& s : recorder.seen()) EXPECT_NE(s.status, kError);
        EXPECT_EQ(recorder.fault(), "");
    }
}

TEST(PlatformWinHttp, ClosingWhileAnOperationIsPendingEndsWithHandleClosingOnly) {
    Gate closed[3];  // by connection
    HttpScriptServer server([&](HttpPeer& peer) {
        peer.read_head();
        peer.send_chunked_head();
        closed[std::min(peer.index(), 2)].wait();
        peer.send_chunk("too late");  // after the close: delivered to nobody
        peer.wait_closed();
    });
    for (bool read : {false, true}) {
        Recorder recorder;
        recorder.drive = false;
        std::vector<char> buffer(64);
        recorder.hook = [&](Recorder& r, DWORD status) {
            if (status == kSent) {
                EXPECT_TRUE(WinHttpReceiveResponse(r.request, nullptr));
            }
            if (status != kHead) return;
            if (read) {
                DWORD got = 99;
                EXPECT_TRUE(WinHttpReadData(r.request, buffer.data(), 64, &got));
                EXPECT_EQ(got, 0u);  // nothing buffered yet: pending
            } else {
                EXPECT_TRUE(WinHttpQueryDataAvailable(r.request, nullptr));
            }
        };
        Exchange exchange(server.port(), recorder);
        ASSERT_TRUE(exchange.send());
        ASSERT_TRUE(recorder.wait_for(kHead));
        HINTERNET request = exchange.request();
        exchange.close_request();
        EXPECT_FAILS(WinHttpQueryDataAvailable(request, nullptr), ERROR_INVALID_HANDLE);
        closed[read ? 2 : 1].open();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // room for a stray one
        EXPECT_EQ(recorder.statuses(), (std::vector<DWORD>{kSent, kHead, kClosing})) << read;
        EXPECT_EQ(recorder.fault(), "");
    }
}

TEST(PlatformWinHttp, HandleClosingWaitsForTheRunningCallback) {
    HttpScriptServer server([&](HttpPeer& peer) {
        peer.read_head();
        peer.send_chunked_head();
        peer.send_chunk("data");
        peer.wait_closed();
    });
    Recorder recorder;
    Gate inside;
    Gate release;
    std::atomic<bool> returned{false};
    recorder.hook = [&](Recorder&, DWORD status) {
        if (status != kData) return;
        inside.open();
        release.wait();
        recorder.drive = false;  // the read would fail: the handle is closed
        returned = true;
    };
    Exchange exchange(server.port(), recorder);
    ASSERT_TRUE(exchange.send());
    ASSERT_TRUE(inside.wait());
    // The close does not wait for the callback; the final notification does.
    ASSERT_TRUE(WinHttpCloseHandle(exchange.request()));
    release.open();
    ASSERT_TRUE(recorder.wait_for(kClosing));
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(recorder.statuses(), (std::vector<DWORD>{kSent, kHead, kData, kClosing}));
    EXPECT_EQ(recorder.fault(), "");  // among others: no overlap
    exchange.request_closed();
}

TEST(PlatformWinHttp, ClosingFromInsideACallback) {
    HttpScriptServer server([&](HttpPeer& peer) {
        peer.read_head();
        peer.send_chunked_head();
        peer.send_chunk("data");
        peer.wait_closed();
    });
    Recorder recorder;
    recorder.hook = [&](Recorder& r, DWORD status) {
        if (status != kData) return;
        EXPECT_TRUE(WinHttpCloseHandle(r.request));
        r.drive = false;
        DWORD got = 0;
        char buffer[8];
        EXPECT_FAILS(WinHttpReadData(r.request, buffer, sizeof buffer, &got), ERROR_INVALID_HANDLE);
    };
    Exchange exchange(server.port(), recorder);
    ASSERT_TRUE(exchange.send());
    ASSERT_TRUE(recorder.wait_for(kClosing));
    EXPECT_EQ(recorder.statuses(), (std::vector<DWORD>{kSent, kHead, kData, kClosing}));
    EXPECT_EQ(recorder.fault(), "");
    exchange.request_closed();
}

TEST(PlatformWinHttp, OperationsOutOfOrderAreRefused) {
    HttpScriptServer server([&](HttpPeer& peer) {
        peer.read_head();
        peer.send_chunked_head();
        peer.wait_closed();  // then silence
    });
    Recorder recorder;
    recorder.drive = false;
    Exchange exchange(server.port(), recorder);
    HINTERNET request = exchange.request();
    char buffer[16];
    DWORD size = 4;
    DWORD code = 0;
    const DWORD level = WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER;
    constexpr DWORD kState = ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    // Before a send.
    EXPECT_FAILS(WinHttpReceiveResponse(request, nullptr), kState);
    EXPECT_FAILS(WinHttpQueryHeaders(request, level, nullptr, &code, &size, nullptr), kState);
    EXPECT_FAILS(WinHttpQueryDataAvailable(request, nullptr), kState);
    EXPECT_FAILS(WinHttpReadData(request, buffer, sizeof buffer, nullptr), kState);

    Gate headers;
    recorder.hook = [&](Recorder& r, DWORD status) {
        if (status == kSent) {
            EXPECT_TRUE(WinHttpReceiveResponse(r.request, nullptr));
            EXPECT_FAILS(WinHttpReceiveResponse(r.request, nullptr), kState);
        }
        if (status == kHead) headers.open();
    };
    ASSERT_TRUE(exchange.send());
    ASSERT_TRUE(headers.wait());
    EXPECT_FAILS(WinHttpReceiveResponse(request, nullptr), kState);
    EXPECT_FAILS(WinHttpReadData(request, nullptr, 4, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(WinHttpReadData(request, buffer, 0, nullptr), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(WinHttpQueryDataAvailable(request, nullptr));  // pending: the server is silent
    EXPECT_FAILS(WinHttpQueryDataAvailable(request, nullptr), kState);
    EXPECT_FAILS(WinHttpReadData(request, buffer, sizeof buffer, nullptr), kState);
    EXPECT_FAILS(exchange.send(), kState);
    exchange.close_request();
    EXPECT_EQ(recorder.statuses(), (std::vector<DWORD>{kSent, kHead, kClosing}));
}

TEST(PlatformWinHttp, SendingAgainStartsAFreshResponse) {
    std::atomic<int> requests{0};
    HttpScriptServer server([&](HttpPeer& peer) {
        while (!peer.read_head().empty()) {
            peer.send_chunked_head();
            peer.send_chunk("response " + std::to_string(++requests));
            peer.end_chunks();
        }
    });
    Recorder recorder;
    Exchange exchange(server.port(), recorder);
    ASSERT_TRUE(exchange.send());
    ASSERT_TRUE(wait_end(recorder));
    EXPECT_EQ(recorder.body(), "response 1");
    // After the end, as a second Open of the client does.
    ASSERT_TRUE(exchange.send());
    for (auto until = std::chrono::steady_clock::now() + kBound;
         recorder.body().size() < 20 && std::chrono::steady_clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(recorder.body(), "response 1response 2");
    EXPECT_EQ(recorder.fault(), "");
}

TEST(PlatformWinHttp, RequestOutlivesItsConnectionAndSessionHandles) {
    Gate more;
    HttpScriptServer server([&](HttpPeer& peer) {
        peer.read_head();
        peer.send_chunked_head();
        peer.send_chunk("one");
        more.wait();
        peer.send_chunk("two");
        peer.end_chunks();
        peer.wait_closed();
    });
    Recorder recorder;
    Exchange exchange(server.port(), recorder);
    ASSERT_TRUE(exchange.send());
    ASSERT_TRUE(recorder.wait_for(kRead));
    // The notification client's destructor closes them before the request.
    EXPECT_TRUE(WinHttpCloseHandle(exchange.connection()));
    EXPECT_TRUE(WinHttpCloseHandle(exchange.session()));
    exchange.connection_closed();
    exchange.session_closed();
    more.open();
    ASSERT_TRUE(wait_end(recorder));
    EXPECT_EQ(recorder.body(), "onetwo");
    exchange.close_request();
    EXPECT_EQ(recorder.fault(), "");
}

TEST(PlatformWinHttp, ArgumentsAndHandleKinds) {
    EXPECT_EQ(WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0x1), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WinHttpOpen(nullptr, 3, L"proxy:80", nullptr, WINHTTP_FLAG_ASYNC), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(
        WinHttpOpen(L"agent\n", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, WINHTTP_FLAG_ASYNC),
        nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    HINTERNET session = WinHttpOpen(L"agent 1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, nullptr,
                                    nullptr, WINHTTP_FLAG_ASYNC);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(WinHttpConnect(session, nullptr, 80, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WinHttpConnect(session, L"host/path", 80, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INVALID_URL);
    HINTERNET connection = WinHttpConnect(session, L"127.0.0.1", 8888, 0);
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(WinHttpConnect(connection, L"127.0.0.1", 80, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);

    EXPECT_EQ(WinHttpOpenRequest(connection, L"POST", nullptr, nullptr, nullptr, nullptr, 0),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(
        WinHttpOpenRequest(connection, nullptr, nullptr, nullptr, nullptr, nullptr, 0x00800000),
        nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WinHttpOpenRequest(connection, nullptr, L"/a b", nullptr, nullptr, nullptr, 0),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INVALID_URL);
    HINTERNET request =
        WinHttpOpenRequest(connection, nullptr, nullptr, nullptr, nullptr, nullptr, 0);
    ASSERT_NE(request, nullptr);

    EXPECT_FAILS(WinHttpSetTimeouts(request, 0, -2, 0, 0), ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(WinHttpSetTimeouts(connection, 0, 0, 0, 0), ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    EXPECT_EQ(WinHttpSetStatusCallback(session, &Recorder::callback, 0, 0),
              WINHTTP_INVALID_STATUS_CALLBACK);
    EXPECT_EQ(GetLastError(), ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    EXPECT_EQ(WinHttpSetStatusCallback(request, &Recorder::callback, 0, 0), nullptr);
    EXPECT_EQ(WinHttpSetStatusCallback(request, nullptr, 0, 0), &Recorder::callback);
    EXPECT_FAILS(WinHttpSendRequest(request, L"X: 1", 4, nullptr, 0, 0, 0),
                 ERROR_INVALID_PARAMETER);
    EXPECT_FAILS(WinHttpSendRequest(session, nullptr, 0, nullptr, 0, 0, 0),
                 ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);

    for (HINTERNET h : {request, connection, session}) {
        EXPECT_TRUE(WinHttpCloseHandle(h));
        EXPECT_FAILS(WinHttpCloseHandle(h), ERROR_INVALID_HANDLE);
    }
    EXPECT_FAILS(WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0), ERROR_INVALID_HANDLE);
    EXPECT_FAILS(WinHttpCloseHandle(nullptr), ERROR_INVALID_HANDLE);
}
