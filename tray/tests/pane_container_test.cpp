// The pop-up with its job cards on the headless desktop, on the virtual
// clock, driven with the mouse as a user would.
#include "tray/pane_container.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "job/core/job_state.h"
#include "tools/testkit/machine_fixture.h"
#include "tray/job_info_pane.h"
#include "tray/tests/pane_kit.h"

namespace gui = tovel::platform::gui;
using pane_tests::Job;
using pane_tests::job_id;

namespace {

RECT rect_of(HWND window) {
    RECT r = {};
    GetWindowRect(window, &r);
    return r;
}

RECT work_area() {
    RECT r = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &r, 0);
    return r;
}

class TrayPopUp : public pane_tests::PaneTest {
protected:
    void SetUp() override {
        PaneTest::SetUp();
        // The buttons' images beside the program, as the tray is installed.
        std::string skin = tovel::testing::host_of(L"C:\\Program Files\\Tovel\\Skin\\Tray");
        std::filesystem::create_directories(skin);
        std::filesystem::copy(std::string(TOVEL_SOURCE) + "/tray/Skin/Tray", skin,
                              std::filesystem::copy_options::recursive |
                                  std::filesystem::copy_options::overwrite_existing);
        // After the texts are loaded: the tabs read theirs when made.
        container_ = std::make_unique<PaneContainer>();
        // The cursor away from where the pop-up shows.
        gui::move_mouse(10, 10);
        gui::pump();
    }
    void TearDown() override {
        container_.reset();
        jobs_.clear();
        gui::set_taskbar(ABE_BOTTOM, 40);
        PaneTest::TearDown();
    }

    // Backup jobs, idle, named by names; a card for each in the pop-up.
    void add_jobs(const std::vector<std::string>& names) {
        for (const std::string& name : names) {
            jobs_.push_back(
                std::make_unique<Job>(job_id(static_cast<int>(jobs_.size()) + 1), name, JS_IDLE));
            JobInfoCreator creator;
            creator.set(jobs_.back()->record(), JS_IDLE);
            container_->beginUpdate();
            container_->appendPane(creator.create());
            container_->endUpdate();
        }
    }
    // Shows the pop-up and runs its first layout.
    HWND show() {
        HWND window = container_->Create(nullptr);
        EXPECT_NE(window, nullptr);
        gui::pump();
        return window;
    }
    std::vector<JobInfoPane*> cards() {
        std::vector<JobInfoPane*> out;
        for (AbsPane* pane : container_->panes()) out.push_back(dynamic_cast<JobInfoPane*>(pane));
        return out;
    }
    // Runs until the pop-up's next tick counts its time or closes it.
    void tick() {
        unsigned before = container_->elapsed();
        for (int ms = 0; ms < 1000 && container_->IsWindow(); ++ms) {
            gui::run_for(1);
            if (container_->elapsed() != before) return;
        }
    }
    // A point of the header, between the stick button and the right edge.
    POINT header() {
        RECT r = rect_of(*container_);
        return {r.left + 70, r.top + 10};
    }

    gui::VirtualClock clock_;
    std::vector<std::unique_ptr<Job>> jobs_;
    std::unique_ptr<PaneContainer> container_;
};

}  // namespace

TEST_F(TrayPopUp, ShowsTheFirstSevenMatchingCardsAboveTheNotificationArea) {
    add_jobs({"one", "two", "three", "four", "a job with quite a long name indeed", "six", "seven",
              "eight"});
    HWND window = show();
    ASSERT_TRUE(IsWindow(window));
    std::vector<JobInfoPane*> all = cards();
    ASSERT_EQ(all.size(), 8u);
    int widest = 0;
    int bottom = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        SCOPED_TRACE(i);
        bool shown = i < 7;
        EXPECT_EQ(all[i]->IsWindow() && all[i]->IsWindowVisible(), shown ? TRUE : FALSE);
        if (!shown) continue;
        SIZE size = {};
        all[i]->size(size);
        widest = std::max(widest, static_cast<int>(size.cx));
        RECT r = rect_of(*all[i]);
        if (i > 0) {
            EXPECT_EQ(r.top, bottom);
        }
        bottom = r.bottom;
    }
    RECT popup = rect_of(window);
    RECT work = work_area();
    EXPECT_GT(widest + 8, 150) << "the long name is wider than the tabs";
    EXPECT_EQ(popup.right - popup.left, widest + 8);
    EXPECT_EQ(rect_of(*all[0]).right - rect_of(*all[0]).left, widest);
    EXPECT_EQ(popup.right, work.right);
    EXPECT_EQ(popup.bottom, work.bottom);
    EXPECT_EQ(popup.bottom, bottom + 5);

    // An index equal to the count is not a pane.
    take_log();
    container_->removePane(8u);
    EXPECT_EQ(container_->paneCount(), 8u);
    EXPECT_NE(logged().find("The pane is not found, index = 8."), std::string::npos);
    gui::pump();
    EXPECT_TRUE(IsWindow(window));

    // Restore jobs: there are none, and the pop-up closes.
    container_->setSelection(2, 0);
    gui::pump();
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(container_->paneCount(), 8u) << "the cards outlive the window";
}

