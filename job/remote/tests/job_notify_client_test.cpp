// The job notification client against a scripted chunked HTTP server, and the
// scanner that cuts its stream into objects.
#include "job/remote/job_notify_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "job/core/job_state.h"
#include "job/core/notify_event.h"
#include "job/remote/json_stream_scanner.h"
#include "tools/testkit/http_script_server.h"

using tovel::testing::free_loopback_port;
using tovel::testing::HttpPeer;
using tovel::testing::HttpScriptServer;

namespace {

constexpr auto kBound = std::chrono::seconds(30);  // only reached when something is wrong

using Event = std::pair<std::string, int>;

// The text of a state event as the web interface writes it.
std::string state_event(const std::string& id, const std::wstring& name, int state) {
    return Event_State("user", id.c_str(), name.c_str(), static_cast<unsigned>(state)).event();
}

// Cuts reads into the objects the scanner finds, as the client does.
std::vector<std::string> cut(const std::vector<std::string>& reads) {
    std::deque<char> scopes;
    JsonStreamScanner scanner(scopes);
    std::vector<std::string> objects;
    std::string text;
    for (const std::string& read : reads) {
        const char* data = read.data();
        size_t size = read.size();
        while (size > 0) {
            JsonStreamScanner::Piece piece;
            size_t used = scanner.next(data, size, piece);
            EXPECT_GT(used, 0u);
            EXPECT_FALSE(piece.tooDeep);
            data += used;
            size -= used;
            text.append(piece.data ? piece.data : "", piece.size);
            if (piece.closes) {
                objects.push_back(text);
                text.clear();
            }
        }
    }
    EXPECT_EQ(text, "") << "an object left open";
    return objects;
}

// Records what the client hands on; its own Close comes first in its destructor.
class RecordingClient : public JobNotifyClient {
public:
    ~RecordingClient() override { Close(); }

    void OnJobStateChanged(const char* id, int state) override {
        std::lock_guard<std::mutex> guard(lock_);
        events_.emplace_back(id, state);
        changed_.notify_all();
    }
    void OnResponseComplete(long result) override {
        {
            std::lock_guard<std::mutex> guard(lock_);
            results_.push_back(result);
            changed_.notify_all();
        }
        JobNotifyClient::OnResponseComplete(result);
    }
    void OnRequestError(WINHTTP_ASYNC_RESULT* result) override {
        {
            std::lock_guard<std::mutex> guard(lock_);
            errors_.emplace_back(static_cast<DWORD>(result->dwResult), result->dwError);
            changed_.notify_all();
        }
        JobNotifyClient::OnRequestError(result);
    }

    std::vector<Event> events() {
        std::lock_guard<std::mutex> guard(lock_);
        return events_;
    }
    std::vector<long> results() {
        std::lock_guard<std::mutex> guard(lock_);
        return results_;
    }
    std::vector<std::pair<DWORD, DWORD>> errors() {
        std::lock_guard<std::mutex> guard(lock_);
        return errors_;
    }
    bool wait_events(size_t count) {
        return wait([&] { return events_.size() >= count; });
    }
    bool wait_results(size_t count) {
        return wait([&] { return results_.size() >= count; });
    }
    bool wait_errors(size_t count) {
        return wait([&] { return errors_.size() >= count; });
    }

private:
    template <class Predicate>
    bool wait(Predicate done) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, kBound, done);
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Event> events_;
    std::vector<long> results_;
    std::vector<std::pair<DWORD, DWORD>> errors_;
};

// A stream server: on each request it sends the chunks of the next entry of
// streams, pausing between them so that they tend to arrive in reads of
// their own, and then holds the stream open (ends it when ends is set).
struct StreamServer {
    explicit StreamServer(std::vector<std::vector<std::string>> streams, bool ends = false,
                          unsigned short port = 0)
        : server(
              [this, streams, ends](HttpPeer& peer) {
                  for (;;) {
                      std::string head = peer.read_head();
                      if (head.empty()) return;
                      size_t n = requests++;
                      EXPECT_EQ(head.rfind("GET /jobnotify/ HTTP/1.1\r\n", 0), 0u) << head;
                      peer.send_chunked_head();
                      if (n < streams.size()) {
                          for (const std::string& chunk : streams[n]) {
                              peer.send_chunk(chunk);
                              std::this_thread::sleep_for(std::chrono::milliseconds(2));
                          }
                      }
                      if (!ends) {
                          peer.wait_closed();
                          return;
                      }
                      peer.end_chunks();
                  }
              },
              port) {}

