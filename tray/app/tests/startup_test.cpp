// The tray's start-up parts in-process: the resource library's path by
// language, the single-instance claim when two trays start together, and the
// about box made from the shipped resource library.
#include <gtest/gtest.h>

#include "platform/desktop/gui_test.h"
#include "tools/testkit/log_capture.h"
#include "tray/app/about_dialog.h"
#include "tray/app/resource_path.h"
#include "tray/app/single_instance.h"
#include "tray/app/tests/tray_files.h"

using namespace tray_app_tests;
namespace gui = tovel::platform::gui;

namespace {

class TrayStartup : public tovel::testing::LoggedTest {};

HANDLE g_other = nullptr;
// Another tray makes the event between this tray's open and its creation.
void other_tray_starts() { g_other = CreateEventW(nullptr, FALSE, FALSE, kInstanceEventName); }

}  // namespace

TEST_F(TrayStartup, TheLibraryLiesInTheLanguagesFolderBesideTheProgram) {
    setenv("TOVEL_PROGRAM", "C:\\Program Files\\Tovel\\tray.exe", 1);
    EXPECT_EQ(resource_library_path(2052), L"C:\\Program Files\\Tovel\\TrayLoc\\chs\\loc.dll");
    EXPECT_EQ(resource_library_path(1033), L"C:\\Program Files\\Tovel\\TrayLoc\\enu\\loc.dll");
    EXPECT_EQ(resource_library_path(1031), L"C:\\Program Files\\Tovel\\TrayLoc\\ENU\\loc.dll");
    EXPECT_EQ(resource_library_path(1028), L"C:\\Program Files\\Tovel\\TrayLoc\\ENU\\loc.dll");
    // A program at a drive's root: one back-slash.
    setenv("TOVEL_PROGRAM", "C:\\tray.exe", 1);
    EXPECT_EQ(resource_library_path(2052), L"C:\\TrayLoc\\chs\\loc.dll");
    unsetenv("TOVEL_PROGRAM");
}

TEST_F(TrayStartup, OfTwoTraysStartedTogetherOneRuns) {
    HANDLE event = reinterpret_cast<HANDLE>(1);
    // Neither finds the event open; the other makes it first.
    EXPECT_EQ(claim_instance(event, &other_tray_starts), InstanceClaim::another);
    EXPECT_EQ(event, nullptr);
    ASSERT_NE(g_other, nullptr);
    EXPECT_NE(logged().find("An instance of Tovel Tray is exists, exit this instance.\n"),
              std::string::npos);
    // A later start finds it.
    EXPECT_EQ(claim_instance(event), InstanceClaim::another);
    // Once that tray has ended, the next one runs and holds the event.
    CloseHandle(g_other);
    EXPECT_EQ(claim_instance(event), InstanceClaim::first);
    ASSERT_NE(event, nullptr);
    HANDLE second = nullptr;
    EXPECT_EQ(claim_instance(second), InstanceClaim::another);
    EXPECT_EQ(second, nullptr);
    CloseHandle(event);
}

TEST_F(TrayStartup, TheAboutBoxShowsTheVersionAndTheProgramsIcon) {
    install_tray({L"ENU"});
    HMODULE library = LoadLibraryW(resource_library_path(1031).c_str());
    ASSERT_NE(library, nullptr) << GetLastError();
    ATL::_AtlBaseModule.SetResourceInstance(library);

    CAboutDlg about;
    ASSERT_NE(about.Create(nullptr), nullptr) << GetLastError();
    // The text 12290 of the library is "Tovel backup agent, version %s".
    wchar_t text[128] = {};
    GetWindowTextW(about.GetDlgItem(CAboutDlg::kVersionControl), text, 128);
    EXPECT_STREQ(text, L"Tovel backup agent, version 1.0.212.3636");

    // The template's client area is 320 x 140, the window 322 x 162 with its
    // frame and caption; the 32 x 32 icon goes to x = (322 - 32) / 2 = 145,
    // y = 162 / 3 - 32 = 22 of the client area.
    HWND icon = about.GetDlgItem(CAboutDlg::kIconControl);
    RECT at;
    ASSERT_TRUE(GetWindowRect(icon, &at));
    POINT corner = {at.left, at.top};
    ScreenToClient(about, &corner);
    EXPECT_EQ(corner.x, 145);
    EXPECT_EQ(corner.y, 22);
    EXPECT_EQ(at.right - at.left, 32);
    EXPECT_NE(SendMessageW(icon, STM_GETICON, 0, 0), 0) << "the program's own icon 128";

    // It is drawn there: the icon's middle is opaque and differs from the
    // dialog's face beside it.
    gui::TextRecorder recorder;
    about.ShowWindow(SW_SHOW);
    gui::pump();
    // The version text is drawn whole on one line inside its control (10,
    // 64, 300 x 20 of the client area).
    std::vector<std::wstring> lines;
    for (const auto& drawn : recorder.texts())
        if (drawn.text.find(L"Tovel backup agent") != std::wstring::npos ||
            drawn.text.find(L"1.0.212.3636") != std::wstring::npos) {
            lines.push_back(drawn.text);
            EXPECT_LE(drawn.width, 300) << to_utf8(drawn.text);
        }
    EXPECT_EQ(lines, std::vector<std::wstring>{L"Tovel backup agent, version 1.0.212.3636"});
    gui::Picture picture = gui::window_picture(about);
    POINT origin = {0, 0};
    ClientToScreen(about, &origin);
    RECT window;
    GetWindowRect(about, &window);
    const int x = origin.x - window.left + 145 + 16, y = origin.y - window.top + 22 + 16;
    EXPECT_EQ(picture.at(x, y) >> 24, 0xFFu);
    EXPECT_NE(picture.at(x, y), picture.at(x - 40, y));
    gui::write_png(picture, gui::pictures_folder() + "/tray-about.png");
    about.DestroyWindow();
}
