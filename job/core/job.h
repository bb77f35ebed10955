// The base of the job kinds: one job definition, the job's activity record
// and at most one worker thread that carries a run. A run is started on its
// own thread and is stopped, paused and resumed through a command event that
// the running job polls at its control points.
//
// Threads: the control operations (start, resume, pause, stop, remove, lock,
// definition replacement) are called under the job manager's lock, so they
// never overlap for one job. The worker reacts to them only through
// pollEvent. Fields that both sides touch (the record's state and requested
// transition, the command code, the worker handle, the resume timer) are
// atomic or guarded by a lock of their own.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>

#include "common/holders.h"
#include "common/json.h"
#include "job/core/iocp_dispatcher.h"
#include "job/core/job_activity.h"
#include "plandeck/job_definition.h"
#include "platform/win32.h"

// One worker thread: its handle, signalled when the thread's function has
// returned, and its id. Shared by the job and whoever must wait for the run
// to end (the completion, the removal of the job).
struct JobThread {
    scoped_handle handle;
    DWORD id = 0;
    // True when the thread has ended within the time-out (INFINITE: waits).
    bool wait(DWORD milliseconds) const;
};

class Job {
public:
    enum Command { CMD_STOP = 2, CMD_PAUSE = 3, CMD_RESUME = 4 };

    // A timer that resumes the job after a failure; owned by the job, which
    // cancels it on the dispatcher before it destroys it.
    class ResumeTimer : public Io_Completion_Port_Ex::Timeout_Handler {
    public:
        virtual ~ResumeTimer() = default;
    };

    // Takes ownership of the definition; opens the job's activity record
    // (hasRecord tells whether that worked). Throws std::bad_alloc when the
    // command event cannot be made.
    explicit Job(JobDefinition* definition);
    // Cancels the resume timer, pauses a running job and waits for its worker;
    // a removing job then deletes its folder and posts "deleted". Afterwards
    // no completion of the job is delivered. Must not run on the worker or on
    // the dispatcher thread. A kind's destructor calls endRun first: its run
    // must end while the kind's own members still exist.
    virtual ~Job();
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    // Replaces the owned definition (the old one is destroyed when it is a
    // different object), after the worker of a run that is ending has ended.
    void definition(JobDefinition* definition);
    const JobDefinition* definition() const { return definition_.get(); }
    const char* id() const { return definition_->id(); }

    // Prepares the job after it was built or its definition replaced.
    virtual bool init() = 0;
    // Asks a running job to stop, or cancels a paused one.
    virtual bool stop() = 0;
    // Asks a running job to pause (manual: by the user); marks an idle one paused.
    virtual bool pause(bool manual);

    // Starts a run from an idle or ended state (else: resume). False when the
    // job is removing or locked, or no thread or instance id can be made.
    bool start();
    // Continues a paused run on a new worker; true for a job that runs.
    bool resume();
    // Readies the job for removal: stops a running job and marks it removing,
    // so that it never starts again; its destruction then deletes its folder.
    // True also when the removal is under way already.
    bool remove();
    // A kind's own command ("do_schedule" for the backup job).
    bool command(const std::string& command) { return commandimpl(command); }
    // True when the worker ended within the time-out, or there is none.
    bool wait(DWORD milliseconds) const;
    // The current worker (null when none was started or it was joined). The
    // copy stays valid after the job is gone.
    std::shared_ptr<JobThread> worker() const;
    bool running() const { return running_.load(); }
    bool removing() const { return removing_.load(); }
    bool locked() const { return locked_.load(); }
    // Sets the locked flag and returns it; a locked job refuses to start.
    bool lock(bool locked);
    bool hasRecord() const { return activity_.get() != nullptr; }

    // The record's values; without a record: state 0, empty name, zeros, false.
    int state() const;
    int requestedTransition() const;
    int lastRunState() const;
    std::wstring file() const;
    int progress() const;
    int fileProgress() const;
    int speed() const;
    int remainTime() const;
    bool lastRunTime(int& date, int& time) const;
    bool nextRunTime(int& date, int& time) const;
    bool isRunOnce() const;
    bool isManual() const;
    // The instance id of the current run, or of the last one, as UUID text; empty without a
    // record. Set when a run starts, under the manager's lock.
    std::string instanceId() const;
    // {"id", "state", and for a busy job its progress}; false without a record.
    bool toJSON(json_spirit::Object& object) const;

