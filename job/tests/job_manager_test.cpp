// The job manager: building the jobs of the job folders, submitting,
// controlling and removing jobs, and the all-jobs operations, with a job kind
// of the tests' own.
#include "job/job_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <random>
#include <thread>

#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "common/text_conv.h"
#include "job/core/file_helpers.h"
#include "job/core/job_cmd_queue.h"
#include "job/tests/test_job.h"
#include "plandeck/job_definition_factory.h"
#include "scheduler/schedule_manager.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/child_process.h"
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
    EXPECT_FALSE(folder_exists(broken));  // moved aside (see below)
    EXPECT_TRUE(folder_exists(foreign));  // skipped, not deleted
    EXPECT_EQ(state(foreign), -1);
    ASSERT_TRUE(eventually([&] { return counters().runs == runsBefore + 1; }));
    EXPECT_EQ(counters().resumedRuns, 1);
    EXPECT_EQ(state(kSecond), JS_IDLE);
}

// ---- job folders: what open finds, one spelling of an id, whole submissions

namespace {

std::wstring data_folder(const wchar_t* sub) {
    std::wstring folder;
    common_appdata_path(folder, sub);
    return folder;
}

// The names of a folder's entries (none when it is missing).
std::vector<std::string> entries(const std::wstring& folder) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(host_of(folder), ignored))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string upper_case(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// A job folder with a definition file of the given content (none when null)
// and a history file, as a job that ran leaves it.
void make_folder(const std::string& name, const char* def) {
    std::wstring folder = data_folder(tovel::kJobSubFolderPrefix) + from_utf8(name.c_str(), -1);
    ASSERT_EQ(mkdir_p((folder + L"\\hist\\run").c_str()), 0u);
    tovel::testing::write_host_file(host_of(folder + L"\\hist\\run\\info"), "history");
    if (def) tovel::testing::write_host_file(host_of(folder + L"\\def"), def);
}

std::string definition_text(const std::string& id) {
    std::unique_ptr<BackupJobDefinition> definition(make_definition(kFirst));
    json_spirit::Value value;
    definition->toJSON(value);
    value.get_obj()["id"] = id;
    return json_spirit::write(value);
}

}  // namespace

