#include "job/core/job.h"

#include <ace/Log_Msg.h>

#include <cstring>
#include <new>
#include <sstream>
#include <utility>

#include "common/ace_log_wrapper.h"
#include "common/text_conv.h"
#include "common/win32_error.h"
#include "job/core/file_helpers.h"
#include "job/core/job_cmd_queue.h"
#include "job/core/job_folders.h"
#include "job/core/job_notify_manager.h"
#include "job/core/job_state.h"
#include "plandeck/backup_job_definition.h"
#include "wirekit/error_codes.h"
#include "wirekit/http_tables.h"

namespace {

JobNotifyManagerImpl* notify_manager() {
    return ATL::CComSingleton<JobNotifyManagerImpl, ATL::CComAutoCriticalSection>::instance();
}

bool is_final_state(int state) {
    return state == JS_IDLE || state == JS_COMPLETED || state == JS_CANCELLED || state == JS_ERROR;
}

std::string error_text(DWORD code) {
    std::ostringstream text;
    print_win32_error(text, code);
    return text.str();
}

}  // namespace

bool JobThread::wait(DWORD milliseconds) const {
    return WaitForSingleObject(handle.get(), milliseconds) == WAIT_OBJECT_0;
}

// The tie between the job and the completion packets it posted: the job cuts
// it at its destruction, after a delivery in progress has returned, so that a
// packet still queued then reaches nobody.
struct Job::CompletionLink {
    std::mutex lock;
    Job* job;
};

class Job::CompletionPacket : public Io_Completion_Port::Event {
public:
    CompletionPacket(std::shared_ptr<CompletionLink> link, DWORD threadId)
        : link_(std::move(link)), threadId_(threadId) {}

    void completion(DWORD, DWORD, OVERLAPPED*) override {
        {
            std::lock_guard<std::mutex> guard(link_->lock);
            if (link_->job) link_->job->deliverCompletion(threadId_);
        }
        delete this;
    }

private:
    std::shared_ptr<CompletionLink> link_;
    DWORD threadId_;
};

Job::Job(JobDefinition* definition)
    : definition_(definition), link_(std::make_shared<CompletionLink>()) {
    link_->job = this;
    commandEvent_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!commandEvent_.valid()) throw std::bad_alloc();
    activity_.open(definition_->id(), true);
}

Job::~Job() {
    cancelResumeTimer();
    endRun();
    {
        std::lock_guard<std::mutex> guard(link_->lock);
        link_->job = nullptr;
    }
    if (removing()) remove_impl();
    activity_.close();
    HANDLE start = startEvent_.exchange(nullptr);
    if (start) CloseHandle(start);
}

void Job::definition(JobDefinition* definition) {
    if (definition == definition_.get()) return;
    join();
    // The dispatcher's thread may be delivering the last run's completion,
    // which reads the definition: the old one goes between two deliveries.
    std::unique_ptr<JobDefinition> old;
    std::lock_guard<std::mutex> guard(link_->lock);
    old = std::exchange(definition_, std::unique_ptr<JobDefinition>(definition));
}

bool Job::pause(bool manual) {
    JobActivity* record = activity_.get();
    if (!record) return false;
    int current = state();
    if (current == JS_IDLE) {
        setState(JS_PAUSED);
        record->pausedManually = manual;
        activity_.sync();
        return true;
    }
    if (current >= JS_STARTING && current <= JS_COMPLETING) {
        int requested = requestedTransition();
        if (requested != JS_PAUSING && requested != JS_CANCELING) {
            setRequestedTransition(JS_PAUSING);
            record->pausedManually = manual;
            activity_.sync();
            // The event goes out before the worker can take the command, so
            // that it never arrives after the worker's "paused".
            notify_state(JS_PAUSING);
            return emit(CMD_PAUSE);
        }
        // A request is pending already: signal it again rather than post
        // a second "pausing".
        return emit(requested == JS_PAUSING ? CMD_PAUSE : CMD_STOP);
    }
    return true;
}

