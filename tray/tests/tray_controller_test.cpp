// The tray's controller with real job records (made as the service makes
// them) on the headless desktop: the icon's status and frames, clicks on the
// icon, job cards, the shell's restart, and the shutdown handshake with the
// agent-exit watcher. The test thread is the GUI thread.
#include "tray/tray_controller.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/ace_log_wrapper.h"
#include "job/core/job_state.h"
#include "plandeck/restore_job_definition.h"
#include "platform/desktop/gui_test.h"
#include "tools/testkit/http_script_server.h"
#include "tools/testkit/log_capture.h"
#include "tools/testkit/machine_fixture.h"
#include "tray/job_info_pane.h"
#include "tray/job_manager.h"
#include "tray/tests/job_list_kit.h"
#include "tray/tray_resources.h"

namespace gui = tovel::platform::gui;
namespace fs = std::filesystem;
using tovel::testing::free_loopback_port;
using tovel::testing::HttpPeer;
using tovel::testing::HttpScriptServer;
using tray_tests::make_job;
using tray_tests::ServiceRecord;
using tray_tests::state_event;

namespace {

const std::string kA = "0a0a0a0a-1111-4111-8111-111111111111";
const std::string kB = "0b0b0b0b-2222-4222-8222-222222222222";
const std::string kC = "0c0c0c0c-3333-4333-8333-333333333333";
const std::string kD = "0d0d0d0d-4444-4444-8444-444444444444";

const std::wstring kProgramFolder = L"C:\\Program Files\\Tovel";

// The main dialog as the controller sees it: it routes the controller's
// messages to it, and records the commands it gets and the threads that
// ran the job changes.
class Target : public ATL::CWindowImpl<Target, ATL::CWindow, ATL::CWinTraits<WS_POPUP, 0>> {
public:
    BEGIN_MSG_MAP(Target)
    MESSAGE_HANDLER(TrayController::TRAY_ICON_CALLBACK_MSG, OnIcon)
    MESSAGE_HANDLER(TrayController::TRAY_JOB_CHANGE_MSG, OnJobChange)
    MESSAGE_HANDLER(TrayController::TRAY_SHUTDOWN_MSG, OnShutdown)
    MESSAGE_HANDLER(taskbarCreated_, OnTaskbarCreated)
    MESSAGE_HANDLER(WM_COMMAND, OnCommand)
    END_MSG_MAP()

    LRESULT OnIcon(UINT message, WPARAM wParam, LPARAM lParam, BOOL&) {
        controller->OnTrayMessage(message, wParam, lParam);
        return 0;
    }
    LRESULT OnJobChange(UINT, WPARAM, LPARAM, BOOL&) {
        changes.push_back(GetCurrentThreadId());
        controller->JobChange();
        return 0;
    }
    LRESULT OnShutdown(UINT, WPARAM wParam, LPARAM, BOOL&) {
        controller->onShutdown(reinterpret_cast<HANDLE>(wParam));
        ++shutdowns;
        return 0;
    }
    LRESULT OnTaskbarCreated(UINT message, WPARAM wParam, LPARAM lParam, BOOL&) {
        controller->OnTaskBarCreated(message, wParam, lParam);
        return 0;
    }
    LRESULT OnCommand(UINT, WPARAM wParam, LPARAM, BOOL&) {
        commands.push_back(static_cast<UINT>(wParam));
        return 0;
    }

