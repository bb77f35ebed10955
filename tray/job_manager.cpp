#include "tray/job_manager.h"

#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include <algorithm>
#include <vector>

#include "common/ace_log_wrapper.h"
#include "common/text_conv.h"
#include "plandeck/job_definition_factory.h"

namespace {

using Guard = TRAY::Locker;

constexpr const wchar_t* kEventClass = L"TovelTrayJobEvents";
// Posted to the event window when the stream ended or failed.
constexpr UINT kStreamEndedMessage = JobManager::kEventMessage + 1;
constexpr UINT_PTR kReopenTimer = 1;
constexpr int kStateRunning = 3;
constexpr int kStateDeleted = 13;

// One event on its way to the GUI thread; lives while its sender waits.
struct Event {
    const std::string* id;
    int state;
};

// An id as logged: an event may carry anything, and a line of the log must
// stay one line of plain text.
std::string printable(const std::string& id) {
    constexpr size_t kMost = 80;
    std::string out;
    for (char c : id.substr(0, kMost))
        out += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    if (id.size() > kMost) out += "...";
    return out;
}

std::string nameOf(const JobDefinition* definition) { return to_utf8(definition->name(), -1); }

}  // namespace

JobManager::~JobManager() {
    // No event may reach the list from here on: the window goes (releasing
    // a sender), then the client, which returns once no callback runs.
    destroyEventWindow();
    Close();
    {
        Guard guard(&holder_);
        jobs_.clear();
        jobObservers_.clear();
        observers_.clear();
    }
    JobManager* self = this;
    timerTarget_.compare_exchange_strong(self, nullptr);
    if (timerId_ != 0) {
        KillTimer(nullptr, timerId_);
        timerId_ = 0;
    }
}

void JobManager::init(IJobStateNotify* first) {
    ACE_TRACE("JobManager::init");
    Guard guard(&holder_);
    if (initialised_) {
        log_message(LM_WARNING, "Jobmanager have already been initialized.\n");
        return;
    }
    log_message(LM_INFO, "Start to retrieve all jobs information.\n");
    std::vector<JobDefinition*> definitions;
    JobDefinitionFactory::create(definitions);
    for (JobDefinition* definition : definitions) {
        if (!definition) {
            log_message(LM_ERROR, "Null job definition.\n");
            continue;
        }
        auto record = std::make_shared<JobRecord>(definition);
        std::string name = nameOf(definition);
        if (!record->open()) {
            // The service has not made the record yet (it starts after the
            // tray): the job stays listed and its record is opened on a
            // later access, when the refresh tells the observers of it.
            log_message(LM_ERROR, "Can't open job {%s, %s} activity error-code = %d, %m.\n",
                        definition->id(), name.c_str(), static_cast<int>(GetLastError()));
            jobs_.emplace(definition->id(), record);
            continue;
        }
        log_message(LM_INFO, "Updating job {%s, %s} activity.\n", definition->id(), name.c_str());
        record->updateCache();
        std::string id = definition->id();
        jobs_.emplace(id, record);
        log_message(LM_INFO, "Job {%s, %s} loaded.\n", id.c_str(), name.c_str());
        if (first) {
            int state = JobRecord::state(record->activity());
            log_message(LM_INFO, "Notify job state, id = %s, state = %d.\n", id.c_str(), state);
            first->onJobState(id, state);
        }
    }
    log_message(LM_INFO, "%d jobs loaded.\n", static_cast<int>(jobs_.size()));

    // The events' window first, so that no event finds the list without it.
    makeEventWindow();
    if (Open(L"127.0.0.1", kNotifyPort) < 0)
        log_message(LM_ERROR,
                    "Can't open JobNotifyClient, host = %s, port = %d, error-code = %d, %m.\n",
                    "127.0.0.1", static_cast<int>(kNotifyPort), static_cast<int>(GetLastError()));

    timerTarget_.store(this);
    interval_ = 1000;
    timerId_ = SetTimer(nullptr, timerId_, interval_, &JobManager::timerCallback);
    if (timerId_ == 0)
        log_message(LM_ERROR, "Can't start the timer, error-code = %d, %m.\n",
                    static_cast<int>(GetLastError()));
    initialised_ = true;
}

