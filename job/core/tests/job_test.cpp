// The control protocol of a job: start, pause, resume and stop of its run on
// its own worker, and the end of a run.
#include "job/core/job.h"

#include <gtest/gtest.h>

#include <memory>

#include "job/tests/test_job.h"

using job_tests::counters;
using job_tests::EventLog;
using job_tests::eventually;
using job_tests::make_definition;
using job_tests::TestJob;
using Events = std::vector<std::string>;

namespace {

const char* kId = "6f1c2a3b-4d5e-4f60-8a7b-9c0d1e2f3a4b";

class JobBase : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Iocp_Dispatcher::instance()->open());
        ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
    }
    void TearDown() override {
        job_.reset();
        Iocp_Dispatcher::instance()->stop();
    }

    TestJob& make(const char* schedule = R"({"type":"manual"})") {
        job_ = std::make_unique<TestJob>(make_definition(kId, schedule));
        return *job_;
    }

    EventLog events_;
    std::unique_ptr<TestJob> job_;
};

}  // namespace

TEST_F(JobBase, StartRunsOneWorkerAndStopCancelsIt) {
    TestJob& job = make();
    ASSERT_TRUE(job.start());
    ASSERT_TRUE(eventually([&] { return job.state() == JS_RUNNING; }));
    EXPECT_TRUE(job.start());  // already running: no second worker
    EXPECT_TRUE(job.resume());
    ASSERT_TRUE(job.stop());
    ASSERT_TRUE(job.wait(5000));
    EXPECT_EQ(job.state(), JS_IDLE);  // a manual job returns to idle
    EXPECT_EQ(job.lastRunState(), JS_CANCELLED);
    EXPECT_EQ(counters().runs, 1);
    EXPECT_EQ(counters().maxActive, 1);
    EXPECT_EQ(events_.await(kId, 5),
              (Events{"starting", "running", "canceling", "cancelled", "idle"}));
}

TEST_F(JobBase, PendingPauseIsSignalledAgainAndAStopTakesItsPlace) {
    TestJob& job = make();
    counters().holdStart = true;  // the worker waits before its first control point
    ASSERT_TRUE(job.start());
    EXPECT_TRUE(job.pause(true));
    EXPECT_EQ(job.requestedTransition(), JS_PAUSING);
    EXPECT_TRUE(job.pause(true));  // re-signals PAUSE
    json_spirit::Object reported;
    ASSERT_TRUE(job.toJSON(reported));
    EXPECT_EQ(reported["state"].get_str(), "pausing");
    EXPECT_TRUE(job.stop());  // the pause was not taken yet: the stop replaces it
    reported.clear();
    ASSERT_TRUE(job.toJSON(reported));
    EXPECT_EQ(reported["state"].get_str(), "canceling");
    counters().holdStart = false;
    ASSERT_TRUE(job.wait(5000));
    EXPECT_EQ(job.state(), JS_IDLE);
    EXPECT_EQ(job.lastRunState(), JS_CANCELLED);
    EXPECT_EQ(job.requestedTransition(), 0);
    EXPECT_EQ(events_.await(kId, 5),
              (Events{"starting", "pausing", "canceling", "cancelled", "idle"}));
}

TEST_F(JobBase, PausedRunResumesOnANewWorker) {
    TestJob& job = make();
    counters().holdStart = true;
    ASSERT_TRUE(job.start());
    EXPECT_TRUE(job.pause(true));
    EXPECT_TRUE(job.pause(true));  // signalled twice, taken once
    counters().holdStart = false;
    ASSERT_TRUE(job.wait(5000));
    EXPECT_EQ(job.state(), JS_PAUSED);
    EXPECT_EQ(job.requestedTransition(), 0);
    EXPECT_EQ(events_.await(kId, 3), (Events{"starting", "pausing", "paused"}));

    // Resuming continues the run on a new worker, flagged as a resumption.
    counters().steps = 2;
    ASSERT_TRUE(job.resume());
    ASSERT_TRUE(job.wait(5000));
    EXPECT_EQ(counters().runs, 2);
    EXPECT_EQ(counters().resumedRuns, 1);
    EXPECT_EQ(job.lastRunState(), JS_COMPLETED);
    EXPECT_EQ(job.state(), JS_IDLE);
}

TEST_F(JobBase, IdleJobIsPausedAtOnceAndAStopCancelsIt) {
    TestJob& job = make();
    EXPECT_FALSE(job.resume());  // nothing to resume
    ASSERT_TRUE(job.pause(true));
    EXPECT_EQ(job.state(), JS_PAUSED);
    json_spirit::Object reported;
    ASSERT_TRUE(job.toJSON(reported));
    EXPECT_EQ(reported["state"].get_str(), "paused");
    EXPECT_EQ(reported["paused-manually"].get_int(), 1);
    EXPECT_EQ(reported["currentFileState"].get_str(), "none");

    ASSERT_TRUE(job.stop());  // runs the end of the run on this thread
    EXPECT_EQ(job.state(), JS_IDLE);
    EXPECT_EQ(job.lastRunState(), JS_CANCELLED);
    EXPECT_EQ(counters().runs, 0);
    reported.clear();
    ASSERT_TRUE(job.toJSON(reported));
    EXPECT_EQ(reported.size(), 2u);  // an idle job reports its id and state only
}