    std::atomic<size_t> requests{0};
    HttpScriptServer server;
};

const std::wstring kTrickyNames[] = {
    L"plain", L"{", L"}", L"\"", L"\\", L"a\\\"b", L"}}\"{{", L"ends with \\", L"\\\\", L"\"}\\",
};

}  // namespace

TEST(JobNotifyClientScanner, CutsEveryObjectOnceWhereverTheReadsSplit) {
    std::vector<std::string> events;
    for (size_t i = 0; i < std::size(kTrickyNames); ++i)
        events.push_back(state_event("id" + std::to_string(i), kTrickyNames[i], JS_RUNNING));
    events.push_back(Event_Job_Error("u", "e", L"n", JS_ERROR, 5, "a } reason { \" \\").event());
    std::string stream = "\r\n";
    for (const std::string& e : events) stream += e + "\r\n";

    EXPECT_EQ(cut({stream}), events);  // all in one read
    for (size_t at = 1; at < stream.size(); ++at)
        ASSERT_EQ(cut({stream.substr(0, at), stream.substr(at)}), events) << "split at " << at;
    std::vector<std::string> bytes;
    for (char c : stream) bytes.emplace_back(1, c);
    EXPECT_EQ(cut(bytes), events);
}

TEST(JobNotifyClientScanner, EscapedBackslashBeforeAQuoteEndsTheString) {
    // The quote after an escaped back-slash closes the string; the next
    // object starts right after.
    std::string a = "{\"name\":\"x\\\\\"}";
    std::string b = "{\"name\":\"\\\"}\"}";
    EXPECT_EQ(cut({a + b}), (std::vector<std::string>{a, b}));
    EXPECT_EQ(cut({"{\"name\":\"x\\", "\\\"}" + b}), (std::vector<std::string>{a, b}));
    EXPECT_EQ(cut({"{\"name\":\"x\\\\", "\"}", b}), (std::vector<std::string>{a, b}));
    EXPECT_EQ(cut({"{\"name\":", "\"{\"}", b}), (std::vector<std::string>{"{\"name\":\"{\"}", b}));
}

TEST(JobNotifyClientScanner, BytesOutsideObjectsBelongToNoPiece) {
    std::deque<char> scopes;
    JsonStreamScanner scanner(scopes);
    JsonStreamScanner::Piece piece;
    std::string text = " }\r\n ";
    EXPECT_EQ(scanner.next(text.data(), text.size(), piece), text.size());
    EXPECT_EQ(piece.size, 0u);
    EXPECT_FALSE(scanner.inside());
    text = "} {\"a\":1} }";
    size_t used = scanner.next(text.data(), text.size(), piece);
    EXPECT_EQ(std::string(piece.data, piece.size), "{\"a\":1}");
    EXPECT_TRUE(piece.opens && piece.closes);
    EXPECT_EQ(used, 9u);
    EXPECT_EQ(scanner.next(text.data() + used, text.size() - used, piece), 2u);
    EXPECT_EQ(piece.size, 0u);
    text = "{\"open\":";
    EXPECT_EQ(scanner.next(text.data(), text.size(), piece), text.size());
    EXPECT_TRUE(piece.opens && !piece.closes && scanner.inside());
    text = "{}}";
    EXPECT_EQ(scanner.next(text.data(), text.size(), piece), 3u);
    EXPECT_TRUE(!piece.opens && piece.closes && !scanner.inside());
}

