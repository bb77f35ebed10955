// The request layer brings ACE, whose headers must come before the platform layer's.
#include "job/runs/increment_check.h"
//
#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include <cstring>
#include <cwchar>
#include <memory>
#include <set>
#include <sstream>

#include "common/ace_log_wrapper.h"
#include "common/appdata_path.h"
#include "common/find_file_handle.h"
#include "common/holders.h"
#include "common/text_conv.h"
#include "common/win32_error.h"
#include "job/core/file_helpers.h"
#include "job/core/job_cmd_queue.h"
#include "job/core/job_state.h"
#include "job/core/job_volume.h"
#include "job/core/speed_sampler.h"
#include "job/runs/backup_job.h"
#include "job/sources/candidate_list.h"
#include "job/sources/source_lookahead.h"
#include "job/storage/local_backup_storage.h"
#include "job/storage/web_backup_storage.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "scheduler/schedule_manager.h"
#include "wirekit/error_codes.h"
#include "wirekit/http_tables.h"

namespace {

constexpr uint64_t kResumeDelayMs = 30000;
constexpr uint64_t kResumeDelayTicks = 300000000;  // 30 s in 100-ns units

std::string name_of(const JobDefinition& definition) { return to_utf8(definition.name(), -1); }

// "%m"-style text of a failure for the storage-step messages.
std::string status_text(DWORD code) { return http_status_string(http_status_of(code)); }

}  // namespace

// ---- Error_Resume

void Error_Resume::handle_timeout(uint64_t due) {
    Iocp_Dispatcher* dispatcher = Iocp_Dispatcher::instance();
    if (due == ~0ull) {
        log_message(LM_ERROR, "Error_Resume: Re-schedule.\n");
        dispatcher->cancel_timer(this);
        dispatcher->schedule_timer(this,
                                   Io_Completion_Port_Ex::localFileTime() + kResumeDelayTicks);
        return;
    }
    if (!jobId_.empty()) JobCmdQueueImpl::instance()->add(jobId_, "resume");
    dispatcher->cancel_timer(this);
}

// ---- BackupJob

BackupJob::BackupJob(JobDefinition* definition) : Job(definition) {}

BackupJob::~BackupJob() {
    ScheduleManagerImpl* schedules = ScheduleManagerImpl::instance();
    schedules->Lock();
    schedules->UnscheduleImpl(id());
    schedules->Unlock();
    pause(false);
    wait(INFINITE);
    for (auto& entry : volumes_) delete entry.second;
    volumes_.clear();
}

bool BackupJob::init() {
    JobActivity* record = activity_.get();
    log_message(LM_INFO, "Init job {%s, %s}, state: %d, pre-commit-state: %d.\n", id(),
                name_of(*definition()).c_str(), state(), requestedTransition());
    if (!record) {
        log_message(LM_ERROR, "Initialize job {%s, %s} failed, can't get the job activity.\n", id(),
                    name_of(*definition()).c_str());
        return false;
    }
    int found = state();
    if (found >= JS_STARTING && found <= JS_COMPLETING) {
        record->resumeFlag = 1;
        startTask();
    } else if (found == JS_PAUSING || found == JS_CANCELING) {
        record->resumeFlag = 1;
        setRequestedTransition(found);
        // The interrupted request is sent again, so that the restarted run
        // pauses or stops instead of going on as a full run.
        if (startTask()) emit(found == JS_PAUSING ? CMD_PAUSE : CMD_STOP);
    } else if (found == JS_PAUSED) {
        if (!record->pausedManually) {
            record->resumeFlag = 1;
            startTask();
        }
    } else if (found == JS_COMPLETED && !isRunOnce()) {
        setState(JS_IDLE);
    }
    int now = state();
    if (now == JS_NONE || now == JS_IDLE || now == JS_COMPLETED || now == JS_CANCELLED ||
        now == JS_ERROR) {
        // A run whose clean-up was cut short after its final state was
        // written left its files: they go now.
        removeRunFiles(true);
    }
    schedule();
    return true;
}

bool BackupJob::stop() {
    log_message(LM_INFO, "Stopping job {%s, %s}, current state is %d, pre-commit state is %d.\n",
                id(), name_of(*definition()).c_str(), state(), requestedTransition());
    requester_.setEndEvent();
    return stopRun([this] { cleanup(nullptr); });
}