    TrayController* controller = nullptr;
    std::vector<DWORD> changes;
    std::vector<UINT> commands;
    int shutdowns = 0;

private:
    UINT taskbarCreated_ = RegisterWindowMessageW(L"TaskbarCreated");
};

// The program's resource library and skin beside it in the machine.
void install_program() {
    std::string folder = tovel::testing::host_of(kProgramFolder);
    fs::create_directories(folder);
    fs::create_symlink(std::string(TOVEL_SOURCE) + "/tray/Skin", folder + "/Skin");
    fs::create_symlink(std::string(TOVEL_SOURCE) + "/tray/TrayLoc", folder + "/TrayLoc");
}

std::string icon_file() {
    auto icons = gui::notify_icons();
    return icons.empty() ? "" : fs::path(icons[0].image_file).filename().string();
}

// Runs f on a thread of its own (the watcher); true when it returned within
// a generous bound, the test thread pumping its messages meanwhile when
// pumping. A call that never returns is left behind.
bool returns(std::function<void()> f, bool pumping) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread watcher([f, done] {
        f();
        done->store(true);
    });
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done->load() && std::chrono::steady_clock::now() < end) {
        if (!pumping || gui::pump() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!done->load()) {
        watcher.detach();
        return false;
    }
    watcher.join();
    return true;
}

class TrayControllerTest : public tovel::testing::LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        install_program();
        HMODULE library = LoadLibraryW((kProgramFolder + L"\\TrayLoc\\enu\\loc.dll").c_str());
        ASSERT_NE(library, nullptr);
        setTrayResources(library);
        // No service: the job list's client retries quietly.
        setenv("TOVEL_WINHTTP_PORT_MAP", ("8888=" + std::to_string(free_loopback_port())).c_str(),
               1);
        RECT at = {0, 0, 10, 10};
        ASSERT_TRUE(target_.Create(nullptr, at));
        controller_ = std::make_unique<TrayController>();
        target_.controller = controller_.get();
    }
    void TearDown() override {
        if (controller_ && controller_->target()) controller_->fini();
        controller_.reset();
        if (target_.IsWindow()) target_.DestroyWindow();
        setTrayResources(nullptr);
        unsetenv("TOVEL_WINHTTP_PORT_MAP");
        LoggedTest::TearDown();
    }
    // A job event as the job list runs it on the GUI thread.
    void event(const std::string& id, int state) {
        JobManager::instance()->NotifyJobChanges(id, state);
        gui::pump();
    }
    std::vector<UINT> commandsSince(size_t from) const {
        return std::vector<UINT>(target_.commands.begin() + static_cast<long>(from),
                                 target_.commands.end());
    }

    Target target_;
    std::unique_ptr<TrayController> controller_;
};

// The tests on the virtual clock.
class TrayControllerClock : public TrayControllerTest {
protected:
    void SetUp() override {
        clock_ = std::make_unique<gui::VirtualClock>();
        TrayControllerTest::SetUp();
    }
    void TearDown() override {
        TrayControllerTest::TearDown();
        clock_.reset();
    }
    std::unique_ptr<gui::VirtualClock> clock_;
};

}  // namespace

