// The queue through which timers act on jobs: a timer handler runs on the
// dispatcher thread under the dispatcher's lock and must not wait for the job
// manager's lock, so it adds a command here and the queue's own thread
// executes it. At most one command per job is pending: a newer one replaces
// one not executed yet.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "platform/win32.h"

class JobCmdQueueImpl {
public:
    // Runs one command ("start", "stop", "pause", "resume", "do_schedule")
    // for a job, on the queue's thread, without the queue's lock held.
    using Executor = std::function<void(const std::string& command, const std::string& jobId)>;

    // Starts the dispatch thread; when it cannot start (logged) the queue only
    // collects commands. Throws std::bad_alloc when the lock cannot be made.
    explicit JobCmdQueueImpl(Executor executor);
    // Ends the dispatch thread (after the command it may be running) and frees
    // what is pending.
    ~JobCmdQueueImpl();
    JobCmdQueueImpl(const JobCmdQueueImpl&) = delete;
    JobCmdQueueImpl& operator=(const JobCmdQueueImpl&) = delete;

    // The process's queue, made on first use with its thread; it executes the
    // commands through the job manager and is destroyed at process end.
    static JobCmdQueueImpl* instance();

    // Queues a command for a job, replacing one pending for it. Any thread;
    // never waits for a command to run.
    void add(std::string jobId, std::string command);

    // Ends the dispatch thread now (after the command it may be running);
    // later commands are only collected. A host calls it before it closes the
    // logger, which the thread's last line would otherwise reach after its
    // end. Not on the queue's own thread.
    void stop();

private:
    static DWORD thread_main(LPVOID self);
    DWORD dispatch();

    std::map<std::string, std::string> pending_;
    HANDLE exit_ = nullptr;
    HANDLE semaphore_ = nullptr;
    CRITICAL_SECTION lock_;
    HANDLE thread_ = nullptr;
    Executor executor_;
};
