// A backup job for the service host's tests: a tree of files on the test's
// machine, the remote-service simulator as the agent's server with a session
// of its account, and the job's folder left as a run interrupted while
// running, which the agent that opens the job folders next starts again.
// Afterwards the job's record and what the simulator stored are checked.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "job/core/job_activity.h"
#include "tools/testkit/remote_service.h"

namespace tovel::starter::testing {

extern const char* const kJobId;

struct TreeItem {
    std::wstring path;
    bool folder;
    std::string bytes;
};

// The simulator's arguments: the account and its session.
std::vector<std::string> backup_service_arguments();

// Makes the tree (C:\data, a sub-folder, files of 2 to 6 blocks of random
// bytes), points the machine's settings at the service, stores the session
// and saves the job, whose record then says "running". Runs the job engine
// in this process for the while; a failure is a test failure.
std::vector<TreeItem> prepare_interrupted_backup(const tovel::testing::RemoteService& service);

// The job's activity record as its file holds it (zeros while none).
struct RecordView {
    std::string bytes = std::string(JobActivity::kSize, '\0');
    const JobActivity* operator->() const {
        return reinterpret_cast<const JobActivity*>(bytes.data());
    }
};
RecordView job_record();

// The block uploads that the simulator received so far.
size_t block_uploads(const tovel::testing::RemoteService& service);

// Checks the simulator after the run completed: one completed instance that
// holds each item of the tree once and complete, every block uploaded once,
// and each file's stored form giving back its bytes exactly (openssl and
// python3's zlib). Failures are test failures.
void check_stored_once(const tovel::testing::RemoteService& service,
                       const std::vector<TreeItem>& tree);

// Polls condition every few milliseconds for up to seconds.
bool eventually(const std::function<bool()>& condition, int seconds = 60);

}  // namespace tovel::starter::testing