bool Job::start() {
    int current = state();
    if (!is_final_state(current)) return resume();
    if (!activity_.get()) return false;
    if (removing() || locked()) return startTask();  // refused, record untouched
    // A run that wrote its final state may not have ended yet: it must be gone
    // before the record is reset for the next one.
    join();
    activity_.reset(current, false);
    UUID uuid;
    RPC_STATUS status = UuidCreate(&uuid);
    if (status != RPC_S_OK) {
        log_message(LM_ERROR, "Failed to create uuid for job {%s} instance, error = %d, %s.\n",
                    id(), static_cast<int>(status), error_text(static_cast<DWORD>(status)).c_str());
        return false;
    }
    std::memcpy(activity_->instanceId, &uuid, sizeof uuid);
    log_message(LM_INFO,
                "Create uuid for job {%s} instance, the uuid created is %s, error = %d, %s.\n",
                id(), activity_->instanceText().c_str(), 0, error_text(0).c_str());
    return startTask();
}

bool Job::resume() {
    int current = state();
    if (current < JS_STARTING) return false;
    if (current <= JS_COMPLETING) return true;
    if (current != JS_PAUSED) return false;
    join();
    activity_->resumeFlag = 1;
    return startTask();
}

bool Job::remove() {
    if (removing()) {
        log_message(LM_INFO, "Job %s is removing.\n", id());
        return true;
    }
    if (running() && !stop()) {
        log_message(LM_ERROR, "Failed to stop job %s.\n", id());
        return false;
    }
    removing_ = true;
    return true;
}

bool Job::wait(DWORD milliseconds) const {
    std::shared_ptr<JobThread> thread = worker();
    return !thread || thread->wait(milliseconds);
}

std::shared_ptr<JobThread> Job::worker() const {
    std::lock_guard<std::mutex> guard(workerLock_);
    return worker_;
}

bool Job::lock(bool locked) {
    locked_ = locked;
    return locked;
}

int Job::state() const { return activity_.get() ? activity_->state.load() : JS_NONE; }

int Job::requestedTransition() const {
    return activity_.get() ? activity_->requestedTransition.load() : 0;
}

void Job::setState(int state) {
    if (activity_.get()) activity_->state = state;
}

void Job::setRequestedTransition(int transition) {
    if (activity_.get()) activity_->requestedTransition = transition;
}

std::string Job::instanceId() const {
    return activity_.get() ? activity_->instanceText() : std::string();
}

int Job::lastRunState() const { return activity_.get() ? activity_->lastRunState.load() : JS_NONE; }

std::wstring Job::file() const {
    return activity_.get() ? activity_->currentFilePath() : std::wstring();
}

int Job::progress() const { return activity_.get() ? activity_->progress() : 0; }

int Job::fileProgress() const { return activity_.get() ? activity_->fileProgress() : 0; }

int Job::speed() const { return activity_.get() ? activity_->speed() : 0; }

int Job::remainTime() const { return activity_.get() ? activity_->remainTime() : 0; }

bool Job::lastRunTime(int& date, int& time) const {
    return toDateTime(activity_.get() ? activity_->lastRunTime.load() : 0, date, time);
}

bool Job::nextRunTime(int& date, int& time) const {
    return toDateTime(activity_.get() ? activity_->nextRunTime.load() : 0, date, time);
}

bool Job::isRunOnce() const {
    if (definition_->type() != JobDefinition::Backup) return true;
    return static_cast<const BackupJobDefinition&>(*definition_).schedule().type() ==
           Schedule::Once;
}

bool Job::isManual() const {
    if (definition_->type() != JobDefinition::Backup) return true;
    return static_cast<const BackupJobDefinition&>(*definition_).schedule().type() ==
           Schedule::Manual;
}

bool Job::toJSON(json_spirit::Object& object) const {
    JobActivity* record = activity_.get();
    if (!record) return false;
    int recordState = state();
    int requested = requestedTransition();
    int reported = requested == JS_PAUSING || requested == JS_CANCELING ? requested : recordState;
    object["id"] = id();
    object["state"] = jobStateToString(reported);
    if (reported >= JS_STARTING && reported <= JS_PAUSED) {
        object["progress"] = record->progress();
        object["file"] = to_utf8(record->currentFilePath().c_str(), -1);
        object["fileProgress"] = record->fileProgress();
        object["remainTime"] = record->remainTime();
        object["speed"] = record->speed();
        uint32_t fileState = record->currentFileState;
        object["currentFileState"] = fileState == 1   ? "encoding"
                                     : fileState == 2 ? "transfer"
                                                      : "none";
        if (recordState == JS_PAUSED)
            object["paused-manually"] = static_cast<int>(record->pausedManually ? 1 : 0);
    }
    return true;
}