TEST(JobNotifyClientScanner, NestingBeyondTheBoundIsReported) {
    std::deque<char> scopes;
    JsonStreamScanner scanner(scopes);
    JsonStreamScanner::Piece piece;
    std::string deep(JsonStreamScanner::kMaxDepth, '{');
    EXPECT_EQ(scanner.next(deep.data(), deep.size(), piece), deep.size());
    EXPECT_FALSE(piece.tooDeep);
    EXPECT_EQ(scanner.next("{", 1, piece), 0u);
    EXPECT_TRUE(piece.tooDeep);
}

TEST(JobNotifyClient, EachEventOfTheStreamArrivesOnceInOrder) {
    StreamServer server(
        {{state_event("a", L"first", JS_STARTING), state_event("b", L"second", JS_RUNNING),
          state_event("a", L"first", JS_IDLE)}});
    RecordingClient client;
    ASSERT_EQ(client.Open(L"127.0.0.1", server.server.port()), 0);
    ASSERT_TRUE(client.wait_events(3));
    EXPECT_EQ(client.events(),
              (std::vector<Event>{{"a", JS_STARTING}, {"b", JS_RUNNING}, {"a", JS_IDLE}}));
    EXPECT_EQ(client.results(), (std::vector<long>{0, 0, 0}));
}

TEST(JobNotifyClient, EventsSplitAtEveryByteArriveOnce) {
    std::string sample = state_event("split-000", L"a\\\"}{\\", JS_PAUSED);
    std::vector<std::string> chunks;
    std::vector<Event> expected;
    for (size_t at = 1; at < sample.size(); ++at) {
        char id[32];
        std::snprintf(id, sizeof id, "split-%03zu", at);
        std::string event = state_event(id, L"a\\\"}{\\", JS_PAUSED);
        chunks.push_back(event.substr(0, at));
        chunks.push_back(event.substr(at));
        expected.emplace_back(id, JS_PAUSED);
    }
    // And a whole stream a byte a chunk.
    std::string bytewise;
    for (size_t i = 0; i < std::size(kTrickyNames); ++i) {
        bytewise += state_event("byte" + std::to_string(i), kTrickyNames[i], JS_COMPLETED) + "\r\n";
        expected.emplace_back("byte" + std::to_string(i), JS_COMPLETED);
    }
    for (char c : bytewise) chunks.emplace_back(1, c);

    StreamServer server({chunks});
    RecordingClient client;
    ASSERT_EQ(client.Open(L"127.0.0.1", server.server.port()), 0);
    ASSERT_TRUE(client.wait_events(expected.size()));
    EXPECT_EQ(client.events(), expected);
}

TEST(JobNotifyClient, SeveralEventsInOneChunkArriveEachOnce) {
    std::string e1 = state_event("one", L"n", JS_STARTING);
    std::string e2 = state_event("two", L"n", JS_RUNNING);
    std::string e3 = state_event("three", L"n", JS_COMPLETING);
    std::string e4 = state_event("four", L"{\"}", JS_COMPLETED);
    std::string e5 = state_event("five", L"n", JS_IDLE);
    StreamServer server({{e1 + e2, e3 + "\r\n" + e4.substr(0, 9), e4.substr(9) + " } " + e5}});
    RecordingClient client;
    ASSERT_EQ(client.Open(L"127.0.0.1", server.server.port()), 0);
    ASSERT_TRUE(client.wait_events(5));
    EXPECT_EQ(client.events(), (std::vector<Event>{{"one", JS_STARTING},
                                                   {"two", JS_RUNNING},
                                                   {"three", JS_COMPLETING},
                                                   {"four", JS_COMPLETED},
                                                   {"five", JS_IDLE}}));
}

TEST(JobNotifyClient, QuotesBracesAndBackslashesInTextsChangeNothing) {
    std::vector<std::string> chunks;
    std::vector<Event> expected;
    for (size_t i = 0; i < std::size(kTrickyNames); ++i) {
        chunks.push_back(state_event("n" + std::to_string(i), kTrickyNames[i], JS_CANCELLED));
        expected.emplace_back("n" + std::to_string(i), JS_CANCELLED);
    }
    chunks.push_back(
        Event_Job_Error("u", "err", L"\\", JS_ERROR, 0x20010194, "no { here } \"\\\"").event());
    expected.emplace_back("err", JS_ERROR);
    StreamServer server({chunks});
    RecordingClient client;
    ASSERT_EQ(client.Open(L"127.0.0.1", server.server.port()), 0);
    ASSERT_TRUE(client.wait_events(expected.size()));
    EXPECT_EQ(client.events(), expected);
}

