#include "job/core/job_cmd_queue.h"

#include <ace/Log_Msg.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "job/core/iocp_dispatcher.h"
#include "tools/testkit/child_process.h"

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

// ---- the process's queue at the process's end

namespace {

// A timer that queues a command each time it fires and arms itself again a
// millisecond later, so that the dispatcher feeds the queue without pause.
class Feeder : public Io_Completion_Port_Ex::Timeout_Handler {
public:
    void handle_timeout(uint64_t) override {
        JobCmdQueueImpl::instance()->add("0a1b2c3d-1111-4222-8333-444455556666", "start");
        Iocp_Dispatcher::instance()->schedule_after_ms(this, 1);
    }
};

// Stands for the other objects of the process that end between two of the
// engine's: its destruction takes 100 ms.
struct SlowToEnd {
    ~SlowToEnd() { std::this_thread::sleep_for(100ms); }
};

}  // namespace

// The child: its dispatcher feeds the process's queue until the process
// exits through its static destructors.
TEST(JobCmdQueueAtExit, DISABLED_Child) {
    if (!std::getenv("TOVEL_QUEUE_AT_EXIT")) GTEST_SKIP() << "runs only as the child of a test";
    ACE_LOG_MSG->priority_mask(0, ACE_Log_Msg::PROCESS);  // a line per command otherwise
    static Feeder* const feeder = new Feeder;             // outlives the dispatcher
    Iocp_Dispatcher* dispatcher = Iocp_Dispatcher::instance();
    static SlowToEnd between;  // made after the dispatcher, before the first command
    ASSERT_TRUE(dispatcher->open());
    ASSERT_TRUE(dispatcher->activate());
    JobCmdQueueImpl::instance();
    dispatcher->schedule_after_ms(feeder, 0);
    std::this_thread::sleep_for(100ms);
    std::exit(0);
}

// The dispatcher that feeds the queue ends before the queue is destroyed: no
// timer reaches a queue that is gone.
TEST(JobCmdQueueAtExit, TheDispatcherEndsBeforeTheQueueItFeeds) {
    for (int run = 0; run < 2; ++run) {
        tovel::testing::ChildProcess child("JobCmdQueueAtExit.DISABLED_Child",
                                           {"TOVEL_QUEUE_AT_EXIT=1"});
        EXPECT_EQ(child.next([](const std::string&) { return false; }, 60000), "<closed>");
        int status = child.kill_and_reap();
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    }
}
