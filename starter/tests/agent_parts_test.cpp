// The agent's pieces that run on their own: the web server's log callback
// and create-thread callback, and the hidden window that forwards clock
// changes to the job engine.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "job/core/iocp_dispatcher.h"
#include "starter/agent.h"
#include "starter/hidden_window.h"
#include "starter/server_callbacks.h"
#include "tools/testkit/log_capture.h"

using namespace tovel::web;

namespace {

class LogServerMessage : public tovel::testing::LoggedTest {};

// One line per message, at LM_ERROR: the client's address highest byte
// first, the request's method and URI when there is a method, and a blank
// before the colon when there is none.
TEST_F(LogServerMessage, OneLinePerMessage) {
    mg_request_info request = {};
    request.request_method = "GET";
    request.uri = "/jobs/7";
    request.remote_ip = 0xC0A80105;
    log_server_message(nullptr, &request, "handler failed");
    request.request_method = nullptr;
    request.remote_ip = 0x0A000001;
    log_server_message(nullptr, &request, "cannot bind");
    EXPECT_EQ(logged(),
              "client 192.168.1.5 GET /jobs/7: handler failed\n"
              "client 10.0.0.1 : cannot bind\n");
    ACE_Log_Msg::instance()->set_flags(ACE_Log_Msg::VERBOSE_LITE);
    log_server_message(nullptr, &request, "which priority");
    ACE_Log_Msg::instance()->clr_flags(ACE_Log_Msg::VERBOSE_LITE);
    EXPECT_NE(take_log().find("@LM_ERROR@"), std::string::npos);
}

// The create-thread callback starts the function with its argument on a
// thread of its own, which nobody has to join.
TEST(SpawnServerThread, StartsTheFunctionOnANewThread) {
    struct Start {
        std::promise<std::thread::id> ran;
        void* argument = nullptr;
    } start;
    auto body = [](void* param) -> void* {
        auto* run = static_cast<Start*>(param);
        run->argument = param;
        run->ran.set_value(std::this_thread::get_id());
        return nullptr;
    };
    std::future<std::thread::id> ran = start.ran.get_future();
    ASSERT_EQ(spawn_server_thread(body, &start), 0);
    ASSERT_EQ(ran.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_NE(ran.get(), std::this_thread::get_id());
    EXPECT_EQ(start.argument, &start);
}

// A timer of the dispatcher that counts the clock changes it is told of.
class ClockChangeCounter : public Io_Completion_Port_Ex::Timeout_Handler {
public:
    void handle_timeout(uint64_t due) override {
        if (due == ~0ull) ++changes;
    }
    std::atomic<int> changes{0};
};

// A WM_TIMECHANGE that reaches the hidden window tells the job engine's
// dispatcher once, which asks every armed timer to arm itself again; other
// messages go to the default processing.
TEST(HiddenWindow, TimeChangeReachesTheDispatcherOnce) {
    Iocp_Dispatcher* dispatcher = Iocp_Dispatcher::instance();
    ASSERT_TRUE(dispatcher->open());
    ASSERT_TRUE(dispatcher->activate());
    ClockChangeCounter counter;
    ASSERT_GE(dispatcher->schedule_after_ms(&counter, 3600 * 1000), 0);

    HiddenWindow window;
    ASSERT_NE(window.Create(nullptr, ATL::CWindow::rcDefault, nullptr, 0, 0), nullptr);
    ASSERT_TRUE(PostMessageW(window.m_hWnd, WM_TIMECHANGE, 0, 0));
    ASSERT_TRUE(PostMessageW(window.m_hWnd, WM_USER + 5, 0, 0));
    MSG message;
    int dispatched = 0;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
        ++dispatched;
    }
    EXPECT_EQ(dispatched, 2);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (counter.changes.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a second one would be late
    EXPECT_EQ(counter.changes.load(), 1);
    window.DestroyWindow();
    dispatcher->cancel_timer(&counter);
    dispatcher->stop();
}

}  // namespace
