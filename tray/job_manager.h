// The tray's job list: every job of the machine with its live activity
// record, fed by the service's job events (the job library's notification
// client, reading 127.0.0.1 port 8888) and by a once-a-second look at each
// record. Changes go to observers: at most one per job (its pane) and any
// number of general ones (the controller). Observers are not owned.
//
// Threads: everything runs on the GUI thread, the one that calls init.
// Events arrive on WinHTTP's callback thread; OnJobStateChanged hands each
// one, in arrival order and one at a time, to a message-only window that
// init makes, and waits until the GUI thread has run it there whole (the
// records, the tables and the observers are thus only ever touched on the
// GUI thread). fini destroys the window: a sender waiting on it is released
// and later events are dropped. The tables are guarded by the global lock
// (the singleton's holder) all the same, for readers on other threads.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "job/remote/job_notify_client.h"
#include "tray/job_record.h"
#include "tray/job_state_notify.h"
#include "tray/singleton.h"

class JobManager
    : public TRAY::SingletonT<JobManager, TRAY::Locker, TRAY::DefaultCreator<JobManager>>,
      public JobNotifyClient {
public:
    using Record = std::shared_ptr<JobRecord>;

    // Where the service's job events are read.
    static constexpr unsigned short kNotifyPort = 8888;
    // The message that carries one event to the GUI thread (of the list's
    // own window).
    static constexpr UINT kEventMessage = WM_USER + 0x102;

    JobManager() = default;
    // Stops the events first (the window, then the client, so that no
    // callback meets a half-destroyed list), then empties the tables and
    // kills the timer. Best run on the GUI thread: elsewhere the window can
    // only go with that thread.
    ~JobManager() override;

    // Loads every job, tells first (when not null) the state of each one
    // whose activity record exists, opens the notification client and
    // starts the once-a-second refresh. A job whose record the service has
    // not made yet stays listed; the refresh opens it later and then tells
    // the general observers its state. A second call only warns. GUI thread.
    void init(IJobStateNotify* first);
    // Destroys the event window, kills the timer and empties the tables; the
    // client stays open (its events are dropped). Warns when not initialised.
    void fini();

    // One job event (WinHTTP's thread): waits until the GUI thread has run
    // NotifyJobChanges for it; dropped when there is no event window.
    void OnJobStateChanged(const char* id, int state) override;
    // The stream's end or failure (WinHTTP's thread): the GUI thread opens
    // the client again after a back-off (kReopenFirstMs, doubled after each
    // try that brought no event, up to kReopenMostMs), so that the events
    // of a service that restarted arrive. A send that cannot reach the
    // service is retried by the client itself.
    void OnResponseComplete(long result) override;
    void OnRequestError(WINHTTP_ASYNC_RESULT* result) override;

    static constexpr UINT kReopenFirstMs = 500;
    static constexpr UINT kReopenMostMs = 30000;
    // Tells the job's observer and the general observers the event, adding a
    // job that is new to the list first and removing a deleted one (13)
    // after. GUI thread.
    void NotifyJobChanges(const std::string& id, int state);
    // Loads the job's definition and adds it. False, logged, for an id that
    // is not a job id (UUID text) or whose definition cannot be read.
    bool addJob(const std::string& id);
    // Erases the job, if listed; true.
    bool removeJob(const std::string& id);
    void clearJobs();

    void attach(IJobStateNotify* observer);
    void detach(IJobStateNotify* observer);
    // One observer per job: an id that has one keeps it.
    void attachJobObserver(IJobStateNotify* observer, const std::string& id);
    void detachJobObserver(const std::string& id);
    IJobStateNotify* getJobObserver(const std::string& id);

    // Lookups: empty or null, and logged, when nothing is found; positions
    // are in key order.
    Record find(const std::string& id);
    Record findAt(int index);
    JobDefinition* definition(const std::string& id);
    JobDefinition* definitionAt(int index);
    JobActivity* activity(const std::string& id);
    JobActivity* activityAt(int index);
    size_t jobCount();
    size_t observerCount();
    IJobStateNotify* observerAt(int index);

    // Whether some job's live record says running (3).
    bool isAnyJobRunning();
    // The once-a-second look: a job's pane is told when its state changed
    // since the cached copy, or while it runs; the general observers when
    // the job's record opened for the first time. GUI thread.
    void refreshActivities();

private:
    static void timerCallback(HWND window, UINT message, UINT_PTR id, DWORD time);
    static LRESULT eventWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    bool makeEventWindow();
    // On the GUI thread: arms the reopen timer of the event window / opens
    // the client when it fires.
    void scheduleReopen();
    void reopen();
    void destroyEventWindow();
    void updateCacheLogged(JobRecord& record, const char* id);
    // Tells every general observer (a copy of the set, without the lock).
    void tellObservers(const std::string& id, int state);

    // activity timer
    UINT interval_ = 0;
    UINT_PTR timerId_ = 0;
    std::map<std::string, Record> jobs_;
    std::map<std::string, IJobStateNotify*> jobObservers_;
    std::set<IJobStateNotify*> observers_;
    bool initialised_ = false;
    TRAY::Locker::Holder notifyLock_;
    // The message-only window of the GUI thread that runs the events.
    std::atomic<HWND> eventWindow_{nullptr};
    // The next reopen's delay; back to the first once an event came.
    std::atomic<UINT> reopenDelay_{kReopenFirstMs};
    bool reopenArmed_ = false;  // GUI thread

    // The list that the timer callback refreshes.
    static inline std::atomic<JobManager*> timerTarget_{nullptr};
};
