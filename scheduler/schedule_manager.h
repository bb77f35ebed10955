// The timers of scheduled jobs: one handler per job id on the dispatcher's
// timer queue. An expired handler only queues a command for its job on the
// command queue: "start" when its time has come, "do_schedule" when the clock
// was changed, so that the job computes and arms its next run anew. The job
// re-arms its handler after each run; once and manual schedules get none.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "job/core/iocp_dispatcher.h"
#include "plandeck/schedule.h"
#include "platform/threads/atl_singleton.h"

class ScheduleHandler : public Io_Completion_Port_Ex::Timeout_Handler {
public:
    explicit ScheduleHandler(std::string jobId) : jobId_(std::move(jobId)) {}
    virtual ~ScheduleHandler() = default;

    // Dispatcher thread, under its lock: queues the job's command (none for
    // an empty id). It does not re-arm itself.
    void handle_timeout(uint64_t due) override;
    const std::string& jobId() const { return jobId_; }

private:
    std::string jobId_;
};

class ScheduleManagerImpl {
public:
    // Makes the process's dispatcher first, so that it outlives the handlers.
    // Throws std::bad_alloc when the lock cannot be made.
    ScheduleManagerImpl();
    // Disarms and destroys every handler.
    virtual ~ScheduleManagerImpl();
    ScheduleManagerImpl(const ScheduleManagerImpl&) = delete;
    ScheduleManagerImpl& operator=(const ScheduleManagerImpl&) = delete;

    static ScheduleManagerImpl* instance() {
        return ATL::CComSingleton<ScheduleManagerImpl, ATL::CComAutoCriticalSection>::instance();
    }

    // The manager's lock (re-entrant). Callers hold it around ScheduleImpl and
    // UnscheduleImpl; the other members take it themselves.
    void Lock() { EnterCriticalSection(&lock_); }
    void Unlock() { LeaveCriticalSection(&lock_); }

    // Arms the job's timer for a local FILETIME, or re-arms the one it has.
    bool ScheduleImpl(const FILETIME& when, const std::string& jobId);
    bool RescheduleImpl(const FILETIME& when, const std::string& jobId);
    bool RescheduleHandlerImpl(const FILETIME& when, ScheduleHandler* handler);
    // Disarms the job's timer; true also when it has none. The handler stays
    // known, so a later ScheduleImpl re-arms it.
    bool UnscheduleImpl(const std::string& jobId);
    // ScheduleImpl for a time in seconds since 1970, under the lock.
    bool Schedule(int64_t time, const std::string& jobId);

    // Computes a job's next run and arms its timer for it, or, for a job that
    // runs once or whose schedule has no next run (once, manual), disarms the
    // timer. nextRunTime (a local FILETIME, 0 for none) receives the time
    // armed. False when no time was armed. Takes the lock.
    bool scheduleNextRun(const std::string& jobId, const FILETIME& base, const ::Schedule& schedule,
                         bool runOnce, uint64_t lastRunTime, uint64_t& nextRunTime);

    // Under the lock: the handler of a job, or of a timer id; null when none.
    ScheduleHandler* FindSchedule(const std::string& jobId);
    ScheduleHandler* FindSchedule(long timerId);

private:
    CRITICAL_SECTION lock_;
    std::map<std::string, ScheduleHandler*> handlers_;
};