// A folder whose definition cannot be read now keeps everything and is
// skipped; one that holds no definition of its job is moved aside whole; a
// folder of an older spelling of its id loads under the one spelling; a
// folder that is not a job's is left alone. A submission never takes the
// place of a kept folder.
TEST_F(JobManager, OpenKeepsWhatCannotBeReadAndMovesAsideWhatHoldsNoJob) {
    manager_->close();
    const std::string unreadable = "0a1b2c3d-0001-4000-8000-000000000001";
    const std::string denied = "0a1b2c3d-0002-4000-8000-000000000002";
    const std::string missing = "0a1b2c3d-0003-4000-8000-000000000003";
    const std::string other = "0a1b2c3d-0004-4000-8000-000000000004";
    const std::string older = "0A1B2C3D-0005-4000-8000-00000000000A";
    const std::string older_id = "0a1b2c3d-0005-4000-8000-00000000000a";
    make_folder(unreadable, nullptr);
    // The definition fails to read with EIO: the host's view of a process's
    // memory at address 0.
    std::filesystem::create_symlink("/proc/self/mem",
                                    host_of(data_folder(tovel::kJobSubFolderPrefix) +
                                            from_utf8(unreadable.c_str(), -1) + L"\\def"));
    make_folder(denied, nullptr);
    ASSERT_EQ(mkdir_p((folder_of(denied.c_str()) + L"\\def\\x").c_str()), 0u);  // a folder
    make_folder(missing, nullptr);
    make_folder(other, definition_text(kSecond).c_str());
    make_folder(older, definition_text(older).c_str());
    make_folder("notes", "{}");

    ASSERT_TRUE(manager_->open());
    EXPECT_EQ(count(), 1u);
    EXPECT_EQ(state(older_id.c_str()), JS_IDLE);
    EXPECT_EQ(entries(data_folder(tovel::kJobsSubFolder)),
              (std::vector<std::string>{unreadable, denied, older_id, "notes"}));
    for (const std::string& kept : {unreadable, denied, older_id})
        EXPECT_EQ(read_host_file(host_of(folder_of(kept.c_str()) + L"\\hist\\run\\info")),
                  "history")
            << kept;
    std::vector<std::string> aside = entries(data_folder(tovel::kJobsQuarantineSubFolder));
    ASSERT_EQ(aside.size(), 2u);
    EXPECT_EQ(aside[0].rfind(missing + "-", 0), 0u) << aside[0];
    EXPECT_EQ(aside[1].rfind(other + "-", 0), 0u) << aside[1];
    for (const std::string& name : aside)
        EXPECT_EQ(read_host_file(host_of(data_folder(tovel::kJobsQuarantineSubFolder) + L"\\" +
                                         from_utf8(name.c_str(), -1) + L"\\hist\\run\\info")),
                  "history");

    // The id of a kept folder cannot be submitted over it; one moved aside can.
    SetLastError(0);
    EXPECT_FALSE(manager_->submitJob(make_definition(unreadable)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(read_host_file(host_of(folder_of(unreadable.c_str()) + L"\\hist\\run\\info")),
              "history");
    EXPECT_TRUE(manager_->submitJob(make_definition(missing)));
    EXPECT_EQ(count(), 2u);
    EXPECT_TRUE(entries(data_folder(tovel::kJobsStagingSubFolder)).empty());
}

// Ids are spelt one way (lower case): a definition that names its job in
// another case updates the same job in the same folder, under the same
// timer, and the job once removed stays removed.
TEST_F(JobManager, AnIdInAnotherCaseIsTheSameJobAndARemovedJobStaysRemoved) {
    manager_->jobFactory(nullptr);  // the real backup job, with its schedule timer
    const char* daily = R"({"type":"daily","startTime":"3:00"})";
    ASSERT_TRUE(manager_->submitJob(make_definition(kFirst, daily)));
    std::unique_ptr<BackupJobDefinition> again(make_definition(kFirst, daily));
    json_spirit::Value value;
    again->toJSON(value);
    value.get_obj()["id"] = upper_case(kFirst);
    value.get_obj()["name"] = "Renamed";
    ASSERT_TRUE(manager_->submitJob(JobDefinitionFactory::create(value)));
    EXPECT_EQ(count(), 1u);
    EXPECT_EQ(name(kFirst), L"Renamed");
    EXPECT_EQ(entries(data_folder(tovel::kJobsSubFolder)), (std::vector<std::string>{kFirst}));

    ASSERT_TRUE(manager_->removeJob(upper_case(kFirst).c_str()));
    ASSERT_TRUE(eventually([&] { return count() == 0; }));
    EXPECT_TRUE(entries(data_folder(tovel::kJobsSubFolder)).empty());
    ScheduleManagerImpl* schedules = ScheduleManagerImpl::instance();
    for (const std::string& id : {std::string(kFirst), upper_case(kFirst)}) {
        schedules->Lock();
        ScheduleHandler* handler = schedules->FindSchedule(id);
        bool armed = handler && Iocp_Dispatcher::instance()->cancel_timer(handler) == 0;
        schedules->Unlock();
        EXPECT_FALSE(armed) << id;
    }
    manager_->close();
    ASSERT_TRUE(manager_->open());
    EXPECT_EQ(count(), 0u);
}

// A stop while a pause is under way is not lost: once the run has paused,
// the stop cancels it.
TEST_F(JobManager, AStopDuringAPauseWinsOnceThePauseIsThrough) {
    ASSERT_TRUE(submitRunning(kFirst));
    counters().pausingMs = 300;
    ASSERT_TRUE(manager_->pauseJob(kFirst));
    ASSERT_TRUE(eventually([&] { return state(kFirst) == JS_PAUSING; }));
    ASSERT_TRUE(manager_->stopJob(kFirst));
    ASSERT_TRUE(eventually([&] { return state(kFirst) == JS_IDLE; }));
    int last = -1;
    manager_->job(kFirst, [&](const Job& job) { last = job.lastRunState(); });
    EXPECT_EQ(last, JS_CANCELLED);
    EXPECT_EQ(events_.await(kFirst, 8), (Events{"created", "starting", "running", "pausing",
                                                "paused", "canceling", "cancelled", "idle"}));
}

// The stop of a paused job ends its run on the stopping thread only once the
// worker of the run that paused has ended.
TEST_F(JobManager, StoppingAPausedJobWaitsForTheWorkerThatPausedIt) {
    ASSERT_TRUE(submitRunning(kFirst));
    counters().lingerMs = 300;  // the worker goes on after writing "paused"
    ASSERT_TRUE(manager_->pauseJob(kFirst));
    ASSERT_TRUE(eventually([&] { return state(kFirst) == JS_PAUSED; }));
    EXPECT_EQ(counters().active, 1);
    ASSERT_TRUE(manager_->stopJob(kFirst));
    EXPECT_EQ(counters().active, 0);
    EXPECT_EQ(counters().overlappingEnds, 0);
    EXPECT_EQ(state(kFirst), JS_IDLE);
}

// The agent: this test program run again as a child process on the parent's
// machine. It opens the job manager, prints "ready", and then submits new
// jobs that run once, without end, printing "submitting <id>" before each
// and "submitted <id>" after it.
TEST(JobManagerSubmitAgent, DISABLED_Run) {
    const char* root = std::getenv("TOVEL_SUBMIT_ROOT");
    if (!root) GTEST_SKIP() << "runs only as the child of a submission test";
    std::error_code ignored;
    std::filesystem::remove_all(tovel::testing::machine_root(), ignored);
    setenv("TOVEL_ROOT", root, 1);
    JobManagerImpl* manager = JobManagerImpl::instance();
    manager->jobFactory(TestJob::make);
    ASSERT_TRUE(manager->open());
    ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
    std::cout << "\nready" << std::endl;
    for (;;) {
        std::unique_ptr<BackupJobDefinition> made(new BackupJobDefinition);
        std::string id = made->id();
        std::cout << "submitting " << id << std::endl;
        bool submitted = manager->submitJob(make_definition(id, R"({"type":"once"})"));
        std::cout << (submitted ? "submitted " : "refused ") << id << std::endl;
    }
}

// Agents killed at random points of their submissions (a submission takes
// some tens of milliseconds, most of it flushing to disk): after open, every
// job folder is a job that runs, every submission that returned has its job,
// and nothing of a cut submission is left beside the jobs.
TEST_F(JobManager, ASubmissionKilledAnywhereLeavesAJobThatRunsOrNoTrace) {
    manager_->close();
    std::random_device device;
    unsigned seed = device();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::wstring jobs = data_folder(tovel::kJobsSubFolder);
    int none = 0, placed = 0, whole = 0;  // how the killed submission was found
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::string cut;
        std::vector<std::string> submitted;
        {
            tovel::testing::ChildProcess agent(
                "JobManagerSubmitAgent.DISABLED_Run",
                {"TOVEL_SUBMIT_ROOT=" + tovel::testing::machine_root()});
            ASSERT_EQ(agent.next([](const std::string& line) { return line == "ready"; }, 60000),
                      "ready");
            // The first submission shows how long one takes; the second is
            // killed at a random point within that time.
            auto starts = [](const std::string& line) { return line.rfind("submitting ", 0) == 0; };
            auto ends = [](const std::string& line) { return line.rfind("submitted ", 0) == 0; };
            ASSERT_NE(agent.next(starts, 60000), "<timeout>");
            auto begun = std::chrono::steady_clock::now();
            ASSERT_NE(agent.next(ends, 60000), "<timeout>");
            auto took = std::chrono::duration_cast<std::chrono::microseconds>(
                            std::chrono::steady_clock::now() - begun)
                            .count();
            ASSERT_NE(agent.next(starts, 60000), "<timeout>");
            std::this_thread::sleep_for(std::chrono::microseconds(random() % (took + 1)));
            agent.kill_and_reap();
            agent.next(
                [&](const std::string& line) {
                    if (line.rfind("submitted ", 0) == 0) submitted.push_back(line.substr(10));
                    if (line.rfind("submitting ", 0) == 0) cut = line.substr(11);
                    return false;
                },
                5000);
        }
        ASSERT_TRUE(manager_->open());
        std::vector<std::string> folders = entries(jobs);
        for (const std::string& id : submitted)
            EXPECT_NE(std::find(folders.begin(), folders.end(), id), folders.end()) << id;
        if (std::find(submitted.begin(), submitted.end(), cut) != submitted.end())
            ++whole;
        else if (std::find(folders.begin(), folders.end(), cut) != folders.end())
            ++placed;
        else
            ++none;
        for (const std::string& id : folders) {
            EXPECT_TRUE(eventually([&] { return state(id.c_str()) == JS_RUNNING; }))
                << id << " is in state " << state(id.c_str());
        }
        EXPECT_TRUE(entries(data_folder(tovel::kJobsStagingSubFolder)).empty());
        manager_->close();
        ASSERT_EQ(rm_rf(jobs.c_str(), TRUE), 0u);
    }
    std::cout << "killed submissions: " << none << " left nothing, " << placed
              << " left their job placed, " << whole << " had returned\n";
}
