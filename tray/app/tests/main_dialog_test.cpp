// The tray's main window in-process, with the controller and the job list of
// the machine's jobs: the service's exit empties the cards and the job list
// before the window goes, and an Exit chosen as the service ends still ends
// the tray.
#include "tray/app/main_dialog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "common/ace_log_wrapper.h"
#include "job/core/job_state.h"
#include "tools/testkit/log_capture.h"
#include "tray/app/exit_watcher.h"
#include "tray/app/resource_path.h"
#include "tray/app/tests/tray_files.h"
#include "tray/job_manager.h"
#include "tray/tests/job_list_kit.h"
#include "tray/tray_controller.h"
#include "tray/tray_resources.h"

using namespace tray_app_tests;
using tray_tests::make_job;
using tray_tests::pump_until;
using tray_tests::ServiceRecord;

namespace {

const std::string kJob = "6f1c2b7e-8a35-4d7e-9c41-2f0b8e6d5a13";

// Ends the process when a test hangs (a deadlock would otherwise wait for
// the test runner's timeout).
class Watchdog {
public:
    explicit Watchdog(int seconds) {
        thread_ = std::thread([this, seconds] {
            std::unique_lock<std::mutex> guard(lock_);
            if (!done_.wait_for(guard, std::chrono::seconds(seconds), [this] { return over_; })) {
                std::fprintf(stderr, "the tray did not end: deadlock\n");
                std::abort();
            }
        });
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            over_ = true;
        }
        done_.notify_all();
        thread_.join();
    }

private:
    std::mutex lock_;
    std::condition_variable done_;
    bool over_ = false;
    std::thread thread_;
};

// The main window with what the lists held when WM_DESTROY came.
class RecordingDlg : public CMainDlg {
public:
    BOOL ProcessWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                              LRESULT& result, DWORD map = 0) override {
        if (message == WM_DESTROY) {
            destroyed = true;
            jobsAtDestroy = JobManager::instance()->jobCount();
            cardsAtDestroy = TrayController::instance()->container().paneCount();
        }
        return CMainDlg::ProcessWindowMessage(window, message, wParam, lParam, result, map);
    }
    bool destroyed = false;
    size_t jobsAtDestroy = 99, cardsAtDestroy = 99;
};

class TrayMainDialog : public tovel::testing::LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        // The watcher's lines too.
        share_log_stream(&log_stream());
        install_tray({L"ENU"});
        HMODULE library = LoadLibraryW(resource_library_path(1031).c_str());
        ASSERT_NE(library, nullptr);
        _Module.SetResourceInstance(library);
        setTrayResources(library);
        // The service host's exit event, as it makes it.
        exitEvent_ = CreateEventA(nullptr, TRUE, FALSE, kAgentExitEventName);
        ASSERT_NE(exitEvent_, nullptr);
        make_job(kJob, "Nightly");
        record_ = std::make_unique<ServiceRecord>(kJob, JS_IDLE);
    }
    void TearDown() override {
        share_log_stream(nullptr);
        record_.reset();
        if (exitEvent_) CloseHandle(exitEvent_);
        LoggedTest::TearDown();
    }

    // Runs the thread's messages until WM_QUIT; its code.
    static int run_to_quit() {
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
        return static_cast<int>(msg.wParam);
    }

    HANDLE exitEvent_ = nullptr;
    std::unique_ptr<ServiceRecord> record_;
};

}  // namespace

TEST_F(TrayMainDialog, TheServicesExitEmptiesCardsAndJobsBeforeTheWindowGoes) {
    Watchdog watchdog(120);
    RecordingDlg dialog;
    ASSERT_NE(dialog.Create(nullptr), nullptr);
    EXPECT_NE(dialog.watcherThreadId(), 0u);
    // The job was loaded and has its card.
    ASSERT_TRUE(pump_until([] {
        return JobManager::instance()->jobCount() == 1 &&
               TrayController::instance()->container().paneCount() == 1;
    }));

    SetEvent(exitEvent_);
    EXPECT_EQ(run_to_quit(), 2) << "WM_CLOSE ends the loop as IDCANCEL";
    EXPECT_TRUE(dialog.destroyed);
    EXPECT_EQ(dialog.jobsAtDestroy, 0u);
    EXPECT_EQ(dialog.cardsAtDestroy, 0u);
    EXPECT_FALSE(dialog.IsWindow());
    EXPECT_NE(logged().find("Agent exit event been set.\n"), std::string::npos);
}

TEST_F(TrayMainDialog, ExitChosenAsTheServiceEndsStillEndsTheTray) {
    Watchdog watchdog(60);
    for (int round = 0; round < 6; ++round) {
        ResetEvent(exitEvent_);
        CMainDlg dialog;
        ASSERT_NE(dialog.Create(nullptr), nullptr);
        // Both at once: the watcher wakes (and asks the GUI thread to empty
        // the lists) while the window is being destroyed, which waits for it.
        SetEvent(exitEvent_);
        if (round % 2) std::this_thread::yield();
        dialog.SendMessage(WM_COMMAND, ID_TRAY_EXIT, 0);
        EXPECT_FALSE(dialog.IsWindow());
        EXPECT_EQ(run_to_quit(), 0) << "Exit's code";
    }
}

TEST_F(TrayMainDialog, WithoutTheServiceTheTrayRunsAndLogsOnce) {
    CloseHandle(exitEvent_);
    exitEvent_ = nullptr;
    CMainDlg dialog;
    ASSERT_NE(dialog.Create(nullptr), nullptr);
    ASSERT_TRUE(pump_until([&] {
        return log_stream().tellp() > 0 &&
               peek_log().find("Failed to open the agent monitor event") != std::string::npos;
    }));
    dialog.SendMessage(WM_CLOSE, 0, 0);
    EXPECT_EQ(run_to_quit(), 2);
    std::string log = logged();
    size_t first = log.find("Failed to open the agent monitor event");
    EXPECT_EQ(log.find("Failed to open the agent monitor event", first + 1), std::string::npos);
}
