// The desktop across processes, with real child processes on one machine
// root: registered messages share their ids, broadcasts of them reach the
// top-level windows of the user's other processes (and no other user's),
// names without "Global\" belong to the user, the test hooks drive a child
// over its socket, and the shell record keeps what a child launched.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/child_process.h"
#include "tools/testkit/gui_remote.h"
#include "tools/testkit/machine_fixture.h"

using tovel::testing::machine_root;

namespace {

std::string hex(uintptr_t value) {
    std::ostringstream out;
    out << std::hex << value;
    return out.str();
}

// ---- the child: a GUI thread that runs the commands read on stdin ----

constexpr UINT kCommand = WM_APP + 7;
constexpr UINT kIconCallback = WM_APP + 1;
int g_registered_seen = 0;

void say(const std::string& text) { std::cout << text << std::endl; }

LRESULT child_procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= 0xC000) {
        ++g_registered_seen;
        // Slow on purpose: a sender that did not wait would look first.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (const char* marks = getenv("TOVEL_XPROC_MARKS")) {
            std::string mark = std::string(marks) + "/got-" + std::to_string(wParam) + "-" +
                               std::to_string(lParam);
            FILE* f = fopen(mark.c_str(), "w");
            if (f) fclose(f);
        }
        say("got " + std::to_string(wParam) + " " + std::to_string(lParam));
        return 0;
    }
    if (message == kIconCallback) {
        say("icon " + std::to_string(lParam));
        return 0;
    }
    if (message == WM_LBUTTONDOWN) {
        say("button " + std::to_string(static_cast<short>(LOWORD(lParam))) + " " +
            std::to_string(static_cast<short>(HIWORD(lParam))));
        return 0;
    }
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT all;
        GetClientRect(window, &all);
        HBRUSH red = CreateSolidBrush(RGB(200, 30, 30));
        FillRect(dc, &all, red);
        DeleteObject(red);
        EndPaint(window, &paint);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

void run_command_line(const std::string& line, HWND& window) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "become-nobody") {
        bool done = setresgid(65534, 65534, 65534) == 0 && setresuid(65534, 65534, 65534) == 0;
        say(done ? "nobody" : "still root");
    } else if (verb == "register") {  // register <prefix> <count> <backwards 0|1>
        std::string prefix;
        int count = 0, backwards = 0;
        in >> prefix >> count >> backwards;
        std::vector<UINT> ids(count);
        for (int i = 0; i < count; ++i) {
            int n = backwards ? count - 1 - i : i;
            // Every other name in another case: the same message.
            std::string name = prefix + std::to_string(n);
            if (n % 2) {
                for (auto& c : name) c = static_cast<char>(toupper(c));
                ids[n] = RegisterWindowMessageA(name.c_str());
            } else {
                ids[n] = RegisterWindowMessageW(wide(name).c_str());
            }
        }
        std::string out = "ids";
        for (UINT id : ids) out += " " + hex(id);
        say(out);
    } else if (verb == "window") {
        WNDCLASSEXW c = {};
        c.cbSize = sizeof c;
        c.lpfnWndProc = child_procedure;
        c.lpszClassName = L"XprocChild";
        RegisterClassExW(&c);
        window = CreateWindowExW(0, L"XprocChild", L"Child window", WS_POPUP | WS_VISIBLE, 100, 100,
                                 200, 100, nullptr, nullptr, nullptr, nullptr);
        UpdateWindow(window);
        say("window " + hex(reinterpret_cast<uintptr_t>(window)));
    } else if (verb == "icon") {
        NOTIFYICONDATAW data = {};
        data.cbSize = 952;
        data.hWnd = window;
        data.uID = 7;
        data.uFlags = NIF_MESSAGE | NIF_TIP;
        data.uCallbackMessage = kIconCallback;
        wcscpy(data.szTip, L"Child tip\tone");
        say(Shell_NotifyIconW(NIM_ADD, &data) ? "icon added" : "icon failed");
    } else if (verb == "broadcast") {  // broadcast send|post <name> <w> <l>
        std::string how, name;
        WPARAM w = 0;
        LPARAM l = 0;
        in >> how >> name >> w >> l;
        UINT id = RegisterWindowMessageW(wide(name).c_str());
        if (how == "send")
            SendMessageW(HWND_BROADCAST, id, w, l);
        else
            PostMessageW(HWND_BROADCAST, id, w, l);
        say("broadcast done");
    } else if (verb == "seen") {
        say("seen " + std::to_string(g_registered_seen));
    } else if (verb == "event") {
        std::string name;
        in >> name;
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, wide(name).c_str());
        say(event ? "event " + std::to_string(GetLastError())
                  : "failed " + std::to_string(GetLastError()));
    } else if (verb == "shell") {
        ShellExecuteW(nullptr, L"open", L"http://127.0.0.1:8888", nullptr, nullptr, SW_SHOWNORMAL);
        SHELLEXECUTEINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = SEE_MASK_FLAG_NO_UI;
        info.lpVerb = L"open";
        info.lpFile = L"http://localhost:8888";
        info.nShow = SW_SHOW;
        ShellExecuteExW(&info);
        MessageBoxW(nullptr, L"Can't load resource dll(C:\\x\\lo\u00e9.dll).", L"Error!", MB_OK);
        say("shelled");
    } else if (verb == "hang") {  // the GUI thread stops answering for a while
        say("hanging");
        std::this_thread::sleep_for(std::chrono::seconds(60));
    } else if (verb == "exit") {
        std::cout.flush();
        _exit(0);
    }
}

