#include "scheduler/schedule_manager.h"

#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include <ctime>
#include <new>

#include "common/ace_log_wrapper.h"
#include "job/core/job_cmd_queue.h"
#include "scheduler/schedule_helpers.h"

namespace {

constexpr uint64_t kClockChanged = ~0ull;

uint64_t to_uint64(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME to_filetime(uint64_t time) {
    return FILETIME{static_cast<DWORD>(time), static_cast<DWORD>(time >> 32)};
}

class Locked {
public:
    explicit Locked(ScheduleManagerImpl& manager) : manager_(manager) { manager_.Lock(); }
    ~Locked() { manager_.Unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    ScheduleManagerImpl& manager_;
};

}  // namespace

void ScheduleHandler::handle_timeout(uint64_t due) {
    ACE_TRACE("ScheduleHandler::handle_timeout");
    log_message(LM_INFO, "ScheduleHandler::handle_timeout: information - job id %s.\n",
                jobId_.c_str());
    if (jobId_.empty()) return;
    if (due == kClockChanged) {
        JobCmdQueueImpl::instance()->add(jobId_, "do_schedule");
        return;
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    log_message(LM_TRACE, "Start job at: month = %d day = %d weekday = %d hour = %d minute = %d\n",
                now.wMonth, now.wDay, now.wDayOfWeek, now.wHour, now.wMinute);
    JobCmdQueueImpl::instance()->add(jobId_, "start");
}

ScheduleManagerImpl::ScheduleManagerImpl() {
    Iocp_Dispatcher::instance();
    if (!InitializeCriticalSectionAndSpinCount(&lock_, 0)) throw std::bad_alloc();
}

ScheduleManagerImpl::~ScheduleManagerImpl() {
    Iocp_Dispatcher* dispatcher = Iocp_Dispatcher::instance();
    for (auto& entry : handlers_) {
        // Cancelled under the dispatcher's lock, a handler can neither be
        // running nor fire afterwards.
        if (entry.second) dispatcher->cancel_timer(entry.second);
        delete entry.second;
    }
    handlers_.clear();
    DeleteCriticalSection(&lock_);
}

bool ScheduleManagerImpl::ScheduleImpl(const FILETIME& when, const std::string& jobId) {
    ACE_TRACE("ScheduleManager::ScheduleImpl");
    Iocp_Dispatcher* dispatcher = Iocp_Dispatcher::instance();
    if (!dispatcher) {
        log_message(LM_ERROR,
                    "ScheduleManager::ScheduleImpl: failure - can't get the instance of "
                    "Iocp_Dispatcher.\n");
        return false;
    }
    Locked locked(*this);
    if (handlers_.count(jobId)) {
        log_message(LM_INFO,
                    "ScheduleManager::ScheduleImpl: warning - the timer handler has already "
                    "scheduled.\n");
        return RescheduleImpl(when, jobId);
    }
    auto* handler = new ScheduleHandler(jobId);
    if (dispatcher->schedule_timer(handler, to_uint64(when)) == -1) {
        log_message(LM_ERROR,
                    "ScheduleManager::ScheduleImpl: failure - call Iocp_Dispatcher::schedule_timer "
                    "failed. the timer have not scheduled.\n");
        delete handler;
        return false;
    }
    handlers_[jobId] = handler;
    return true;
}

bool ScheduleManagerImpl::RescheduleImpl(const FILETIME& when, const std::string& jobId) {
    ACE_TRACE("ScheduleManager::RescheduleImpl");
    Locked locked(*this);
    auto it = handlers_.find(jobId);
    if (it == handlers_.end()) {
        log_message(LM_ERROR,
                    "ScheduleManager::RescheduleImpl: failure - can't find the timer_handler from "
                    "the list of scheduled timer_handler list.\n");
        return false;
    }
    if (!it->second) {
        log_message(LM_ERROR,
                    "ScheduleManager::RescheduleImpl: failure - the timer_handler will be "
                    "re-scheduled is null.\n");
        return false;
    }
    bool rearmed = RescheduleHandlerImpl(when, it->second);
    if (rearmed)
        log_message(LM_INFO,
                    "ScheduleManager::ScheduleImpl: information - re-schedule the timer "
                    "successfully.\n");
    else
        log_message(LM_ERROR,
                    "ScheduleManager::RescheduleImpl: failure - re-schedule the timer failed.\n");
    return rearmed;
}

bool ScheduleManagerImpl::RescheduleHandlerImpl(const FILETIME& when, ScheduleHandler* handler) {
    ACE_TRACE("ScheduleManager::RescheduleHandlerImpl");
    if (!handler) {
        log_message(LM_ERROR,
                    "ScheduleManager::RescheduleHandlerImpl: failure - invalid parameter "
                    "\"pHandler\".\n");
        return false;
    }
    Iocp_Dispatcher* dispatcher = Iocp_Dispatcher::instance();
    if (!dispatcher) {
        log_message(LM_ERROR,
                    "ScheduleManager::RescheduleHandlerImpl: failure - can't get the instance of "
                    "Iocp_Dispatcher.\n");
        return false;
    }
    if (dispatcher->cancel_timer(handler) < 0)
        log_message(LM_WARNING,
                    "ScheduleManager::RescheduleHandlerImpl: failure - call "
                    "Iocp_Dispatcher::cancel_timer failed.\n");
    long id = dispatcher->schedule_timer(handler, to_uint64(when));
    if (id < 0)
        log_message(LM_ERROR,
                    "ScheduleManager::RescheduleHandlerImpl: failure - call "
                    "Iocp_Dispatcher::schedule_timer failed.\n");
    else
        log_message(LM_INFO,
                    "ScheduleManager::RescheduleHandlerImpl: information - re-schedule the "
                    "handler successfully.\n");
    return id != -1;
}

bool ScheduleManagerImpl::UnscheduleImpl(const std::string& jobId) {
    ACE_TRACE("ScheduleManager::UnscheduleImpl");
    Iocp_Dispatcher* dispatcher = Iocp_Dispatcher::instance();
    if (!dispatcher) {
        log_message(LM_ERROR,
                    "ScheduleManager::UnscheduleImpl: failure - can't get the instance of "
                    "Iocp_Dispatcher.\n");
        return false;
    }
    Locked locked(*this);
    auto it = handlers_.find(jobId);
    if (it == handlers_.end()) {
        log_message(LM_WARNING,
                    "ScheduleManager::UnscheduleImpl: warning - can't find the timer handler in "
                    "the timer-handler list.\n");
        return true;
    }
    if (!it->second) {
        log_message(LM_ERROR,
                    "ScheduleManager::UnscheduleImpl: failure - the timer_handler will be "
                    "un-scheduled is null.\n");
        return false;
    }
    // The dispatcher's only refusal is a handler not armed (it fired, or was
    // disarmed before), which is what was asked for.
    dispatcher->cancel_timer(it->second);
    log_message(LM_INFO,
                "ScheduleManager::UnscheduleImpl: information - cancel the timer handler "
                "successfully.\n");
    return true;
}

bool ScheduleManagerImpl::Schedule(int64_t time, const std::string& jobId) {
    SYSTEMTIME local;
    FILETIME when;
    if (!ScheduleHelper::ToLocal(time, local) || !SystemTimeToFileTime(&local, &when)) return false;
    Locked locked(*this);
    return ScheduleImpl(when, jobId);
}

bool ScheduleManagerImpl::scheduleNextRun(const std::string& jobId, const FILETIME& base,
                                          const ::Schedule& schedule, bool runOnce,
                                          uint64_t lastRunTime, uint64_t& nextRunTime) {
    FILETIME last = to_filetime(lastRunTime);
    FILETIME next;
    Locked locked(*this);
    if (runOnce || !nextScheduleTime(base, schedule, lastRunTime ? &last : nullptr, next)) {
        // A schedule turned into once or manual must not fire its old timer.
        nextRunTime = 0;
        UnscheduleImpl(jobId);
        return false;
    }
    nextRunTime = to_uint64(next);
    return ScheduleImpl(next, jobId);
}

ScheduleHandler* ScheduleManagerImpl::FindSchedule(const std::string& jobId) {
    Locked locked(*this);
    auto it = handlers_.find(jobId);
    return it == handlers_.end() ? nullptr : it->second;
}

ScheduleHandler* ScheduleManagerImpl::FindSchedule(long timerId) {
    Locked locked(*this);
    for (auto& entry : handlers_)
        if (entry.second && entry.second->timer_id == timerId) return entry.second;
    return nullptr;
}
