// Job cards without a window: the texts a card builds from its job's
// definition and live activity record, with the shipped English texts.
#include "tray/job_info_pane.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>

#include "job/core/job_state.h"
#include "tray/tests/pane_kit.h"

using pane_tests::Job;
using pane_tests::job_id;
using pane_tests::stamp;

namespace {

const std::wstring kHead = L"Owner: alice\nState: ";

class TrayCards : public pane_tests::PaneTest {
protected:
    std::unique_ptr<JobInfoPane> card_for(const Job& job, int state = 0) {
        JobInfoCreator creator;
        creator.set(job.record(), state);
        return std::unique_ptr<JobInfoPane>(creator.create());
    }
};

}  // namespace

TEST_F(TrayCards, EachStateHasItsText) {
    Job job(job_id(1), "Photos", JS_IDLE);
    const uint64_t date = stamp(2026, 1, 5, 9, 3, 7);
    const std::wstring shown = L"2026-1-5 09:03:07";
    job->nextRunTime = date;
    job->lastRunTime = date;
    job->runStartTime = date;
    // 100 of 200 bytes in 10 s: 10 s left; 2047 bytes sent a second.
    job->totalBytes = 200;
    job->bytesDone = 100;
    job->elapsedTime = 100000000;
    job->bytesTransferred = 20470;
    const std::wstring run = L"Started: " + shown + L"\nTime left: 10s\n";
    struct Case {
        int state;
        std::wstring body;
    };
    const Case cases[] = {
        {JS_NONE, kHead + L"No state yet\n"},
        {JS_IDLE, kHead + L"Idle\nNext run: " + shown + L"\n"},
        {JS_STARTING, kHead + L"Running\n" + run + L"Preparing the run..."},
        {JS_RUNNING, kHead + L"Running\n" + run + L"Done: 50%\nSpeed: 1KB"},
        {JS_COMPLETING, kHead + L"Running\n" + run + L"Finishing the run..."},
        {JS_PAUSED, kHead + L"Paused\n"},
        {JS_COMPLETED, kHead + L"Completed\nLast run: " + shown + L"\n"},
        {JS_CANCELLED, kHead + L"Cancelled\n"},
        {JS_ERROR, kHead + L"Error\nThe last run ended with an error."},
        {JS_UPDATED, kHead + L"Updated\n"},
    };
    auto card = card_for(job);
    EXPECT_EQ(card->jobId(), job.id());
    for (const Case& c : cases) {
        job->state = c.state;
        EXPECT_TRUE(card->setJobInfoPane(job.record(), c.state)) << c.state;
        EXPECT_EQ(card->title(), L"Backup: Photos");
        EXPECT_EQ(card->body(), c.body) << "state " << c.state;
    }
    // Created: the definition's own creation date, without a line break.
    job->state = JS_CREATED;
    ASSERT_TRUE(card->setJobInfoPane(job.record(), JS_CREATED));
    EXPECT_EQ(card->body().rfind(kHead + L"Created\nCreated: 20", 0), 0u)
        << testing::PrintToString(card->body());
    EXPECT_NE(card->body().back(), L'\n');
    // Deleted closes the card (it has no window here) and keeps its texts;
    // a state past the known ones is refused.
    std::wstring before = card->body();
    job->state = JS_DELETED;
    EXPECT_TRUE(card->setJobInfoPane(job.record(), JS_DELETED));
    job->state = 14;
    EXPECT_FALSE(card->setJobInfoPane(job.record(), 14));
    EXPECT_EQ(card->body(), before);
    EXPECT_FALSE(card->setJobInfoPane(nullptr, 0));
}

TEST_F(TrayCards, TimeLeftIsToldUpToTwelveHours) {
    Job job(job_id(2), "Mail", JS_RUNNING);
    job->runStartTime = stamp(2026, 1, 5, 9, 3, 7);
    struct Case {
        uint64_t total;
        uint64_t done;
        uint64_t seconds;
        std::wstring left;
    };
    // Left = (total - done) / done * elapsed seconds.
    const Case cases[] = {
        {100, 100, 5, L"unknown"},
        {46801, 1, 1, L"unknown"},  // 13 h
        {46800, 1, 1, L"12h 59min 59s"},
        {3606, 1, 1, L"1h 5s"},
        {61, 1, 1, L"1min "},
        // A tiny done count: an estimate far beyond an int.
        {UINT64_MAX, 1, 3600, L"unknown"},
    };
    auto card = card_for(job);
    for (const Case& c : cases) {
        job->totalBytes = c.total;
        job->bytesDone = c.done;
        job->elapsedTime = c.seconds * 10000000;
        ASSERT_TRUE(card->setJobInfoPane(job.record(), JS_RUNNING));
        const std::wstring& body = card->body();
        size_t at = body.find(L"Time left: ");
        ASSERT_NE(at, std::wstring::npos);
        at += 11;
        EXPECT_EQ(body.substr(at, body.find(L'\n', at) - at), c.left) << c.total;
    }
    EXPECT_EQ(job->remainTime(), INT_MAX);
}

