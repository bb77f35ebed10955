// The job list over the notification client, against a scripted event stream
// and activity records mapped as the service maps them. The test thread is
// the GUI thread.
#include "tray/job_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "job/core/job_state.h"
#include "platform/desktop/gui_test.h"
#include "tools/testkit/http_script_server.h"
#include "tools/testkit/log_capture.h"
#include "tray/tests/job_list_kit.h"

using tovel::testing::free_loopback_port;
using tovel::testing::HttpPeer;
using tovel::testing::HttpScriptServer;
using tray_tests::make_job;
using tray_tests::pump_until;
using tray_tests::Recorder;
using tray_tests::ServiceRecord;
using tray_tests::state_event;
using tray_tests::Told;

namespace {

const std::string kA = "0a0a0a0a-1111-4111-8111-111111111111";
const std::string kB = "0b0b0b0b-2222-4222-8222-222222222222";
const std::string kC = "0c0c0c0c-3333-4333-8333-333333333333";

// Sends its events on the stream, each byte as a chunk of its own, then the
// later ones once released, and keeps the stream open.
class ByteStream {
public:
    explicit ByteStream(std::vector<std::string> events, std::vector<std::string> later = {})
        : server_([this, events, later](HttpPeer& peer) {
              if (peer.read_head().empty()) return;
              peer.send_chunked_head();
              if (!send(peer, events)) return;
              released_.wait(false);
              if (!send(peer, later)) return;
              peer.wait_closed();
          }) {
        map_port(server_.port());
    }
    ~ByteStream() {
        release();
        server_.stop();
        unsetenv("TOVEL_WINHTTP_PORT_MAP");
    }
    void release() {
        released_ = true;
        released_.notify_all();
    }

    // The list's fixed port 8888 reaches port instead.
    static void map_port(unsigned short port) {
        setenv("TOVEL_WINHTTP_PORT_MAP", ("8888=" + std::to_string(port)).c_str(), 1);
    }

private:
    static bool send(HttpPeer& peer, const std::vector<std::string>& events) {
        for (const std::string& event : events)
            for (char c : event + "\r\n")
                if (!peer.send_chunk(std::string(1, c))) return false;
        return true;
    }

    std::atomic<bool> released_{false};
    HttpScriptServer server_;
};

class TrayJobList : public tovel::testing::LoggedTest {
protected:
    DWORD gui_ = GetCurrentThreadId();
};

}  // namespace

TEST_F(TrayJobList, EventsReachTheObserversInOrderOnTheGuiThread) {
    make_job(kA, "first");
    make_job(kB, "second");
    make_job(kC, "third");
    ServiceRecord a(kA, JS_IDLE);
    ServiceRecord b(kB, JS_RUNNING);
    // kC has no record yet: the service has not loaded it.
    const std::string badIds[] = {"../" + kA, "not-a-job-%s%n", kA + "\\x", "",
                                  std::string(300, 'f')};
    std::vector<std::string> events = {state_event(kC, JS_CREATED)};
    for (const std::string& bad : badIds) events.push_back(state_event(bad, JS_RUNNING));
    events.push_back(state_event(kB, JS_PAUSED));
    events.push_back(state_event(kA, JS_DELETED));
    ByteStream stream(events, {state_event(kC, JS_IDLE)});

    Recorder controller;
    Recorder pane;
    JobManager list;
    list.init(&controller);
    // Three jobs listed; two records, two first reports, in key order, on
    // this thread. The third is opened on a later access.
    EXPECT_EQ(list.jobCount(), 3u);
    EXPECT_EQ(controller.told, (std::vector<Told>{{kA, JS_IDLE, gui_}, {kB, JS_RUNNING, gui_}}));
    ASSERT_TRUE(list.find(kC));
    EXPECT_FALSE(list.find(kC)->activity());
    controller.told.clear();
    list.attach(&controller);
    list.attachJobObserver(&pane, kB);

    ASSERT_TRUE(pump_until([&] { return controller.told.size() >= 3; }));
    EXPECT_EQ(
        controller.told,
        (std::vector<Told>{{kC, JS_CREATED, gui_}, {kB, JS_PAUSED, gui_}, {kA, JS_DELETED, gui_}}));
    // The third job's event found it listed; its record is opened once the
    // service has made it.
    ASSERT_TRUE(list.find(kC));
    EXPECT_FALSE(list.find(kC)->activity());
    ServiceRecord c(kC, JS_IDLE);
    ASSERT_TRUE(list.find(kC)->activity());
    // The deleted job was told, then erased.
    EXPECT_FALSE(list.find(kA));
    EXPECT_EQ(pane.told, (std::vector<Told>{{kB, JS_PAUSED, gui_}}));
    stream.release();
    ASSERT_TRUE(pump_until([&] { return controller.told.size() >= 4; }));
    EXPECT_EQ(controller.told.back(), (Told{kC, JS_IDLE, gui_}));
    EXPECT_EQ(list.jobCount(), 2u);
    EXPECT_TRUE(list.isAnyJobRunning());
    b.state(JS_PAUSED);
    EXPECT_FALSE(list.isAnyJobRunning());

    // Bad ids changed nothing and reached no one; each was refused by the
    // list itself, its line kept to one line of text.
    std::string log = logged();
    size_t refused = 0;
    for (size_t at = 0;
         (at = log.find("Can't create the job definition, id = ", at)) != std::string::npos; ++at)
        ++refused;
    EXPECT_EQ(refused, std::size(badIds)) << log;
    EXPECT_NE(log.find("id = not-a-job-%s%n, error-code = 87"), std::string::npos) << log;
    EXPECT_EQ(log.find("Invalid job id"), std::string::npos) << "reached the record's code:\n"
                                                             << log;
    list.fini();
}