TEST(PlatformCrossProcessChild, DISABLED_Run) {
    const char* root = getenv("TOVEL_XPROC_ROOT");
    if (!root) GTEST_SKIP() << "run by the cross-process tests only";
    rmdir(machine_root().c_str());
    setenv("TOVEL_ROOT", root, 1);
    const DWORD gui = GetCurrentThreadId();
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue, before the reader posts
    std::thread([gui] {
        std::string line;
        while (std::getline(std::cin, line))
            PostThreadMessageW(gui, kCommand, 0, reinterpret_cast<LPARAM>(new std::string(line)));
        _exit(0);
    }).detach();
    say("ready");
    HWND window = nullptr;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!msg.hwnd && msg.message == kCommand) {
            std::unique_ptr<std::string> line(reinterpret_cast<std::string*>(msg.lParam));
            run_command_line(*line, window);
            continue;
        }
        DispatchMessageW(&msg);
    }
}

// ---- the parent's side ----

class Child {
public:
    explicit Child(std::vector<std::string> environment = {})
        : process_("PlatformCrossProcessChild.DISABLED_Run", with_root(std::move(environment))) {
        EXPECT_EQ(line(), "ready");
    }
    std::string ask(const std::string& command) {
        process_.send(command);
        return line();
    }
    std::string line(int timeoutMs = 60000) {
        return process_.next(
            [](const std::string& text) {
                return !text.empty() && text[0] != '[' &&
                       text.find("filter") == std::string::npos &&
                       text.find("Running main") == std::string::npos;
            },
            timeoutMs);
    }
    void send(const std::string& command) { process_.send(command); }
    int kill_and_reap() { return process_.kill_and_reap(); }

private:
    static std::vector<std::string> with_root(std::vector<std::string> environment) {
        environment.push_back("TOVEL_XPROC_ROOT=" + machine_root());
        return environment;
    }
    tovel::testing::ChildProcess process_;
};

std::vector<UINT> ids_of(const std::string& line) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    std::vector<UINT> ids;
    while (in >> word) ids.push_back(static_cast<UINT>(std::stoul(word, nullptr, 16)));
    return ids;
}

