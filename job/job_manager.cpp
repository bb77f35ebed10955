#include "job/job_manager.h"

#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include <algorithm>
#include <new>

#include "common/ace_log_wrapper.h"
#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "common/find_file_handle.h"
#include "common/text_conv.h"
#include "job/core/consistent_check.h"
#include "job/core/file_helpers.h"
#include "job/core/job_folders.h"
#include "job/core/job_notify_manager.h"
#include "job/core/job_state.h"
#include "job/runs/backup_job.h"
#include "job/runs/restore_job.h"
#include "plandeck/job_definition_factory.h"

namespace {

class Locked {
public:
    explicit Locked(CRITICAL_SECTION& section) : section_(section) {
        EnterCriticalSection(&section_);
    }
    ~Locked() { LeaveCriticalSection(&section_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    CRITICAL_SECTION& section_;
};

// Job ids are ASCII (UUID text): compared by folding ASCII letters only.
bool same_id(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
        if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
        if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
        if (x != y) return false;
        if (x == 0) return true;
    }
}

// The kinds of job the engine knows; others are dropped.
Job* known_jobs(JobDefinition* definition) {
    if (definition && definition->type() == JobDefinition::Backup) return new BackupJob(definition);
    if (definition && definition->type() == JobDefinition::Restore)
        return new RestoreJob(definition);
    delete definition;
    return nullptr;
}

// An existing job's "def", replaced whole (the old one stays on a failure).
bool save_definition(const JobDefinition& definition) {
    std::wstring folder = job_folder(definition.id());
    DWORD made = mkdir_p(folder.c_str());
    if (made != 0) {
        log_message(LM_ERROR, "Failed to create job folder \"%s\", error-code = %d, %m.\n",
                    to_utf8(folder.c_str(), -1).c_str(), static_cast<int>(made));
        return false;
    }
    return definition.save((folder + L"\\def").c_str());
}

// A run-once job whose record shows it has never run: its submission ended
// before it was started, so open starts it.
bool never_ran(const Job& job) {
    int date = 0, time = 0;
    return job.isRunOnce() && job.state() == JS_IDLE && job.lastRunState() == JS_NONE &&
           !job.lastRunTime(date, time);
}

}  // namespace

struct JobManagerImpl::RemovalTask {
    JobManagerImpl* manager;
    std::string id;
    std::shared_ptr<JobThread> worker;
};

JobManagerImpl::JobManagerImpl() : factory_(known_jobs) {
    if (!InitializeCriticalSectionAndSpinCount(&lock_, 0)) throw std::bad_alloc();
}

JobManagerImpl::~JobManagerImpl() {
    waitForRemovals();
    DeleteCriticalSection(&lock_);
}

void JobManagerImpl::jobFactory(JobFactory factory) {
    Locked locked(lock_);
    factory_ = factory ? factory : known_jobs;
}

bool JobManagerImpl::open() {
    ACE_TRACE("JobManagerImpl::init");
    Iocp_Dispatcher::instance()->open();
    std::wstring folder;
    if (!common_appdata_path(folder, tovel::kJobsSubFolder)) return true;
    empty_job_staging();  // half-made and half-removed job folders of an earlier run
    std::vector<std::wstring> names;
    find_file_handle search;
    for (bool found = search.first((folder + L"\\*").c_str()); found; found = search.next()) {
        const WIN32_FIND_DATAW& entry = search.data();
        std::wstring name = entry.cFileName;
        if (name == L"." || name == L".." || !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        names.push_back(name);
    }
    for (const std::wstring& name : names) {
        std::wstring path = folder + L"\\" + name;
        std::string shown = to_utf8(path.c_str(), -1);
        std::string folderId;
        if (!JobDefinition::normalisedId(to_utf8(name.c_str(), -1).c_str(), folderId)) {
            // Not made by the engine: left as it is.
            log_message(LM_WARNING, "Skip directory \"%s\": it is not named by a job id.\n",
                        shown.c_str());
            continue;
        }
        std::wstring lower = from_utf8(folderId.c_str(), -1);
        if (lower != name) {
            // A job id is spelt in lower case everywhere; a folder of an older
            // spelling takes it, unless the job has a folder in that spelling.
            std::wstring target = folder + L"\\" + lower;
            if (std::find(names.begin(), names.end(), lower) != names.end()) {
                log_message(LM_ERROR, "Job directory \"%s\" duplicates job %s.\n", shown.c_str(),
                            folderId.c_str());
                quarantine_job_folder(path, name);
                continue;
            }
            if (!MoveFileExW(path.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
                log_message(LM_ERROR,
                            "Skip job directory \"%s\": it cannot be renamed to the job's id, "
                            "error-code = %d, %m.\n",
                            shown.c_str(), static_cast<int>(GetLastError()));
                continue;
            }
            log_message(LM_INFO, "Renamed job directory \"%s\" to the job's id.\n", shown.c_str());
            path = target;
            shown = to_utf8(path.c_str(), -1);
        }
        JobDefinitionFactory::Failure failure;
        JobDefinition* definition =
            JobDefinitionFactory::create((path + L"\\def").c_str(), failure);
        if (!definition) {
            DWORD error = GetLastError();
            if (failure == JobDefinitionFactory::Failure::Unreadable &&
                error != ERROR_FILE_NOT_FOUND) {
                // The definition may be whole and only out of reach now (held by
                // another program, no descriptor left, a failing disk): the
                // job's folder, record and history stay for the next start.
                log_message(LM_ERROR,
                            "Skip job directory \"%s\": its definition cannot be read, "
                            "error-code = %d, %m.\n",
                            shown.c_str(), static_cast<int>(error));
                continue;
            }
            // No definition in it, or none that can ever be read: not a job,
            // yet its history may matter to someone; moved aside.
            log_message(LM_ERROR, "Job directory \"%s\" holds no job definition.\n", shown.c_str());
            quarantine_job_folder(path, lower);
            continue;
        }
        int type = definition->type();
        std::string id = definition->id();
        if (id != folderId) {
            log_message(LM_ERROR, "Job directory \"%s\" holds the definition of job %s.\n",
                        shown.c_str(), id.c_str());
            delete definition;
            quarantine_job_folder(path, lower);
            continue;
        }
        if (find(id.c_str()) >= 0) {
            // A second folder claiming a listed job would share its record.
            log_message(LM_ERROR, "Skip job directory \"%s\": job %s is loaded already.\n",
                        shown.c_str(), id.c_str());
            delete definition;
            continue;
        }
        std::unique_ptr<Job> job(factory_(definition));
        if (!job) continue;
        if (!job->hasRecord()) {
            log_message(LM_ERROR, "Skip job %s: its activity record cannot be used.\n", id.c_str());
            continue;
        }
        if (!job->init()) {
            log_message(LM_ERROR, "Init job failed. job type:%d job id:%s.\n", type, id.c_str());
            continue;
        }
        Job* loaded = job.get();
        jobs_.push_back(std::move(job));
        if (never_ran(*loaded)) {
            log_message(LM_INFO, "Start job %s: it was submitted to run once and never ran.\n",
                        id.c_str());
            loaded->start();
        }
    }
    return true;
}

bool JobManagerImpl::submitJob(JobDefinition* definition) {
    if (!definition) return false;
    std::unique_ptr<JobDefinition> incoming(definition);
    std::string normalised;
    if (!JobDefinition::normalisedId(incoming->id(), normalised) || normalised != incoming->id()) {
        log_message(LM_ERROR, "Refuse job \"%s\": a job id is the text of a UUID in lower case.\n",
                    incoming->id());
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    Locked locked(lock_);
    int index = find(incoming->id());
    Job* job;
    int event;
    if (index >= 0) {
        job = jobs_[index].get();
        if (job->removing()) {
            log_message(LM_ERROR, "Job %s is removing, do not allow to update.\n", job->id());
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
        int state = job->state();
        bool idle =
            state == JS_IDLE || state == JS_COMPLETED || state == JS_CANCELLED || state == JS_ERROR;
        if (!idle) {
            // A busy job keeps its run and its definition; a restart of an
            // interrupted run belongs to open.
            notify(*job, JS_UPDATED);
            return true;
        }
        if (!save_definition(*incoming)) return false;  // the old definition stays
        job->definition(incoming.release());
        event = JS_UPDATED;
    } else {
        // The folder comes into place whole with its definition, and never
        // over a folder that open kept.
        if (!place_new_job_folder(*incoming)) return false;
        std::string id = incoming->id();
        std::unique_ptr<Job> made(factory_(incoming.release()));
        if (!made || !made->hasRecord()) {
            // Why the job could not be made (112: the disk is full).
            DWORD error = GetLastError();
            if (error == 0) error = made ? ERROR_GEN_FAILURE : ERROR_INVALID_PARAMETER;
            made.reset();
            discard_job_folder(job_folder(id.c_str()));  // this call placed it
            SetLastError(error);
            return false;
        }
        job = made.get();
        jobs_.push_back(std::move(made));
        event = JS_CREATED;
    }
    notify(*job, event);
    job->init();
    if (job->isRunOnce())
        job->start();
    else if (!job->isManual())
        notify(*job, JS_IDLE);
    return true;
}

bool JobManagerImpl::job(const char* id, const std::function<void(const Job&)>& visit) const {
    Locked locked(lock_);
    int index = find(id);
    if (index < 0) return false;
    visit(*jobs_[index]);
    return true;
}

void JobManagerImpl::jobs(const std::function<void(const Job&)>& visit) const {
    Locked locked(lock_);
    for (const auto& job : jobs_) visit(*job);
}

bool JobManagerImpl::withJob(const char* id, const char* trace,
                             const std::function<bool(Job&)>& operation) {
    ACE_TRACE(trace);
    (void)trace;
    Locked locked(lock_);
    int index = find(id);
    return index >= 0 && operation(*jobs_[index]);
}

bool JobManagerImpl::startJob(const char* id) {
    return withJob(id, "JobManagerImpl::startJob", [](Job& job) { return job.start(); });
}

bool JobManagerImpl::stopJob(const char* id) {
    return withJob(id, "JobManagerImpl::stopJob", [](Job& job) { return job.stop(); });
}

bool JobManagerImpl::pauseJob(const char* id) {
    return withJob(id, "JobManagerImpl::pauseJob", [](Job& job) { return job.pause(true); });
}

bool JobManagerImpl::resumeJob(const char* id) {
    return withJob(id, "JobManagerImpl::resumeJob", [](Job& job) { return job.resume(); });
}

bool JobManagerImpl::lockJob(const char* id) {
    return withJob(id, "JobManagerImpl::lockJob", [](Job& job) { return job.lock(true); });
}

bool JobManagerImpl::command(const std::string& command, const char* id) {
    return withJob(id, "JobManagerImpl::command",
                   [&command](Job& job) { return job.command(command); });
}

void JobManagerImpl::lockAllJobs(bool lockThem) {
    Locked locked(lock_);
    for (const auto& job : jobs_) job->lock(lockThem);
}

namespace {

struct AllJobsOperation {
    const char* trace;
    const char* failed;
    const char* waitFailed;
};

template <class Operation>
void for_all_jobs(const std::vector<std::unique_ptr<Job>>& jobs, bool wait,
                  const AllJobsOperation& texts, Operation operation) {
    ACE_TRACE(texts.trace);
    for (const auto& job : jobs) {
        if (!operation(*job))
            log_message(LM_ERROR, texts.failed, job->id(), static_cast<int>(GetLastError()));
    }
    if (!wait) return;
    for (const auto& job : jobs) {
        if (!job->wait(INFINITE))
            log_message(LM_ERROR, texts.waitFailed, job->id(), static_cast<int>(GetLastError()));
    }
}

}  // namespace

void JobManagerImpl::startAllJobs(bool wait) {
    Locked locked(lock_);
    for_all_jobs(jobs_, wait,
                 {"JobManagerImpl::startAllJobs", "Failed to start job %s, error-code = %d, %m.\n",
                  "Failed to wait job %s to start, error-code = %d, %m.\n"},
                 [](Job& job) { return job.start(); });
}

void JobManagerImpl::stopAllJobs(bool wait) {
    Locked locked(lock_);
    for_all_jobs(jobs_, wait,
                 {"JobManagerImpl::stopAllJobs", "Failed to stop job %s, error-code = %d, %m.\n",
                  "Failed to wait job %s to stop, error-code = %d, %m.\n"},
                 [](Job& job) { return job.stop(); });
}

void JobManagerImpl::pauseAllJobs(bool wait) {
    Locked locked(lock_);
    for_all_jobs(jobs_, wait,
                 {"JobManagerImpl::pauseAllJobs", "Failed to pause job %s, error-code = %d, %m.\n",
                  "Failed to wait job %s to pause, error-code = %d, %m.\n"},
                 [](Job& job) { return job.pause(false); });
}

void JobManagerImpl::resumeAllJobs(bool wait) {
    Locked locked(lock_);
    for_all_jobs(
        jobs_, wait,
        {"JobManagerImpl::resumeAllJobs", "Failed to resume job %s, error-code = %d, %m.\n",
         "Failed to wait job %s to resume, error-code = %d, %m.\n"},
        [](Job& job) { return job.resume(); });
}

bool JobManagerImpl::removeJob(const char* id) {
    log_message(LM_INFO, "Remove job %s.\n", id ? id : "");
    Locked locked(lock_);
    int index = find(id);
    if (index < 0) {
        log_message(LM_ERROR, "Remove job failed, job %s is not found.\n", id ? id : "");
        return false;
    }
    Job& job = *jobs_[index];
    bool underWay = job.removing();
    if (!job.remove()) return false;
    if (underWay) return true;
    // The thread gets the id and its own copy of the worker's handle: the job
    // may be destroyed by someone else before the thread looks at it.
    auto* task = new RemovalTask{this, job.id(), job.worker()};
    HANDLE thread = CreateThread(nullptr, 0, removal_thread, task, 0, nullptr);
    if (!thread) {
        // The job stays listed and removing; close() destroys it, folder and all.
        log_message(LM_ERROR, "Failed to create the removal thread of job %s, %m.\n", id);
        delete task;
        return false;
    }
    for (auto it = removals_.begin(); it != removals_.end();) {
        if (WaitForSingleObject(it->get(), 0) == WAIT_OBJECT_0)
            it = removals_.erase(it);
        else
            ++it;
    }
    removals_.emplace_back(thread);
    return true;
}

DWORD JobManagerImpl::removal_thread(LPVOID parameter) {
    std::unique_ptr<RemovalTask> task(static_cast<RemovalTask*>(parameter));
    if (task->worker && !task->worker->wait(INFINITE)) {
        log_message(LM_ERROR, "Failed to wait the work thread to exit, error-code = %d, %m.\n",
                    static_cast<int>(GetLastError()));
        return static_cast<DWORD>(-1);
    }
    return task->manager->deleteJob(task->id.c_str()) ? 0 : static_cast<DWORD>(-1);
}

bool JobManagerImpl::deleteJob(const char* id) {
    log_message(LM_INFO, "Delete job %s.\n", id);
    Locked locked(lock_);
    int index = find(id);
    // Only a removing job: the id may name a job submitted anew since.
    if (index < 0 || !jobs_[index]->removing()) {
        log_message(LM_ERROR, "Delete job failed, job %s is not found.\n", id);
        return false;
    }
    std::unique_ptr<Job> job = std::move(jobs_[index]);
    jobs_.erase(jobs_.begin() + index);
    job.reset();
    return true;
}

void JobManagerImpl::removeAllJobs() {
    ACE_TRACE("JobManagerImpl::removeAllJobs");
    removeJobs([](const Job&) { return true; });
}

void JobManagerImpl::removeJobs(const std::function<bool(const Job&)>& chosen) {
    Locked locked(lock_);
    for (auto it = jobs_.begin(); it != jobs_.end();) {
        if (chosen(**it) && (*it)->remove()) {
            std::unique_ptr<Job> job = std::move(*it);
            it = jobs_.erase(it);
            job.reset();  // waits for its worker, then deletes its folder
        } else {
            ++it;
        }
    }
}

void JobManagerImpl::close() {
    waitForRemovals();
    Locked locked(lock_);
    while (!jobs_.empty()) {
        std::unique_ptr<Job> job = std::move(jobs_.back());
        jobs_.pop_back();
        job.reset();
    }
    consistentcheckfreeall();
}

void JobManagerImpl::waitForRemovals() {
    std::vector<scoped_handle> threads;
    {
        Locked locked(lock_);
        threads.swap(removals_);
    }
    // Outside the lock: each thread ends by taking it in deleteJob.
    for (const scoped_handle& thread : threads) WaitForSingleObject(thread.get(), INFINITE);
}

int JobManagerImpl::find(const char* id) const {
    if (!id) return -1;
    for (size_t i = 0; i < jobs_.size(); ++i)
        if (same_id(jobs_[i]->id(), id)) return static_cast<int>(i);
    return -1;
}

void JobManagerImpl::notify(const Job& job, int state) {
    const JobDefinition* definition = job.definition();
    ATL::CComSingleton<JobNotifyManagerImpl, ATL::CComAutoCriticalSection>::instance()->post(
        new Event_State(definition->user(), definition->id(), definition->name(), state));
}
