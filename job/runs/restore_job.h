// The restore kind of job: one run brings back the paths that the user chose
// from one backup run, from the offline folder or from the remote service,
// to their original place or below another folder. The run writes the chosen
// paths as its source list and reads it back item by item, so that a stopped
// or interrupted run goes on at the item where it stood; its history record
// and error list live in the run's history folder until the run ends. Then
// the folder goes, except that an offline run whose error list names any
// item keeps that list there, "hist\<instance>\err" in the job's folder
// (<instance> the run's instance id of the activity record): a run from the
// remote service submits its list, an offline run has no other record of its
// failed items. A network failure pauses the run and resumes it 30 seconds
// later.
//
// Threads: run() and everything it calls on the job's worker; init, stop and
// pause under the job manager's lock (stop of a paused job ends its run on
// the stopping thread); the resume timer on the dispatcher thread, acting on
// the job only through the command queue.
#pragma once

#include <memory>

#include "job/core/job.h"
#include "job/core/job_history.h"
#include "job/remote/web_auth_handler.h"
#include "job/storage/storage.h"

class RestoreJob : public Job, public WebAuthHandler {
public:
    // Takes ownership of the definition (a restore definition).
    explicit RestoreJob(JobDefinition* definition);
    ~RestoreJob() override;

    // Restarts a run that was interrupted (the record shows a busy, pausing
    // or cancelling state, or a pause by the system). False only without a
    // record.
    bool init() override;
    bool stop() override;

    // The storage's stop test: true when the job was told to stop or pause.
    bool stopRequested(int timeout) override { return !pollEvent(static_cast<DWORD>(timeout)); }
    void onError(DWORD) override {}

protected:
    void run() override;

    // The run's storage, started; null with the reason in the last error
    // (also when the definition is not a restore definition).
    RestoreStorage* createStorage();
    // Ends a run by its state (storage may be null: one is made for the end).
    void finish(RestoreStorage* storage);

private:
    bool writeSourceList(const std::wstring& path);
    // Applies the network rule: true when code is a network failure; the run
    // then pauses (unless a pause is under way already) and resumes later.
    bool pauseForNetwork(DWORD code);
    // Removes the run's history and work folders (but the error list that
    // the storage keeps, see above); the history record and the storage's
    // error list are no longer saved afterwards.
    void removeRunFolders(RestoreStorage* storage);
    void finalStep();
    void lastRunStep();

    JobHistoryInfo history_;
    std::string instance_;  // the run's instance id as text, once known
};
