// Waiting for a job of the job manager to end its run, for tests that drive
// jobs through the agent's handlers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "job/job_manager.h"

namespace tovel::testing {

struct RunEnd {
    bool ended = false;
    int state = 0;         // the job's state when the wait ended
    int lastRunState = 0;  // the final state of its last run
};

// Polls the job every 20 ms until its last run has a final state and no run
// is under way, at most `limit`; a run that does not end fails the test.
inline RunEnd wait_for_run_end(JobManagerImpl& manager, const std::string& id,
                               std::chrono::seconds limit = std::chrono::seconds(120)) {
    RunEnd end;
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!end.ended && std::chrono::steady_clock::now() < deadline) {
        manager.job(id.c_str(), [&](const Job& job) {
            end.ended = job.lastRunState() != 0 && !job.running();
            end.state = job.state();
            end.lastRunState = job.lastRunState();
        });
        if (!end.ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(end.ended) << id;
    return end;
}

}  // namespace tovel::testing
