// The job filter tabs in a container window of the test's, with the shipped
// English texts, driven with the mouse on the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/desktop/gui_test.h"
#include "tools/testkit/machine_fixture.h"
#include "tray/job_filter_tabs.h"
#include "tray/tray_drawing.h"
#include "tray/tray_resources.h"

namespace gui = tovel::platform::gui;

namespace {

// The host's files are on Z:.
std::wstring on_z(const std::string& host) {
    std::wstring path = L"Z:";
    for (char c : host) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return path;
}

// The pop-up as the tabs see it: it records what they post and answers the
// rebuild of the state menus.
class Container
    : public ATL::CWindowImpl<Container, ATL::CWindow, ATL::CWinTraits<WS_POPUP | WS_VISIBLE, 0>> {
public:
    BEGIN_MSG_MAP(Container)
    MESSAGE_HANDLER(WM_PAINT, OnPaint)
    MESSAGE_HANDLER(TRAY_PANE_STATES_MSG, OnStates)
    MESSAGE_HANDLER(TRAY_PANE_LAYOUT_MSG, OnRecord)
    MESSAGE_HANDLER(WM_CLOSE, OnRecord)
    END_MSG_MAP()

    // A white ground, as the pop-up's.
    LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL&) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(&paint);
        FillRect(dc, &paint.rcPaint, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        EndPaint(&paint);
        return 0;
    }
    LRESULT OnStates(UINT message, WPARAM, LPARAM, BOOL&) {
        got.push_back(message);
        if (pane) pane->setStates({0, 3, 10}, {0, 3, 10});
        return 0;
    }
    LRESULT OnRecord(UINT message, WPARAM, LPARAM, BOOL&) {
        got.push_back(message);
        return 0;
    }
    std::vector<UINT> got;
    JobClassifyPane* pane = nullptr;
};

class TrayTabs : public ::testing::Test {
protected:
    void SetUp() override {
        HMODULE library =
            LoadLibraryW(on_z(std::string(TOVEL_SOURCE) + "/tray/TrayLoc/enu/loc.dll").c_str());
        ASSERT_NE(library, nullptr);
        setTrayResources(library);
        RECT at = {100, 100, 500, 400};
        ASSERT_TRUE(container_.Create(nullptr, at));
        pane_ = std::make_unique<JobClassifyPane>();
        container_.pane = pane_.get();
        ASSERT_TRUE(pane_->create(container_, {0, 0}));
        pane_->setStates({0, 3, 10}, {0, 3, 10});
        gui::pump();
    }
    void TearDown() override {
        pane_.reset();
        if (container_.IsWindow()) container_.DestroyWindow();
        setTrayResources(nullptr);
    }
    // The centre of a tab's label, and of its arrow, in screen coordinates.
    POINT label_of(JobTypePane& tab) {
        RECT r;
        GetWindowRect(tab, &r);
        return {r.left + 4, (r.top + r.bottom) / 2};
    }
    POINT arrow_of(JobTypePane& tab) {
        RECT r;
        GetWindowRect(tab, &r);
        return {r.right - 3, (r.top + r.bottom) / 2};
    }

    gui::VirtualClock clock_;
    Container container_;
    std::unique_ptr<JobClassifyPane> pane_;
};

}  // namespace

TEST_F(TrayTabs, ThreeTabsInARowWithBackupSelected) {
    SIZE size = {};
    pane_->size(size);
    RECT b, r, m;
    GetWindowRect(pane_->backupTab(), &b);
    GetWindowRect(pane_->restoreTab(), &r);
    GetWindowRect(pane_->moreTab(), &m);
    EXPECT_EQ(b.left, 100 + 3);
    EXPECT_EQ(r.left, b.right + 6);
    EXPECT_EQ(m.left, r.right + 3);
    EXPECT_EQ(size.cx, m.right - 100 + 3);
    EXPECT_EQ(pane_->backupTab().look(), JobTypePane::SELECTED);
    EXPECT_EQ(pane_->restoreTab().look(), JobTypePane::NORMAL);
    EXPECT_EQ(pane_->stateName(3), trayString(16404));
    EXPECT_FALSE(pane_->stateName(3).empty());
    // A tab without states is disabled; the more tab never is.
    pane_->setStates({0, 3}, {});
    EXPECT_FALSE(IsWindowEnabled(pane_->restoreTab()));
    EXPECT_TRUE(IsWindowEnabled(pane_->backupTab()));
    EXPECT_TRUE(IsWindowEnabled(pane_->moreTab()));
}