bool Job::is_network_error(DWORD code) const {
    switch (code) {
        case 10024:
        case 10049:
        case 10050:
        case 10051:
        case 10053:
        case 10054:
        case 10057:
        case 10058:
        case 10060:
        case 10064:
        case 10065:
        case 10067:
        case 10070:
        case 10101:
        case 0x200101F7:  // HTTP 503
        case 0x200101F8:  // HTTP 504
            return true;
        default:
            return false;
    }
}

bool Job::commandimpl(const std::string&) { return false; }

bool Job::pollEvent(DWORD timeout) {
    for (;;) {
        // A poll that does not wait looks at the event only once a command
        // was signalled since the last look.
        DWORD woken = WAIT_TIMEOUT;
        if (timeout != 0 || commandPending_.load(std::memory_order_acquire)) {
            commandPending_.store(false, std::memory_order_relaxed);
            woken = WaitForSingleObject(commandEvent_.get(), timeout);
        }
        if (woken == WAIT_TIMEOUT) {
            int current = state();
            return current >= JS_STARTING && current <= JS_COMPLETING;
        }
        if (woken != WAIT_OBJECT_0) {
            log_message(LM_ERROR, "WaitForSingleObject failed. errorcode = %d, %m.\n",
                        static_cast<int>(GetLastError()));
            setRequestedTransition(0);
            return false;
        }
        int current = state();
        switch (commandCode_.load()) {
            case CMD_STOP:
                log_message(LM_INFO, "Event STOP.\n");
                setRequestedTransition(0);
                if (current == JS_STARTING || current == JS_RUNNING) {
                    setState(JS_CANCELING);
                    activity_.sync();
                } else if (current == JS_PAUSED) {
                    setState(JS_CANCELLED);
                    activity_.sync();
                } else if (current != JS_PAUSING && current != JS_CANCELING &&
                           current != JS_CANCELLED) {
                    activity_.sync();
                }
                return false;
            case CMD_PAUSE:
                setRequestedTransition(0);
                log_message(LM_INFO, "Event PAUSE.\n");
                if (current == JS_STARTING || current == JS_RUNNING) {
                    setState(JS_PAUSING);
                    activity_.sync();
                    return false;
                }
                activity_.sync();
                return !(current == JS_PAUSING || current == JS_PAUSED || current == JS_CANCELING);
            case CMD_RESUME:
                log_message(LM_INFO, "Event RESUME.\n");
                setRequestedTransition(0);
                if (current == JS_PAUSED) {
                    setState(JS_RUNNING);
                    activity_.sync();
                }
                return true;
            default:
                break;  // no command of ours: wait again
        }
    }
}

bool Job::startTask() {
    if (removing()) {
        log_message(LM_INFO, "Job %s is removing, do not allow to start.\n", id());
        return false;
    }
    if (locked()) {
        log_message(LM_INFO, "Job %s is locked temporarily, do not allow to start.\n", id());
        return false;
    }
    join();  // never two workers on one record
    // A command signalled to the run before (a pause asked for twice, a stop
    // that came after the run's last control point) is not the new run's.
    ResetEvent(commandEvent_.get());
    commandCode_ = 0;
    commandPending_ = false;
    stopAfterPause_ = false;
    scoped_handle started(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!started.valid()) return false;
    startEvent_ = started.get();
    auto thread = std::make_shared<JobThread>();
    thread->handle.reset(
        CreateThread(nullptr, 0, run_wrapper, this, CREATE_SUSPENDED, &thread->id));
    if (!thread->handle.valid()) {
        startEvent_ = nullptr;
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(workerLock_);
        worker_ = thread;
    }
    running_ = true;  // before the thread runs, so that a stop now reaches it
    ResumeThread(thread->handle.get());
    const HANDLE waits[2] = {started.get(), thread->handle.get()};
    WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    startEvent_ = nullptr;
    return true;
}

