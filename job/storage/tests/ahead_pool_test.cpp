#include "job/storage/ahead_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <vector>

// Tasks run on the pool's threads, each with its own index, and what a task
// wrote is the owner's once wait() returned; cancel() drops what had not
// begun, and a dropped ticket says so.
TEST(AheadPool, TasksRunAheadAndTheOwnerWaitsForEachOrDropsThem) {
    AheadPool pool(3);
    ASSERT_EQ(pool.threads(), 3u);
    std::vector<int> results(200, 0);
    std::mutex lock;
    std::set<unsigned> indexes;
    std::vector<uint64_t> tickets;
    for (int i = 0; i < 200; ++i)
        tickets.push_back(pool.post([&, i](unsigned thread) {
            results[i] = i * 2 + 1;  // read by the owner without a lock
            std::lock_guard<std::mutex> hold(lock);
            indexes.insert(thread);
        }));
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(pool.wait(tickets[i]));
        EXPECT_EQ(results[i], i * 2 + 1);
    }
    for (unsigned index : indexes) EXPECT_LT(index, 3u);

    std::atomic<bool> release{false};
    std::atomic<int> begun{0}, ran{0};
    std::vector<uint64_t> held;
    for (int i = 0; i < 3; ++i)
        held.push_back(pool.post([&](unsigned) {
            ++begun;
            while (!release) std::this_thread::yield();
            ++ran;
        }));
    uint64_t late = pool.post([&](unsigned) { ++ran; });
    while (begun < 3) std::this_thread::yield();
    // The three threads are held, so the last task is still queued when
    // cancel() drops it; the running ones are released only then.
    std::thread canceller([&] { pool.cancel(); });
    EXPECT_FALSE(pool.wait(late));
    release = true;
    canceller.join();
    for (uint64_t ticket : held) EXPECT_TRUE(pool.wait(ticket));
    EXPECT_EQ(ran, 3);
    EXPECT_FALSE(pool.wait(late + 100));
}
