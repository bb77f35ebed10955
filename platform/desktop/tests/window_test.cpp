// The headless window system: queues made on a thread's first queue call,
// posting and taking with filters, WM_QUIT, SendMessageW across threads
// (many senders, two threads sending to each other, a receiver that goes),
// timers on a held clock, WM_TIMECHANGE to top-level windows, and the
// class-library windows with their message maps.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include "platform/clock/clock_change.h"
#include "platform/clock/time_change.h"
#include "platform/desktop/atl_window.h"
#include "platform/desktop/timer_clock.h"
#include "platform/win32.h"

namespace {

// A window whose procedure is a function of the test (held in its user data).
using Handler = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

LRESULT test_window_procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* handler = reinterpret_cast<Handler*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (handler && *handler) return (*handler)(window, message, wParam, lParam);
    return DefWindowProcW(window, message, wParam, lParam);
}

void register_test_class() {
    static const ATOM atom = [] {
        WNDCLASSEXW windowClass = {};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = test_window_procedure;
        windowClass.lpszClassName = L"TestWindow";
        return RegisterClassExW(&windowClass);
    }();
    ASSERT_NE(atom, 0);
}

HWND make_window(Handler* handler, HWND parent = nullptr) {
    register_test_class();
    HWND window = CreateWindowExW(0, L"TestWindow", nullptr, parent ? WS_CHILD : 0, 0, 0, 0, 0,
                                  parent, nullptr, nullptr, nullptr);
    EXPECT_NE(window, nullptr);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(handler));
    return window;
}

// A thread that owns a window and runs a message loop until WM_QUIT.
class WindowThread {
public:
    explicit WindowThread(Handler handler) : handler_(std::move(handler)) {
        std::promise<HWND> made;
        auto ready = made.get_future();
        thread_ = std::thread([this, &made] {
            id_ = GetCurrentThreadId();
            made.set_value(make_window(&handler_));
            MSG msg;
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
        });
        window_ = ready.get();
    }
    ~WindowThread() { stop(); }
    void stop() {
        if (!thread_.joinable()) return;
        PostThreadMessageW(id_, WM_QUIT, 0, 0);
        thread_.join();
    }
    HWND window() const { return window_; }
    DWORD id() const { return id_; }

private:
    Handler handler_;
    std::thread thread_;
    std::atomic<DWORD> id_{0};
    HWND window_ = nullptr;
};

class WindowTest : public ::testing::Test {
protected:
    // Settings of the clock by other processes must not reach these windows.
    void SetUp() override { tovel::platform::watch_clock_settings(false); }
    void TearDown() override { tovel::platform::watch_clock_settings(true); }
};

using PlatformWindow = WindowTest;