TEST_F(TrayTabs, ChoosingAStateFromTheDropDownFiltersTheJobs) {
    POINT arrow = arrow_of(pane_->restoreTab());
    gui::move_mouse(arrow.x, arrow.y);
    gui::pump();
    gui::press(arrow.x, arrow.y);
    gui::pump();
    SkinMenu& menu = pane_->restoreTab().menu();
    ASSERT_TRUE(menu.IsWindow());
    gui::release(arrow.x, arrow.y);
    gui::pump();
    ASSERT_TRUE(menu.IsWindow());
    ASSERT_EQ(menu.items().size(), 3u);
    EXPECT_EQ(container_.got.front(), TRAY_PANE_STATES_MSG);
    RECT opened;
    GetWindowRect(menu, &opened);
    EXPECT_EQ(opened.right, arrow.x);
    EXPECT_EQ(opened.bottom - opened.top, 81);
    std::string dir = TRAY_PICTURES_DIR;
    std::filesystem::create_directories(dir);
    std::string file = dir + "/tabs_dropdown_open.png";
    ASSERT_TRUE(gui::write_png(gui::screen_picture(), file));
    // Against its golden copy (rewritten when TOVEL_REGENERATE is set):
    // at most 0.5 % of the pixels differ by more than 8 in a channel.
    std::string golden = std::string(TOVEL_SOURCE) + "/tray/tests/golden/tabs_dropdown_open.png";
    if (std::getenv("TOVEL_REGENERATE"))
        std::filesystem::copy_file(file, golden, std::filesystem::copy_options::overwrite_existing);
    std::string share;
    ASSERT_EQ(
        tovel::testing::run_command("python3 " +
                                        tovel::testing::shell_quote(std::string(TOVEL_SOURCE) +
                                                                    "/tools/testkit/png_probe.py") +
                                        " --compare " + tovel::testing::shell_quote(file) + " " +
                                        tovel::testing::shell_quote(golden) + " 8",
                                    &share),
        0);
    EXPECT_LE(std::stod(share), 0.005) << file << " differs from " << golden;

    // The second item: "running" (3).
    RECT item;
    GetWindowRect(*menu.items()[1], &item);
    gui::click((item.left + item.right) / 2, (item.top + item.bottom) / 2);
    gui::pump();
    EXPECT_FALSE(menu.IsWindow());
    EXPECT_EQ(pane_->selectedType(), 2);
    EXPECT_EQ(pane_->selectedState(), 3);
    EXPECT_EQ(pane_->restoreTab().look(), JobTypePane::SELECTED);
    EXPECT_EQ(pane_->backupTab().look(), JobTypePane::NORMAL);
    EXPECT_EQ(container_.got.back(), TRAY_PANE_LAYOUT_MSG);

    // The same pair again posts nothing.
    size_t before = container_.got.size();
    PostMessageW(*pane_, TRAY_PANE_SELECT_MSG, 2, 3);
    gui::pump();
    EXPECT_EQ(container_.got.size(), before);
}

TEST_F(TrayTabs, MoreOpensTheWebInterfaceAndKeepsTheSelection) {
    gui::LaunchRecorder launches;
    POINT more = label_of(pane_->moreTab());
    gui::click(more.x, more.y);
    gui::pump();
    EXPECT_EQ(launches.launches(), std::vector<std::wstring>{L"http://localhost:8888"});
    EXPECT_EQ(pane_->selectedType(), 1);
    EXPECT_EQ(pane_->selectedState(), 0);
    EXPECT_EQ(container_.got, std::vector<UINT>{WM_CLOSE});
}

// A tab narrowed below its label's width: the label, drawn left of the arrow,
// ends with "..." after the last whole word that fits there. The zone is the
// one the tab measures for the label cut at a character, which a cut at a
// character would fill.
TEST_F(TrayTabs, ALabelTooLongForItsZoneEndsAfterAWholeWord) {
    JobTypePane& tab = pane_->backupTab();
    tab.setup(L"Backup jobs of this co...", 1);
    RECT fitted;
    GetWindowRect(tab, &fitted);
    tab.setup(L"Backup jobs of this computer", 1);
    RECT grown;
    GetWindowRect(tab, &grown);
    ASSERT_GT(grown.right, fitted.right);
    gui::TextRecorder recorder;
    POINT corner = {fitted.left, fitted.top};
    ScreenToClient(*pane_, &corner);
    MoveWindow(tab, corner.x, corner.y, fitted.right - fitted.left, fitted.bottom - fitted.top,
               TRUE);
    gui::pump();
    std::vector<gui::DrawnText> labels;
    for (const auto& drawn : recorder.texts())
        if (drawn.text.rfind(L"Backup", 0) == 0) labels.push_back(drawn);
    ASSERT_FALSE(labels.empty());
    EXPECT_EQ(labels.back().text, L"Backup jobs of this...");
    EXPECT_LE(labels.back().x + labels.back().width, tab.labelZone().right);
    EXPECT_EQ(tab.labelZone().right, tab.arrowZone().left);
    EXPECT_EQ(tab.arrowZone().right, fitted.right - fitted.left);
}

