// The job event stream through the server's request handling with an in-memory connection: the
// plug-in's handlers, the real notification manager and dispatcher, a client whose writes and
// reads the test controls.
#include "portvane/jobs/job_notify.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "job/core/job_state.h"
#include "job/stores/cookie_manager.h"
#include "portvane/tests/notify_helpers.h"
#include "starter/webserver/server.h"
#include "starter/webserver/tests/fake_connection.h"
#include "tools/testkit/machine_fixture.h"

using namespace portvane_tests;
using tovel::web::answer_request;
using tovel::web::mg_context;
using tovel::web::testing::FakeConnection;
using tovel::web::testing::FunctionPlugin;

extern "C" int auth_callback(tovel::web::mg_connection*, const tovel::web::mg_request_info*);

namespace {

// A client of the stream. A write goes through the test's hook, which may hold it or take only
// part of it; readable() waits, as a socket would, until the client "closes".
class StreamClient : public FakeConnection {
public:
    // How much of a write the client takes: the hook gets the write's number (from 0) and bytes.
    using Hook = std::function<size_t(int index, std::string_view bytes)>;

    explicit StreamClient(const char* cookie = nullptr, Hook hook = {})
        : FakeConnection("GET", "/jobnotify/"), hook_(std::move(hook)) {
        if (cookie) add_header("Cookie", cookie);
    }

    int write(const void* data, size_t length) override {
        std::string_view bytes(static_cast<const char*>(data), length);
        int index;
        {
            std::lock_guard<std::mutex> hold(lock_);
            index = writes_++;
        }
        size_t taken = hook_ ? hook_(index, bytes) : length;  // no lock held: the hook may wait
        std::lock_guard<std::mutex> hold(lock_);
        out_.append(bytes.substr(0, taken));
        changed_.notify_all();
        return static_cast<int>(taken);
    }
    long long peer_owner() const override { return owner_; }
    // The account that opened the client's end (-1: not known, the address counts).
    void set_owner(long long owner) { owner_ = owner; }
    int readable(long seconds, long microseconds) override {
        std::unique_lock<std::mutex> hold(lock_);
        changed_.wait_for(hold,
                          std::chrono::seconds(seconds) + std::chrono::microseconds(microseconds),
                          [&] { return closed_; });
        return closed_ ? 1 : 0;
    }

    void close() {
        std::lock_guard<std::mutex> hold(lock_);
        closed_ = true;
        changed_.notify_all();
    }
    std::string output() {
        std::lock_guard<std::mutex> hold(lock_);
        return out_;
    }
    // Waits until the output satisfies done.
    bool wait_output(const std::function<bool(const std::string&)>& done) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, kBound, [&] { return done(out_); });
    }
    bool wait_streaming() {
        return wait_output(
            [](const std::string& out) { return out.size() >= sizeof kStreamHead - 1; });
    }

private:
    Hook hook_;
    long long owner_ = -1;
    std::mutex lock_;
    std::condition_variable changed_;
    std::string out_;
    int writes_ = 0;
    bool closed_ = false;
};

// One request answered on a thread of its own; its client closes when it goes, so that a test
// that fails half-way does not wait for the stream forever.
class Request {
public:
    Request(mg_context& ctx, StreamClient& client)
        : client_(client), thread_([this, &ctx, &client] {
              answer_request(ctx, client, &status_);
              std::lock_guard<std::mutex> hold(lock_);
              done_ = true;
              changed_.notify_all();
          }) {}
    ~Request() {
        client_.close();
        thread_.join();
    }

    // Whether the handler returned within the bound; its reply's status then.
    bool wait_done() {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, kBound, [&] { return done_; });
    }
    int status() {
        std::lock_guard<std::mutex> hold(lock_);
        return status_;
    }

private:
    StreamClient& client_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool done_ = false;
    int status_ = 0;
    std::thread thread_;
};

class JobNotifyStream : public ::testing::Test {
protected:
    void SetUp() override {
        std::map<std::string, void*> exports = {
            {"auth_callback", reinterpret_cast<void*>(&auth_callback)},
            {"job_notify_callback", reinterpret_cast<void*>(&job_notify_callback)}};
        ctx_ = tovel::web::start_context(std::make_unique<FunctionPlugin>(exports), 5000);
        ASSERT_TRUE(Iocp_Dispatcher::instance()->open());
        ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
    }
    void TearDown() override {
        Iocp_Dispatcher::instance()->stop();
        delete ctx_;
    }

    mg_context* ctx_ = nullptr;
};

}  // namespace

