#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "job/core/iocp_dispatcher.h"
#include "job/core/job_notify_manager.h"
#include "job/core/job_state.h"

namespace {

using namespace std::chrono_literals;

// A dispatcher of the test's own with its loop on a thread, so that tests do
// not share the process-wide one.
class LoopedPort {
public:
    LoopedPort() {
        EXPECT_TRUE(port.open());
        thread = std::thread([this] {
            DWORD code;
            do {
                code = port.handle_events(INFINITE);
            } while (code == 0 || code == WAIT_TIMEOUT);
            exit = code;
        });
    }
    ~LoopedPort() {
        port.post(0, 0, nullptr);  // the stop packet
        thread.join();
    }
    Io_Completion_Port_Ex port;
    std::thread thread;
    std::atomic<DWORD> exit{0};
};

// Records every firing: the label and due time, in firing order.
class Recorder {
public:
    void add(const std::string& label, uint64_t due) {
        std::lock_guard<std::mutex> guard(lock_);
        fired_.push_back({label, due});
        changed_.notify_all();
    }
    bool wait_for(size_t count, std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, limit, [&] { return fired_.size() >= count; });
    }
    std::vector<std::string> labels() {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<std::string> out;
        for (auto& f : fired_) out.push_back(f.first);
        return out;
    }
    std::vector<uint64_t> dues() {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<uint64_t> out;
        for (auto& f : fired_) out.push_back(f.second);
        return out;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::pair<std::string, uint64_t>> fired_;
};

class Handler : public Io_Completion_Port_Ex::Timeout_Handler {
public:
    Handler(Recorder& recorder, std::string label)
        : recorder_(recorder), label_(std::move(label)) {}
    // Records last: once recorded, the test may end and destroy the handler.
    void handle_timeout(uint64_t due) override {
        if (rearm_ > 0 && due != ~0ull) {
            --rearm_;
            port_->schedule_after_ms(this, 10);
            ids_.push_back(timer_id);
        }
        recorder_.add(label_, due);
    }
    void rearm(Io_Completion_Port_Ex* port, int times) {
        port_ = port;
        rearm_ = times;
    }
    std::vector<int32_t> ids_;

private:
    Recorder& recorder_;
    std::string label_;
    Io_Completion_Port_Ex* port_ = nullptr;
    int rearm_ = 0;
};

uint64_t now() { return Io_Completion_Port_Ex::localFileTime(); }
constexpr uint64_t kMs = 10000;

}  // namespace

TEST(JobDispatcher, IdleDispatcherFiresTimerArmedAheadOfIt) {
    LoopedPort loop;
    std::this_thread::sleep_for(50ms);  // the loop is waiting without any timer
    Recorder recorder;
    Handler handler(recorder, "a");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(loop.port.schedule_after_ms(&handler, 100), 1);
    ASSERT_TRUE(recorder.wait_for(1));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);
}