void JobManager::fini() {
    ACE_TRACE("JobManager::fini");
    {
        Guard guard(&holder_);
        if (!initialised_) {
            log_message(LM_WARNING, "Jobmanager did not been initialized.\n");
            return;
        }
    }
    destroyEventWindow();
    Guard guard(&holder_);
    if (timerId_ != 0) {
        KillTimer(nullptr, timerId_);
        timerId_ = 0;
    }
    jobs_.clear();
    jobObservers_.clear();
    observers_.clear();
    initialised_ = false;
}

bool JobManager::makeEventWindow() {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &JobManager::eventWindowProc;
    windowClass.lpszClassName = kEventClass;
    RegisterClassExW(&windowClass);  // taken already by an earlier list: the same class
    HWND window =
        CreateWindowExW(0, kEventClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, this);
    if (!window) {
        log_message(LM_ERROR, "Can't create the job event window, error-code = %d, %m.\n",
                    static_cast<int>(GetLastError()));
        return false;
    }
    eventWindow_.store(window);
    reopenArmed_ = false;
    reopenDelay_.store(kReopenFirstMs);
    return true;
}

void JobManager::destroyEventWindow() {
    HWND window = eventWindow_.exchange(nullptr);
    if (window) DestroyWindow(window);
}

LRESULT JobManager::eventWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    } else if (message == kEventMessage) {
        auto* self = reinterpret_cast<JobManager*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        const auto* event = reinterpret_cast<const Event*>(lParam);
        if (self && event) self->NotifyJobChanges(*event->id, event->state);
        return 0;
    } else if (message == kStreamEndedMessage) {
        auto* self = reinterpret_cast<JobManager*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self) self->scheduleReopen();
        return 0;
    } else if (message == WM_TIMER && wParam == kReopenTimer) {
        KillTimer(window, kReopenTimer);
        auto* self = reinterpret_cast<JobManager*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self) self->reopen();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void JobManager::OnJobStateChanged(const char* id, int state) {
    Guard guard(&notifyLock_);
    std::string text = id ? id : "";
    HWND window = eventWindow_.load();
    if (!window) {
        log_message(LM_DEBUG, "Job state notification dropped: id = %s, state = %d.\n",
                    printable(text).c_str(), state);
        return;
    }
    Event event{&text, state};
    // Returns once the GUI thread ran it, or at once when the window went.
    SendMessageW(window, kEventMessage, 0, reinterpret_cast<LPARAM>(&event));
}

void JobManager::OnResponseComplete(long result) {
    JobNotifyClient::OnResponseComplete(result);
    if (result >= 0) {
        reopenDelay_.store(kReopenFirstMs);  // the stream works: an event came
        return;
    }
    if (HWND window = eventWindow_.load()) PostMessageW(window, kStreamEndedMessage, 0, 0);
}

void JobManager::OnRequestError(WINHTTP_ASYNC_RESULT* result) {
    // The client retries a send that found no service by itself.
    JobNotifyClient::OnRequestError(result);
    if (result && result->dwResult == API_SEND_REQUEST) return;
    if (HWND window = eventWindow_.load()) PostMessageW(window, kStreamEndedMessage, 0, 0);
}

void JobManager::scheduleReopen() {
    HWND window = eventWindow_.load();
    if (!window || reopenArmed_) return;
    UINT delay = reopenDelay_.load();
    log_message(LM_INFO, "The job event stream ended, opening it again in %u ms.\n", delay);
    reopenDelay_.store(std::min<UINT>(delay * 2, kReopenMostMs));
    reopenArmed_ = SetTimer(window, kReopenTimer, delay, nullptr) != 0;
    if (!reopenArmed_)
        log_message(LM_ERROR, "Can't arm the job event stream's reopening, error-code = %d, %m.\n",
                    static_cast<int>(GetLastError()));
}

void JobManager::reopen() {
    reopenArmed_ = false;
    if (!eventWindow_.load()) return;
    long result = Open(L"127.0.0.1", kNotifyPort);
    if (result < 0) {
        // Still busy with the last response, or no handle could be made.
        log_message(LM_ERROR,
                    "Can't open JobNotifyClient, host = %s, port = %d, error-code = %d, %m.\n",
                    "127.0.0.1", static_cast<int>(kNotifyPort), static_cast<int>(GetLastError()));
        scheduleReopen();
    }
}