TEST_F(TrayCards, APauseOrStopRequestKeepsTheCardAndAFirstSeenOneGetsTheStateName) {
    Job running(job_id(3), "Running", JS_RUNNING);
    auto card = card_for(running);
    ASSERT_NE(card->body().find(L"State: Running\n"), std::wstring::npos);
    const std::wstring kept = card->body();
    for (int request : {JS_PAUSING, JS_CANCELING}) {
        running->requestedTransition = request;
        EXPECT_FALSE(card->setJobInfoPane(running.record(), JS_RUNNING));
        EXPECT_EQ(card->body(), kept);
    }

    // First seen while pausing: a card all the same, with the state's name.
    Job pausing(job_id(4), "Pausing", JS_RUNNING);
    pausing->requestedTransition = JS_PAUSING;
    auto first = card_for(pausing, JS_RUNNING);
    EXPECT_EQ(first->jobId(), pausing.id());
    ASSERT_TRUE(first->record());
    EXPECT_EQ(first->title(), L"Backup: Pausing");
    EXPECT_EQ(first->body(), kHead + L"Pausing\n");
    Job stopping(job_id(5), "Stopping", JS_RUNNING);
    stopping->requestedTransition = JS_CANCELING;
    EXPECT_EQ(card_for(stopping)->body(), kHead + L"Cancelling\n");

    // Once it runs again the job list's call updates it.
    pausing->requestedTransition = 0;
    pausing->totalBytes = 10;
    pausing->bytesDone = 5;
    first->onJobState(pausing.id(), JS_RUNNING);
    EXPECT_NE(first->body().find(L"State: Running\nStarted: "), std::wstring::npos)
        << testing::PrintToString(first->body());
    EXPECT_NE(first->body().find(L"Done: 50%"), std::wstring::npos);
}

TEST_F(TrayCards, AStoppedRunsCardTellsTheStopOnceTheRequestIsClearedAfterTheState) {
    // The service stores the final state, then clears the stop request; the
    // stop's events can be taken between the two stores.
    Job running(job_id(7), "Stopped", JS_RUNNING);
    auto card = card_for(running);
    JobManager* list = JobManager::instance();
    list->attachJobObserver(card.get(), running.id());
    running->requestedTransition = JS_CANCELING;
    list->NotifyJobChanges(running.id(), JS_CANCELING);
    running->state = JS_IDLE;
    list->NotifyJobChanges(running.id(), JS_CANCELLED);
    list->NotifyJobChanges(running.id(), JS_IDLE);
    EXPECT_NE(card->body().find(L"State: Running\n"), std::wstring::npos);
    running->requestedTransition = 0;
    list->refreshActivities();
    EXPECT_EQ(card->body().rfind(kHead + L"Idle\n", 0), 0u) << testing::PrintToString(card->body());
    list->detachJobObserver(running.id());
}

TEST_F(TrayCards, ACardMadeBeforeItsRecordExistsKnowsItsJobAndBuildsItsTextsLater) {
    const std::string id = job_id(6);
    tray_tests::make_job(id, "Late");
    ASSERT_TRUE(JobManager::instance()->addJob(id));
    JobInfoCreator creator;
    creator.set(JobManager::instance()->find(id), JS_IDLE);
    std::unique_ptr<JobInfoPane> card(creator.create());
    EXPECT_EQ(card->jobId(), id);
    EXPECT_TRUE(card->title().empty());
    EXPECT_FALSE(card->retryTexts());
    JobActivityHandle record;
    ASSERT_TRUE(record.open(id.c_str(), true));
    record.reset(JS_IDLE, true);
    EXPECT_TRUE(card->retryTexts());
    EXPECT_EQ(card->title(), L"Backup: Late");
    EXPECT_EQ(card->body().rfind(kHead + L"Idle\n", 0), 0u);
}
