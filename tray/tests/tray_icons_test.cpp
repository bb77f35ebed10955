// The tray icon's status images and their animation on the headless
// desktop's notification area, on the virtual clock.
#include "tray/tray_icons.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/desktop/gui_test.h"
#include "tools/testkit/machine_fixture.h"

namespace gui = tovel::platform::gui;
namespace fs = std::filesystem;

namespace {

using Mgr = TRAY::TrayIconMgr<>;

class Window : public ATL::CWindowImpl<Window, ATL::CWindow, ATL::CWinTraits<WS_POPUP, 0>> {
public:
    BEGIN_MSG_MAP(Window)
    END_MSG_MAP()
};

// The file names of the images the icon was given, from the index on.
std::vector<std::string> shown(HWND window, size_t from = 0) {
    std::vector<std::string> names;
    std::vector<std::string> history = gui::notify_icon_history(window, 1000);
    for (size_t i = from; i < history.size(); ++i)
        names.push_back(fs::path(history[i]).filename().string());
    return names;
}

std::wstring icon_folder() { return L"C:\\Program Files\\Tovel\\Skin\\Tray\\tray_ico\\"; }

// The program's skin beside it; the files of missing are left out.
void install_icons(const std::vector<std::string>& missing = {}) {
    std::string to = tovel::testing::host_of(icon_folder());
    fs::create_directories(to);
    for (const auto& entry :
         fs::directory_iterator(std::string(TOVEL_SOURCE) + "/tray/Skin/Tray/tray_ico")) {
        std::string name = entry.path().filename().string();
        if (std::find(missing.begin(), missing.end(), name) == missing.end())
            fs::create_symlink(entry.path(), to + "/" + name);
    }
}

std::vector<std::wstring> frames(const std::wstring& stem, int count) {
    std::vector<std::wstring> paths;
    for (int i = 1; i <= count; ++i)
        paths.push_back(icon_folder() + stem + std::to_wstring(i) + L".ico");
    return paths;
}

class TrayIcons : public ::testing::Test {
protected:
    void SetUp() override {
        RECT at = {0, 0, 10, 10};
        ASSERT_TRUE(window_.Create(nullptr, at));
        Mgr::instance()->list()->clear();
    }
    void TearDown() override {
        helper_.removeIcon();
        Mgr::instance()->list()->clear();
        window_.DestroyWindow();
    }
    void load(std::vector<std::string> missing = {}) {
        install_icons(missing);
        auto* list = Mgr::instance()->list();
        ASSERT_TRUE(list->add(0, {icon_folder() + L"none.ico"}));
        ASSERT_TRUE(list->add(4, {icon_folder() + L"err.ico"}));
        ASSERT_TRUE(list->add(16, frames(L"jobrunning", 5)));
        ASSERT_TRUE(list->add(20, frames(L"jobrunning_err", 5)));
        // A status has one group.
        EXPECT_FALSE(list->add(16, frames(L"jobrunning_err", 5)));
        helper_.init(window_, 1000);
        ASSERT_TRUE(helper_.addIcon(0, 200));
    }

    gui::VirtualClock clock_;
    Window window_;
    TRAY::TrayActionHelper<Mgr> helper_;
};

}  // namespace

TEST_F(TrayIcons, StatusesAnimateTheirFramesOnOneTimerAndGroupsWithoutFilesAreRefused) {
    // Every frame of 20 is missing, and two of 16.
    load({"jobrunning_err1.ico", "jobrunning_err2.ico", "jobrunning_err3.ico",
          "jobrunning_err4.ico", "jobrunning_err5.ico", "jobrunning2.ico", "jobrunning4.ico"});
    Mgr* mgr = Mgr::instance();
    // Added with the image of status 0, which setting status 0 gives again.
    EXPECT_EQ(shown(window_), (std::vector<std::string>{"none.ico", "none.ico"}));
    ASSERT_NE(mgr->list()->group(20), nullptr);
    EXPECT_EQ(mgr->list()->group(20)->size(), 0u);

    // Each step: the status asked for, whether it was taken, how long the
    // clock then runs, and the images shown meanwhile (a new status's first
    // frame at once, then one frame every 200 ms).
    const struct {
        int status;
        bool taken;
        uint32_t run;
        std::vector<std::string> next;
    } kSteps[] = {
        {16,
         true,
         700,
         {"jobrunning1.ico", "jobrunning3.ico", "jobrunning5.ico", "jobrunning1.ico"}},
        // The same status again: the animation goes on where it was.
        {16,
         true,
         1000,
         {"jobrunning3.ico", "jobrunning5.ico", "jobrunning1.ico", "jobrunning3.ico",
          "jobrunning5.ico"}},
        // No frames, no group: refused, the icon animates on as it was.
        {20, false, 400, {"jobrunning1.ico", "jobrunning3.ico"}},
        {17, false, 0, {}},
        // A single frame stays.
        {4, true, 700, {"err.ico", "err.ico", "err.ico", "err.ico"}},
    };
    for (const auto& step : kSteps) {
        size_t from = shown(window_).size();
        EXPECT_EQ(mgr->setStatus(step.status, 200), step.taken) << step.status;
        gui::run_for(step.run);
        EXPECT_EQ(shown(window_, from), step.next) << "status " << step.status;
    }
    EXPECT_EQ(mgr->status(), 4);

    // Twenty flips replace the one timer: four frames in the next 900 ms,
    // not eighty.
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(mgr->setStatus(i % 2 ? 4 : 16, 200));
    size_t from = shown(window_).size();
    gui::run_for(900);
    EXPECT_EQ(shown(window_, from).size(), 4u);

    // -1 stops the animation on its frame.
    ASSERT_TRUE(mgr->setStatus(-1, 200));
    EXPECT_EQ(mgr->timerId(), 0u);
    from = shown(window_).size();
    gui::run_for(1000);
    EXPECT_EQ(shown(window_, from).size(), 0u);
    EXPECT_EQ(mgr->status(), 4);

    // The tooltip is cut to 127 characters; the icon goes with its timer.
    ASSERT_TRUE(helper_.setTooltip(std::wstring(200, L'x')));
    ASSERT_EQ(gui::notify_icons().size(), 1u);
    EXPECT_EQ(gui::notify_icons()[0].tooltip, std::wstring(127, L'x'));
    ASSERT_TRUE(mgr->setStatus(16, 200));
    EXPECT_NE(mgr->timerId(), 0u);
    ASSERT_TRUE(helper_.removeIcon());
    EXPECT_FALSE(helper_.isAdded());
    EXPECT_EQ(mgr->timerId(), 0u);
    EXPECT_TRUE(gui::notify_icons().empty());
}