TEST_F(TrayControllerClock, TheIconFollowsTheJobsAndAnimatesTheirStatus) {
    make_job(kA, "documents");
    make_job(kB, "photos");
    ServiceRecord a(kA, JS_IDLE);
    ServiceRecord b(kB, JS_IDLE);
    ASSERT_TRUE(controller_->init(target_));
    gui::pump();
    auto icons = gui::notify_icons();
    ASSERT_EQ(icons.size(), 1u);
    EXPECT_EQ(icons[0].window, target_.m_hWnd);
    EXPECT_EQ(icons[0].id, 1000u);
    EXPECT_EQ(icons[0].version, 3u);
    EXPECT_EQ(icons[0].callback, 38121u);
    EXPECT_EQ(icons[0].tooltip, L"Tovel backup agent");
    EXPECT_EQ(icon_file(), "none.ico");
    // Both jobs were told at start and have their cards.
    EXPECT_EQ(controller_->knownIds(), (std::set<std::string>{kA, kB}));
    EXPECT_EQ(controller_->container().paneCount(), 2u);

    // Each event: the job's new live state, the status, the image shown.
    const struct {
        const std::string* id;
        int state;
        int status;
        const char* image;
    } kEvents[] = {
        {&kA, JS_RUNNING, 16, "jobrunning1.ico"},
        {&kA, JS_RUNNING, 16, nullptr},  // the same status: the animation runs on
        {&kB, JS_ERROR, 20, "jobrunning_err1.ico"},
        {&kA, JS_COMPLETED, 4, "err.ico"},
        {&kB, JS_IDLE, 0, "none.ico"},
    };
    for (const auto& e : kEvents) {
        (*e.id == kA ? a : b).state(e.state);
        size_t from = gui::notify_icon_history(target_, 1000).size();
        event(*e.id, e.state);
        EXPECT_EQ(TrayController::IconMgr::instance()->status(), e.status) << e.state;
        auto history = gui::notify_icon_history(target_, 1000);
        if (e.image) {
            ASSERT_EQ(history.size(), from + 1) << e.state;
            EXPECT_EQ(fs::path(history.back()).filename(), e.image);
        } else {
            EXPECT_EQ(history.size(), from) << e.state;
        }
        if (e.status == 16) {
            // One frame every 200 ms, in turn, from where the animation was.
            from = history.size();
            gui::run_for(e.image ? 900 : 700);
            history = gui::notify_icon_history(target_, 1000);
            std::vector<std::string> frames;
            for (size_t i = from; i < history.size(); ++i)
                frames.push_back(fs::path(history[i]).filename().string());
            if (e.image)
                EXPECT_EQ(frames, (std::vector<std::string>{"jobrunning2.ico", "jobrunning3.ico",
                                                            "jobrunning4.ico", "jobrunning5.ico"}));
            else
                EXPECT_EQ(frames, (std::vector<std::string>{"jobrunning1.ico", "jobrunning2.ico",
                                                            "jobrunning3.ico", "jobrunning4.ico"}));
        }
    }
    // Every change ran on this thread.
    for (DWORD thread : target_.changes) EXPECT_EQ(thread, GetCurrentThreadId());

    // The shell restarts: the icon comes back in status 0, at version 4.
    a.state(JS_RUNNING);
    event(kA, JS_RUNNING);
    gui::broadcast_taskbar_created();
    gui::pump();
    icons = gui::notify_icons();
    ASSERT_EQ(icons.size(), 1u);
    EXPECT_EQ(icons[0].version, 4u);
    EXPECT_EQ(icons[0].callback, 38121u);
    EXPECT_EQ(icons[0].tooltip, L"Tovel backup agent");
    EXPECT_EQ(icon_file(), "none.ico");
    EXPECT_EQ(controller_->actionHelper().menu().items().size(), 3u);

    controller_->fini();
    EXPECT_TRUE(gui::notify_icons().empty());
    EXPECT_EQ(controller_->target(), nullptr);
    EXPECT_EQ(TrayController::IconMgr::instance()->timerId(), 0u);
}

