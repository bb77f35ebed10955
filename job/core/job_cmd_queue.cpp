#include "job/core/job_cmd_queue.h"

#include <ace/Log_Msg.h>

#include <new>

#include "common/ace_log_wrapper.h"

JobCmdQueueImpl::JobCmdQueueImpl(Executor executor) : executor_(std::move(executor)) {
    if (!InitializeCriticalSectionAndSpinCount(&lock_, 0)) throw std::bad_alloc();
    exit_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    semaphore_ = CreateSemaphoreW(nullptr, 0, 100000, nullptr);
    if (exit_ && semaphore_) thread_ = CreateThread(nullptr, 0, thread_main, this, 0, nullptr);
    if (!thread_)
        log_message(LM_ERROR,
                    "JobCmdQueue: Failed to create dispatch thread, error-code = %d, %m.\n",
                    static_cast<int>(GetLastError()));
}

JobCmdQueueImpl::~JobCmdQueueImpl() {
    stop();
    if (semaphore_) CloseHandle(semaphore_);
    if (exit_) CloseHandle(exit_);
    DeleteCriticalSection(&lock_);
}

void JobCmdQueueImpl::stop() {
    if (!thread_) return;
    SetEvent(exit_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
}

void JobCmdQueueImpl::add(std::string jobId, std::string command) {
    log_message(LM_INFO, "Add command %s of job %s to JobCmdQueue.\n", command.c_str(),
                jobId.c_str());
    EnterCriticalSection(&lock_);
    pending_[std::move(jobId)] = std::move(command);
    LeaveCriticalSection(&lock_);
    if (semaphore_) ReleaseSemaphore(semaphore_, 1, nullptr);
}

DWORD JobCmdQueueImpl::thread_main(LPVOID self) {
    return static_cast<JobCmdQueueImpl*>(self)->dispatch();
}

DWORD JobCmdQueueImpl::dispatch() {
    const HANDLE waits[2] = {exit_, semaphore_};
    for (;;) {
        DWORD woken = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0) {
            log_message(LM_INFO, "JobCmdQueueImpl: dispatch thread exit.\n");
            return 0;
        }
        if (woken != WAIT_OBJECT_0 + 1) {
            DWORD error = GetLastError();
            log_message(LM_ERROR,
                        "JobCmdQueueImpl: Failed to wait the semaphore and exit thread event, "
                        "error-code = %d, %m.\n",
                        static_cast<int>(error));
            return error;
        }
        std::string id, command;
        bool found = false;
        EnterCriticalSection(&lock_);
        if (!pending_.empty()) {
            auto first = pending_.begin();
            id = first->first;
            command = first->second;
            pending_.erase(first);
            found = true;
        }
        LeaveCriticalSection(&lock_);
        if (!found) continue;  // its command was replaced by one already executed
        log_message(LM_INFO, "JobCmdQueue: execute command \"%s\" for job %s.\n", command.c_str(),
                    id.c_str());
        if (command == "start" || command == "stop" || command == "pause" || command == "resume" ||
            command == "do_schedule")
            executor_(command, id);
    }
}