TEST(JobNotifyClient, ObjectsThatAreNotEventsAreDroppedAndTheStreamGoesOn) {
    std::string huge = Event_Job_Error("u", "huge", L"n", JS_ERROR, 1,
                                       std::string(JobNotifyClient::kMaxEventBytes, '{').c_str())
                           .event();
    std::vector<std::string> chunks = {
        "{\"id\":\"no state\"}",
        "{\"id\":1,\"state\":\"idle\"}",
        "{\"id\":\"x\",,\"state\":\"idle\"}",
        "{\"id\":\"unknown\",\"state\":\"sleeping\"}",
    };
    for (size_t at = 0; at < huge.size(); at += 4000) chunks.push_back(huge.substr(at, 4000));
    chunks.push_back(state_event("after", L"n", JS_IDLE));
    StreamServer server({chunks});
    RecordingClient client;
    ASSERT_EQ(client.Open(L"127.0.0.1", server.server.port()), 0);
    ASSERT_TRUE(client.wait_events(2));
    // An unknown state name gives jobStateFromString's answer for it; the
    // over-long event is dropped whole.
    EXPECT_EQ(client.events(), (std::vector<Event>{{"unknown", JS_NONE}, {"after", JS_IDLE}}));
    EXPECT_EQ(client.results().size(), 5u);
}

TEST(JobNotifyClient, StatusOtherThan200GivesOneFailedCompletionAndNoEvent) {
    HttpScriptServer server([](HttpPeer& peer) {
        peer.read_head();
        peer.send_chunked_head(404, "Not Found");
        peer.send_chunk("{\"id\":\"a\",\"state\":\"idle\"}");
        peer.wait_closed();
    });
    RecordingClient client;
    ASSERT_EQ(client.Open(L"127.0.0.1", server.port()), 0);
    ASSERT_TRUE(client.wait_results(1));
    EXPECT_EQ(client.results(), (std::vector<long>{E_FAIL}));
    client.Close();
    EXPECT_EQ(client.results(), (std::vector<long>{E_FAIL}));
    EXPECT_TRUE(client.events().empty());
}

TEST(JobNotifyClient, ServiceNotUpIsRetriedUntilItAnswers) {
    unsigned short port = free_loopback_port();
    ASSERT_NE(port, 0);
    RecordingClient client;
    ASSERT_EQ(client.Open(L"127.0.0.1", port), 0);  // the send is accepted; it fails later
    ASSERT_TRUE(client.wait_errors(2));             // the first retry failed too
    StreamServer server({{state_event("up", L"n", JS_IDLE)}}, false, port);
    ASSERT_TRUE(server.server.listening());
    ASSERT_TRUE(client.wait_events(1));
    EXPECT_EQ(client.events(), (std::vector<Event>{{"up", JS_IDLE}}));
    for (const auto& [api, error] : client.errors()) {
        EXPECT_EQ(api, API_SEND_REQUEST);
        EXPECT_EQ(error, ERROR_WINHTTP_CANNOT_CONNECT);
    }
}