TEST(PlatformCrossProcess, ANameHasOneIdInEveryProcessEvenWhenTheyRegisterAtOnce) {
    Child a, b;
    // Both register 64 names at once, from opposite ends.
    a.send("register Tovel.Msg. 64 0");
    b.send("register tovel.msg. 64 1");
    auto from_a = ids_of(a.line()), from_b = ids_of(b.line());
    ASSERT_EQ(from_a.size(), 64u);
    EXPECT_EQ(from_a, from_b);
    std::vector<UINT> sorted = from_a;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end());  // all different
    EXPECT_EQ(sorted.front(), 0xC000u);
    EXPECT_EQ(sorted.back(), 0xC03Fu);
    // This process, later, gets the same ids; a new name the next one.
    EXPECT_EQ(RegisterWindowMessageW(L"TOVEL.MSG.5"), from_a[5]);
    EXPECT_EQ(RegisterWindowMessageW(L"TaskbarCreated"), 0xC040u);
    EXPECT_EQ(RegisterWindowMessageA("taskbarcreated"), 0xC040u);
    EXPECT_EQ(RegisterWindowMessageW(L""), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

std::vector<std::pair<WPARAM, LPARAM>> g_parent_seen;

LRESULT parent_procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= 0xC000) {
        g_parent_seen.push_back({wParam, lParam});
        PostMessageW(window, WM_NULL, 0, 0);  // GetMessageW returns after a sent one ran
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

TEST(PlatformCrossProcess, ABroadcastReachesTheUsersProcessesAndNoOtherUsers) {
    // The other user must reach the machine's folders.
    ASSERT_EQ(chmod(machine_root().c_str(), 0755), 0);
    const std::string marks = machine_root() + "/marks";
    ASSERT_EQ(mkdir(marks.c_str(), 0777), 0);
    ASSERT_EQ(chmod(marks.c_str(), 0777), 0);
    Child same({"TOVEL_XPROC_MARKS=" + marks});
    Child other({"TOVEL_XPROC_MARKS=" + marks});
    Child dead;
    ASSERT_EQ(other.ask("become-nobody"), "nobody");
    ASSERT_EQ(same.ask("window").rfind("window ", 0), 0u);
    ASSERT_EQ(other.ask("window").rfind("window ", 0), 0u);
    ASSERT_EQ(dead.ask("window").rfind("window ", 0), 0u);
    // A process that ends without a word leaves its socket behind.
    const std::string windows = machine_root() + "/sessions/0/windows";
    size_t sockets = 0;
    for (auto& entry : std::filesystem::directory_iterator(windows)) (void)entry, ++sockets;
    EXPECT_EQ(sockets, 2u);
    dead.kill_and_reap();

    WNDCLASSEXW c = {};
    c.cbSize = sizeof c;
    c.lpfnWndProc = parent_procedure;
    c.lpszClassName = L"XprocParent";
    RegisterClassExW(&c);
    HWND mine = CreateWindowExW(0, L"XprocParent", L"Parent", WS_POPUP, 0, 0, 10, 10, nullptr,
                                nullptr, nullptr, nullptr);
    ASSERT_NE(mine, nullptr);
    g_parent_seen.clear();
    const UINT id = RegisterWindowMessageW(L"Tovel.Close");
    // The other user registers the same name: the same id.
    EXPECT_EQ(ids_of(other.ask("register Tovel.Close 1 0")),
              ids_of(same.ask("register Tovel.Close 1 0")));

    // A send returns once the other process's window has run it.
    SendMessageW(HWND_BROADCAST, id, 5, 6);
    EXPECT_TRUE(exists(marks + "/got-5-6"));
    EXPECT_EQ(same.line(), "got 5 6");
    ASSERT_EQ(g_parent_seen.size(), 1u);  // this process's window too
    EXPECT_EQ(g_parent_seen[0], std::make_pair(WPARAM(5), LPARAM(6)));
    // The dead process's socket was passed over and removed (this process's
    // came with its window).
    sockets = 0;
    for (auto& entry : std::filesystem::directory_iterator(windows)) (void)entry, ++sockets;
    EXPECT_EQ(sockets, 2u);

    // A post from a thread without windows (as "-k" broadcasts) arrives too.
    std::thread([id] { PostMessageW(HWND_BROADCAST, id, 7, 8); }).join();
    EXPECT_EQ(same.line(), "got 7 8");
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    ASSERT_EQ(g_parent_seen.size(), 2u);

    // The child's own send reaches this process's window, which runs it
    // while the child waits.
    same.send("broadcast send Tovel.Close 9 10");
    while (g_parent_seen.size() < 3 && GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    EXPECT_EQ(same.line(), "got 9 10");  // its own window, as well
    EXPECT_EQ(same.line(), "broadcast done");
    ASSERT_EQ(g_parent_seen.size(), 3u);
    EXPECT_EQ(g_parent_seen[2], std::make_pair(WPARAM(9), LPARAM(10)));

    // The other user's window heard none of it, yet hears its own user's.
    EXPECT_EQ(other.ask("seen"), "seen 0");
    EXPECT_EQ(other.ask("broadcast post Tovel.Close 11 12"), "broadcast done");
    EXPECT_EQ(other.line(), "got 11 12");
    EXPECT_EQ(other.ask("seen"), "seen 1");
    EXPECT_EQ(same.ask("seen"), "seen 3");
    DestroyWindow(mine);
}

TEST(PlatformCrossProcess, ASendGivesUpOnAProcessThatDoesNotAnswer) {
    Child hung, live;
    ASSERT_EQ(hung.ask("window").rfind("window ", 0), 0u);
    ASSERT_EQ(live.ask("window").rfind("window ", 0), 0u);
    ASSERT_EQ(hung.ask("hang"), "hanging");
    const UINT id = RegisterWindowMessageW(L"Tovel.Hung");
    std::atomic<bool> returned{false};
    std::thread sender([&] {
        SendMessageW(HWND_BROADCAST, id, 1, 2);
        returned = true;
    });
    EXPECT_EQ(live.line(), "got 1 2");
    sender.join();  // after the bounded wait for the hung one
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(hung.line(100), "<timeout>");
}

TEST(PlatformCrossProcess, AnEventNameWithoutGlobalBelongsToTheUser) {
    ASSERT_EQ(chmod(machine_root().c_str(), 0755), 0);
    Child same, other;
    ASSERT_EQ(other.ask("become-nobody"), "nobody");
    HANDLE mine = CreateEventW(nullptr, FALSE, FALSE, L"{instance}");
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(same.ask("event {instance}"), "event 183");
    EXPECT_EQ(other.ask("event {instance}"), "event 0");  // a name of its own
    EXPECT_EQ(other.ask("event {instance}"), "event 183");
    EXPECT_EQ(same.ask("event Local\\{instance}"), "event 183");
    HANDLE again = CreateEventW(nullptr, FALSE, FALSE, L"{instance}");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    // "Global\" names stay one for the machine.
    HANDLE global = CreateEventW(nullptr, FALSE, FALSE, L"Global\\{instance}");
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(same.ask("event Global\\{instance}"), "event 183");
    for (HANDLE h : {mine, again, global}) CloseHandle(h);
}

TEST(PlatformCrossProcess, TheHooksSocketDrivesAChildsWindow) {
    const std::string socket = machine_root() + "/hooks";
    Child child({"TOVEL_GUI_SOCKET=" + socket});
    tovel::testing::GuiRemote remote(socket);
    std::string made = child.ask("window");
    ASSERT_EQ(made.rfind("window ", 0), 0u);
    ASSERT_EQ(child.ask("icon"), "icon added");
    ASSERT_TRUE(remote.connect()) << remote.last_error();
    struct stat st;
    ASSERT_EQ(stat(socket.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    auto windows = remote.windows();
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(hex(reinterpret_cast<uintptr_t>(windows[0].handle)), made.substr(7));
    EXPECT_EQ(windows[0].title, L"Child window");
    EXPECT_EQ(windows[0].class_name, L"XprocChild");
    EXPECT_TRUE(windows[0].visible);
    EXPECT_EQ(windows[0].rect.left, 100);
    EXPECT_EQ(windows[0].rect.bottom, 200);

    auto icons = remote.icons();
    ASSERT_EQ(icons.size(), 1u);
    EXPECT_EQ(icons[0].window, windows[0].handle);
    EXPECT_EQ(icons[0].id, 7u);
    EXPECT_EQ(icons[0].callback, static_cast<UINT>(kIconCallback));
    EXPECT_EQ(icons[0].tooltip, L"Child tip\tone");
    RECT at = remote.icon_rect(icons[0].window, 7);
    EXPECT_GT(at.right, at.left);
    ASSERT_TRUE(remote.click_icon(icons[0].window, 7, tovel::platform::gui::IconClick::right));
    EXPECT_EQ(child.line(), "icon " + std::to_string(WM_RBUTTONDOWN));
    EXPECT_EQ(child.line(), "icon " + std::to_string(WM_RBUTTONUP));
    EXPECT_FALSE(remote.click_icon(icons[0].window, 8, tovel::platform::gui::IconClick::left));
    EXPECT_EQ(remote.last_error(), "error no such icon");

    ASSERT_TRUE(remote.click(150, 160));
    EXPECT_EQ(child.line(), "button 50 60");

    const std::string window_png = machine_root() + "/child window.png";
    const std::string screen_png = machine_root() + "/screen.png";
    ASSERT_TRUE(remote.write_window_png(windows[0].handle, window_png)) << remote.last_error();
    ASSERT_TRUE(remote.write_screen_png(screen_png)) << remote.last_error();
    std::string script = std::string(TOVEL_SOURCE_ROOT) + "/tools/testkit/png_probe.py";
    std::string out;
    ASSERT_EQ(tovel::testing::run_command(
                  "python3 " + tovel::testing::shell_quote(script) + " --size " +
                      tovel::testing::shell_quote(window_png) + " && python3 " +
                      tovel::testing::shell_quote(script) + " " +
                      tovel::testing::shell_quote(window_png) + " 10,10 && python3 " +
                      tovel::testing::shell_quote(script) + " " +
                      tovel::testing::shell_quote(screen_png) + " 150,150 5,5",
                  &out),
              0);
    EXPECT_EQ(out, "200 100\nc81e1eff\nc81e1eff\n3a6ea5ff\n");
    EXPECT_FALSE(remote.write_window_png(reinterpret_cast<HWND>(0x7777), window_png));

    // A second client at once; launches recorded from its word on.
    tovel::testing::GuiRemote second(socket);
    ASSERT_TRUE(second.connect());
    EXPECT_EQ(second.launches().size(), 0u);
    ASSERT_TRUE(second.record_launches());
    ASSERT_EQ(child.ask("shell"), "shelled");
    EXPECT_EQ(remote.launches(),
              (std::vector<std::wstring>{L"http://127.0.0.1:8888", L"http://localhost:8888"}));
    EXPECT_EQ(second.message_boxes().size(), 1u);
}

TEST(PlatformCrossProcess, TheShellRecordKeepsWhatAChildDidAfterItEnded) {
    const std::string record = machine_root() + "/shell.txt";
    const std::string hooks = machine_root() + "/hooks";
    {
        Child child({"TOVEL_SHELL_RECORD=" + record, "TOVEL_GUI_SOCKET=" + hooks});
        ASSERT_EQ(child.ask("window").rfind("window ", 0), 0u);
        tovel::testing::GuiRemote remote(hooks);
        ASSERT_TRUE(remote.connect());
        ASSERT_EQ(child.ask("shell"), "shelled");
        auto boxes = remote.message_boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0], L"Error!: Can't load resource dll(C:\\x\\lo\u00e9.dll).");
        child.send("exit");
        EXPECT_EQ(child.line(), "<closed>");
    }
    EXPECT_EQ(tovel::testing::read_host_file(record),
              "launch http://127.0.0.1:8888\n"
              "launch http://localhost:8888\n"
              "box Error!: Can't load resource dll(C:\\x\\lo\xc3\xa9.dll).\n");
}

}  // namespace