DWORD Job::run_wrapper(LPVOID parameter) {
    Job* job = static_cast<Job*>(parameter);
    job->running_ = true;
    job->run();
    // The flag is taken before the state is read, and stopRun sets it before
    // it reads the state: one of the two sees the other's side.
    if (job->stopAfterPause_.exchange(false) && job->state() == JS_PAUSED) {
        log_message(LM_INFO, "Job %s paused while a stop was pending: stopping it.\n", job->id());
        JobCmdQueueImpl::instance()->add(job->id(), "stop");
    }
    job->running_ = false;
    return 0;
}

bool Job::setStartEvent() {
    HANDLE started = startEvent_.load();
    if (started && SetEvent(started)) {
        std::ostringstream text;
        dumpState(text, JS_RUNNING);
        log_message(LM_INFO, "%s.\n", text.str().c_str());
        return true;
    }
    if (!started) SetLastError(ERROR_INVALID_HANDLE);
    log_message(LM_ERROR, "Failed to signal backup job {%s} start event, %s.\n", id(),
                error_text(GetLastError()).c_str());
    return false;
}

bool Job::postCompletion() {
    auto* packet = new CompletionPacket(link_, GetCurrentThreadId());
    Iocp_Dispatcher* dispatcher = Iocp_Dispatcher::instance();
    if (dispatcher->post(
            0, reinterpret_cast<ULONG_PTR>(static_cast<Io_Completion_Port::Event*>(packet)),
            nullptr))
        return true;
    delete packet;
    return false;
}

void Job::deliverCompletion(DWORD threadId) {
    log_message(LM_INFO, "Job {%s, %s} is completing.\n", id(),
                to_utf8(definition_->name(), -1).c_str());
    std::shared_ptr<JobThread> thread;
    {
        std::lock_guard<std::mutex> guard(workerLock_);
        if (!worker_ || worker_->id != threadId) return;
        thread = worker_;
    }
    // The worker stays the job's until its thread has ended, so that a start
    // meanwhile joins it before it resets the record.
    thread->wait(INFINITE);
    std::lock_guard<std::mutex> guard(workerLock_);
    // A newer run may have started (and joined this one) meanwhile: its
    // worker and its requested transition are not this completion's.
    if (worker_ != thread) return;
    worker_.reset();
    setRequestedTransition(0);
}

void Job::endRun() {
    int current = state();
    if (current == JS_STARTING || current == JS_RUNNING || current == JS_COMPLETING)
        Job::pause(false);
    join();
}

bool Job::join() {
    std::shared_ptr<JobThread> thread;
    {
        std::lock_guard<std::mutex> guard(workerLock_);
        thread.swap(worker_);
    }
    return !thread || thread->wait(INFINITE);
}

bool Job::notify_state(int state) {
    return notify_manager()->post(
        new Event_State(definition_->user(), id(), definition_->name(), state));
}

bool Job::notify_state() { return notify_state(state()); }

bool Job::notify_error(DWORD code) {
    int errorCode;
    std::string reason;
    if (is_http_error_code(code)) {
        errorCode = http_status_of(code);
        reason = http_status_string(errorCode);
    } else {
        errorCode = static_cast<int>(code);
        win32_error_text text(code);
        reason = text.text();
    }
    return notify_manager()->post(new Event_Job_Error(
        definition_->user(), id(), definition_->name(), state(), errorCode, reason.c_str()));
}

bool Job::emit(int code) {
    commandCode_ = code;
    bool set = SetEvent(commandEvent_.get()) != FALSE;
    commandPending_.store(true, std::memory_order_release);
    return set;
}

bool Job::pausesForNetwork(DWORD code) const {
    return is_network_error(code) || code == http_error_code(401) || code == http_error_code(406);
}