bool BackupJob::pause(bool manual) {
    log_message(LM_INFO, "Pausing job {%s, %s}, current state is %d, pre-commit state is %d.\n",
                id(), name_of(*definition()).c_str(), state(), requestedTransition());
    JobActivity* record = activity_.get();
    if (!record) return false;
    int current = state();
    if (current == JS_PAUSED && !record->pausedManually) {
        cancelResumeTimer();
        record->pausedManually = manual;
        activity_.sync();
    }
    if (current >= JS_STARTING && current <= JS_COMPLETING) {
        requester_.setEndEvent();
        return Job::pause(manual);
    }
    return true;
}

bool BackupJob::commandimpl(const std::string& command) {
    return command == "do_schedule" && schedule();
}

bool BackupJob::schedule() {
    JobActivity* record = activity_.get();
    if (!record) return false;
    uint64_t next = 0;
    bool armed = ScheduleManagerImpl::instance()->scheduleNextRun(
        id(), backupDefinition().creationTime(), backupDefinition().schedule(), isRunOnce(),
        record->lastRunTime, next);
    record->nextRunTime = next;
    activity_.sync();
    return armed;
}

void BackupJob::setError(DWORD code) {
    setState(JS_ERROR);
    notify_error(code);
}

bool BackupJob::cutShortByRequest(DWORD code) {
    if (code != ERROR_CANCELLED) return false;
    if (state() == JS_STARTING) pollEvent(0);
    int now = state();
    return now == JS_PAUSING || now == JS_CANCELING;
}

bool BackupJob::pauseForNetwork(DWORD code, bool notify) {
    if (!pausesForNetwork(code)) return false;
    Job::pause(false);
    pollEvent(0);
    if (notify) notify_state();
    armResumeTimer(std::make_unique<Error_Resume>(id()), kResumeDelayMs);
    return true;
}