TEST_F(TrayJobList, RefreshTellsAPaneOfChangesAndOfRunningJobsOnly) {
    namespace gui = tovel::platform::gui;
    gui::VirtualClock clock;                     // before the list's first window and timer
    ByteStream::map_port(free_loopback_port());  // no service: the client retries quietly
    make_job(kA, "idle");
    make_job(kB, "running");
    ServiceRecord a(kA, JS_IDLE);
    ServiceRecord b(kB, JS_RUNNING);
    JobManager list;
    list.init(nullptr);
    Recorder idlePane;
    Recorder runningPane;
    list.attachJobObserver(&idlePane, kA);
    list.attachJobObserver(&runningPane, kB);
    Recorder second;
    list.attachJobObserver(&second, kB);  // kB keeps its first pane
    EXPECT_EQ(list.getJobObserver(kB), &runningPane);

    // Three seconds: the running job's pane three times, the idle one never.
    gui::run_for(3000);
    EXPECT_EQ(runningPane.told, std::vector<Told>(3, {kB, JS_RUNNING, gui_}));
    EXPECT_TRUE(idlePane.told.empty());
    EXPECT_TRUE(second.told.empty());

    // A change without a pane is kept for the next pane, told on the next tick.
    list.detachJobObserver(kA);
    a.state(JS_PAUSED);
    gui::run_for(1000);
    EXPECT_TRUE(idlePane.told.empty());
    Recorder newPane;
    list.attachJobObserver(&newPane, kA);
    gui::run_for(1000);
    EXPECT_EQ(newPane.told, (std::vector<Told>{{kA, JS_PAUSED, gui_}}));
    gui::run_for(1000);
    EXPECT_EQ(newPane.told.size(), 1u);
    EXPECT_EQ(runningPane.told.size(), 6u);
    list.fini();
    EXPECT_EQ(list.jobCount(), 0u);
    gui::run_for(1000);
    EXPECT_EQ(runningPane.told.size(), 6u) << "the timer ends with fini";
}

TEST_F(TrayJobList, InitTwiceAndFiniBeforeInitOnlyWarn) {
    ByteStream::map_port(free_loopback_port());
    make_job(kA, "one");
    ServiceRecord a(kA, JS_IDLE);
    JobManager list;
    list.fini();
    EXPECT_NE(logged().find("Jobmanager did not been initialized.\n"), std::string::npos);
    Recorder first;
    list.init(&first);
    list.init(&first);
    EXPECT_NE(logged().find("Jobmanager have already been initialized.\n"), std::string::npos);
    EXPECT_EQ(first.told.size(), 1u);
    EXPECT_EQ(list.jobCount(), 1u);
    EXPECT_FALSE(list.findAt(1));
    EXPECT_EQ(list.definitionAt(0)->id(), kA);
    EXPECT_EQ(list.activityAt(0)->state.load(), JS_IDLE);
    list.fini();
}

namespace {

// Notes when an event has reached it on WinHTTP's thread.
class WatchedList : public JobManager {
public:
    // The client stops before this class's part of the object goes, so that
    // no callback on WinHTTP's thread meets it half destroyed.
    ~WatchedList() override { Close(); }
    void OnJobStateChanged(const char* id, int state) override {
        entered = true;
        entered.notify_all();
        JobManager::OnJobStateChanged(id, state);
    }
    std::atomic<bool> entered{false};
};

}  // namespace

TEST_F(TrayJobList, FiniReleasesASenderWaitingOnTheGuiThread) {
    make_job(kA, "one");
    ServiceRecord a(kA, JS_IDLE);
    ByteStream stream({state_event(kA, JS_RUNNING), state_event(kA, JS_IDLE)});
    Recorder controller;
    {
        WatchedList list;
        list.init(nullptr);
        list.attach(&controller);
        // The GUI thread runs no message: the event waits for it.
        list.entered.wait(false);
        list.fini();
        // The client's Close (in the destructor) returns only once no callback
        // runs: it would wait for ever on a sender still blocked.
    }
    EXPECT_TRUE(controller.told.empty());
}