void JobManager::NotifyJobChanges(const std::string& id, int state) {
    ACE_TRACE("JobManager::NotifyJobChanges");
    std::string shown = printable(id);
    log_message(LM_INFO, "Job state notification: id = %s, state = %d.\n", shown.c_str(), state);
    Record record = find(id);
    if (!record) {
        log_message(LM_INFO, "Job %s did not been added, add to job mananger.\n", shown.c_str());
        if (!addJob(id)) return;
        record = find(id);
    }
    if (!record) {
        log_message(LM_ERROR, "Failed to notify the job observers, can't get the job data.\n");
        return;
    }
    if (IJobStateNotify* observer = getJobObserver(id)) {
        log_message(LM_INFO, "Notify job state, id = %s, state = %d.\n", shown.c_str(), state);
        observer->onJobState(id, state);
    }
    tellObservers(id, state);
    record->updateCache();
    if (state == kStateDeleted) {
        Guard guard(&holder_);
        jobs_.erase(id);
    }
}

void JobManager::tellObservers(const std::string& id, int state) {
    std::set<IJobStateNotify*> observers;
    {
        Guard guard(&holder_);
        observers = observers_;
    }
    log_message(LM_INFO, "Notify jobs state, id = %s, state = %d.\n", printable(id).c_str(), state);
    for (IJobStateNotify* observer : observers) {
        // An observer may detach (and delete) another while it is told.
        {
            Guard guard(&holder_);
            if (!observers_.count(observer)) continue;
        }
        observer->onJobState(id, state);
    }
}

bool JobManager::addJob(const std::string& id) {
    Guard guard(&holder_);
    // The id names the job's folder and its record's kernel object.
    JobDefinition* definition = nullptr;
    if (JobDefinition::isUuidText(id.c_str()))
        definition = JobDefinitionFactory::create(id.c_str());
    else
        SetLastError(ERROR_INVALID_PARAMETER);
    if (!definition) {
        log_message(LM_ERROR, "Can't create the job definition, id = %s, error-code = %d, %m.\n",
                    printable(id).c_str(), static_cast<int>(GetLastError()));
        return false;
    }
    auto record = std::make_shared<JobRecord>(definition);
    if (!jobs_.emplace(id, record).second) return true;
    log_message(LM_INFO, "Job %s been added to JobManager.\n", id.c_str());
    if (!record->open())
        log_message(LM_ERROR, "Can't open job activity, id = %s, error-code = %d, %m.\n",
                    id.c_str(), static_cast<int>(GetLastError()));
    if (!record->updateCache())
        log_message(LM_ERROR, "Can't update job activity, id = %s, error-code = %d, %m.\n",
                    id.c_str(), static_cast<int>(GetLastError()));
    return true;
}

bool JobManager::removeJob(const std::string& id) {
    Guard guard(&holder_);
    jobs_.erase(id);
    return true;
}

void JobManager::clearJobs() {
    Guard guard(&holder_);
    jobs_.clear();
}

void JobManager::attach(IJobStateNotify* observer) {
    Guard guard(&holder_);
    observers_.insert(observer);
}

void JobManager::detach(IJobStateNotify* observer) {
    Guard guard(&holder_);
    observers_.erase(observer);
}

void JobManager::attachJobObserver(IJobStateNotify* observer, const std::string& id) {
    Guard guard(&holder_);
    jobObservers_.emplace(id, observer);
}

void JobManager::detachJobObserver(const std::string& id) {
    Guard guard(&holder_);
    jobObservers_.erase(id);
}

IJobStateNotify* JobManager::getJobObserver(const std::string& id) {
    Guard guard(&holder_);
    auto found = jobObservers_.find(id);
    return found == jobObservers_.end() ? nullptr : found->second;
}

JobManager::Record JobManager::find(const std::string& id) {
    Guard guard(&holder_);
    auto found = jobs_.find(id);
    if (found == jobs_.end()) {
        log_message(LM_ERROR, "Can't get the job data for job %s.\n", printable(id).c_str());
        return Record();
    }
    return found->second;
}