namespace {

// The share of a window's pixels within 8 of a colour in each channel.
size_t pixels_near(const gui::Picture& picture, COLORREF colour) {
    size_t count = 0;
    for (uint32_t pixel : picture.pixels) {
        if ((pixel >> 24) == 0) continue;
        const int got[3] = {static_cast<int>(pixel >> 16 & 0xFF),
                            static_cast<int>(pixel >> 8 & 0xFF), static_cast<int>(pixel & 0xFF)};
        const int want[3] = {GetRValue(colour), GetGValue(colour), GetBValue(colour)};
        bool near = true;
        for (int i = 0; i < 3; ++i) near = near && std::abs(got[i] - want[i]) <= 8;
        count += near;
    }
    return count;
}

// The contrast ratio of two colours, as the accessibility guidelines count it.
double contrast(COLORREF a, COLORREF b) {
    auto luminance = [](COLORREF c) {
        double parts[3] = {GetRValue(c) / 255.0, GetGValue(c) / 255.0, GetBValue(c) / 255.0};
        for (double& v : parts) v = v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        return 0.2126 * parts[0] + 0.7152 * parts[1] + 0.0722 * parts[2];
    };
    double x = luminance(a), y = luminance(b);
    return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

}  // namespace

// The selection made before the pane's window (as the pop-up makes it before
// it shows) highlights its own tab; a tab's arrow loses its open look however
// its drop-down goes; a disabled tab is drawn in the disable colour; the
// built-in label colours read on the pop-up's fill.
TEST_F(TrayTabs, TheTabsShowTheSelectionTheDropDownAndTheirStateReadably) {
    pane_->DestroyWindow();
    pane_->select(2, 0);
    ASSERT_TRUE(pane_->create(container_, {0, 0}));
    pane_->setStates({0, 3, 10}, {0, 3, 10});
    gui::pump();
    EXPECT_EQ(pane_->selectedType(), 2);
    EXPECT_EQ(pane_->restoreTab().look(), JobTypePane::SELECTED);
    EXPECT_EQ(pane_->backupTab().look(), JobTypePane::NORMAL);

    // The drop-down opened, then its states rebuilt while it is open (a job
    // changed): it closes, and the arrow looks closed again.
    JobTypePane& backup = pane_->backupTab();
    POINT arrow = arrow_of(backup);
    gui::move_mouse(arrow.x, arrow.y);
    gui::pump();
    gui::press(arrow.x, arrow.y);
    gui::release(arrow.x, arrow.y);
    gui::pump();
    ASSERT_TRUE(backup.menu().IsWindow());
    ASSERT_TRUE(backup.menuOpen());
    EXPECT_GT(pixels_near(gui::window_picture(backup), 0xB48C78), 0u) << "the open arrow";
    pane_->setStates({0, 3}, {0, 10});
    gui::move_mouse(300, 350);
    gui::pump();
    EXPECT_FALSE(backup.menu().IsWindow());
    EXPECT_FALSE(backup.menuOpen());
    EXPECT_EQ(pixels_near(gui::window_picture(backup), 0xB48C78), 0u) << "the arrow still open";

    // Without a state to list, the restore tab is disabled, and grey.
    pane_->setStates({0, 3}, {});
    gui::pump();
    ASSERT_FALSE(IsWindowEnabled(pane_->restoreTab()));
    gui::Picture restore = gui::window_picture(pane_->restoreTab());
    EXPECT_GT(pixels_near(restore, JobTypePane::kDefaultDisableText), 10u);
    EXPECT_EQ(pixels_near(restore, JobTypePane::kDefaultHoverText), 0u);
    EXPECT_EQ(pixels_near(restore, JobTypePane::kDefaultNormalText), 0u);

    for (COLORREF text : {JobTypePane::kDefaultNormalText, JobTypePane::kDefaultHoverText,
                          JobTypePane::kDefaultDisableText}) {
        EXPECT_GE(contrast(text, tray::kPopupFill), 4.5) << std::hex << text;
        EXPECT_GE(contrast(text, RGB(255, 255, 255)), 4.5) << std::hex << text;
    }
}
