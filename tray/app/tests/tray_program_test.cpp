// The tray program itself, as a child process on the test's machine: its
// command line, one tray per user, the resource library of the system's
// language. What it opens in the browser and the message boxes it shows are
// read from the shell record (TOVEL_SHELL_RECORD).
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "starter/tests/starter_process.h"
#include "tools/testkit/gui_remote.h"
#include "tools/testkit/machine_fixture.h"
#include "tray/app/tests/tray_files.h"
#include "tray/tests/job_list_kit.h"
#include "tray/tray_options.h"

using tovel::starter::testing::StarterProcess;
using tovel::testing::GuiRemote;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;
using namespace tray_app_tests;

namespace {

// Polls until done() (true) or timeoutMs (false).
template <class Done>
bool wait_until(Done done, int timeoutMs = 60000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// The shell record's lines.
std::vector<std::string> lines_of(const std::string& path) {
    std::vector<std::string> lines;
    std::string text = read_host_file(path), line;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

class TrayProgram : public ::testing::Test {
protected:
    void SetUp() override { record_ = machine_root() + "/shell-record.txt"; }

    // The tray of the build's programs folder, with its resource library
    // and skin beside it, unless a test installed one in the machine.
    std::unique_ptr<StarterProcess> start(const std::vector<std::string>& arguments,
                                          std::vector<std::string> environment = {}) {
        environment.push_back("TOVEL_SHELL_RECORD=" + record_);
        if (!installed_) environment.push_back("TOVEL_PROGRAM=");
        return std::make_unique<StarterProcess>(arguments, environment, TRAY_PROGRAM);
    }
    // Waits until the tray runs: its main window made and its watcher
    // started (no service runs here, so it logs that it cannot watch it).
    static bool running(StarterProcess& tray) {
        return wait_until([&] {
            return tray.errors().find("Failed to open the agent monitor event") !=
                   std::string::npos;
        });
    }
    std::vector<std::string> record() { return lines_of(record_); }

    std::string record_;
    bool installed_ = false;
};

const std::string kLaunch = "launch http://127.0.0.1:8888";

}  // namespace

TEST_F(TrayProgram, CommandLineAndOneTrayPerUser) {
    auto first = start({});
    ASSERT_TRUE(running(*first)) << first->errors();
    EXPECT_EQ(record(), std::vector<std::string>{kLaunch});

    // A second tray leaves; without "-nohome" it opens the browser first.
    auto second = start({"-nohome", "--unknown"});
    EXPECT_EQ(second->wait(), 0);
    EXPECT_NE(second->errors().find("An instance of Tovel Tray is exists, exit this instance."),
              std::string::npos)
        << second->errors();
    EXPECT_EQ(record().size(), 1u);
    auto capitals = start({"-NOHOME"});
    EXPECT_EQ(capitals->wait(), 0);
    EXPECT_EQ(record(), (std::vector<std::string>{kLaunch, kLaunch}));

    // "-k" closes the running tray (through WM_CLOSE: code 2) and opens nothing.
    auto closer = start({"-k", "-nohome"});
    EXPECT_EQ(closer->wait(), 0);
    EXPECT_EQ(first->wait(), 2);
    auto third = start({"-nohome"});
    ASSERT_TRUE(running(*third)) << third->errors();
    auto closer2 = start({"-nohome", "-k"});
    EXPECT_EQ(closer2->wait(), 0);
    EXPECT_EQ(third->wait(), 2);
    EXPECT_EQ(record().size(), 2u);

    // A tray killed outright leaves no instance behind.
    auto killed = start({"-nohome"});
    ASSERT_TRUE(running(*killed)) << killed->errors();
    killed->signal(SIGKILL);
    EXPECT_EQ(killed->wait(), 1000 + SIGKILL);
    auto after = start({"-nohome"});
    ASSERT_TRUE(running(*after)) << after->errors();
    EXPECT_EQ(start({"-k"})->wait(), 0);
    EXPECT_EQ(after->wait(), 2);
    EXPECT_EQ(record().size(), 2u);
}

TEST_F(TrayProgram, TheSystemsLanguageChoosesTheResourceLibrary) {
    // Only the Chinese library is installed.
    install_tray({L"chs"});
    installed_ = true;
    auto chinese = start({"-nohome"}, {"LC_ALL=zh_CN.UTF-8"});
    ASSERT_TRUE(running(*chinese)) << chinese->errors();
    EXPECT_EQ(start({"-k"})->wait(), 0);
    EXPECT_EQ(chinese->wait(), 2);

    // German takes ENU, which is missing: the box names the whole path.
    auto german = start({"-nohome"}, {"LC_ALL=de_DE.UTF-8"});
    EXPECT_EQ(german->wait(), 0);
    EXPECT_EQ(record(), std::vector<std::string>{"box Error!: Can't load resource dll(C:\\Program "
                                                 "Files\\Tovel\\TrayLoc\\ENU\\loc.dll)."});
    EXPECT_NE(german->errors().find("Failed load resource DLL, error-code = 126"),
              std::string::npos)
        << german->errors();

    std::filesystem::remove_all(tovel::testing::host_of(L"C:\\Program Files\\Tovel\\TrayLoc"));
    install_tray({L"ENU"});
    auto again = start({"-nohome"}, {"LC_ALL=de_DE.UTF-8"});
    ASSERT_TRUE(running(*again)) << again->errors();
    EXPECT_EQ(start({"-k"})->wait(), 0);
    EXPECT_EQ(again->wait(), 2);
}

TEST_F(TrayProgram, TheAboutBoxAndExitFromTheMenu) {
    std::string socket = machine_root() + "/gui.sock";
    auto tray = start({"-nohome"}, {"TOVEL_GUI_SOCKET=" + socket});
    GuiRemote remote(socket);
    ASSERT_TRUE(remote.connect()) << tray->errors();
    ASSERT_TRUE(running(*tray)) << tray->errors();
    std::vector<GuiRemote::Icon> icons = remote.icons();
    ASSERT_EQ(icons.size(), 1u);
    EXPECT_EQ(icons[0].version, 3u);
    EXPECT_EQ(icons[0].tooltip, L"Tovel backup agent");
    ASSERT_TRUE(
        remote.click_icon(icons[0].window, icons[0].id, tovel::platform::gui::IconClick::right));
    // The menu: Open, About, Exit from the top, 25 pixels each below a
    // border of 3.
    GuiRemote::Window menu;
    ASSERT_TRUE(wait_until([&] {
        for (const auto& window : remote.windows())
            if (window.visible && window.rect.right - window.rect.left == 154) menu = window;
        return menu.handle != nullptr;
    }));
    EXPECT_EQ(menu.rect.bottom - menu.rect.top, 3 * 25 + 6);

    // About, the middle item: the box draws its version text whole, on one
    // line within its control (10, 64, 300 x 20 of its client area).
    ASSERT_TRUE(remote.record_texts());
    ASSERT_TRUE(remote.click(menu.rect.left + 77, menu.rect.top + 3 + 25 + 12));
    GuiRemote::Window about;
    ASSERT_TRUE(wait_until([&] {
        for (const auto& window : remote.windows())
            if (window.visible && window.title == L"About Tovel") about = window;
        return about.handle != nullptr;
    })) << tray->errors();
    std::vector<tovel::platform::gui::DrawnText> version;
    ASSERT_TRUE(wait_until([&] {
        version.clear();
        for (const auto& drawn : remote.texts())
            if (drawn.text.find(L"version") != std::wstring::npos ||
                drawn.text.find(L"3636") != std::wstring::npos)
                version.push_back(drawn);
        return !version.empty();
    }));
    for (const auto& drawn : version) {
        EXPECT_EQ(drawn.text, L"Tovel backup agent, version 1.0.212.3636");
        EXPECT_LE(drawn.x + drawn.width, 300);
    }
    ASSERT_TRUE(remote.write_screen_png(tovel::platform::gui::pictures_folder() +
                                        "/tray-program-about.png"));
    // Its OK button (125, 104, 70 x 24 of the client area, under a caption
    // of 21) closes it.
    const int client = about.rect.top + (about.rect.bottom - about.rect.top) - 141;
    ASSERT_TRUE(remote.click(about.rect.left + 1 + 160, client + 116));
    ASSERT_TRUE(wait_until([&] {
        for (const auto& window : remote.windows())
            if (window.visible && window.title == L"About Tovel") return false;
        return true;
    })) << tray->errors();

    ASSERT_TRUE(
        remote.click_icon(icons[0].window, icons[0].id, tovel::platform::gui::IconClick::right));
    menu = GuiRemote::Window();
    ASSERT_TRUE(wait_until([&] {
        for (const auto& window : remote.windows())
            if (window.visible && window.rect.right - window.rect.left == 154) menu = window;
        return menu.handle != nullptr;
    }));
    ASSERT_TRUE(remote.click(menu.rect.left + 77, menu.rect.top + 3 + 2 * 25 + 12));
    EXPECT_EQ(tray->wait(), 0);
    EXPECT_EQ(record().size(), 0u);
}

// Sizes of a font no one could read, from the file's every font: each falls
// back to the built-in fonts before any arithmetic, and the tray shows its
// menu (whose size the built-in font sets), its pop-up with the tabs and a
// job's card, and closes when told. Under the sanitizers a signed overflow
// in the drawing would end the tray at once.
TEST_F(TrayProgram, FontSizesOutOfRangeInTheOptionsLeaveTheBuiltInFonts) {
    const std::string job = "0a0a0a01-1111-4111-8111-000000000001";
    tray_tests::make_job(job, "Hostile");
    tray_tests::ServiceRecord record(job, 1);
    std::wstring options;
    ASSERT_TRUE(TrayOptions::path(options));
    const char* const sizes[] = {"-2147483648", "-214748365", "-1",        "0",
                                 "5",           "73",         "214748365", "2147483647"};
    for (const char* size : sizes) {
        SCOPED_TRACE(size);
        std::string font = std::string(R"({"color": [0, 0, 0], "size": )") + size +
                           R"(, "face": {"enu": "DejaVu Sans", "chs": "DejaVu Sans"}})";
        std::string text = R"({"menu": {"item": {"fonts": {"content": )" + font +
                           R"(}}}, "jobpane": {"item": {"fonts": {"content": )" + font +
                           R"(, "title": )" + font + R"(}}, "classifypane": {"fonts": {"title": )" +
                           font + "}}}}";
        std::string bytes;
        for (char c : text) {
            bytes += c;
            bytes += '\0';
        }
        tovel::testing::write_host_file(tovel::testing::host_of(options), bytes);

        std::string socket = machine_root() + "/gui-" + size + ".sock";
        auto tray = start({"-nohome"}, {"TOVEL_GUI_SOCKET=" + socket});
        GuiRemote remote(socket);
        ASSERT_TRUE(remote.connect()) << tray->errors();
        ASSERT_TRUE(running(*tray)) << tray->errors();
        std::vector<GuiRemote::Icon> icons;
        ASSERT_TRUE(wait_until([&] { return (icons = remote.icons()).size() == 1; }));
        // The menu, in the built-in font: three items of 25 below a border of 3.
        ASSERT_TRUE(remote.click_icon(icons[0].window, icons[0].id,
                                      tovel::platform::gui::IconClick::right));
        GuiRemote::Window menu;
        ASSERT_TRUE(wait_until([&] {
            for (const auto& window : remote.windows())
                if (window.visible && window.rect.right - window.rect.left == 154) menu = window;
            return menu.handle != nullptr;
        })) << tray->errors();
        EXPECT_EQ(menu.rect.bottom - menu.rect.top, 3 * 25 + 6);
        ASSERT_TRUE(remote.click(200, 200));
        // The pop-up with the tabs and the job's card.
        ASSERT_TRUE(remote.record_texts());
        bool card = false;
        for (int click = 0; click < 3 && !card; ++click) {
            ASSERT_TRUE(remote.click_icon(icons[0].window, icons[0].id,
                                          tovel::platform::gui::IconClick::left));
            card = wait_until(
                [&] {
                    for (const auto& drawn : remote.texts())
                        if (drawn.text == L"Backup: Hostile") return true;
                    return false;
                },
                5000);
        }
        EXPECT_TRUE(card) << tray->errors();
        EXPECT_EQ(start({"-k"})->wait(), 0);
        EXPECT_EQ(tray->wait(), 2) << tray->errors();
    }
}
