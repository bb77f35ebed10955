#include "job/job_cmd_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Records the executed commands; the first one can be held until released.
class Executed {
public:
    void run(const std::string& command, const std::string& id) {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return !hold_; });
        done_.push_back(command + " " + id);
        changed_.notify_all();
    }
    void hold(bool on) {
        std::lock_guard<std::mutex> guard(lock_);
        hold_ = on;
        changed_.notify_all();
    }
    std::vector<std::string> wait_for(size_t count) {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait_for(guard, 5s, [&] { return done_.size() >= count; });
        return done_;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> done_;
    bool hold_ = false;
};

}  // namespace

TEST(JobCmdQueue, NewerCommandReplacesPendingOneAndIdsGoInOrder) {
    Executed executed;
    executed.hold(true);
    JobCmdQueueImpl queue(
        [&](const std::string& c, const std::string& id) { executed.run(c, id); });
    queue.add("m", "pause");  // taken at once, held in the executor
    std::this_thread::sleep_for(50ms);
    queue.add("b", "start");
    queue.add("b", "stop");  // replaces "start", not executed yet
    queue.add("a", "resume");
    queue.add("c", "frobnicate");  // unknown: taken and ignored
    queue.add("d", "do_schedule");
    executed.hold(false);
    auto done = executed.wait_for(4);
    EXPECT_EQ(done, (std::vector<std::string>{"pause m", "resume a", "stop b", "do_schedule d"}));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(executed.wait_for(4).size(), 4u);
}

TEST(JobCmdQueue, DestroyingAWaitingQueueReturnsPromptly) {
    auto start = std::chrono::steady_clock::now();
    {
        JobCmdQueueImpl queue([](const std::string&, const std::string&) {});
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(JobCmdQueue, ManyThreadsAddingCollapsePerJob) {
    std::mutex lock;
    std::vector<std::string> ids;
    {
        JobCmdQueueImpl queue([&](const std::string&, const std::string& id) {
            std::lock_guard<std::mutex> guard(lock);
            ids.push_back(id);
        });
        std::vector<std::thread> adders;
        for (int t = 0; t < 8; ++t)
            adders.emplace_back([&queue, t] {
                for (int i = 0; i < 200; ++i) queue.add("job" + std::to_string(t), "start");
            });
        for (auto& adder : adders) adder.join();
        std::this_thread::sleep_for(200ms);
    }
    // Each command ran at most once per time it was added, at least once per job.
    EXPECT_GE(ids.size(), 8u);
    EXPECT_LE(ids.size(), 1600u);
}