TEST_F(JobBase, LockedJobRefusesToStartUntilUnlocked) {
    TestJob& job = make();
    job.lock(true);
    EXPECT_FALSE(job.start());
    EXPECT_EQ(counters().runs, 0);
    job.lock(false);
    counters().steps = 1;
    EXPECT_TRUE(job.start());
    EXPECT_TRUE(job.wait(5000));
    EXPECT_EQ(counters().runs, 1);
}

TEST_F(JobBase, NetworkFailuresAreTheListedCodes) {
    TestJob& job = make();
    for (DWORD code : {10024u, 10053u, 10054u, 10060u, 10101u, 0x200101F7u, 0x200101F8u})
        EXPECT_TRUE(job.is_network_error(code)) << code;
    for (DWORD code : {0u, 5u, 112u, 10055u, 0x200101F4u, 0x20010191u})
        EXPECT_FALSE(job.is_network_error(code)) << code;
}

// A run writes its final state before its worker ends; a start in that window
// must wait for the old worker instead of running a second one on the record.
TEST_F(JobBase, StartInTheFinalStateWindowWaitsForTheOldWorker) {
    TestJob& job = make();
    counters().steps = 1;
    counters().lingerMs = 300;
    ASSERT_TRUE(job.start());
    ASSERT_TRUE(eventually([&] { return job.state() == JS_IDLE; }));
    ASSERT_EQ(counters().active, 1);  // the old worker lingers
    counters().lingerMs = 0;
    counters().steps = 100000;
    ASSERT_TRUE(job.start());
    EXPECT_EQ(counters().runs, 2);
    EXPECT_EQ(counters().maxActive, 1);
    // The old run's completion leaves the new run alone: it is still running
    // and can be stopped, and the dispatcher still delivers events.
    ASSERT_TRUE(eventually([&] { return job.state() == JS_RUNNING; }));
    ASSERT_TRUE(job.stop());
    ASSERT_TRUE(job.wait(5000));
    EXPECT_EQ(job.lastRunState(), JS_CANCELLED);
    Events seen = events_.await(kId, 9);
    EXPECT_EQ(seen.size(), 9u);
    EXPECT_EQ(seen.back(), "idle");
}

TEST_F(JobBase, CompletionQueuedForADestroyedJobReachesNobody) {
    Iocp_Dispatcher::instance()->stop();
    ASSERT_TRUE(Iocp_Dispatcher::instance()->open());  // a port without its thread
    TestJob& job = make();
    counters().steps = 1;
    ASSERT_TRUE(job.start());
    ASSERT_TRUE(job.wait(5000));  // the completion is queued now
    job_.reset();
    // Delivering it now would call into the freed job (the sanitizers see it).
    ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
    Iocp_Dispatcher::instance()->stop();
    EXPECT_EQ(Iocp_Dispatcher::instance()->exitCode(), 0u);
}

TEST_F(JobBase, JobWithoutItsRecordRefusesEverything) {
    job_ = std::make_unique<TestJob>(make_definition("not-a-uuid"));
    TestJob& job = *job_;
    EXPECT_FALSE(job.hasRecord());
    EXPECT_EQ(job.state(), JS_NONE);
    EXPECT_FALSE(job.start());
    EXPECT_FALSE(job.pause(true));
    json_spirit::Object reported;
    EXPECT_FALSE(job.toJSON(reported));
    int date = 1, time = 1;
    EXPECT_FALSE(job.lastRunTime(date, time));
    EXPECT_EQ(date, 0);
    EXPECT_EQ(counters().runs, 0);
}

TEST_F(JobBase, RunTimesReadAsDateAndTimeNumbers) {
    TestJob& job = make(R"({"type":"daily","startTime":"8:00"})");
    EXPECT_FALSE(job.isRunOnce());
    EXPECT_FALSE(job.isManual());
    int date = -1, time = -1;
    EXPECT_FALSE(job.nextRunTime(date, time));  // none yet
    EXPECT_EQ(date, 0);
    EXPECT_EQ(time, 0);

    // Stopping a paused daily job records the cancellation as its last run.
    counters().steps = 1;
    ASSERT_TRUE(job.pause(false));
    ASSERT_TRUE(job.stop());
    EXPECT_EQ(job.lastRunState(), JS_CANCELLED);

    SYSTEMTIME at = {2026, 12, 3, 9, 7, 5, 9, 0};
    FILETIME when;
    ASSERT_TRUE(SystemTimeToFileTime(&at, &when));
    job.record()->nextRunTime =
        (static_cast<uint64_t>(when.dwHighDateTime) << 32) | when.dwLowDateTime;
    ASSERT_TRUE(job.nextRunTime(date, time));
    EXPECT_EQ(date, 20261209);
    EXPECT_EQ(time, 70509);
}