TEST_F(PlatformWindow, QueuesComeWithTheFirstQueueCallAndGoWithTheirThread) {
    std::atomic<DWORD> id{0};
    std::atomic<int> stage{0};
    std::thread plain([&] {
        id = GetCurrentThreadId();
        while (stage.load() == 0) std::this_thread::yield();
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue is made here
        stage = 2;
        while (stage.load() == 2) std::this_thread::yield();
        // Posted messages first, in order, whatever came in between; WM_QUIT last.
        std::vector<UINT> got;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) got.push_back(msg.message);
        EXPECT_EQ(got, (std::vector<UINT>{WM_USER + 1, WM_USER + 2, WM_USER + 3}));
        EXPECT_EQ(msg.message, WM_QUIT);
        EXPECT_EQ(msg.wParam, 7u);
    });
    while (id.load() == 0) std::this_thread::yield();
    EXPECT_FALSE(PostThreadMessageA(id, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
    stage = 1;
    while (stage.load() != 2) std::this_thread::yield();
    EXPECT_TRUE(PostThreadMessageA(id, WM_USER + 1, 0, 0));
    EXPECT_TRUE(PostThreadMessageW(id, WM_USER + 2, 0, 0));
    EXPECT_TRUE(PostThreadMessageW(id, WM_USER + 3, 0, 0));
    EXPECT_TRUE(PostThreadMessageW(id, WM_QUIT, 7, 0));
    stage = 3;
    plain.join();
    EXPECT_FALSE(PostThreadMessageW(id, WM_USER, 0, 0));  // ended with its thread
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);

    // On this thread: filters, PM_NOREMOVE, and PostQuitMessage after the posts.
    Handler count = [](HWND window, UINT message, WPARAM w, LPARAM l) {
        return message == WM_USER ? static_cast<LRESULT>(w + 1)
                                  : DefWindowProcW(window, message, w, l);
    };
    HWND a = make_window(&count), b = make_window(&count);
    EXPECT_TRUE(PostMessageW(a, WM_USER + 5, 1, 0));
    EXPECT_TRUE(PostMessageA(b, WM_USER, 41, 0));
    EXPECT_TRUE(PostMessageW(nullptr, WM_APP, 2, 0));  // to the thread
    PostQuitMessage(3);
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, b, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, WM_USER);
    EXPECT_EQ(DispatchMessageW(&msg), 42);
    EXPECT_TRUE(PeekMessageW(&msg, b, WM_USER, WM_USER, PM_REMOVE));  // still there
    EXPECT_TRUE(PeekMessageW(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_APP);
    EXPECT_EQ(msg.hwnd, nullptr);
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_USER + 5, WM_USER + 9, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, a);
    EXPECT_TRUE(PeekMessageW(&msg, a, WM_USER, WM_USER, PM_NOREMOVE));  // WM_QUIT passes any filter
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(GetMessageW(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));

    EXPECT_EQ(GetMessageW(&msg, reinterpret_cast<HWND>(0x123), 0, 0), -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_TRUE(DestroyWindow(a));
    EXPECT_FALSE(IsWindow(a));
    EXPECT_FALSE(PostMessageW(a, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(SendMessageW(a, WM_USER, 0, 0), 0);
    EXPECT_TRUE(DestroyWindow(b));
}

TEST_F(PlatformWindow, SendMessageFromEightThreadsRunsEachOnTheWindowsThreadInOrder) {
    constexpr int kSenders = 8, kEach = 400;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false}, wrong_thread{false};
    std::vector<int> last(kSenders, -1);  // used on the window's thread only
    std::atomic<DWORD> owner{0};
    WindowThread receiver([&](HWND window, UINT message, WPARAM w, LPARAM l) -> LRESULT {
        if (message != WM_USER) return DefWindowProcW(window, message, w, l);
        if (inside.fetch_add(1) != 0) overlapped = true;
        if (GetCurrentThreadId() != owner.load()) wrong_thread = true;
        int sender = static_cast<int>(w), sequence = static_cast<int>(l);
        EXPECT_EQ(last[sender] + 1, sequence);  // each sender's messages in its order
        last[sender] = sequence;
        inside.fetch_sub(1);
        return static_cast<LRESULT>(w * 100000 + l);
    });
    owner = receiver.id();
    std::vector<std::thread> senders;
    std::atomic<int> wrong{0};
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kEach; ++i)
                if (SendMessageW(receiver.window(), WM_USER, s, i) != s * 100000 + i) ++wrong;
        });
    }
    for (auto& sender : senders) sender.join();
    receiver.stop();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_FALSE(overlapped.load());
    EXPECT_FALSE(wrong_thread.load());
    for (int s = 0; s < kSenders; ++s) EXPECT_EQ(last[s], kEach - 1);
}

TEST_F(PlatformWindow, TwoThreadsThatSendToEachOtherAnswerWhileTheyWait) {
    // Each thread sends to the other's window without ever running a message
    // loop, and each procedure sends back before it answers: every message
    // is run inside the other thread's own SendMessageW wait.
    constexpr int kRounds = 300;
    std::atomic<HWND> windows[2] = {nullptr, nullptr};
    std::atomic<int> ready{0}, done{0};
    Handler handlers[2];
    auto run = [&](int me) {
        int other = 1 - me;
        handlers[me] = [&, me, other](HWND window, UINT message, WPARAM w, LPARAM l) -> LRESULT {
            if (message == WM_USER) return SendMessageW(windows[other], WM_USER + 1, w, 0) + 1;
            if (message == WM_USER + 1) return static_cast<LRESULT>(w * 2 + me);
            return DefWindowProcW(window, message, w, l);
        };
        windows[me] = make_window(&handlers[me]);
        ++ready;
        while (ready.load() < 2) std::this_thread::yield();
        for (int i = 0; i < kRounds; ++i) {
            // The other runs WM_USER, which sends WM_USER + 1 back to this thread.
            EXPECT_EQ(SendMessageW(windows[other], WM_USER, i, 0), i * 2 + me + 1);
        }
        ++done;
        // Keep answering until the other is done too.
        MSG msg;
        while (done.load() < 2) PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);
    };
    std::thread a(run, 0), b(run, 1);
    a.join();
    b.join();
    EXPECT_EQ(done.load(), 2);
}