    // Whether an error code counts as a network failure (the run then pauses
    // and resumes later instead of failing).
    virtual bool is_network_error(DWORD code) const;
    // The runs' network rule: a network error, a refused session (401) or a
    // block the service did not take (406) pauses a run for a later resume.
    bool pausesForNetwork(DWORD code) const;

protected:
    // The body of one run, on the worker thread. It calls setStartEvent early
    // and postCompletion as its last step.
    virtual void run() = 0;
    virtual bool commandimpl(const std::string& command);

    // The running job's control point: waits up to timeout ms for a command
    // and acts on it. True: go on; false: leave the run. Worker thread.
    bool pollEvent(DWORD timeout);
    // Starts the worker and waits until it signalled its start or ended.
    bool startTask();
    // Releases the caller of startTask. Worker thread.
    bool setStartEvent();
    // Posts the job's end of run to the dispatcher, whose thread then clears
    // the requested transition and joins this worker, unless a newer run has
    // started or the job is gone. Worker thread, last step of the run.
    bool postCompletion();
    bool notify_state(int state);
    bool notify_state();
    bool notify_error(DWORD code);
    // Hands the worker a command and signals the command event.
    bool emit(int code);
    // The kinds' stop. A busy run (starting to completing) is asked to stop:
    // "canceling" is posted before the worker can take the command (so that
    // it never arrives after the worker's "cancelled"), and a stop requested
    // already is signalled again. A pause asked for and not yet taken is
    // replaced by the stop; a pause that the worker has taken, or is taking,
    // is let through and the stop follows it: the worker queues "stop" for
    // the job when its run ends paused, or this call ends the paused run when
    // the pause is through by the time it looks. A paused run is ended by
    // cancelPausedRun with endPaused. Under the job manager's lock.
    bool stopRun(const std::function<void()>& endPaused);
    // A kind's stop of a busy run (starting to completing): signals a stop or
    // pause already requested again, else requests the stop.
    bool requestStop();
    // A kind's stop of a paused run, on the calling thread: waits for the
    // worker of the run that paused to end (so that nothing of the run is
    // touched from two threads), cancels the resume timer of a system pause,
    // posts "canceling" and calls end (the kind's end of a cancelled run),
    // then clears the requested transition.
    void cancelPausedRun(const std::function<void()>& end);
    // Waits for the current worker to end and forgets it.
    bool join();
    // Pauses a running job (a system pause) and waits for its worker to end.
    void endRun();
    void dumpState(std::ostream& out, int state) const;
    bool remove_impl();
    static bool toDateTime(uint64_t fileTime, int& date, int& time);

    // Writers of the record's fields that the worker and the controlling
    // threads share.
    void setState(int state);
    void setRequestedTransition(int transition);

    // Arms a resume timer for the given delay, replacing one armed before.
    bool armResumeTimer(std::unique_ptr<ResumeTimer> timer, uint64_t milliseconds);
    // Cancels and destroys the resume timer; false when none was armed.
    bool cancelResumeTimer();
    bool hasResumeTimer() const;

    JobActivityHandle activity_;

private:
    struct CompletionLink;
    class CompletionPacket;

    static DWORD run_wrapper(LPVOID job);
    void deliverCompletion(DWORD threadId);

    std::unique_ptr<JobDefinition> definition_;
    std::atomic<HANDLE> startEvent_{nullptr};
    scoped_handle commandEvent_;
    mutable std::mutex workerLock_;  // guards worker_
    std::shared_ptr<JobThread> worker_;
    std::atomic<int> commandCode_{0};
    // Set after the command event is signalled, cleared before the worker
    // looks at it: pollEvent(0) skips the look while it is clear.
    std::atomic<bool> commandPending_{false};
    mutable std::mutex timerLock_;  // guards resumeTimer_
    std::unique_ptr<ResumeTimer> resumeTimer_;
    std::atomic<bool> running_{false};
    // A stop that came while a pause was under way: the worker whose run
    // ends paused queues the stop.
    std::atomic<bool> stopAfterPause_{false};
    std::atomic<bool> removing_{false};
    std::atomic<bool> locked_{false};
    std::shared_ptr<CompletionLink> link_;
};
