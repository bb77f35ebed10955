// The owner of every job of the process: it builds one job per job folder at
// start-up and is afterwards the one entry through which the web interface,
// the command queue and the service host create, replace, start, stop, pause,
// resume, lock and remove jobs. Every operation on a job runs under the
// manager's lock, so the control operations of one job never overlap; the
// lock is held through a start's wait for the new worker's start signal and
// through the all-jobs operations' waits, so a job's worker must never need
// it. Job ids are compared without regard to case.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "job/core/job.h"
#include "platform/threads/atl_singleton.h"

class JobManagerImpl {
public:
    // Builds the job of a definition, taking ownership of it (a definition of
    // an unknown kind is destroyed and null returned).
    using JobFactory = Job* (*)(JobDefinition* definition);

    // Throws std::bad_alloc when the lock cannot be made.
    JobManagerImpl();
    // Waits for the removals under way; the jobs themselves go in close().
    virtual ~JobManagerImpl();
    JobManagerImpl(const JobManagerImpl&) = delete;
    JobManagerImpl& operator=(const JobManagerImpl&) = delete;

    // The process's manager.
    static JobManagerImpl* instance() {
        return ATL::CComSingleton<JobManagerImpl, ATL::CComAutoCriticalSection>::instance();
    }

    // Replaces the factory of job kinds; the default makes backup and restore
    // jobs. Call it before open.
    void jobFactory(JobFactory factory);

    // Builds the jobs of the job folders. Empties the staging folder beside
    // the jobs folder (half-made and half-removed folders). A folder named by
    // a job id in another case is renamed to the lower-case id first. A
    // folder whose "def" cannot be read now (any failure to open or read it
    // but a missing file) is kept and skipped; one whose "def" is missing or
    // holds no definition of that id is moved into the quarantine folder
    // (common/data_folder.h); a folder not named by a job id is left alone.
    // A job whose record cannot be mapped or whose init fails is left out
    // (its folder stays). A run-once job that never ran is started.
    // Creates the dispatcher's port. Called once before any other caller.
    // Always true.
    bool open();
    // Adds the job of a new id, or gives an idle job its new definition; the
    // manager owns the definition in every case. A new job's folder comes
    // into the jobs folder whole, with its definition on disk, or not at all.
    // A busy job keeps its definition (true, "updated"); false for an id that
    // is not lower-case UUID text (87), a job being removed, a new job whose
    // id has a folder already that open did not load (183; the folder is left
    // as it is), or a definition that cannot be saved (the old one stays).
    bool submitJob(JobDefinition* definition);

    // Calls visit with the job of that id under the lock; false when there is
    // none. visit must not add or remove jobs.
    bool job(const char* id, const std::function<void(const Job&)>& visit) const;
    // Calls visit for every job, in the order they were added, under the lock.
    void jobs(const std::function<void(const Job&)>& visit) const;

    // False for an unknown id; else the job's own answer.
    bool startJob(const char* id);
    bool stopJob(const char* id);
    bool pauseJob(const char* id);  // a user's pause
    bool resumeJob(const char* id);
    bool lockJob(const char* id);
    bool command(const std::string& command, const char* id);

    void lockAllJobs(bool locked);
    // In list order; failures are logged. wait: then wait for every worker to end.
    void startAllJobs(bool wait);
    void stopAllJobs(bool wait);
    void pauseAllJobs(bool wait);  // a system pause, not a user's
    void resumeAllJobs(bool wait);

    // Stops a running job and removes it once its worker has ended (its folder
    // is deleted and "deleted" posted then). False for an unknown id.
    bool removeJob(const char* id);
    // Removes every job that can be stopped, at once, on this thread.
    void removeAllJobs();
    // The same for the jobs that chosen picks (called under the lock; it must
    // not add or remove jobs).
    void removeJobs(const std::function<bool(const Job&)>& chosen);
    // Waits for the removals under way, destroys every job (each pauses its
    // run and waits for its worker) and removes the consistent-check data.
    void close();

protected:
    // Destroys a removing job of that id; the removal threads' last step.
    bool deleteJob(const char* id);

private:
    struct RemovalTask;
    static DWORD removal_thread(LPVOID task);

    // Under the lock: the index of the job, or -1.
    int find(const char* id) const;
    // Runs operation on the job of that id under the lock; false when absent.
    bool withJob(const char* id, const char* trace, const std::function<bool(Job&)>& operation);
    void waitForRemovals();
    // Posts a state event for a job.
    static void notify(const Job& job, int state);

    mutable CRITICAL_SECTION lock_;
    std::vector<std::unique_ptr<Job>> jobs_;
    std::vector<scoped_handle> removals_;  // removal threads, guarded by lock_
    JobFactory factory_;
};