TEST(JobDispatcher, TimersFireInDueOrderWithTheirDueTimes) {
    LoopedPort loop;
    Recorder recorder;
    Handler a(recorder, "a"), b(recorder, "b"), c(recorder, "c");
    uint64_t base = now();
    loop.port.schedule_timer(&c, base + 150 * kMs);
    loop.port.schedule_timer(&a, base + 50 * kMs);
    loop.port.schedule_timer(&b, base + 100 * kMs);
    ASSERT_TRUE(recorder.wait_for(3));
    EXPECT_EQ(recorder.labels(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(recorder.dues(),
              (std::vector<uint64_t>{base + 50 * kMs, base + 100 * kMs, base + 150 * kMs}));
}

TEST(JobDispatcher, PastDueTimerFiresAtOnce) {
    LoopedPort loop;
    Recorder recorder;
    Handler late(recorder, "late");
    auto start = std::chrono::steady_clock::now();
    loop.port.schedule_timer(&late, now() - 1000 * kMs);
    ASSERT_TRUE(recorder.wait_for(1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
}

TEST(JobDispatcher, HandlerRearmingItselfGetsNewLargerIds) {
    LoopedPort loop;
    Recorder recorder;
    Handler handler(recorder, "r");
    handler.rearm(&loop.port, 2);
    long first = loop.port.schedule_after_ms(&handler, 10);
    ASSERT_TRUE(recorder.wait_for(3));
    ASSERT_EQ(handler.ids_.size(), 2u);
    EXPECT_GT(handler.ids_[0], first);
    EXPECT_GT(handler.ids_[1], handler.ids_[0]);
}

TEST(JobDispatcher, CancelOfTheEarliestLetsTheNextFire) {
    LoopedPort loop;
    Recorder recorder;
    Handler early(recorder, "early"), next(recorder, "next");
    loop.port.schedule_after_ms(&early, 100);
    loop.port.schedule_after_ms(&next, 200);
    EXPECT_EQ(loop.port.cancel_timer(&early), 0);
    SetLastError(0);
    EXPECT_EQ(loop.port.cancel_timer(&early), -1);
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    ASSERT_TRUE(recorder.wait_for(1));
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(recorder.labels(), std::vector<std::string>{"next"});
}

TEST(JobDispatcher, CancelOfNeverArmedHandlerKeepsLastError) {
    Io_Completion_Port_Ex port;
    Recorder recorder;
    Handler never(recorder, "never");
    SetLastError(1234);
    EXPECT_EQ(port.cancel_timer(&never), -1);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(JobDispatcher, ClockChangeReachesEveryArmedHandlerEarliestFirst) {
    LoopedPort loop;
    Recorder recorder;
    Handler late(recorder, "late"), soon(recorder, "soon");
    loop.port.schedule_after_ms(&late, 600000);
    loop.port.schedule_after_ms(&soon, 300000);
    auto key = reinterpret_cast<ULONG_PTR>(static_cast<Io_Completion_Port::Event*>(&loop.port));
    ASSERT_TRUE(loop.port.post(4, key, reinterpret_cast<OVERLAPPED*>(~uintptr_t(0))));
    ASSERT_TRUE(recorder.wait_for(2));
    EXPECT_EQ(recorder.labels(), (std::vector<std::string>{"soon", "late"}));
    EXPECT_EQ(recorder.dues(), (std::vector<uint64_t>{~0ull, ~0ull}));
    // The entries stay armed.
    EXPECT_EQ(loop.port.cancel_timer(&late), 0);
    EXPECT_EQ(loop.port.cancel_timer(&soon), 0);
}

TEST(JobDispatcher, StopPacketEndsTheLoopWithSuccess) {
    Io_Completion_Port_Ex port;
    ASSERT_TRUE(port.open());
    ASSERT_TRUE(port.post(0, 0, nullptr));
    EXPECT_EQ(port.handle_events(1000), 259u);
    EXPECT_EQ(port.handle_events(0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(JobDispatcher, ProcessDispatcherRunsAndStops) {
    ASSERT_TRUE(IocpDispatherWrapper::open());
    ASSERT_TRUE(IocpDispatherWrapper::activate());
    Recorder recorder;
    Handler handler(recorder, "p");
    Iocp_Dispatcher::instance()->schedule_after_ms(&handler, 20);
    ASSERT_TRUE(recorder.wait_for(1));
    EXPECT_TRUE(IocpDispatherWrapper::notifyTimeChange());
    EXPECT_TRUE(IocpDispatherWrapper::close());
    EXPECT_FALSE(IocpDispatherWrapper::notifyTimeChange());
}

namespace {

class TestObserver : public JobNotifyObserver {
public:
    explicit TestObserver(const char* user) : JobNotifyObserver(user) {}
    bool Post(const std::string& event) override {
        std::lock_guard<std::mutex> guard(lock);
        seen.push_back(event);
        return true;
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> guard(lock);
        return seen;
    }
    std::mutex lock;
    std::vector<std::string> seen;
};

// Posts a marker that only observers without a user get, and waits until it arrives,
// so that everything posted before it was delivered.
void drain(JobNotifyManagerImpl& manager, TestObserver& all) {
    auto markers = [&] {
        auto seen = all.events();
        return std::count(seen.begin(), seen.end(), std::string("marker"));
    };
    auto before = markers();
    manager.post(new Notify_Event(std::string("marker"), "nobody"));
    for (int i = 0; i < 500 && markers() == before; ++i) std::this_thread::sleep_for(10ms);
}

}  // namespace

TEST(JobNotifications, EventsReachTheirUserAndObserversWithoutUserInOrder) {
    TestObserver alice("alice"), Alice("Alice"), all(nullptr);  // outlive the manager
    auto manager = std::make_unique<JobNotifyManagerImpl>();
    ASSERT_TRUE(IocpDispatherWrapper::open());
    ASSERT_TRUE(IocpDispatherWrapper::activate());
    EXPECT_TRUE(manager->registerObserver(&alice));
    EXPECT_FALSE(manager->registerObserver(&alice));
    EXPECT_TRUE(manager->registerObserver(&Alice));
    EXPECT_TRUE(manager->registerObserver(&all));
    for (int i = 0; i < 20; ++i)
        manager->post(new Event_State("alice", std::to_string(i).c_str(), L"n", JS_RUNNING));
    manager->post(new Event_State("", "broadcast", L"n", JS_IDLE));
    drain(*manager, all);
    auto seen = alice.events();
    ASSERT_EQ(seen.size(), 21u);
    for (int i = 0; i < 20; ++i)
        EXPECT_NE(seen[i].find("\"id\":\"" + std::to_string(i) + "\""), std::string::npos);
    EXPECT_NE(seen[20].find("broadcast"), std::string::npos);
    // Letter case tells users apart; an empty tag reaches everybody.
    ASSERT_EQ(Alice.events().size(), 1u);
    EXPECT_NE(Alice.events()[0].find("broadcast"), std::string::npos);
    EXPECT_EQ(all.events().size(), 22u);

    EXPECT_TRUE(manager->unregisterObserver(&alice));
    EXPECT_FALSE(manager->unregisterObserver(&alice));
    manager->post(new Event_State("alice", "after", L"n", JS_IDLE));
    drain(*manager, all);
    EXPECT_EQ(alice.events().size(), 21u);
    EXPECT_TRUE(manager->unregisterObserver(&Alice));
    EXPECT_TRUE(IocpDispatherWrapper::close());  // every queued event delivered
    // At the end, each observer still registered gets exactly one empty text.
    size_t before = all.events().size();
    manager.reset();
    ASSERT_EQ(all.events().size(), before + 1);
    EXPECT_TRUE(all.events().back().empty());
    EXPECT_EQ(Alice.events().size(), 1u);
}

TEST(JobNotifications, UnregisterWaitsForDeliveryInProgress) {
    class SlowObserver : public JobNotifyObserver {
    public:
        SlowObserver() : JobNotifyObserver("") {}
        bool Post(const std::string&) override {
            inside = true;
            std::this_thread::sleep_for(100ms);
            ++calls;
            inside = false;
            return true;
        }
        std::atomic<bool> inside{false};
        std::atomic<int> calls{0};
    } slow;
    JobNotifyManagerImpl manager;
    ASSERT_TRUE(IocpDispatherWrapper::open());
    ASSERT_TRUE(IocpDispatherWrapper::activate());
    ASSERT_TRUE(manager.registerObserver(&slow));
    for (int i = 0; i < 5; ++i) manager.post(new Notify_Event(std::string("e"), nullptr));
    while (!slow.inside) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(manager.unregisterObserver(&slow));
    EXPECT_FALSE(slow.inside);  // the delivery finished before unregister returned
    int calls = slow.calls;
    EXPECT_TRUE(IocpDispatherWrapper::close());
    EXPECT_EQ(slow.calls, calls);  // no later event reached it
}

TEST(JobNotifications, EventNobodyWantsIsDroppedAndFailedPostReleased) {
    JobNotifyManagerImpl manager;
    // No port yet: the post fails and the event is released (the leak check would see it).
    EXPECT_FALSE(manager.post(new Event_State("u", "id", L"n", JS_IDLE)));
    ASSERT_TRUE(IocpDispatherWrapper::open());
    ASSERT_TRUE(IocpDispatherWrapper::activate());
    EXPECT_TRUE(manager.post(new Event_State("u", "id", L"n", JS_IDLE)));
    EXPECT_TRUE(IocpDispatherWrapper::close());
}

TEST(JobNotifications, ProcessManagerIsOneSingleton) {
    auto* first =
        ATL::CComSingleton<JobNotifyManagerImpl, ATL::CComAutoCriticalSection>::instance();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first,
              (ATL::CComSingleton<JobNotifyManagerImpl, ATL::CComAutoCriticalSection>::instance()));
}

TEST(JobDispatcher, TimerStaysArmedAndKeepsItsIdWhenTheWakeUpFails) {
    Io_Completion_Port_Ex port;  // never opened: every wake-up post fails
    Recorder recorder;
    Handler handler(recorder, "kept");
    long id = port.schedule_after_ms(&handler, 60000);
    EXPECT_GT(id, 0);
    EXPECT_EQ(handler.timer_id, id);
    EXPECT_EQ(port.cancel_timer(&handler), 0);  // it was stored
}

TEST(JobNotifications, EventsQueuedAtProcessEndAreDeliveredBeforeTheManagerGoes) {
    // Nothing is closed here: the end of the test process stops the dispatcher,
    // which must hand every queued event to the manager while it still lives.
    auto* manager =
        ATL::CComSingleton<JobNotifyManagerImpl, ATL::CComAutoCriticalSection>::instance();
    ASSERT_TRUE(IocpDispatherWrapper::open());
    ASSERT_TRUE(IocpDispatherWrapper::activate());
    for (int i = 0; i < 1000; ++i) manager->post(new Event_State("u", "id", L"n", JS_RUNNING));
}
