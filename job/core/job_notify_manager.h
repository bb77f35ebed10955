// The switchboard between the producers of job events (jobs and the job
// manager, on their own threads) and the observers that want them (the web
// interface's event streams): producers post and return at once, and the
// dispatcher thread hands each event's text to every observer whose user
// matches, under the manager's lock.
#pragma once

#include <set>
#include <string>

#include "job/core/iocp_dispatcher.h"
#include "job/core/notify_event.h"
#include "platform/threads/atl_singleton.h"

// A listener of job events, owned by whoever registers it. It must be
// unregistered before it is destroyed.
class JobNotifyObserver {
public:
    // A null or empty user wants the events of every user.
    explicit JobNotifyObserver(const char* user);
    JobNotifyObserver(const JobNotifyObserver&) = default;
    JobNotifyObserver& operator=(const JobNotifyObserver&) = default;
    virtual ~JobNotifyObserver();

    // Receives one event text (an empty text ends the stream). Runs on the
    // dispatcher thread with the manager's lock held: it must neither register
    // nor unregister observers, nor wait for a thread that waits for that lock.
    virtual bool Post(const std::string& event) = 0;

    const std::string& user() const { return user_; }
    bool post_evenet(const Notify_Event* event);
    bool post_event(const json_spirit::Value& value);

private:
    std::string user_;
};

class JobNotifyManagerImpl : public Io_Completion_Port::Event {
public:
    // Throws the HRESULT of the error when the lock cannot be made.
    JobNotifyManagerImpl();
    // Stops the process's dispatcher (after the events queued before, which
    // are still delivered), then ends every observer's stream (one empty text
    // each); no observer is called after that. The manager lives until the
    // library is unloaded, when the dispatcher stops anyway.
    ~JobNotifyManagerImpl() override;
    JobNotifyManagerImpl(const JobNotifyManagerImpl&) = delete;
    JobNotifyManagerImpl& operator=(const JobNotifyManagerImpl&) = delete;

    // False when the observer is already registered. Any thread.
    bool registerObserver(JobNotifyObserver* observer);
    // False when it is not registered. Waits for a delivery in progress, so
    // that the observer is never called after this returns. Any thread.
    bool unregisterObserver(JobNotifyObserver* observer);
    // Queues the event on the dispatcher, which owns it from then on; when the
    // dispatcher refuses it the event is destroyed here and false returned.
    // Any thread.
    bool post(Notify_Event* event);

protected:
    // Delivers one event (the OVERLAPPED pointer) and destroys it.
    void completion(DWORD error, DWORD bytes, OVERLAPPED* overlapped) override;

private:
    CRITICAL_SECTION lock_;
    std::set<JobNotifyObserver*> observers_;
    bool closing_ = false;
};