TEST_F(PlatformWindow, SendingToAWindowThatGoesOrWhoseThreadEndsReturnsZero) {
    std::atomic<int> ran{0};
    Handler handler = [&](HWND window, UINT message, WPARAM w, LPARAM l) -> LRESULT {
        if (message == WM_USER) return ++ran, 5;
        return DefWindowProcW(window, message, w, l);
    };
    for (bool thread_ends : {true, false}) {
        std::promise<HWND> made;
        std::atomic<bool> sending{false}, leave{false};
        std::thread receiver([&] {
            HWND window = make_window(&handler);
            made.set_value(window);
            while (!sending.load()) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the send waits
            if (!thread_ends) {
                EXPECT_TRUE(DestroyWindow(window));
                while (!leave.load()) std::this_thread::yield();
            }
        });
        HWND window = made.get_future().get();
        std::atomic<LRESULT> result{-1};
        std::thread sender([&] {
            sending = true;
            result = SendMessageW(window, WM_USER, 0, 0);
        });
        sender.join();  // returns although the message never ran
        EXPECT_EQ(result.load(), 0);
        EXPECT_FALSE(IsWindow(window));
        leave = true;
        receiver.join();
    }
    EXPECT_EQ(ran.load(), 0);
}

TEST_F(PlatformWindow, TimersFollowTheHeldClockAndNeverPileUp) {
    tovel::platform::HeldTimerClock clock;
    Handler none;
    HWND window = make_window(&none);
    static std::atomic<int> procedure_calls{0};
    procedure_calls = 0;
    TIMERPROC procedure = [](HWND, UINT message, UINT_PTR, DWORD) {
        if (message == WM_TIMER) ++procedure_calls;
    };
    EXPECT_EQ(SetTimer(window, 7, 100, nullptr), 7u);
    UINT_PTR thread_timer = SetTimer(nullptr, 0, 250, procedure);
    ASSERT_NE(thread_timer, 0u);
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    clock.advance(99);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    clock.advance(1);
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.hwnd, window);
    EXPECT_EQ(msg.message, WM_TIMER);
    EXPECT_EQ(msg.wParam, 7u);
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));  // left due by PM_NOREMOVE
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    clock.advance(1000);  // ten periods of one, four of the other: one message each
    int window_ticks = 0;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        EXPECT_EQ(msg.message, WM_TIMER);
        if (msg.hwnd == window) ++window_ticks;
        DispatchMessageW(&msg);
    }
    EXPECT_EQ(window_ticks, 1);
    EXPECT_EQ(procedure_calls.load(), 1);
    EXPECT_EQ(SetTimer(nullptr, thread_timer, 20, procedure), thread_timer);  // replaced
    clock.advance(20);
    EXPECT_TRUE(PeekMessageW(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.wParam, thread_timer);
    EXPECT_TRUE(KillTimer(nullptr, thread_timer));
    EXPECT_FALSE(KillTimer(nullptr, thread_timer));
    EXPECT_TRUE(DestroyWindow(window));  // ends its timer
    clock.advance(5000);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));

    // A thread waiting in GetMessageW wakes when the clock is moved.
    std::atomic<bool> armed{false};
    std::atomic<UINT_PTR> ticked{0};
    std::thread waiter([&] {
        UINT_PTR id = SetTimer(nullptr, 0, 60000, nullptr);
        armed = true;
        MSG got;
        if (GetMessageW(&got, nullptr, 0, 0) > 0 && got.message == WM_TIMER && got.wParam == id)
            ticked = id;
    });
    while (!armed.load()) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ticked.load(), 0u);
    clock.advance(60000);
    waiter.join();
    EXPECT_NE(ticked.load(), 0u);
}

using PlatformWindowTimeChange = WindowTest;