TEST_F(TrayControllerClock, ClicksShowThePopUpOpenTheWebInterfaceOrTheMenu) {
    make_job(kA, "documents");
    ServiceRecord a(kA, JS_IDLE);
    ASSERT_TRUE(controller_->init(target_));
    gui::pump();
    ASSERT_EQ(controller_->container().paneCount(), 1u);
    EXPECT_FALSE(controller_->container().IsWindow());

    // Version 3. A click: the double-click wait, then the pop-up.
    uint32_t before = clock_->now();
    ASSERT_TRUE(gui::click_notify_icon(target_, 1000, gui::IconClick::left));
    gui::pump();
    EXPECT_GE(clock_->now() - before, GetDoubleClickTime());
    EXPECT_TRUE(controller_->container().IsWindow());
    EXPECT_TRUE(target_.commands.empty());
    // A second click within the double-click time opens the web interface.
    ASSERT_TRUE(gui::click_notify_icon(target_, 1000, gui::IconClick::left_double));
    gui::pump();
    EXPECT_EQ(target_.commands, (std::vector<UINT>{32795}));
    // A right click opens the menu at the cursor: open, about, exit.
    ASSERT_TRUE(gui::click_notify_icon(target_, 1000, gui::IconClick::right));
    gui::pump();
    SkinMenu& menu = controller_->actionHelper().menu();
    ASSERT_TRUE(menu.IsWindow());
    POINT cursor = {};
    GetCursorPos(&cursor);
    RECT at = {};
    GetWindowRect(menu, &at);
    EXPECT_EQ(at.right, cursor.x);
    EXPECT_EQ(at.bottom, cursor.y);
    ASSERT_EQ(menu.items().size(), 3u);
    const UINT kMenu[][2] = {{16387, 32795}, {16386, 32794}, {16385, 32793}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(menu.items()[i]->caption(), trayString(kMenu[i][0])) << i;
        EXPECT_EQ(menu.items()[i]->id(), kMenu[i][1]) << i;
    }
    // Choosing "about" sends its command to the main dialog.
    RECT item = {};
    GetWindowRect(*menu.items()[1], &item);
    gui::click((item.left + item.right) / 2, (item.top + item.bottom) / 2);
    gui::pump();
    EXPECT_EQ(target_.commands, (std::vector<UINT>{32795, 32794}));

    // Version 4 after the shell's restart: a select shows the pop-up after
    // the wait, a context menu opens the menu.
    controller_->container().DestroyWindow();
    gui::broadcast_taskbar_created();
    gui::pump();
    ASSERT_EQ(controller_->actionHelper().version(), 4);
    ASSERT_TRUE(gui::click_notify_icon(target_, 1000, gui::IconClick::left));
    gui::pump();
    EXPECT_TRUE(controller_->container().IsWindow());
    ASSERT_TRUE(gui::click_notify_icon(target_, 1000, gui::IconClick::right));
    gui::pump();
    EXPECT_TRUE(controller_->actionHelper().menu().IsWindow());
    EXPECT_EQ(target_.commands.size(), 2u);
}

namespace {

// Saves a restore definition with that id and name in the job's folder.
void make_restore(const std::string& id, const std::string& name) {
    RestoreJobDefinition definition;
    json_spirit::Value value;
    ASSERT_TRUE(json_spirit::read(R"({"type":"restore","id":")" + id +
                                      R"(","user":"alice","name":")" + name +
                                      R"(","source":["C:/data/a.txt"],"location":"C:\to"})",
                                  value));
    ASSERT_TRUE(definition.fromJSON(value));
    std::wstring folder;
    ASSERT_TRUE(common_appdata_path(folder, (tovel::kJobSubFolderPrefix + from_utf8(id)).c_str()));
    ASSERT_TRUE(definition.save((folder + L"\\def").c_str()));
}

// The job's card in the pop-up, if any.
JobInfoPane* card_of(TrayController& controller, const std::string& id) {
    for (AbsPane* pane : controller.container().panes())
        if (auto* card = dynamic_cast<JobInfoPane*>(pane))
            if (card->jobId() == id) return card;
    return nullptr;
}
bool shown(TrayController& controller, const std::string& id) {
    JobInfoPane* card = card_of(controller, id);
    return card && card->IsWindow() && card->IsWindowVisible();
}

}  // namespace