JobManager::Record JobManager::findAt(int index) {
    Guard guard(&holder_);
    if (index < 0 || static_cast<size_t>(index) >= jobs_.size()) {
        log_message(LM_ERROR, "Can't get the job data for job (index = %d).\n", index);
        return Record();
    }
    return std::next(jobs_.begin(), index)->second;
}

JobDefinition* JobManager::definition(const std::string& id) {
    Guard guard(&holder_);
    auto found = jobs_.find(id);
    if (found == jobs_.end() || !found->second->definition()) {
        log_message(LM_ERROR, "Can't get the definition for job (id = %s).\n",
                    printable(id).c_str());
        return nullptr;
    }
    return found->second->definition();
}

JobDefinition* JobManager::definitionAt(int index) {
    Guard guard(&holder_);
    if (index < 0 || static_cast<size_t>(index) >= jobs_.size() ||
        !std::next(jobs_.begin(), index)->second->definition()) {
        log_message(LM_ERROR, "Can't get the definition for job (index = %d).\n", index);
        return nullptr;
    }
    return std::next(jobs_.begin(), index)->second->definition();
}

JobActivity* JobManager::activity(const std::string& id) {
    Guard guard(&holder_);
    auto found = jobs_.find(id);
    JobActivity* live = found == jobs_.end() ? nullptr : found->second->activity();
    if (!live)
        log_message(LM_ERROR, "Can't get the activity data for job (id = %s).\n",
                    printable(id).c_str());
    return live;
}

JobActivity* JobManager::activityAt(int index) {
    Guard guard(&holder_);
    JobActivity* live = index < 0 || static_cast<size_t>(index) >= jobs_.size()
                            ? nullptr
                            : std::next(jobs_.begin(), index)->second->activity();
    if (!live) log_message(LM_ERROR, "Can't get the activity data for job (index = %d).\n", index);
    return live;
}

size_t JobManager::jobCount() {
    Guard guard(&holder_);
    return jobs_.size();
}

size_t JobManager::observerCount() {
    Guard guard(&holder_);
    return observers_.size();
}

IJobStateNotify* JobManager::observerAt(int index) {
    Guard guard(&holder_);
    if (index < 0 || static_cast<size_t>(index) >= observers_.size()) return nullptr;
    return *std::next(observers_.begin(), index);
}

bool JobManager::isAnyJobRunning() {
    Guard guard(&holder_);
    for (auto& [id, record] : jobs_) {
        JobActivity* live = record->activity();
        if (live && JobRecord::state(live) == kStateRunning) return true;
    }
    return false;
}

void JobManager::updateCacheLogged(JobRecord& record, const char* id) {
    if (!record.updateCache())
        log_message(LM_ERROR, "Failed to update the job activity, id = %s, error-code = %d, %m.\n",
                    id, static_cast<int>(GetLastError()));
}

void JobManager::refreshActivities() {
    std::vector<Record> records;
    {
        Guard guard(&holder_);
        for (auto& entry : jobs_) records.push_back(entry.second);
    }
    for (const Record& record : records) {
        JobDefinition* definition = record->definition();
        if (!definition) {
            log_message(LM_ERROR, "Failed to get job definition.\n");
            continue;
        }
        const char* id = definition->id();
        JobActivity* live = record->activity();
        JobActivity* cached = record->cachedActivity();
        if (!live) {
            log_message(LM_ERROR, "Can't get the job activity, id = %s.\n", id);
            continue;
        }
        if (!cached) {
            log_message(LM_WARNING, "The job activity have not been updated, id = %s.\n", id);
            updateCacheLogged(*record, id);
            // A record that opened only now (the service came after the
            // list was loaded, or the job's first run made it): the general
            // observers hear of the job as init would have told them.
            if (record->cachedActivity()) tellObservers(id, JobRecord::state(live));
            continue;
        }
        int state = JobRecord::state(live);
        if (JobRecord::looksAlike(cached, live) && state != kStateRunning) continue;
        if (IJobStateNotify* pane = getJobObserver(id)) {
            pane->onJobState(id, state);
            updateCacheLogged(*record, id);
        }
    }
}

void JobManager::timerCallback(HWND, UINT, UINT_PTR, DWORD) {
    if (JobManager* self = timerTarget_.load()) self->refreshActivities();
}