bool Job::stopRun(const std::function<void()>& endPaused) {
    int current = state();
    bool busy = current >= JS_STARTING && current <= JS_COMPLETING;
    if (busy && requestedTransition() != JS_PAUSING) return requestStop();
    if (busy || current == JS_PAUSING) {
        stopAfterPause_ = true;
        if (busy) {
            // The pause may not have been taken yet: the stop takes its place.
            setRequestedTransition(JS_CANCELING);
            activity_.sync();
            notify_state(JS_CANCELING);
            if (!emit(CMD_STOP)) return false;
        }
        if (state() != JS_PAUSED) return true;  // the worker passes the stop on
    } else if (current != JS_PAUSED) {
        return true;
    }
    cancelPausedRun(endPaused);
    return true;
}

void Job::cancelPausedRun(const std::function<void()>& end) {
    // The worker of the run that paused may still be ending it (releasing
    // what the run held, posting its end).
    join();
    stopAfterPause_ = false;  // this stop is the one that was pending
    if (!activity_->pausedManually) cancelResumeTimer();
    setRequestedTransition(JS_CANCELING);
    setState(JS_CANCELING);
    notify_state();
    activity_.sync();
    end();
    setRequestedTransition(0);
    activity_.sync();
}

bool Job::requestStop() {
    int requested = requestedTransition();
    if (requested == JS_CANCELING || requested == JS_PAUSING)
        return emit(requested == JS_PAUSING ? CMD_PAUSE : CMD_STOP);
    setRequestedTransition(JS_CANCELING);
    activity_.sync();
    notify_state(JS_CANCELING);
    return emit(CMD_STOP);
}

void Job::dumpState(std::ostream& out, int state) const {
    JobActivity* record = activity_.get();
    out << "Job {" << id() << ", " << to_utf8(definition_->name(), -1) << "} instance {"
        << (record ? record->instanceText() : std::string()) << "} is ";
    out << (state == JS_RUNNING && record && record->resumeFlag ? "resuming"
                                                                : jobStateToString(state));
    if (!record) {
        out << ".";
        return;
    }
    if (state == JS_STARTING || state == JS_RUNNING || state == JS_PAUSED) {
        if (record->currentFileDone < record->currentFileSize) {
            out << " at file " << record->filesDone << " \""
                << to_utf8(record->currentFilePath().c_str(), -1) << "\" size "
                << record->currentFileSize << " offset " << record->currentFileDone;
        } else if (record->filesDone < record->totalFiles) {
            out << " at file " << (record->filesDone + 1);
        }
    } else if (state == JS_COMPLETING) {
        out << "used time: " << record->elapsedTime / 10000000;
    } else {
        out << ".";
    }
}

bool Job::remove_impl() {
    activity_.close();
    // Out of the jobs folder at once: a removal cut short never brings the
    // job back at the next start.
    std::wstring folder = job_folder(id());
    if (!folder.empty()) discard_job_folder(folder);
    notify_state(JS_DELETED);
    return true;
}

bool Job::toDateTime(uint64_t fileTime, int& date, int& time) {
    date = time = 0;
    if (fileTime == 0) return false;
    FILETIME value = {static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    SYSTEMTIME calendar;
    if (!FileTimeToSystemTime(&value, &calendar)) return false;
    date = (calendar.wYear * 100 + calendar.wMonth) * 100 + calendar.wDay;
    time = (calendar.wHour * 100 + calendar.wMinute) * 100 + calendar.wSecond;
    return true;
}

bool Job::armResumeTimer(std::unique_ptr<ResumeTimer> timer, uint64_t milliseconds) {
    cancelResumeTimer();
    std::lock_guard<std::mutex> guard(timerLock_);
    resumeTimer_ = std::move(timer);
    return Iocp_Dispatcher::instance()->schedule_after_ms(resumeTimer_.get(), milliseconds) != -1;
}

bool Job::cancelResumeTimer() {
    std::unique_ptr<ResumeTimer> timer;
    {
        std::lock_guard<std::mutex> guard(timerLock_);
        timer.swap(resumeTimer_);
    }
    if (!timer) return false;
    // Once cancelled under the dispatcher's lock the timer cannot be running.
    Iocp_Dispatcher::instance()->cancel_timer(timer.get());
    return true;
}

bool Job::hasResumeTimer() const {
    std::lock_guard<std::mutex> guard(timerLock_);
    return resumeTimer_ != nullptr;
}
