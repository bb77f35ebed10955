// The early flushes of a restore's durable group (RestoreGroup): the volumes
// of a group still filling are forced to the disk on a thread of their own
// while the job's thread goes on. One thread serves every flush asked of the
// flusher until stop: it is started at the first flush asked for, and stop
// (or the destructor) joins it; a later flush starts it again.
//
// The flusher owns neither the volumes' handles nor the outcome of their
// flushes: a failure is not reported (the group's own flush, which the run
// waits for, forces the same volumes again and reports its failures). The
// handles given to flush must stay open until wait or stop has returned.
//
// Belongs to one group, on the job's worker thread; the flushes themselves
// run on the flusher's thread.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/win32.h"

class VolumeFlusher {
public:
    VolumeFlusher() = default;
    VolumeFlusher(const VolumeFlusher&) = delete;
    VolumeFlusher& operator=(const VolumeFlusher&) = delete;
    ~VolumeFlusher() { stop(); }

    // Forces each of volumes (FlushFileBuffers) on the flusher's thread,
    // unless a flush is under way: then nothing is asked (one flush at a
    // time). Returns at once. When no thread can be started, nothing is
    // flushed either.
    void flush(std::vector<HANDLE> volumes);
    // Returns once no flush is under way.
    void wait();
    // Waits for the flush under way, then ends the thread and joins it.
    void stop();

private:
    // The thread: each flush asked for, until stopping_.
    void run();

    std::mutex mutex_;
    std::condition_variable changed_;  // a flush asked for or ended, or stopping_
    std::vector<HANDLE> asked_;        // of the flush not begun yet
    bool busy_ = false;                // a flush asked for or under way
    bool stopping_ = false;
    std::thread thread_;
};
