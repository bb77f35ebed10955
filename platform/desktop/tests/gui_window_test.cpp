// The headless desktop's windows as the tray uses them: the virtual clock
// (busy waits on GetTickCount end, sent messages run while peeking), timers
// replaced and of id 0, injected mouse input in screen coordinates with
// capture, hover and leave tracking, activation with WA_INACTIVE (also on
// destruction), focus, geometry and handles that are never reused.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock/clock_change.h"
#include "platform/clock/time_change.h"
#include "platform/desktop/gui_test.h"
#include "platform/win32.h"

namespace gui = tovel::platform::gui;

namespace {

using Handler = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

LRESULT procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* handler = reinterpret_cast<Handler*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (handler && *handler) return (*handler)(window, message, wParam, lParam);
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND make(Handler* handler, DWORD style, RECT at, HWND parent = nullptr, DWORD ex = 0) {
    static const ATOM atom = [] {
        WNDCLASSEXW c = {};
        c.cbSize = sizeof c;
        c.lpfnWndProc = procedure;
        c.lpszClassName = L"GuiTestWindow";
        return RegisterClassExW(&c);
    }();
    EXPECT_NE(atom, 0);
    // The handler is attached before anything is shown: WM_CREATE runs without it.
    HWND window =
        CreateWindowExW(ex, L"GuiTestWindow", L"", style & ~WS_VISIBLE, at.left, at.top,
                        at.right - at.left, at.bottom - at.top, parent, nullptr, nullptr, nullptr);
    EXPECT_NE(window, nullptr);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(handler));
    if (style & WS_VISIBLE) ShowWindow(window, SW_SHOW);
    return window;
}

// Records the messages a window gets, as "NAME x,y" texts.
struct Log {
    std::vector<std::string> lines;
    Handler handler(const char* who, bool keep_default = true) {
        return [this, who, keep_default](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
            auto point = [&] {
                return std::to_string(GET_X_LPARAM(lp)) + "," + std::to_string(GET_Y_LPARAM(lp));
            };
            std::string name;
            switch (m) {
                case WM_MOUSEMOVE:
                    name = "move " + point();
                    break;
                case WM_LBUTTONDOWN:
                    name = "down " + point();
                    break;
                case WM_LBUTTONUP:
                    name = "up " + point();
                    break;
                case WM_MOUSEHOVER:
                    name = "hover " + point();
                    break;
                case WM_MOUSELEAVE:
                    name = "leave";
                    break;
                case WM_ACTIVATE:
                    name = LOWORD(wp) == WA_INACTIVE ? "inactive" : "active";
                    break;
                case WM_SETFOCUS:
                    name = "setfocus";
                    break;
                case WM_KILLFOCUS:
                    name = "killfocus";
                    break;
                case WM_DESTROY:
                    name = "destroy";
                    break;
                case WM_SHOWWINDOW:
                    name = wp ? "shown" : "hidden";
                    break;
                case WM_SIZE:
                    name = "size " + point();
                    break;
                default:
                    break;
            }
            if (!name.empty()) lines.push_back(std::string(who) + " " + name);
            return keep_default ? DefWindowProcW(w, m, wp, lp) : 0;
        };
    }
    std::string take() {
        std::string all;
        for (auto& line : lines) all += line + "\n";
        lines.clear();
        return all;
    }
};

class GuiTest : public ::testing::Test {
protected:
    void SetUp() override { tovel::platform::watch_clock_settings(false); }
    void TearDown() override { tovel::platform::watch_clock_settings(true); }
};

using PlatformGuiClock = GuiTest;
using PlatformGuiInput = GuiTest;

}  // namespace

