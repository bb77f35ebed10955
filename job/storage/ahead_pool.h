// A few threads that do a run's per-item work ahead of the job's worker: the
// worker posts the work of the items it will ask for next, goes on, and waits
// for an item's work only when it comes to that item. Each task is told the
// index of the thread that runs it (0 to threads() - 1), so that it can use
// state of that thread's own (a transformation) without a lock.
//
// Tasks begin in the order posted and end in any order. The pool belongs to
// one owner thread, which alone posts and cancels; wait() may be called on any
// thread, and what a task wrote before it returned is seen there once wait()
// for it has returned.
// The destructor drops the tasks not begun and joins the threads after the
// running ones end.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

class AheadPool {
public:
    using Task = std::function<void(unsigned thread)>;

    // threads: at least 1.
    explicit AheadPool(unsigned threads);
    ~AheadPool();
    AheadPool(const AheadPool&) = delete;
    AheadPool& operator=(const AheadPool&) = delete;

    // The number of threads a pool for per-item work should have on this
    // machine: one per core beside the job's worker, at most max.
    static unsigned suggestedThreads(unsigned max);
    // Caps suggestedThreads for every pool of the process made from now on
    // (0: no cap); for the benchmark, which measures the pools' speed-up.
    static void limitThreads(unsigned cap);

    unsigned threads() const { return static_cast<unsigned>(threads_.size()); }
    // Queues the task; its ticket is the number of tasks posted before it.
    uint64_t post(Task task);
    // Waits until the task of ticket has ended: true, or false when it was
    // dropped by cancel() before it began.
    bool wait(uint64_t ticket);
    // As wait, for at most milliseconds: false when the task has not ended by
    // then; else true, with ran as wait would have returned it.
    bool waitFor(uint64_t ticket, unsigned milliseconds, bool& ran);
    // Drops the tasks not begun and waits for the running ones to end.
    void cancel();

private:
    void serve(unsigned index);
    // Under the lock: whether the task of ticket is neither queued nor running.
    bool over(uint64_t ticket) const;

    std::mutex lock_;
    std::condition_variable work_;   // a task was posted, or the pool ends
    std::condition_variable ended_;  // a task ended
    std::deque<std::pair<uint64_t, Task>> queue_;
    std::set<uint64_t> running_;
    std::set<uint64_t> dropped_;
    uint64_t posted_ = 0;
    bool closing_ = false;
    std::vector<std::thread> threads_;
};