void BackupJob::run() {
    ACE_TRACE("BackupJob::run");
    JobActivity* record = activity_.get();
    setState(JS_STARTING);
    activity_.sync();
    {
        std::ostringstream text;
        dumpState(text, JS_STARTING);
        log_message(LM_INFO, "%s.\n", text.str().c_str());
    }
    cancelResumeTimer();
    if (!setStartEvent()) {
        DWORD code = GetLastError();
        log_message(LM_ERROR, "Failed to set start event, %d, %m.\n", static_cast<int>(code));
        setError(code);
        return;
    }
    log_message(LM_DEBUG, "Start event released.\n");
    notify_state();

    std::unique_ptr<BackupStorage> storage;
    std::unique_ptr<SpeedCalc> sampler;
    auto reader = std::make_unique<JobActivitySourceReader>();
    bool com = false;
    do {
        if (!pollEvent(0)) break;
        sampler = std::make_unique<SpeedCalc>(record);
        log_message(LM_DEBUG, "Speed calculater registerred.\n");
        if (record->resumeFlag) {
            loadSavedVolumes();
            if (volumes_.empty()) {
                // Stopped before its volumes were saved, the run had not
                // begun anything that a resumption could continue.
                log_message(LM_INFO, "Job {%s, %s} has no saved volumes, starting it anew.\n", id(),
                            name_of(*definition()).c_str());
                record->resumeFlag = 0;
                record->sourceListOffset = 0;
                record->currentVolumeIndex = 0;
                record->currentItemIndex = 0;
            }
        }
        if (!record->resumeFlag) {
            record->runStartTime = Io_Completion_Port_Ex::localFileTime();
            releaseVolumes();
            removeRunFiles(false);  // whatever an earlier run left
            walkErrors_.clear();
            SourceClassifier()(definition()->source(), volumes_, &walkErrors_);
        }
        log_message(LM_DEBUG, "Volumes loaded.\n");
        if (!pollEvent(0)) break;

        HRESULT initialised = CoInitialize(nullptr);
        if (initialised != S_OK && initialised != S_FALSE) {
            log_message(LM_ERROR, "Failed to initial COM context, %s.\n",
                        win32_error_text(static_cast<DWORD>(initialised)).text());
            setError(GetLastError());
            break;
        }
        com = true;
        log_message(LM_DEBUG, "COM object initialized.\n");
        if (OptionsImpl::instance()->enableSnapshot()) {
            std::vector<std::wstring> paths;
            for (const auto& entry : volumes_) paths.push_back(entry.first);
            std::vector<wchar_t*> array;
            for (std::wstring& path : paths) array.push_back(path.data());
            array.push_back(nullptr);
            if (!requester_.startBackup(paths.empty() ? nullptr : array.data(), snapshotContext_,
                                        true)) {
                DWORD code = GetLastError();
                log_message(LM_ERROR, "Failed to start snapshot, %d, %m.\n",
                            static_cast<int>(code));
                setError(code);
                break;
            }
        }
        log_message(LM_DEBUG, "Volume snapshot created.\n");
        for (int i = 0; i < requester_.volumeCount(); ++i) {
            SnapwardVolume* taken = requester_.volume(i);
            if (!taken || !taken->volumePath) continue;
            auto found = volumes_.find(taken->volumePath);
            if (found == volumes_.end() || !found->second) continue;
            JobVolume& volume = *found->second;
            volume.snapshotSetId = taken->snapshotSetId;
            volume.snapshotId = taken->snapshotId;
            volume.creationTimestamp = taken->creationTimestamp;
            if (taken->shadowDevicePath) {
                volume.shadowPath = taken->shadowDevicePath;
                volume.state = 1;
            }
        }
        activity_.sync();
        for (auto& entry : volumes_)
            if (entry.second) entry.second->save(id());
        if (!pollEvent(0)) break;

        if (!buildSourceList()) {
            DWORD code = GetLastError();
            // Stopped or paused while the check waited: the run ends as asked.
            if (cutShortByRequest(code)) break;
            log_message(LM_DEBUG, "Start job failed.\n");
            notify_error(code);
            if (!pauseForNetwork(code, false)) setState(JS_ERROR);
            break;
        }
        // Only a whole list is read: a torn one would end the run early and
        // look like a finished one.
        std::wstring list = job_source_path(id());
        if (!source_list_complete(list) ||
            !reader->open(list.c_str(), static_cast<int64_t>(record->sourceListOffset))) {
            DWORD code = GetLastError();
            log_message(LM_ERROR, "Failed to open job activity source file, %d, %m.\n",
                        static_cast<int>(code));
            setError(code);
            break;
        }
        storage.reset(createStorage());
        if (!storage || !storage->start()) {
            DWORD code = GetLastError();
            // A pause or stop that cut the start's request short.
            if (cutShortByRequest(code)) break;
            log_message(LM_DEBUG, "Start job failed.\n");
            notify_error(code);
            if (!pauseForNetwork(code, true)) setState(JS_ERROR);
            break;
        }
        for (const auto& failed : walkErrors_)
            storage->addError(failed.first.c_str(), failed.second, nullptr);
        walkErrors_.clear();
        log_message(LM_DEBUG, "Job started.\n");
        if (!pollEvent(0)) break;
        setState(JS_RUNNING);
        notify_state();
        log_message(LM_INFO, "Start to backing up files.\n");

        JobVolume* volume = nullptr;
        for (auto& entry : volumes_)
            if (entry.second && entry.second->index == static_cast<int>(record->currentVolumeIndex))
                volume = entry.second;
        // The volume of the entries read ahead, and where their files are
        // read from; the storage hears of each file ahead when it wants to.
        JobVolume* aheadVolume = volume;
        size_t depth = storage->lookahead();
        SourceLookahead ahead(*reader, depth, [&](SourceLookahead::Entry& entry) {
            if (entry.tag == kSourceTagVolume) {
                std::wstring path;
                auto found = reader->volume(path) ? volumes_.find(path) : volumes_.end();
                if (found != volumes_.end() && found->second)
                    aheadVolume = entry.volume = found->second;
            } else if (entry.tag == kSourceTagFile) {
                if (aheadVolume)
                    entry.readPath =
                        snapshotPath(entry.item.path, aheadVolume->path, aheadVolume->shadowPath);
                if (depth > 0)
                    storage->prepare(entry.item.path.c_str(), &entry.item.data, entry.item.ordinal,
                                     entry.readPath.empty() ? nullptr : entry.readPath.c_str());
            }
        });
        uint32_t volumeIndex = record->currentVolumeIndex;
        for (;;) {
            SourceLookahead::Entry next = ahead.next();
            if (next.offset >= 0)
                storage->advance(record, static_cast<uint64_t>(next.offset), volumeIndex);
            uint32_t tag = next.tag;
            if (tag == 0) {
                DWORD code = next.code;
                if (code != ERROR_HANDLE_EOF) {
                    // A list that cannot be read is not a finished list.
                    setError(code);
                    break;
                }
                setState(JS_COMPLETING);
                notify_state();
                break;
            }
            if (tag == kSourceTagStartSet) {
                log_message(LM_INFO, "Start source files/directories set.\n");
            } else if (tag == kSourceTagEndSet) {
                log_message(LM_INFO, "End source files/directories set.\n");
            } else if (tag == kSourceTagVolume) {
                log_message(LM_INFO, "Skip backup volumn item.\n");
                if (next.volume) {
                    volume = next.volume;
                    volumeIndex = static_cast<uint32_t>(volume->index);
                }
            } else if (tag == kSourceTagDirectory || tag == kSourceTagFile) {
                JobActivitySourceItem& item = next.item;
                record->currentFilePath(item.path.c_str());
                const wchar_t* source = next.readPath.empty() ? nullptr : next.readPath.c_str();
                if (!storage->backupFile(item.path.c_str(), &item.data, item.ordinal, source)) {
                    DWORD code = GetLastError();
                    if (pausesForNetwork(code)) {
                        notify_error(code);
                        if (state() != JS_PAUSING) pauseForNetwork(code, false);
                    } else if (code != ERROR_CANCELLED) {
                        // Folders too: a refused one is in the run's errors.
                        storage->addError(item.path.c_str(), code, nullptr);
                    }
                }
                // Work files are the storage's: it keeps a half-sent one for
                // the resumed run and removes the others itself.
                if (state() != JS_RUNNING) break;
            }
        }
    } while (false);

    reader.reset();
    if (com) CoUninitialize();
    sampler.reset();
    cleanup(std::move(storage));
    postCompletion();
}