TEST_F(TrayPopUp, FadesInStaysItsDisplayTimeAndFadesOut) {
    add_jobs({"fading"});
    HWND window = show();
    const unsigned expected[] = {127, 127, 127, 158, 208, 255};
    for (unsigned alpha : expected) {
        tick();
        EXPECT_EQ(container_->alpha(), alpha);
        BYTE shown = 0;
        ASSERT_TRUE(GetLayeredWindowAttributes(window, nullptr, &shown, nullptr));
        EXPECT_EQ(shown, alpha);
    }
    for (int ticks = 7; ticks <= 100; ++ticks) tick();
    EXPECT_TRUE(IsWindow(window)) << "tick 100";
    EXPECT_EQ(container_->elapsed(), 10000u);
    EXPECT_EQ(container_->alpha(), 127u);
    tick();
    EXPECT_FALSE(IsWindow(window)) << "tick 101";
}

TEST_F(TrayPopUp, StaysWhileHoveredOrStuck) {
    add_jobs({"hovered"});
    HWND window = show();
    gui::run_for(3000);
    POINT in = header();
    gui::move_mouse(in.x, in.y);
    gui::run_for(20000);
    ASSERT_TRUE(IsWindow(window));
    EXPECT_TRUE(container_->hovered());
    EXPECT_EQ(container_->elapsed(), 1250u);
    EXPECT_EQ(container_->alpha(), 255u);
    gui::move_mouse(10, 10);
    gui::run_for(8700);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_FALSE(container_->hovered());
    gui::run_for(500);
    EXPECT_FALSE(IsWindow(window)) << "8.75 s after the cursor left";

    // Stuck: it never closes by itself; unstuck, a quarter is used up.
    window = show();
    gui::run_for(1000);
    RECT stick = rect_of(container_->stickButton());
    gui::click((stick.left + stick.right) / 2, (stick.top + stick.bottom) / 2);
    gui::move_mouse(10, 10);
    gui::run_for(60000);
    ASSERT_TRUE(IsWindow(window));
    EXPECT_TRUE(container_->stuck());
    EXPECT_TRUE(container_->stickButton().stuck());
    EXPECT_EQ(container_->elapsed(), 2500u);
    gui::click((stick.left + stick.right) / 2, (stick.top + stick.bottom) / 2);
    gui::move_mouse(10, 10);
    gui::run_for(7400);
    EXPECT_TRUE(IsWindow(window));
    gui::run_for(300);
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(TrayPopUp, ADragPastTheScreenEdgeSnapsBackInsideTheWorkArea) {
    add_jobs({"dragged"});
    struct Case {
        UINT edge;
        POINT to;  // where the header is dragged
    };
    const Case cases[] = {{ABE_BOTTOM, {1279, 799}}, {ABE_LEFT, {0, 0}}, {ABE_LEFT, {1279, 799}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.edge);
        gui::set_taskbar(c.edge, 40);
        HWND window = show();
        RECT work = work_area();
        RECT shown = rect_of(window);
        EXPECT_EQ(shown.bottom, work.bottom);
        if (c.edge == ABE_BOTTOM) {
            EXPECT_EQ(shown.right, work.right);
        }
        const int width = shown.right - shown.left;
        const int height = shown.bottom - shown.top;

        POINT at = header();
        gui::move_mouse(at.x, at.y);
        gui::press(at.x, at.y);
        gui::pump();
        // The first move with the button down starts the drag, the next
        // takes the window along.
        gui::move_mouse(at.x + 1, at.y + 1);
        gui::pump();
        gui::move_mouse(c.to.x, c.to.y);
        gui::pump();
        RECT dragged = rect_of(window);
        EXPECT_FALSE(dragged.left >= work.left && dragged.top >= work.top &&
                     dragged.right <= work.right && dragged.bottom <= work.bottom)
            << "dragged off the work area";
        gui::release(c.to.x, c.to.y);
        gui::pump();
        RECT released = rect_of(window);
        EXPECT_TRUE(EqualRect(&dragged, &released)) << "not before the next move";
        POINT next = {c.to.x == 0 ? 1 : c.to.x - 1, c.to.y};
        gui::move_mouse(next.x, next.y);
        gui::pump();
        RECT snapped = rect_of(window);
        EXPECT_EQ(snapped.right - snapped.left, width);
        EXPECT_EQ(snapped.bottom - snapped.top, height);
        if (c.to.x == 0) {
            EXPECT_EQ(snapped.left, work.left);
            EXPECT_EQ(snapped.top, work.top);
        } else {
            EXPECT_EQ(snapped.right, work.right);
            EXPECT_EQ(snapped.bottom, work.bottom);
        }
        container_->DestroyWindow();
        gui::pump();
    }
}

TEST_F(TrayPopUp, PicturesOfACardAndThePopUpShowTheCardsFill) {
    add_jobs({"Pictures", "Documents of the office"});
    (*jobs_[0])->state = JS_RUNNING;
    (*jobs_[0])->totalBytes = 4000;
    (*jobs_[0])->bytesDone = 1000;
    (*jobs_[0])->elapsedTime = 30 * 10000000ull;
    (*jobs_[0])->bytesTransferred = 30 * 2047;
    (*jobs_[0])->runStartTime = pane_tests::stamp(2026, 1, 5, 9, 3, 7);
    (*jobs_[1])->nextRunTime = pane_tests::stamp(2026, 1, 6, 22, 0, 0);
    HWND window = show();
    gui::run_for(700);  // full opacity
    JobInfoPane& card = *cards()[0];
    ASSERT_TRUE(card.IsWindow());
    // The running job's refresh, as the job list's once-a-second call.
    EXPECT_EQ(card.onJobState(jobs_[0]->id(), JS_RUNNING), 0);
    gui::pump();
    ASSERT_NE(card.body().find(L"Done: 25%"), std::wstring::npos);

    // A repaint of a part of the card after a change draws the whole card
    // under it: the picture is the same as one of a full repaint.
    gui::Picture whole = gui::window_picture(card);
    RECT client;
    card.GetClientRect(&client);
    SendMessageW(card, WM_SIZING, 0, 0);  // the buffer is drawn again
    RECT part = {client.right / 2 - 12, client.bottom / 2 - 12, client.right / 2 + 12,
                 client.bottom / 2 + 12};
    InvalidateRect(card, &part, FALSE);
    gui::pump();
    gui::Picture after = gui::window_picture(card);
    EXPECT_EQ(gui::differing_share(whole, after, 0), 0.0);

    const std::string folder = gui::pictures_folder();
    const std::string cardFile = folder + "/tray_card_running.png";
    const std::string popupFile = folder + "/tray_popup_two_cards.png";
    ASSERT_TRUE(gui::write_png(after, cardFile));
    ASSERT_TRUE(gui::write_png(gui::screen_picture(), popupFile));

    // Read back by an independent reader: the card's normal fill left of its
    // texts, on the card and where the card stands on the screen (the pop-up
    // is opaque by now).
    RECT at = rect_of(card);
    const int y = (at.bottom - at.top) / 2;
    std::string pixels;
    const std::string probe = std::string(TOVEL_SOURCE) + "/tools/testkit/png_probe.py";
    ASSERT_EQ(tovel::testing::run_command(
                  "python3 " + tovel::testing::shell_quote(probe) + " " +
                      tovel::testing::shell_quote(cardFile) + " 3," + std::to_string(y) + " " +
                      "&& python3 " + tovel::testing::shell_quote(probe) + " " +
                      tovel::testing::shell_quote(popupFile) + " " + std::to_string(at.left + 3) +
                      "," + std::to_string(at.top + y),
                  &pixels),
              0);
    const COLORREF fill = card.fillColour(JobInfoPane::LOOK_NORMAL);
    char expected[16];
    std::snprintf(expected, sizeof expected, "%02x%02x%02xff", GetRValue(fill), GetGValue(fill),
                  GetBValue(fill));
    EXPECT_EQ(pixels, std::string(expected) + "\n" + expected + "\n");

    // A click on the card opens the web interface and closes the pop-up.
    gui::LaunchRecorder launches;
    gui::click(at.left + 10, at.top + y);
    gui::pump();
    EXPECT_EQ(launches.launches(), std::vector<std::wstring>{L"http://localhost:8888"});
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(TrayPopUp, ACardWhoseRecordComesLaterShowsAtTheNextLayout) {
    add_jobs({"ready"});
    const std::string late = job_id(9);
    tray_tests::make_job(late, "late");
    ASSERT_TRUE(JobManager::instance()->addJob(late));
    JobInfoCreator creator;
    creator.set(JobManager::instance()->find(late), JS_IDLE);
    container_->appendPane(creator.create());
    HWND window = show();
    JobInfoPane* card = cards()[1];
    EXPECT_EQ(card->jobId(), late);
    EXPECT_FALSE(card->IsWindow()) << "no texts yet";
    JobActivityHandle record;
    ASSERT_TRUE(record.open(late.c_str(), true));
    record.reset(JS_IDLE, true);
    container_->beginUpdate();
    container_->endUpdate();
    gui::pump();
    ASSERT_TRUE(card->IsWindow());
    EXPECT_TRUE(card->IsWindowVisible());
    EXPECT_EQ(card->title(), L"Backup: late");
    EXPECT_EQ(JobManager::instance()->getJobObserver(late), card);
    EXPECT_TRUE(IsWindow(window));
}