TEST_F(JobNotifyStream, EachListenerGetsItsUsersEventsOneChunkEachAfterTheHead) {
    ASSERT_TRUE(ATL::CComSingleton<CookieManagerImpl>::instance()->saveCookie("alice", "SID=a1"));
    // Another program's cookie on 127.0.0.1 comes along with alice's session.
    StreamClient all, alice("tracker=1; SID=a1"), unknown("SID=gone");
    Request r1(*ctx_, all), r2(*ctx_, alice), r3(*ctx_, unknown);
    ASSERT_TRUE(all.wait_streaming() && alice.wait_streaming() && unknown.wait_streaming());

    // 26 bytes: the size line is "1a".
    std::string text26 = R"({"id":"a","state":"idle"})";
    text26 += ' ';
    ASSERT_EQ(text26.size(), 26u);
    ASSERT_TRUE(notify_manager()->post(new Notify_Event(text26, "alice")));
    std::string bobs = post_state("bob", "b", JS_RUNNING);
    std::string alices = post_state("alice", "a", JS_COMPLETED);
    std::string everyones = post_state("", "c", JS_ERROR);

    std::string head = kStreamHead;
    std::string expect_all =
        head + "1a\r\n" + text26 + "\r\n" + chunk(bobs) + chunk(alices) + chunk(everyones);
    std::string expect_alice = head + chunk(text26) + chunk(alices) + chunk(everyones);
    for (auto [client, expected] :
         {std::pair{&all, expect_all}, {&alice, expect_alice}, {&unknown, expect_all}}) {
        const size_t length = expected.size();
        ASSERT_TRUE(
            client->wait_output([length](const std::string& out) { return out.size() >= length; }));
        EXPECT_EQ(client->output(), expected);
    }
    // Anything from the client ends its stream, and only its own.
    alice.close();
    ASSERT_TRUE(r2.wait_done());
    std::string later = post_state("alice", "a", JS_IDLE);
    ASSERT_TRUE(
        all.wait_output([&](const std::string& out) { return out.size() > expect_all.size(); }));
    EXPECT_EQ(all.output(), expect_all + chunk(later));
    EXPECT_EQ(alice.output(), expect_alice);
    all.close();
    unknown.close();
    ASSERT_TRUE(r1.wait_done() && r3.wait_done());
    EXPECT_EQ(r1.status(), 200);
}

TEST_F(JobNotifyStream, EmptyEventWritesTheLastChunkAndServerStopEndsTheStream) {
    StreamClient ending, stopped;
    {
        Request request(*ctx_, ending);
        ASSERT_TRUE(ending.wait_streaming());
        std::string first = post_state("alice", "a", JS_RUNNING);
        ASSERT_TRUE(notify_manager()->post(new Event_End));
        // The handler returns by itself: the stream is over.
        ASSERT_TRUE(request.wait_done());
        EXPECT_EQ(ending.output(), kStreamHead + chunk(first) + "0\r\n\r\n");
    }
    // It unregistered: later events reach no observer that is gone (AddressSanitizer would
    // see it), and a new stream starts afresh.
    std::string idle = post_state("alice", "a", JS_IDLE);
    Request request(*ctx_, stopped);
    ASSERT_TRUE(stopped.wait_streaming());
    ctx_->stopping = true;
    ASSERT_TRUE(request.wait_done());
    // The event is delivered by the dispatcher: it may reach the new stream or go before it.
    EXPECT_TRUE(stopped.output() == kStreamHead || stopped.output() == kStreamHead + chunk(idle))
        << stopped.output();
}