void BackupJob::cleanup(std::unique_ptr<BackupStorage> storage) {
    requester_.endBackup();
    {
        std::ostringstream text;
        dumpState(text, state());
        log_message(LM_INFO, "%s.\n", text.str().c_str());
    }
    switch (state()) {
        case JS_NONE:
            releaseVolumes();
            return;
        case JS_COMPLETING:
        case JS_CANCELING: {
            bool goOn = true;
            storageStep(storage.get(), goOn);
            if (!goOn) return;
            storage.reset();
            // The final state is on the disk before any file of the run goes:
            // a run stopped in between is finished, and its leftovers are
            // removed when the job is loaded again (init).
            finalStep();
            fileStep();
            return;
        }
        case JS_PAUSING:
            finalStep();
            return;
        case JS_ERROR:
            storage.reset();
            finalStep();
            fileStep();
            return;
        default:
            setRequestedTransition(0);
            activity_.sync();
            releaseVolumes();
            return;
    }
}

void BackupJob::storageStep(BackupStorage* storage, bool& goOn) {
    last_error_restorer keep;
    std::unique_ptr<BackupStorage> made;
    if (!storage) {
        made.reset(createStorage());
        storage = made.get();
    }
    bool ending = state() == JS_COMPLETING;
    bool done = storage && (ending ? storage->end() : storage->cancel());
    if (done) return;
    DWORD code = storage ? GetLastError() : GetLastError();
    const char* action = ending ? "end" : "cancel";
    if (is_http_error_code(code))
        log_message(LM_ERROR, "Failed to %s job {%s, %s}, error-code = %d, %s, retrying latter.\n",
                    action, id(), name_of(*definition()).c_str(), static_cast<int>(code),
                    status_text(code).c_str());
    else
        log_message(LM_ERROR, "Failed to %s job {%s, %s}, error-code = %d, %m, retrying latter.\n",
                    action, id(), name_of(*definition()).c_str(), static_cast<int>(code));
    if (!ending) return;  // a failed cancel goes on as if it had succeeded
    Job::pause(false);
    pollEvent(0);
    setState(JS_PAUSED);
    notify_state();
    armResumeTimer(std::make_unique<Error_Resume>(id()), kResumeDelayMs);
    keep.dismiss();
    SetLastError(code);
    goOn = false;  // the volumes and files stay for the resumed run
}

