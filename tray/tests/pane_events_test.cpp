// Job events streaming from the service while cards come and go in the
// pop-up and the tray shuts down: every call reaches a card on the GUI
// thread (a card asserts it), none after the card went.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "job/core/job_state.h"
#include "tools/testkit/http_script_server.h"
#include "tray/job_info_pane.h"
#include "tray/pane_container.h"
#include "tray/tests/pane_kit.h"

using pane_tests::Job;
using pane_tests::job_id;
using tovel::testing::HttpPeer;
using tovel::testing::HttpScriptServer;
using tray_tests::Recorder;
using tray_tests::state_event;

namespace {

class TrayPaneEvents : public pane_tests::PaneTest {};

}  // namespace

TEST_F(TrayPaneEvents, StreamWhileCardsComeAndGoAndTheTrayShutsDown) {
    Job a(job_id(1), "first", JS_RUNNING);
    Job b(job_id(2), "second", JS_RUNNING);
    constexpr int kEvents = 400;
    std::atomic<bool> more{false};
    HttpScriptServer server([&](HttpPeer& peer) {
        if (peer.read_head().empty()) return;
        peer.send_chunked_head();
        // Half of the events, then the rest once the test is shutting down.
        for (int i = 0; i < kEvents; ++i) {
            if (i == kEvents / 2) more.wait(false);
            const Job& job = i % 2 ? b : a;
            if (!peer.send_chunk(state_event(job.id(), i % 3 ? JS_RUNNING : JS_PAUSED) + "\r\n"))
                return;
        }
        peer.wait_closed();
    });
    // The server's script never waits past the test, whatever ends it.
    struct Release {
        std::atomic<bool>& more;
        ~Release() {
            more = true;
            more.notify_all();
        }
    } release{more};
    setenv("TOVEL_WINHTTP_PORT_MAP", ("8888=" + std::to_string(server.port())).c_str(), 1);

    JobManager& list = *JobManager::instance();
    Recorder controller;
    list.init(nullptr);
    list.attach(&controller);
    {
        PaneContainer container;
        const DWORD gui = GetCurrentThreadId();
        // Cards of both jobs come and go while the events stream.
        for (int round = 0; controller.told.size() < kEvents / 2; ++round) {
            ASSERT_LT(round, 100000) << controller.told.size() << " events";
            for (const Job* job : {&a, &b}) {
                (round % 2 ? a : b)->state = round % 3 ? JS_RUNNING : JS_PAUSED;
                JobInfoCreator creator;
                creator.set(job->record(), JS_RUNNING);
                container.beginUpdate();
                container.appendPane(creator.create());
                container.endUpdate();
            }
            if (!container.IsWindow()) container.Create(nullptr);
            tovel::platform::gui::pump();
            if (round % 3 == 0) container.removePane(a.id());
            if (container.paneCount() > 6) container.removePane(0u);
            tovel::platform::gui::pump();
        }
        for (const auto& told : controller.told) ASSERT_EQ(told.thread, gui);
        // Cards were told of events (the list logs each per-job call).
        std::string log = logged();
        size_t cardCalls = 0;
        for (size_t at = 0; (at = log.find("Notify job state, id = ", at)) != std::string::npos;
             ++at)
            ++cardCalls;
        EXPECT_GT(cardCalls, 10u);
        // Shutting down while the rest streams: the cards go first, then the list.
        more = true;
        more.notify_all();
        container.beginUpdate();
        container.removeAllPane();
        container.endUpdate();
        if (container.IsWindow()) container.DestroyWindow();
        EXPECT_EQ(list.getJobObserver(a.id()), nullptr);
        EXPECT_EQ(list.getJobObserver(b.id()), nullptr);
    }
    list.detach(&controller);
    list.fini();
    tovel::platform::gui::pump();
    list.Close();
    unsetenv("TOVEL_WINHTTP_PORT_MAP");
}
