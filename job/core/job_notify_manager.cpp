#include "job/core/job_notify_manager.h"

#include <memory>

JobNotifyObserver::JobNotifyObserver(const char* user) : user_(user ? user : "") {}

JobNotifyObserver::~JobNotifyObserver() = default;

bool JobNotifyObserver::post_evenet(const Notify_Event* event) { return Post(event->event()); }

bool JobNotifyObserver::post_event(const json_spirit::Value& value) {
    return Post(json_spirit::write(value));
}

JobNotifyManagerImpl::JobNotifyManagerImpl() {
    // The dispatcher is made first, so that it is destroyed after the manager
    // at process end and can still be stopped from the manager's destructor.
    Iocp_Dispatcher::instance();
    if (!InitializeCriticalSectionAndSpinCount(&lock_, 0))
        throw static_cast<HRESULT>(HRESULT_FROM_WIN32(GetLastError()));
}

JobNotifyManagerImpl::~JobNotifyManagerImpl() {
    // Events still queued carry this manager as their receiver: let the
    // dispatcher hand them over and end before anything here goes.
    Iocp_Dispatcher::instance()->stop();
    EnterCriticalSection(&lock_);
    closing_ = true;
    for (JobNotifyObserver* observer : observers_) {
        Event_End end;
        observer->post_evenet(&end);
    }
    observers_.clear();
    LeaveCriticalSection(&lock_);
    DeleteCriticalSection(&lock_);
}

bool JobNotifyManagerImpl::registerObserver(JobNotifyObserver* observer) {
    EnterCriticalSection(&lock_);
    bool added = !closing_ && observer && observers_.insert(observer).second;
    LeaveCriticalSection(&lock_);
    return added;
}

bool JobNotifyManagerImpl::unregisterObserver(JobNotifyObserver* observer) {
    EnterCriticalSection(&lock_);
    bool removed = observers_.erase(observer) > 0;
    LeaveCriticalSection(&lock_);
    return removed;
}

bool JobNotifyManagerImpl::post(Notify_Event* event) {
    if (!event) return false;
    Iocp_Dispatcher* dispatcher = Iocp_Dispatcher::instance();
    auto key = reinterpret_cast<ULONG_PTR>(static_cast<Io_Completion_Port::Event*>(this));
    if (dispatcher->post(0, key, reinterpret_cast<OVERLAPPED*>(event))) return true;
    delete event;  // nobody else will ever see it
    return false;
}

void JobNotifyManagerImpl::completion(DWORD, DWORD, OVERLAPPED* overlapped) {
    if (!overlapped) return;
    std::unique_ptr<Notify_Event> event(reinterpret_cast<Notify_Event*>(overlapped));
    EnterCriticalSection(&lock_);
    if (!closing_) {
        const std::string& user = event->get_user();
        for (JobNotifyObserver* observer : observers_)
            if (observer->user().empty() || user.empty() || observer->user() == user)
                observer->Post(event->event());
    }
    event.reset();
    LeaveCriticalSection(&lock_);
}