// A job that fails while another runs is shown under its own state; a click
// while only a restore runs shows the restore; a click on a pop-up that
// fades out shows it for its whole display time again.
TEST_F(TrayControllerClock, ThePopUpShowsWhatChangedOrRunsAndStaysWhenClickedAgain) {
    make_job(kA, "documents");
    make_job(kB, "photos");
    make_restore(kC, "back");
    ServiceRecord a(kA, JS_RUNNING);
    ServiceRecord b(kB, JS_IDLE);
    ServiceRecord c(kC, JS_IDLE);
    ASSERT_TRUE(controller_->init(target_));
    gui::pump();
    ASSERT_EQ(controller_->container().paneCount(), 3u);
    PaneContainer& popUp = controller_->container();

    b.state(JS_ERROR);
    event(kB, JS_ERROR);
    ASSERT_TRUE(popUp.IsWindow());
    EXPECT_EQ(popUp.classifyPane().selectedType(), 1);
    EXPECT_EQ(popUp.classifyPane().selectedState(), JS_ERROR);
    EXPECT_TRUE(shown(*controller_, kB));
    EXPECT_FALSE(shown(*controller_, kA));
    popUp.DestroyWindow();
    gui::pump();

    // Only the restore runs: a click shows it, its tab selected.
    a.state(JS_IDLE);
    event(kA, JS_IDLE);
    popUp.DestroyWindow();
    c.state(JS_RUNNING);
    event(kC, JS_RUNNING);
    popUp.DestroyWindow();
    gui::pump();
    ASSERT_TRUE(gui::click_notify_icon(target_, 1000, gui::IconClick::left));
    gui::pump();
    ASSERT_TRUE(popUp.IsWindow());
    EXPECT_EQ(popUp.classifyPane().selectedType(), 2);
    EXPECT_EQ(popUp.classifyPane().selectedState(), JS_RUNNING);
    EXPECT_EQ(popUp.classifyPane().restoreTab().look(), JobTypePane::SELECTED);
    EXPECT_TRUE(shown(*controller_, kC));

    // Fading out, 9 s into its 10 (and the click's wait for a second
    // click): a click and it shows 9.5 s more.
    gui::move_mouse(10, 10);
    gui::run_for(9000);
    ASSERT_TRUE(popUp.IsWindow());
    ASSERT_GE(popUp.elapsed(), 8500u);
    ASSERT_TRUE(gui::click_notify_icon(target_, 1000, gui::IconClick::left));
    gui::pump();
    EXPECT_LE(popUp.elapsed(), popUp.displayTime() / 20 + 1000);
    gui::run_for(8000);
    EXPECT_TRUE(popUp.IsWindow());
    EXPECT_EQ(popUp.alpha(), 255u);
    gui::run_for(3000);
    EXPECT_FALSE(popUp.IsWindow());
}

TEST_F(TrayControllerClock, JobsFirstSeenDeletedOrUnloadedGetNoCard) {
    make_job(kA, "documents");
    make_job(kC, "later");
    make_job(kD, "gone");
    ServiceRecord a(kA, JS_IDLE);
    ASSERT_TRUE(controller_->init(target_));
    gui::pump();
    ASSERT_EQ(controller_->container().paneCount(), 1u);
    // Jobs the list did not hold at start, their records made since.
    ServiceRecord c(kC, JS_IDLE);
    ServiceRecord d(kD, JS_IDLE);
    const struct {
        const std::string* id;
        int state;
        size_t cards;
        bool known;
    } kEvents[] = {
        {&kC, JS_UNLOADED, 1, false},
        {&kD, JS_DELETED, 1, false},
        // Seen again in a live state: a card now.
        {&kC, JS_IDLE, 2, true},
        // A known job deleted: its card goes.
        {&kC, JS_DELETED, 1, false},
        // Paused at first sight: it gets a card all the same.
        {&kD, JS_PAUSED, 2, true},
    };
    for (const auto& e : kEvents) {
        event(*e.id, e.state);
        EXPECT_EQ(controller_->container().paneCount(), e.cards) << *e.id << " " << e.state;
        EXPECT_EQ(controller_->knownIds().count(*e.id), e.known ? 1u : 0u) << e.state;
    }
    // The unloaded and deleted jobs left the list too (and came back with
    // their next event).
    EXPECT_FALSE(JobManager::instance()->find(kC));
    EXPECT_TRUE(JobManager::instance()->find(kD));
}