TEST(JobNotifyClient, EndedStreamIsSilentUntilOpenedAgain) {
    std::string cutOff = state_event("cut", L"n", JS_RUNNING);
    StreamServer server({{state_event("first", L"n", JS_RUNNING), cutOff.substr(0, 12)},
                         {state_event("second", L"n", JS_IDLE)}},
                        true);
    RecordingClient client;
    ASSERT_EQ(client.Open(L"127.0.0.1", server.server.port()), 0);
    ASSERT_TRUE(client.wait_events(1));
    for (auto until = std::chrono::steady_clock::now() + kBound;
         client.Open(L"127.0.0.1", server.server.port()) != 0 &&
         std::chrono::steady_clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // refused until the end came
    ASSERT_TRUE(client.wait_events(2));
    EXPECT_EQ(client.events(), (std::vector<Event>{{"first", JS_RUNNING}, {"second", JS_IDLE}}));
    EXPECT_EQ(server.requests.load(), 2u);
}

TEST(JobNotifyClient, ClosingAnOpenStreamReturnsAndEndsTheConnection) {
    std::promise<bool> clientClosed;
    HttpScriptServer server([&](HttpPeer& peer) {
        peer.read_head();
        peer.send_chunked_head();
        peer.send_chunk(state_event("a", L"n", JS_RUNNING));
        clientClosed.set_value(peer.wait_closed());
    });
    auto client = std::make_unique<RecordingClient>();
    ASSERT_EQ(client->Open(L"127.0.0.1", server.port()), 0);
    ASSERT_TRUE(client->wait_events(1));
    client.reset();  // the stream waits for more: the close cuts it
    std::future<bool> closed = clientClosed.get_future();
    ASSERT_EQ(closed.wait_for(kBound), std::future_status::ready);
    EXPECT_TRUE(closed.get());
}

TEST(JobNotifyClient, ClosingDuringTheRetryWaitCutsItShort) {
    unsigned short port = free_loopback_port();
    ASSERT_NE(port, 0);
    RecordingClient client;
    ASSERT_EQ(client.Open(L"127.0.0.1", port), 0);
    ASSERT_TRUE(client.wait_errors(1));
    client.Close();
    // Close waited for the final callback, so the retry wait had ended; it
    // ended on the stop event, not by sending again.
    EXPECT_EQ(client.errors().size(), 1u);
}

TEST(JobNotifyClient, TwoClientsFollowTheirStreamsIndependently) {
    StreamServer first({{state_event("one", L"n", JS_RUNNING)}});
    std::atomic<bool> release{false};
    HttpScriptServer second([&](HttpPeer& peer) {
        peer.read_head();
        peer.send_chunked_head();
        peer.send_chunk(state_event("two", L"n", JS_RUNNING));
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        peer.send_chunk(state_event("two", L"n", JS_IDLE));
        peer.wait_closed();
    });
    auto a = std::make_unique<RecordingClient>();
    RecordingClient b;
    ASSERT_EQ(a->Open(L"127.0.0.1", first.server.port()), 0);
    ASSERT_EQ(b.Open(L"127.0.0.1", second.port()), 0);
    ASSERT_TRUE(a->wait_events(1));
    ASSERT_TRUE(b.wait_events(1));
    EXPECT_EQ(a->events(), (std::vector<Event>{{"one", JS_RUNNING}}));
    a.reset();
    release = true;
    ASSERT_TRUE(b.wait_events(2));
    EXPECT_EQ(b.events(), (std::vector<Event>{{"two", JS_RUNNING}, {"two", JS_IDLE}}));
}

TEST(JobNotifyClient, FailedOpenStepsAreHResults) {
    RecordingClient client;
    EXPECT_EQ(client.Open(nullptr, 8888), static_cast<long>(HRESULT_FROM_WIN32(87)));
    EXPECT_EQ(client.Open(L"no such/host", 8888),
              static_cast<long>(HRESULT_FROM_WIN32(ERROR_WINHTTP_INVALID_URL)));
    // The session stays; a later Open with a good address goes on from there.
    StreamServer server({{state_event("ok", L"n", JS_IDLE)}});
    ASSERT_EQ(client.Open(L"127.0.0.1", server.server.port()), 0);
    ASSERT_TRUE(client.wait_events(1));
}

TEST(JobNotifyClient, StreamNestingTooDeepIsGivenUp) {
    StreamServer server(
        {{std::string(JsonStreamScanner::kMaxDepth + 1, '{'), state_event("late", L"n", JS_IDLE)}});
    RecordingClient client;
    ASSERT_EQ(client.Open(L"127.0.0.1", server.server.port()), 0);
    ASSERT_TRUE(client.wait_results(1));
    EXPECT_EQ(client.results(), (std::vector<long>{HRESULT_FROM_WIN32(ERROR_INVALID_DATA)}));
    client.Close();
    EXPECT_TRUE(client.events().empty());
}
