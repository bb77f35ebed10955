// The backup kind of job: one run carries the job's sources from the walk of
// its volumes, through the server's increment check, into its storage (the
// offline folder of the definition, or the remote service), publishing every
// state in the job's record and as job events. A network failure pauses the
// run and resumes it 30 seconds later; a stopped or interrupted run resumes
// from its saved volumes, source list and offset.
//
// Threads: run() and everything it calls on the job's worker; init, stop and
// pause under the job manager's lock (stop of a paused job ends its run on
// the stopping thread); the resume timer on the dispatcher thread, acting on
// the job only through the command queue.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "job/core/job.h"
#include "job/remote/web_auth_handler.h"
#include "job/sources/activity_source.h"
#include "job/storage/storage.h"
#include "plandeck/backup_job_definition.h"
#include "platform/files/snapward.h"

// Re-arms a paused run: queues "resume" for its job, or, after a clock
// change, arms itself again 30 seconds from now. Owned by the job.
class Error_Resume : public Job::ResumeTimer {
public:
    explicit Error_Resume(const char* jobId) : jobId_(jobId ? jobId : "") {}
    void handle_timeout(uint64_t due) override;

private:
    std::string jobId_;
};

class BackupJob : public Job, public WebAuthHandler {
public:
    // Takes ownership of the definition (a backup definition).
    explicit BackupJob(JobDefinition* definition);
    ~BackupJob() override;

    // Restarts an interrupted run as the record shows it, then arms the
    // schedule. False only without a record.
    bool init() override;
    bool stop() override;
    bool pause(bool manual) override;

    // The storage's stop test: true when the job was told to stop or pause.
    bool stopRequested(int timeout) override { return !pollEvent(static_cast<DWORD>(timeout)); }
    void onError(DWORD) override {}

    // Computes the next scheduled run and arms (or, for a job that does not
    // repeat, disarms) its timer.
    bool schedule();

protected:
    void run() override;
    bool commandimpl(const std::string& command) override;

    // Ends a run by its state. The storage (may be null) is destroyed before
    // the run's files are deleted, so that what it writes when it goes (the
    // web storage's error list in the run's history folder) never lands in
    // a folder that is gone; a paused run's stays for its resumption.
    void cleanup(std::unique_ptr<BackupStorage> storage);
    // The run's storage, initialised; null with the reason in the last error.
    BackupStorage* createStorage();

private:
    const BackupJobDefinition& backupDefinition() const {
        return static_cast<const BackupJobDefinition&>(*definition());
    }
    bool loadSavedVolumes();
    void releaseVolumes();
    bool buildSourceList();
    // Applies the network rule to a failure: true when the run was paused for
    // a later resumption.
    bool pauseForNetwork(DWORD code, bool notify);
    // A step of the start that failed with code: true when a pause or stop
    // cut it short (the command is taken if the step left it pending), so
    // that the run ends as asked rather than in error.
    bool cutShortByRequest(DWORD code);
    void setError(DWORD code);
    void storageStep(BackupStorage* storage, bool& goOn);
    void fileStep();
    void finalStep();
    // Deletes the files of a run in the job's folder: the source list (and
    // one left beside it), the work folder, the saved volumes and, with
    // history, the run's history folder.
    void removeRunFiles(bool history);

    JobVolumeMap volumes_;
    int snapshotContext_ = 0;
    Snapward requester_;
    // The sources without a volume and what the walk and the list could not
    // take, recorded in the run's storage once it exists.
    std::vector<std::pair<std::wstring, DWORD>> walkErrors_;
};