// A listener that stops reading once held up the dispatcher: its chunks were written on the
// dispatcher's thread, under the notification lock, so every other listener, timer and job
// event waited for that one client.
TEST_F(JobNotifyStream, AStalledListenerHoldsUpNeitherOtherListenersNorTheDispatcher) {
    std::mutex lock;
    std::condition_variable changed;
    bool released = false;
    StreamClient stalled(nullptr, [&](int index, std::string_view bytes) {
        if (index == 0) return bytes.size();  // the head
        std::unique_lock<std::mutex> hold(lock);
        changed.wait_for(hold, kBound, [&] { return released; });
        return bytes.size();
    });
    StreamClient healthy;
    ProbeObserver probe;
    std::vector<std::string> posted;
    {
        Request slow(*ctx_, stalled), fast(*ctx_, healthy);
        ASSERT_TRUE(stalled.wait_streaming() && healthy.wait_streaming());
        TickingTimer timer;
        // Far more than the stalled stream may queue, in batches that the healthy one reads.
        for (int batch = 0; batch < 10; ++batch) {
            int ticks = timer.ticks();
            for (int i = 0; i < 100; ++i)
                posted.push_back(
                    post_state("u", "job" + std::to_string(posted.size()), JS_RUNNING));
            ASSERT_TRUE(probe.wait_for(posted.size())) << "batch " << batch;
            ASSERT_TRUE(healthy.wait_output([&](const std::string& out) {
                return read_chunks(out.substr(sizeof kStreamHead - 1)).size() >= posted.size();
            })) << "batch "
                << batch;
            // The dispatcher's timers go on while the stalled client holds its stream.
            auto until = std::chrono::steady_clock::now() + kBound;
            while (timer.ticks() < ticks + 2 && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ASSERT_GE(timer.ticks(), ticks + 2) << "batch " << batch;
        }
        EXPECT_EQ(read_chunks(healthy.output().substr(sizeof kStreamHead - 1)), posted);
        // The stalled stream ends by itself once its client takes the write it held.
        {
            std::lock_guard<std::mutex> hold(lock);
            released = true;
            changed.notify_all();
        }
        ASSERT_TRUE(slow.wait_done());
        healthy.close();
    }
    // What the stalled client got is a prefix of the events, each chunk whole, and no end chunk:
    // it can tell that it missed the rest.
    std::string rest;
    std::vector<std::string> got =
        read_chunks(stalled.output().substr(sizeof kStreamHead - 1), &rest);
    EXPECT_EQ(rest, "");
    ASSERT_LT(got.size(), posted.size());
    EXPECT_EQ(got, std::vector<std::string>(posted.begin(), posted.begin() + got.size()));
    EXPECT_EQ(probe.events(), posted);
}

// The stream was registered before its head was written, and the dispatcher wrote events as
// they came: an event could reach the client before the 200 head.
TEST_F(JobNotifyStream, NoEventPrecedesTheHead) {
    ProbeObserver probe;
    std::string first, second;
    StreamClient client(nullptr, [&](int index, std::string_view bytes) {
        if (index == 0) {  // while the head is being written, two events are delivered
            first = post_state("u", "first", JS_STARTING);
            second = post_state("u", "second", JS_RUNNING);
            EXPECT_TRUE(probe.wait_for(2));
        }
        return bytes.size();
    });
    Request request(*ctx_, client);
    ASSERT_TRUE(probe.wait_for(2));
    std::string expected = kStreamHead + chunk(first) + chunk(second);
    ASSERT_TRUE(
        client.wait_output([&](const std::string& out) { return out.size() >= expected.size(); }));
    EXPECT_EQ(client.output(), expected);
    client.close();
    ASSERT_TRUE(request.wait_done());
}

// A write that put out part of a chunk counted as sent, and the next chunk followed the cut one:
// the client read the next chunk's size line as part of the cut one.
TEST_F(JobNotifyStream, AChunkCutShortEndsTheStream) {
    StreamClient client(nullptr, [](int index, std::string_view bytes) {
        return index == 0 ? bytes.size() : std::min<size_t>(bytes.size(), 5);
    });
    ProbeObserver probe;
    Request request(*ctx_, client);
    ASSERT_TRUE(client.wait_streaming());
    std::string first = post_state("u", "first", JS_STARTING);
    ASSERT_TRUE(request.wait_done());  // without the client closing
    post_state("u", "second", JS_RUNNING);
    ASSERT_TRUE(probe.wait_for(2));
    EXPECT_EQ(client.output(), kStreamHead + chunk(first).substr(0, 5));
}

// Each stream holds a web server worker for its whole life: a few dozen idle ones left no worker
// for anything else, and since they were counted only all together, one user's streams kept
// every other user's tray from its stream.
TEST_F(JobNotifyStream, StreamsAreAdmittedByPeerWithSlotsKeptForNewPeers) {
    constexpr int kShared = kMaxJobNotifyStreams - kReservedJobNotifyStreams;
    static_assert(kShared % kMaxJobNotifyStreamsPerPeer == 0);
    std::vector<std::unique_ptr<StreamClient>> clients;
    std::vector<std::unique_ptr<Request>> requests;
    auto open = [&](long long owner) {
        clients.push_back(std::make_unique<StreamClient>());
        clients.back()->set_owner(owner);
        requests.push_back(std::make_unique<Request>(*ctx_, *clients.back()));
        return clients.back()->wait_streaming();
    };
    auto refused = [&](long long owner) {
        StreamClient client;
        client.set_owner(owner);
        Request request(*ctx_, client);
        return request.wait_done() &&
               client.output() == "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n";
    };
    // Peers that take their whole quota fill the shared slots.
    long long owner = 1000;
    for (int i = 0; i < kShared; ++i) {
        if (i > 0 && i % kMaxJobNotifyStreamsPerPeer == 0) {
            EXPECT_TRUE(refused(owner)) << "past its quota: " << owner;
            ++owner;
        }
        ASSERT_TRUE(open(owner)) << i;
    }
    EXPECT_TRUE(refused(owner));
    // The rest go to new peers only, one stream each, until every slot runs.
    for (int i = kShared; i < kMaxJobNotifyStreams; ++i) {
        ASSERT_TRUE(open(++owner)) << i;
        EXPECT_TRUE(refused(owner)) << "a second reserved slot for " << owner;
    }
    EXPECT_TRUE(refused(++owner));
    // Without an owner the address is the peer.
    clients[3]->close();
    ASSERT_TRUE(requests[3]->wait_done());
    StreamClient admitted;
    admitted.set_remote_ipv4(0x7f000002);
    Request request(*ctx_, admitted);
    ASSERT_TRUE(admitted.wait_streaming());
    std::string event = post_state("u", "j", JS_IDLE);
    ASSERT_TRUE(admitted.wait_output(
        [&](const std::string& out) { return out.find(event) != std::string::npos; }));
    admitted.close();
    for (auto& client : clients) client->close();
}