TEST_F(PlatformGuiClock, ABusyWaitOnTheTickCountEndsAndRunsSentMessagesMeanwhile) {
    gui::VirtualClock clock;
    Handler quiet;
    HWND window = make(&quiet, 0, {0, 0, 10, 10});
    std::atomic<int> sent_ran{0};
    Handler counting = [&](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
        if (m == WM_USER + 5) return ++sent_ran, 77;
        return DefWindowProcW(w, m, wp, lp);
    };
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&counting));
    // The wait of a click handler: peek, without removing, until the
    // double-click time has passed on the tick count.
    const DWORD start = GetTickCount();
    EXPECT_EQ(start, clock.now());
    MSG msg;
    int looks = 0;
    while (GetTickCount() - start < GetDoubleClickTime()) {
        PeekMessageW(&msg, window, WM_USER, WM_USER + 1, PM_NOREMOVE);
        ++looks;
    }
    EXPECT_EQ(GetTickCount() - start, 500u);
    EXPECT_EQ(looks, 500);
    // A look that finds nothing runs what another thread sends meanwhile.
    std::atomic<LRESULT> answer{0};
    std::thread sender([&] { answer = SendMessageW(window, WM_USER + 5, 0, 0); });
    for (int i = 0; i < 10000000 && sent_ran.load() == 0; ++i)
        EXPECT_FALSE(PeekMessageW(&msg, window, WM_USER, WM_USER + 1, PM_NOREMOVE));
    sender.join();
    EXPECT_EQ(sent_ran.load(), 1);
    EXPECT_EQ(answer.load(), 77);
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(PlatformGuiClock, AReplacedThreadTimerFiresOncePerPeriodAndWindowTimerZeroWorks) {
    gui::VirtualClock clock;
    static std::vector<DWORD> fired;
    fired.clear();
    TIMERPROC tick = [](HWND, UINT, UINT_PTR, DWORD time) { fired.push_back(time); };
    const DWORD start = GetTickCount();
    UINT_PTR id = SetTimer(nullptr, 0, 1000, tick);
    ASSERT_NE(id, 0u);
    // A second start with the live id replaces the timer instead of adding one.
    EXPECT_EQ(SetTimer(nullptr, id, 1000, tick), id);
    gui::run_for(3000);
    ASSERT_EQ(fired.size(), 3u);
    EXPECT_EQ(fired[0] - start, 1000u);
    EXPECT_EQ(fired[2] - start, 3000u);
    EXPECT_TRUE(KillTimer(nullptr, id));

    std::vector<WPARAM> ids;
    Handler timers = [&](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
        if (m == WM_TIMER) ids.push_back(wp);
        return DefWindowProcW(w, m, wp, lp);
    };
    HWND window = make(&timers, 0, {0, 0, 1, 1});
    EXPECT_NE(SetTimer(window, 0, 100, nullptr), 0u);
    gui::run_for(250);
    EXPECT_EQ(ids, (std::vector<WPARAM>{0, 0}));
    EXPECT_TRUE(KillTimer(window, 0));
    gui::run_for(300);
    EXPECT_EQ(ids.size(), 2u);
    EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(PlatformGuiInput, MouseMessagesGoToTheWindowUnderTheCursorOrTheCapture) {
    gui::VirtualClock clock;
    Log log;
    Handler top_handler = log.handler("top"), child_handler = log.handler("child"),
            other_handler = log.handler("other");
    HWND top = make(&top_handler, WS_POPUP | WS_VISIBLE, {100, 100, 300, 200});
    HWND child = make(&child_handler, WS_CHILD | WS_VISIBLE, {10, 20, 60, 50}, top);
    HWND other = make(&other_handler, WS_POPUP | WS_VISIBLE, {500, 500, 600, 600});
    gui::pump();
    log.take();
    RECT r;
    ASSERT_TRUE(GetWindowRect(child, &r));
    EXPECT_EQ(r.left, 110);
    EXPECT_EQ(r.top, 120);
    EXPECT_EQ(WindowFromPoint({115, 125}), child);
    EXPECT_EQ(WindowFromPoint({109, 125}), top);
    EXPECT_EQ(WindowFromPoint({300, 150}), nullptr);  // right edge is outside

    // Hover tracking fires after the hover time with the cursor still; leave
    // tracking fires when the cursor moves onto a child.
    gui::move_mouse(150, 180);
    gui::pump();
    TRACKMOUSEEVENT track = {sizeof track, TME_HOVER | TME_LEAVE, top, 10};
    EXPECT_TRUE(TrackMouseEvent(&track));
    gui::run_for(9);
    EXPECT_EQ(log.take(), "top move 50,80\n");
    gui::run_for(1);
    EXPECT_EQ(log.take(), "top hover 50,80\n");
    gui::move_mouse(115, 125);  // onto the child
    gui::pump();
    EXPECT_EQ(log.take(), "top leave\nchild move 5,5\n");

    // The other window is active; a press on the top window activates it.
    EXPECT_EQ(GetActiveWindow(), other);
    gui::press(115, 125);
    gui::pump();
    EXPECT_EQ(log.take(),
              "other inactive\ntop active\nother killfocus\ntop setfocus\nchild down 5,5\n");
    EXPECT_EQ(SetCapture(child), nullptr);
    gui::move_mouse(550, 90);  // outside, yet to the capture, in its coordinates
    gui::release(550, 90);
    gui::pump();
    EXPECT_EQ(log.take(), "child move 440,-30\nchild up 440,-30\n");
    EXPECT_TRUE(ReleaseCapture());
    EXPECT_EQ(GetCapture(), nullptr);

    // A click on no window leaves the process without an active window.
    gui::click(900, 50);
    gui::pump();
    EXPECT_EQ(log.take(), "top inactive\n");
    EXPECT_EQ(GetActiveWindow(), nullptr);

    // A disabled window gets no mouse message.
    EnableWindow(other, FALSE);
    gui::click(550, 550);
    gui::pump();
    EXPECT_EQ(log.take(), "other active\ntop killfocus\nother setfocus\n");
    EXPECT_TRUE(DestroyWindow(other));
    EXPECT_EQ(log.take(), "other inactive\nother destroy\n");  // WA_INACTIVE before it goes
    EXPECT_TRUE(DestroyWindow(top));
}

TEST_F(PlatformGuiInput, GeometryShowingAndHandlesThatAreNeverReused) {
    gui::VirtualClock clock;
    Log log;
    Handler handler = log.handler("w");
    HWND window = make(&handler, WS_POPUP, {0, 0, 10, 10});
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_FALSE(ShowWindow(window, SW_SHOWNA));
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(GetActiveWindow(), nullptr);  // SW_SHOWNA does not activate
    EXPECT_TRUE(SetWindowPos(window, HWND_TOPMOST, 40, 50, 30, 20, SWP_NOACTIVATE));
    EXPECT_EQ(log.take(), "w shown\nw size 30,20\n");
    RECT r;
    GetClientRect(window, &r);
    EXPECT_EQ(r.right, 30);
    EXPECT_EQ(r.bottom, 20);
    POINT p = {1, 2};
    ClientToScreen(window, &p);
    EXPECT_EQ(p.x, 41);
    EXPECT_EQ(p.y, 52);
    EXPECT_TRUE(LockWindowUpdate(window));
    EXPECT_TRUE(LockWindowUpdate(nullptr));
    EXPECT_TRUE(DestroyWindow(window));
    // A post to a dead window is refused, and its handle never comes back.
    EXPECT_FALSE(PostMessageW(window, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    for (int i = 0; i < 5; ++i) {
        HWND again = make(&handler, WS_POPUP, {0, 0, 1, 1});
        EXPECT_NE(again, window);
        DestroyWindow(again);
    }
    // A message-only window takes messages and no mouse.
    HWND hidden = CreateWindowExW(0, L"GuiTestWindow", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, nullptr, nullptr);
    ASSERT_NE(hidden, nullptr);
    EXPECT_TRUE(PostMessageW(hidden, WM_USER, 0, 0));
    EXPECT_EQ(gui::pump(), 1);
    EXPECT_TRUE(DestroyWindow(hidden));

    RECT work;
    EXPECT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
    EXPECT_EQ(work.bottom, 760);
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1280);
    gui::set_taskbar(ABE_LEFT, 50);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    EXPECT_EQ(work.left, 50);
    EXPECT_EQ(work.bottom, 800);
    APPBARDATA bar = {};
    bar.cbSize = sizeof bar;
    EXPECT_TRUE(SHAppBarMessage(ABM_GETTASKBARPOS, &bar));
    EXPECT_EQ(bar.uEdge, static_cast<UINT>(ABE_LEFT));
    EXPECT_EQ(bar.rc.right, 50);
    gui::set_taskbar(ABE_BOTTOM, 40);
    EXPECT_EQ(RegisterWindowMessageW(L"TaskbarCreated"), RegisterWindowMessageW(L"taskbarcreated"));
}

namespace {

// What a singleton of the tray does when the process ends: its window, its
// timer and its icon go after the main thread's queue went.
struct LateUser {
    HWND window = nullptr;
    UINT_PTR timer = 0;
    ~LateUser() {
        KillTimer(nullptr, timer);
        SetTimer(nullptr, timer, 100, nullptr);
        PostMessageW(window, WM_USER, 0, 0);
        DestroyWindow(window);
        NOTIFYICONDATAW data = {};
        data.cbSize = sizeof data;
        data.hWnd = window;
        Shell_NotifyIconW(NIM_DELETE, &data);
        HDC dc = GetDC(window);
        if (dc) ReleaseDC(window, dc);
        SetCapture(window);
        ReleaseCapture();
    }
};

}  // namespace

TEST_F(PlatformGuiInput, TheLayerOutlivesObjectsThatUseItAtExit) {
    EXPECT_EXIT(
        {
            static LateUser late;
            Handler none;
            late.window = make(&none, WS_POPUP | WS_VISIBLE, {0, 0, 10, 10});
            late.timer = SetTimer(nullptr, 0, 100, nullptr);
            NOTIFYICONDATAW data = {};
            data.cbSize = sizeof data;
            data.hWnd = late.window;
            Shell_NotifyIconW(NIM_ADD, &data);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