namespace {

// An observer that, when told, deletes another observer that the list is
// about to tell and attaches a fresh one in its place.
class Replacer : public Recorder {
public:
    Replacer(JobManager& list) : list_(list) {}
    ~Replacer() override {
        if (victim_) {
            list_.detach(victim_);
            delete victim_;
        }
    }
    int onJobState(const std::string& id, int state) override {
        Recorder::onJobState(id, state);
        if (victim_) {
            list_.detach(victim_);
            delete victim_;
        }
        victim_ = new Recorder;
        list_.attach(victim_);
        return 0;
    }

private:
    JobManager& list_;
    Recorder* victim_ = nullptr;
};

}  // namespace

TEST_F(TrayJobList, EventsAtFullSpeedWhileTheGuiThreadChangesObservers) {
    make_job(kA, "one");
    make_job(kB, "two");
    ServiceRecord a(kA, JS_IDLE);
    ServiceRecord b(kB, JS_RUNNING);
    // Events without end, as fast as the list takes them.
    HttpScriptServer server([&](HttpPeer& peer) {
        if (peer.read_head().empty()) return;
        peer.send_chunked_head();
        for (int i = 0;; ++i)
            if (!peer.send_chunk(state_event(i % 2 ? kA : kB, i % 3 ? JS_RUNNING : JS_PAUSED)))
                return;
    });
    ByteStream::map_port(server.port());

    Recorder controller;
    auto list = std::make_unique<JobManager>();
    list->init(nullptr);
    list->attach(&controller);
    std::vector<std::unique_ptr<Replacer>> replacers;
    replacers.push_back(std::make_unique<Replacer>(*list));
    replacers.push_back(std::make_unique<Replacer>(*list));
    for (auto& replacer : replacers) list->attach(replacer.get());
    Recorder paneA;
    Recorder paneB;
    std::vector<std::unique_ptr<Recorder>> transient;
    int round = 0;
    ASSERT_TRUE(pump_until([&] {
        ++round;
        list->refreshActivities();
        if (round % 2) {
            list->attachJobObserver(&paneA, kA);
            list->detachJobObserver(kB);
        } else {
            list->attachJobObserver(&paneB, kB);
            list->detachJobObserver(kA);
        }
        transient.push_back(std::make_unique<Recorder>());
        list->attach(transient.back().get());
        if (transient.size() > 3) {
            list->detach(transient.front().get());
            transient.erase(transient.begin());
        }
        list->isAnyJobRunning();
        return controller.told.size() >= 1000;
    }));
    for (const Told& told : controller.told) ASSERT_EQ(told.thread, gui_);
    // In arrival order: the stream's own.
    for (size_t i = 0; i < controller.told.size(); ++i)
        ASSERT_EQ(controller.told[i].id, i % 2 ? kA : kB) << i;
    for (auto& replacer : replacers) list->detach(replacer.get());
    replacers.clear();
    // Gone with events in flight: nothing of it runs afterwards.
    list.reset();
    server.stop();
}

TEST_F(TrayJobList, TheProcessEndsWithEventsInFlight) {
    make_job(kA, "one");
    ServiceRecord a(kA, JS_RUNNING);
    // The events come at full speed from a server of this test's process; the
    // child that ends (started afresh from an exec, which runs this test
    // again) finds its port in the environment and runs no thread of it.
    static const char kServerPort[] = "TOVEL_TEST_EXIT_SERVER_PORT";
    std::unique_ptr<HttpScriptServer> server;
    unsigned short port = 0;
    if (const char* given = std::getenv(kServerPort)) {
        port = static_cast<unsigned short>(std::atoi(given));
    } else {
        server = std::make_unique<HttpScriptServer>(
            [running = state_event(kA, JS_RUNNING),
             paused = state_event(kA, JS_PAUSED)](HttpPeer& peer) {
                if (peer.read_head().empty()) return;
                peer.send_chunked_head();
                for (int i = 0;; ++i)
                    if (!peer.send_chunk(i % 2 ? running : paused)) return;
            });
        ASSERT_TRUE(server->listening());
        port = server->port();
        setenv(kServerPort, std::to_string(port).c_str(), 1);
    }
    ByteStream::map_port(port);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The list as the tray has it: the process's own, deleted at exit while
    // the stream still sends and an event may wait on the GUI thread.
    auto run = [] {
        Recorder controller;
        JobManager* list = JobManager::instance();
        list->init(&controller);
        list->attach(&controller);
        pump_until([&] { return controller.told.size() >= 50; });
        std::fputs("leaving\n", stderr);
        std::exit(0);
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(0), "leaving\n");
    unsetenv(kServerPort);
    unsetenv("TOVEL_WINHTTP_PORT_MAP");
    // The child's end closed its connection: the script has returned.
    if (server) server->stop();
}