TEST_F(PlatformWindowTimeChange, ReachesEveryTopLevelWindowOnceAndNoChild) {
    std::atomic<int> here{0}, there{0}, child{0};
    auto counting = [](std::atomic<int>& count) {
        return [&count](HWND window, UINT message, WPARAM w, LPARAM l) -> LRESULT {
            if (message == WM_TIMECHANGE) ++count;
            return DefWindowProcW(window, message, w, l);
        };
    };
    Handler on_here = counting(here), on_child = counting(child);
    HWND top = make_window(&on_here);
    HWND inner = make_window(&on_child, top);
    WindowThread other(counting(there));
    tovel::platform::broadcast_time_change();
    EXPECT_EQ(here.load(), 1);  // this thread's window: at once
    for (int i = 0; i < 500 && there.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(there.load(), 1);
    EXPECT_EQ(child.load(), 0);

    // A posted WM_TIMECHANGE reaches its window once too.
    PostMessageW(top, WM_TIMECHANGE, 0, 0);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    EXPECT_EQ(here.load(), 2);
    EXPECT_EQ(child.load(), 0);

    // A real setting of the clock, seen also by a watcher of the test's own:
    // every setting (others' processes may set the clock too) reaches the
    // window exactly once.
    tovel::platform::watch_clock_settings(true);
    DestroyWindow(top);  // the window that starts the watch is made after it was turned on
    here = 0;
    top = make_window(&on_here);
    std::atomic<int> settings{0};
    tovel::platform::ClockChangeWatcher independent([&] { ++settings; });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    if (clock_settime(CLOCK_REALTIME, &now) != 0) {
        DestroyWindow(inner);
        DestroyWindow(top);
        GTEST_SKIP() << "the clock cannot be set here";
    }
    for (int i = 0; i < 100; ++i) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        if (settings.load() > 0 && here.load() == settings.load() && i > 10) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GE(settings.load(), 1);
    EXPECT_EQ(here.load(), settings.load());
    DestroyWindow(inner);
    DestroyWindow(top);
}

// A window of the class library, as the service host keeps one.
class HiddenTestWindow
    : public ATL::CWindowImpl<HiddenTestWindow, ATL::CWindow, ATL::CWinTraits<0, 0>> {
public:
    BEGIN_MSG_MAP(HiddenTestWindow)
    MESSAGE_HANDLER(WM_TIMECHANGE, OnTimeChange)
    MESSAGE_RANGE_HANDLER(WM_USER, WM_USER + 9, OnUser)
    END_MSG_MAP()

    LRESULT OnTimeChange(UINT, WPARAM, LPARAM, BOOL& handled) {
        ++time_changes;
        handled = TRUE;
        return 0;
    }
    // Handles even numbers; odd ones go on to the default (0).
    LRESULT OnUser(UINT message, WPARAM wParam, LPARAM, BOOL& handled) {
        handled = wParam % 2 == 0;
        return static_cast<LRESULT>(message - WM_USER + 100);
    }
    void OnFinalMessage(HWND window) override { final_window = window; }

    int time_changes = 0;
    HWND final_window = nullptr;
};

class NamedClassWindow : public ATL::CWindowImpl<NamedClassWindow> {
public:
    DECLARE_WND_CLASS(L"TovelTestNamedClass")
    BEGIN_MSG_MAP(NamedClassWindow)
    END_MSG_MAP()
};

using PlatformAtlWindow = WindowTest;

TEST_F(PlatformAtlWindow, TheMessageMapTakesWhatItNamesAndTheDefaultTheRest) {
    HiddenTestWindow hidden;
    EXPECT_EQ(hidden.m_hWnd, nullptr);
    HWND window = hidden.Create(nullptr);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(hidden.m_hWnd, window);
    EXPECT_TRUE(hidden.IsWindow());
    EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), GetCurrentThreadId());

    EXPECT_EQ(hidden.SendMessage(WM_USER + 2, 4), 102);
    EXPECT_EQ(hidden.SendMessage(WM_USER + 2, 3), 0);  // left to DefWindowProcW

    // The service host's loop: a posted WM_TIMECHANGE reaches the map once,
    // and WM_CLOSE ends the loop undispatched.
    EXPECT_TRUE(hidden.PostMessage(WM_TIMECHANGE));
    EXPECT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_CLOSE, 0, 0));
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0 && msg.message != WM_QUIT &&
           msg.message != WM_CLOSE) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_CLOSE));
    EXPECT_EQ(hidden.time_changes, 1);

    // WM_CLOSE dispatched to the window destroys it by default.
    hidden.SendMessage(WM_CLOSE);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(hidden.m_hWnd, nullptr);
    EXPECT_EQ(hidden.final_window, window);

    // Two objects of a named class, and one made again after its window went.
    NamedClassWindow first, second;
    ASSERT_NE(first.Create(nullptr), nullptr);
    ASSERT_NE(second.Create(nullptr), nullptr);
    EXPECT_NE(first.m_hWnd, second.m_hWnd);
    EXPECT_TRUE(first.DestroyWindow());
    EXPECT_EQ(first.m_hWnd, nullptr);
    ASSERT_NE(first.Create(nullptr), nullptr);
    EXPECT_TRUE(first.DestroyWindow());
    EXPECT_TRUE(second.DestroyWindow());
    EXPECT_NE(hidden.Create(nullptr), nullptr);
    EXPECT_TRUE(hidden.DestroyWindow());
}

}  // namespace