void BackupJob::fileStep() {
    activity_.sync();
    removeRunFiles(true);
}

void BackupJob::removeRunFiles(bool history) {
    rmfile_f(job_source_path(id()).c_str());
    rmfile_f((job_source_path(id()) + L".new").c_str());
    rmfile_f(candidate_list_path(job_source_path(id())).c_str());
    rmfile_f(candidate_body_path(candidate_list_path(job_source_path(id()))).c_str());
    std::string instance = activity_->instanceText();
    std::wstring folder;
    if (history && !instance.empty() && job_history_path(folder, id(), instance.c_str()))
        rm_rf(folder.c_str(), TRUE);
    rm_rf(job_temp_path(id()).c_str(), TRUE);
    // Saved volumes of a finished run (its clean-up was cut short).
    if (job_volume_path(folder, id())) {
        find_file_handle search;
        std::vector<std::wstring> names;
        for (bool found = search.first((folder + L"\\*").c_str()); found; found = search.next()) {
            std::wstring name = search.data().cFileName;
            if (name != L"." && name != L"..") names.push_back(name);
        }
        for (const std::wstring& name : names) rmfile_f((folder + L"\\" + name).c_str());
    }
}

void BackupJob::finalStep() {
    int current = state();
    int final = current == JS_CANCELING    ? JS_CANCELLED
                : current == JS_PAUSING    ? JS_PAUSED
                : current == JS_COMPLETING ? JS_COMPLETED
                                           : current;
    notify_state(final);
    if (final != JS_PAUSED) {
        activity_->lastRunState = final;
        activity_->lastRunTime = Io_Completion_Port_Ex::localFileTime();
        if (!isRunOnce()) {
            notify_state(JS_IDLE);
            final = JS_IDLE;
        }
        schedule();
    }
    setState(final);
    setRequestedTransition(0);
    activity_.sync();
    releaseVolumes();
}

void BackupJob::releaseVolumes() {
    int current = state();
    bool finished = current == JS_IDLE || current == JS_COMPLETED || current == JS_CANCELLED ||
                    current == JS_ERROR;
    for (auto& entry : volumes_) {
        if (!entry.second) continue;
        if (finished) entry.second->remove(id());
        delete entry.second;
    }
    volumes_.clear();
}

bool BackupJob::loadSavedVolumes() {
    releaseVolumes();
    std::wstring folder;
    if (!job_volume_path(folder, id())) return false;
    find_file_handle search;
    for (bool found = search.first((folder + L"\\*").c_str()); found; found = search.next()) {
        std::wstring name = search.data().cFileName;
        if (name == L"." || name == L"..") continue;
        auto volume = std::make_unique<JobVolume>();
        volume->index = static_cast<int>(std::wcstol(name.c_str(), nullptr, 10));
        if (!volume->load(id()) || volumes_.count(volume->path)) continue;
        // The key is taken before the release: the right side of an
        // assignment is evaluated first.
        const std::wstring path = volume->path;
        volumes_[path] = volume.release();
    }
    return true;
}

BackupStorage* BackupJob::createStorage() {
    last_error_restorer keep;
    const BackupJobDefinition& backup = backupDefinition();
    std::unique_ptr<BackupStorage> storage;
    const wchar_t* offline = backup.offlineLocation();
    if (offline && *offline)
        storage = std::make_unique<LocalBackupStorage>(&backup, this);
    else
        storage = std::make_unique<WebBackupStorage>(&backup, this);
    if (!storage->init(activity_.get(), new BackupTransformation(backup.compression()))) {
        keep.dismiss();
        return nullptr;
    }
    return storage.release();
}

// The run's list of items: walked from the volumes, cut down by the
// server's increment check to the paths it names, and written to "act\src".
bool BackupJob::buildSourceList() {
    Handler_Stop_Check stop(*this);
    Source_List_Run run;
    run.jobId = id();
    run.user = definition()->user();
    run.definition = &backupDefinition();
    run.volumes = &volumes_;
    run.record = activity_.get();
    run.stop = &stop;
    return build_source_list(run, job_source_path(id()), walkErrors_);
}
