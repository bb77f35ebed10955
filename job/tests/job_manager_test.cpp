// The job manager: building the jobs of the job folders, submitting,
// controlling and removing jobs, and the all-jobs operations, with a job kind
// of the tests' own.
#include "job/job_manager.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "common/text_conv.h"
#include "job/file_helpers.h"
#include "job/job_cmd_queue.h"
#include "job/tests/test_job.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/machine_fixture.h"

using job_tests::counters;
using job_tests::EventLog;
using job_tests::eventually;
using job_tests::make_definition;
using job_tests::TestJob;
using tovel::testing::host_of;
using tovel::testing::read_host_file;
using Events = std::vector<std::string>;

namespace {

const char* kFirst = "0a1b2c3d-1111-4222-8333-444455556666";
const char* kSecond = "0a1b2c3d-7777-4888-9999-aaaabbbbcccc";

std::wstring folder_of(const char* id) {
    std::wstring folder;
    common_appdata_path(folder, tovel::kJobSubFolderPrefix);
    return folder + from_utf8(id, -1);
}

bool folder_exists(const char* id) {
    DWORD attributes = GetFileAttributesW(folder_of(id).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

class JobManager : public ::testing::Test {
protected:
    void SetUp() override {
        manager_ = JobManagerImpl::instance();
        manager_->jobFactory(TestJob::make);
        ASSERT_TRUE(manager_->open());
        ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
    }
    void TearDown() override {
        manager_->close();
        Iocp_Dispatcher::instance()->stop();
    }

    int state(const char* id) {
        int found = -1;
        manager_->job(id, [&](const Job& job) { found = job.state(); });
        return found;
    }
    std::wstring name(const char* id) {
        std::wstring found;
        manager_->job(id, [&](const Job& job) { found = job.definition()->name(); });
        return found;
    }
    size_t count() {
        size_t jobs = 0;
        manager_->jobs([&](const Job&) { ++jobs; });
        return jobs;
    }
    bool waitFor(const char* id) {
        std::shared_ptr<JobThread> worker;
        manager_->job(id, [&](const Job& job) { worker = job.worker(); });
        return !worker || worker->wait(5000);
    }
    bool submitRunning(const char* id) {
        return manager_->submitJob(make_definition(id)) && manager_->startJob(id) &&
               eventually([&] { return state(id) == JS_RUNNING; });
    }

    JobManagerImpl* manager_ = nullptr;
    EventLog events_;
};

BackupJobDefinition* renamed(const char* id, const char* name, const char* schedule) {
    BackupJobDefinition* definition = make_definition(id, schedule);
    json_spirit::Value value;
    definition->toJSON(value);
    value.get_obj()["name"] = name;
    definition->fromJSON(value);
    return definition;
}

}  // namespace

TEST_F(JobManager, SubmitPostsByScheduleAndFindsIdsInAnyCase) {
    ASSERT_TRUE(manager_->submitJob(make_definition(kFirst)));  // manual
    ASSERT_TRUE(
        manager_->submitJob(make_definition(kSecond, R"({"type":"daily","startTime":"3:00"})")));
    EXPECT_EQ(events_.await(kFirst, 1), (Events{"created"}));
    EXPECT_EQ(events_.await(kSecond, 2), (Events{"created", "idle"}));
    EXPECT_EQ(counters().runs, 0);
    EXPECT_EQ(counters().inits, 2);

    std::string upper = kFirst;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(state(upper.c_str()), JS_IDLE);
    EXPECT_FALSE(manager_->startJob("0a1b2c3d-0000-4000-8000-000000000000"));

    // The definition is on disk, readable by an independent reader.
    std::string def = read_host_file(host_of(folder_of(kSecond) + L"\\def"));
    EXPECT_EQ(
        tovel::testing::python_with_input(
            "import json,sys; d=json.load(sys.stdin); print(d['id'], d['schedule']['type'])", def),
        std::string(kSecond) + " daily\n");

    // A job that runs once starts as soon as it is submitted.
    const char* once = "0a1b2c3d-dddd-4eee-8fff-000011112222";
    counters().steps = 1;
    ASSERT_TRUE(manager_->submitJob(make_definition(once, R"({"type":"once"})")));
    ASSERT_TRUE(eventually([&] { return counters().runs == 1; }));
    EXPECT_TRUE(waitFor(once));
}

TEST_F(JobManager, SubmitRefusesIdsThatAreNotUuidText) {
    for (const char* id :
         {"job-1", "0a1b2c3d-1111-4222-8333-44445555666", "0a1b2c3d-1111-4222-8333-44445555666g"}) {
        SetLastError(0);
        EXPECT_FALSE(manager_->submitJob(make_definition(id))) << id;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << id;
    }
    EXPECT_EQ(count(), 0u);
    EXPECT_FALSE(manager_->submitJob(nullptr));
}

TEST_F(JobManager, SubmitReplacesAnIdleJobsDefinitionAndKeepsItWhenTheSaveFails) {
    ASSERT_TRUE(manager_->submitJob(make_definition(kFirst)));
    ASSERT_TRUE(manager_->submitJob(renamed(kFirst, "Second name", R"({"type":"manual"})")));
    EXPECT_EQ(name(kFirst), L"Second name");
    EXPECT_EQ(count(), 1u);
    EXPECT_EQ(counters().inits, 2);
    EXPECT_EQ(events_.await(kFirst, 2), (Events{"created", "updated"}));
    EXPECT_NE(read_host_file(host_of(folder_of(kFirst) + L"\\def")).find("Second name"),
              std::string::npos);

    // "def" turned into a folder: the new definition cannot be saved.
    std::wstring def = folder_of(kFirst) + L"\\def";
    ASSERT_TRUE(DeleteFileW(def.c_str()));
    ASSERT_TRUE(CreateDirectoryW(def.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((def + L"\\inside").c_str(), nullptr));
    EXPECT_FALSE(manager_->submitJob(renamed(kFirst, "Third name", R"({"type":"manual"})")));
    EXPECT_EQ(name(kFirst), L"Second name");
}

TEST_F(JobManager, SubmitForABusyJobKeepsItsRunAndDefinition) {
    ASSERT_TRUE(submitRunning(kFirst));
    EXPECT_TRUE(manager_->submitJob(renamed(kFirst, "New name", R"({"type":"once"})")));
    EXPECT_EQ(name(kFirst), L"Test job");
    EXPECT_EQ(counters().runs, 1);
    EXPECT_EQ(counters().inits, 1);
    EXPECT_EQ(state(kFirst), JS_RUNNING);
    ASSERT_TRUE(manager_->stopJob(kFirst));
    ASSERT_TRUE(waitFor(kFirst));
    EXPECT_EQ(counters().maxActive, 1);
    Events seen = events_.await(kFirst, 4);
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(seen[3], "updated");
}

TEST_F(JobManager, RemovalOfARunningJobEndsWhenItsWorkerHasEnded) {
    ASSERT_TRUE(submitRunning(kFirst));
    counters().lingerMs = 1000;  // the stopped worker takes its time to end
    ASSERT_TRUE(manager_->removeJob(kFirst));
    EXPECT_TRUE(manager_->removeJob(kFirst));  // under way already
    // Until the job is gone it can neither take a new definition nor start.
    EXPECT_FALSE(manager_->submitJob(make_definition(kFirst)));
    ASSERT_TRUE(eventually([&] { return state(kFirst) == JS_IDLE; }));  // its worker lingers
    EXPECT_FALSE(manager_->startJob(kFirst));
    EXPECT_EQ(count(), 1u);
    ASSERT_TRUE(eventually([&] { return count() == 0; }));
    EXPECT_FALSE(folder_exists(kFirst));
    EXPECT_EQ(events_.await(kFirst, 7), (Events{"created", "starting", "running", "canceling",
                                                "cancelled", "idle", "deleted"}));
    EXPECT_FALSE(manager_->removeJob(kFirst));
}

TEST_F(JobManager, RemoveAllJobsRemovesAtOnceAndIdsCanBeUsedAgain) {
    ASSERT_TRUE(submitRunning(kFirst));
    ASSERT_TRUE(manager_->removeJob(kFirst));  // its removal thread races the one below
    ASSERT_TRUE(manager_->submitJob(make_definition(kSecond)));
    manager_->removeAllJobs();
    EXPECT_EQ(count(), 0u);
    EXPECT_FALSE(folder_exists(kFirst));
    EXPECT_FALSE(folder_exists(kSecond));
    // A job submitted again under the old id is not taken by the old removal.
    ASSERT_TRUE(manager_->submitJob(make_definition(kFirst)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(count(), 1u);
    EXPECT_TRUE(folder_exists(kFirst));
}

TEST_F(JobManager, AllJobsLockPauseAndStop) {
    ASSERT_TRUE(manager_->submitJob(make_definition(kFirst)));
    ASSERT_TRUE(manager_->submitJob(make_definition(kSecond)));
    manager_->lockAllJobs(true);
    EXPECT_FALSE(manager_->startJob(kFirst));
    manager_->startAllJobs(false);
    EXPECT_EQ(counters().runs, 0);
    manager_->lockAllJobs(false);

    manager_->startAllJobs(false);
    ASSERT_TRUE(
        eventually([&] { return state(kFirst) == JS_RUNNING && state(kSecond) == JS_RUNNING; }));
    manager_->pauseAllJobs(true);  // returns once both workers ended
    EXPECT_EQ(counters().active, 0);
    for (const char* id : {kFirst, kSecond}) {
        EXPECT_EQ(state(id), JS_PAUSED);
        manager_->job(id, [](const Job& job) {
            json_spirit::Object reported;
            job.toJSON(reported);
            EXPECT_EQ(reported["paused-manually"].get_int(), 0);  // a system pause
        });
    }
    manager_->resumeAllJobs(false);
    ASSERT_TRUE(eventually([&] { return counters().resumedRuns == 2; }));
    manager_->stopAllJobs(true);
    EXPECT_EQ(state(kFirst), JS_IDLE);
    EXPECT_EQ(state(kSecond), JS_IDLE);
    EXPECT_TRUE(manager_->lockJob(kFirst));
    EXPECT_FALSE(manager_->startJob(kFirst));
}

// Many threads drive one job through the manager at once: there is never a
// second worker on its record, and the job ends in a state of rest.
TEST_F(JobManager, ManyThreadsDrivingOneJobNeverMakeASecondWorker) {
    ASSERT_TRUE(manager_->submitJob(make_definition(kFirst)));
    counters().steps = 3;
    counters().lingerMs = 2;
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([this, t] {
            std::mt19937 random(t);
            for (int i = 0; i < 60; ++i) {
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
                switch (random() % 5) {
                    case 0:
                        manager_->startJob(kFirst);
                        break;
                    case 1:
                        manager_->stopJob(kFirst);
                        break;
                    case 2:
                        manager_->pauseJob(kFirst);
                        break;
                    case 3:
                        manager_->resumeJob(kFirst);
                        break;
                    default:
                        JobCmdQueueImpl::instance()->add(kFirst, "start");
                        break;
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    // Commands still queued may start it again: stop until it rests.
    EXPECT_TRUE(eventually([&] {
        manager_->stopAllJobs(true);
        return state(kFirst) == JS_IDLE;
    }));
    EXPECT_GE(counters().runs, 1);
    EXPECT_EQ(counters().maxActive, 1);
}

TEST_F(JobManager, CommandQueueReachesTheJobs) {
    ASSERT_TRUE(manager_->submitJob(make_definition(kFirst)));
    JobCmdQueueImpl::instance()->add(kFirst, "do_schedule");
    ASSERT_TRUE(eventually([] { return counters().schedules == 1; }));
    JobCmdQueueImpl::instance()->add(kFirst, "start");
    ASSERT_TRUE(eventually([&] { return state(kFirst) == JS_RUNNING; }));
    JobCmdQueueImpl::instance()->add(kFirst, "stop");
    ASSERT_TRUE(eventually([&] { return state(kFirst) == JS_IDLE; }));
}

// What open() finds: an interrupted run to continue, a folder without a
// readable definition, a record that cannot be used, and a clean job.
TEST_F(JobManager, OpenRestartsInterruptedRunsAndDropsWhatCannotBeUsed) {
    ASSERT_TRUE(submitRunning(kFirst));
    ASSERT_TRUE(manager_->submitJob(make_definition(kSecond)));
    manager_->close();  // the service's end: the running job is paused, not manually
    EXPECT_EQ(count(), 0u);
    int runsBefore = counters().runs;

    const char* broken = "0a1b2c3d-eeee-4fff-8000-111122223333";
    std::wstring brokenFolder = folder_of(broken);
    ASSERT_EQ(mkdir_p(brokenFolder.c_str()), 0u);
    tovel::testing::write_host_file(host_of(brokenFolder + L"\\def"), "{not json");

    const char* foreign = "0a1b2c3d-4444-4555-8666-777788889999";
    BackupJobDefinition* definition = make_definition(foreign);
    ASSERT_EQ(mkdir_p(folder_of(foreign).c_str()), 0u);
    ASSERT_TRUE(definition->save((folder_of(foreign) + L"\\def").c_str()));
    delete definition;
    std::wstring act;
    ASSERT_TRUE(job_activity_path(act, foreign));
    std::string record(4096, '\0');
    record[2] = 2;  // version 2.0 with a base size of 200: not ours
    record[4] = static_cast<char>(200);
    tovel::testing::write_host_file(host_of(act + L"\\info"), record);

    ASSERT_TRUE(manager_->open());
    EXPECT_EQ(count(), 2u);
    EXPECT_FALSE(folder_exists(broken));
    EXPECT_TRUE(folder_exists(foreign));  // skipped, not deleted
    EXPECT_EQ(state(foreign), -1);
    ASSERT_TRUE(eventually([&] { return counters().runs == runsBefore + 1; }));
    EXPECT_EQ(counters().resumedRuns, 1);
    EXPECT_EQ(state(kSecond), JS_IDLE);
}