TEST_F(TrayControllerTest, RequestShutdownWaitsOnlyWhileTheGuiThreadCanAnswer) {
    make_job(kA, "documents");
    ServiceRecord a(kA, JS_IDLE);
    TrayController* controller = controller_.get();
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(stop, nullptr);

    // Before init: no target, nothing to wait for.
    EXPECT_TRUE(returns([controller] { controller->requestShutdown(); }, false));
    EXPECT_EQ(target_.shutdowns, 0);

    ASSERT_TRUE(controller_->init(target_));
    gui::pump();
    ASSERT_EQ(controller_->container().paneCount(), 1u);
    // The GUI thread answers: cards, known jobs and the job list emptied.
    EXPECT_TRUE(returns([controller] { controller->requestShutdown(); }, true));
    EXPECT_EQ(target_.shutdowns, 1);
    EXPECT_EQ(controller_->container().paneCount(), 0u);
    EXPECT_TRUE(controller_->knownIds().empty());
    EXPECT_EQ(JobManager::instance()->jobCount(), 0u);

    // The GUI thread does not answer (it waits for the watcher): the
    // watcher's stop event ends the wait; the late message still runs.
    SetEvent(stop);
    EXPECT_TRUE(returns([controller, stop] { controller->requestShutdown(stop); }, false));
    gui::pump();
    EXPECT_EQ(target_.shutdowns, 2);

    // The window went without fini: the post fails and nobody waits.
    target_.DestroyWindow();
    EXPECT_TRUE(returns([controller] { controller->requestShutdown(); }, false));

    // After fini: no target.
    controller_->fini();
    EXPECT_TRUE(returns([controller] { controller->requestShutdown(); }, false));
    CloseHandle(stop);
}

TEST_F(TrayControllerTest, EventsStreamWhileCardsComeAndGoAndTheTrayShutsDown) {
    make_job(kA, "documents");
    make_job(kB, "photos");
    make_job(kC, "comes and goes");
    ServiceRecord a(kA, JS_IDLE);
    ServiceRecord b(kB, JS_IDLE);
    ServiceRecord c(kC, JS_IDLE);
    // Events without end: A runs and completes, B fails, C is deleted and
    // comes back.
    HttpScriptServer server(
        [events = std::vector<std::string>{state_event(kA, JS_RUNNING), state_event(kB, JS_ERROR),
                                           state_event(kC, JS_DELETED),
                                           state_event(kA, JS_COMPLETED), state_event(kC, JS_IDLE),
                                           state_event(kB, JS_IDLE)}](HttpPeer& peer) {
            if (peer.read_head().empty()) return;
            peer.send_chunked_head();
            for (size_t i = 0;; ++i)
                if (!peer.send_chunk(events[i % events.size()])) return;
        });
    setenv("TOVEL_WINHTTP_PORT_MAP", ("8888=" + std::to_string(server.port())).c_str(), 1);

    ASSERT_TRUE(controller_->init(target_));
    TrayController* controller = controller_.get();
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // The watcher asks for the shutdown while the events stream; the GUI
    // thread runs on, and cards come back with the next events.
    std::atomic<bool> finished{false};
    std::thread watcher;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((target_.changes.size() < 300 || !finished.load()) &&
           std::chrono::steady_clock::now() < end) {
        if (target_.changes.size() >= 100 && !watcher.joinable())
            watcher = std::thread([controller, stop, &finished] {
                controller->requestShutdown(stop);
                finished.store(true);
            });
        if (gui::pump() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (!finished.load()) SetEvent(stop);
    if (watcher.joinable()) watcher.join();
    ASSERT_GE(target_.changes.size(), 300u);
    EXPECT_EQ(target_.shutdowns, 1);
    for (DWORD thread : target_.changes) ASSERT_EQ(thread, GetCurrentThreadId());
    // The cards are those of the jobs the controller knows.
    EXPECT_EQ(controller_->container().paneCount(), controller_->knownIds().size());
    // A change told on another thread is refused, not run there (nor
    // here: the job list would not find the job).
    logged();
    share_log_stream(&log_stream());
    EXPECT_TRUE(returns([controller] { controller->onJobState(kD, JS_RUNNING); }, true));
    share_log_stream(nullptr);
    std::string log = logged();
    EXPECT_NE(log.find("Job state change off the GUI thread dropped, id = " + kD),
              std::string::npos);
    EXPECT_EQ(log.find("Can't get the job data for job " + kD), std::string::npos);
    // The tray ends with events in flight.
    controller_->fini();
    controller_.reset();
    server.stop();
    CloseHandle(stop);
}
