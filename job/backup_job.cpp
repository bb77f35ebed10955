// The request layer brings ACE, whose headers must come before the platform layer's.
#include "job/remote_requests.h"
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
#include "job/backup_job.h"
#include "job/cookie_manager.h"
#include "job/error_codes.h"
#include "job/file_helpers.h"
#include "job/job_cmd_queue.h"
#include "job/job_state.h"
#include "job/job_volume.h"
#include "job/local_backup_storage.h"
#include "job/options.h"
#include "job/speed_sampler.h"
#include "job/web_backup_storage.h"
#include "scheduler/schedule_manager.h"
#include "wirekit/http_tables.h"

namespace {

constexpr uint64_t kResumeDelayMs = 30000;
constexpr uint64_t kResumeDelayTicks = 300000000;  // 30 s in 100-ns units
constexpr DWORD kNoCandidates = 0x2001025A;

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
        } else {
            record->runStartTime = Io_Completion_Port_Ex::localFileTime();
            releaseVolumes();
            SourceClassifier()(definition()->source(), volumes_);
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
            log_message(LM_DEBUG, "Start job failed.\n");
            notify_error(code);
            if (!pauseForNetwork(code, false)) setState(JS_ERROR);
            break;
        }
        if (!reader->open(job_source_path(id()).c_str(),
                          static_cast<int64_t>(record->sourceListOffset))) {
            DWORD code = GetLastError();
            log_message(LM_ERROR, "Failed to open job activity source file, %d, %m.\n",
                        static_cast<int>(code));
            setError(code);
            break;
        }
        storage.reset(createStorage());
        if (!storage || !storage->start()) {
            DWORD code = GetLastError();
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
        for (;;) {
            int64_t offset = reader->offset();
            if (offset >= 0) record->sourceListOffset = static_cast<uint64_t>(offset);
            uint32_t tag = reader->next();
            if (tag == 0) {
                DWORD code = GetLastError();
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
                std::wstring path;
                if (reader->volume(path)) {
                    auto found = volumes_.find(path);
                    if (found != volumes_.end() && found->second) {
                        volume = found->second;
                        record->currentVolumeIndex = static_cast<uint32_t>(volume->index);
                    }
                }
            } else if (tag == kSourceTagDirectory || tag == kSourceTagFile) {
                JobActivitySourceItem item;
                if (!reader->item(item)) continue;
                record->currentFilePath(item.path.c_str());
                std::wstring readPath;
                const wchar_t* source = nullptr;
                if (tag == kSourceTagFile && volume) {
                    readPath = snapshotPath(item.path, volume->path, volume->shadowPath);
                    source = readPath.c_str();
                }
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
            fileStep();
            finalStep();
            return;
        }
        case JS_PAUSING:
            finalStep();
            return;
        case JS_ERROR:
            storage.reset();
            fileStep();
            finalStep();
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
    rmfile_f(job_source_path(id()).c_str());
    std::string instance = activity_->instanceText();
    std::wstring history;
    if (!instance.empty() && job_history_path(history, id(), instance.c_str()))
        rm_rf(history.c_str(), TRUE);
    rm_rf(job_temp_path(id()).c_str(), TRUE);
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
    DWORD result = GetLastError();
    log_message(LM_DEBUG, "Generating source list.\n");
    JobActivity* record = activity_.get();
    std::wstring list = job_source_path(id());
    if (record->resumeFlag && fileExists(list)) {
        SetLastError(result);
        return true;
    }
    JobActivitySourceGenerator generator;
    {
        std::unique_ptr<FilterPolicy> filter(FilterPolicyFactory::create(backupDefinition()));
        if (!generator(volumes_, filter.get())) {
            DWORD code = GetLastError();
            log_message(LM_ERROR, "Failed to generator the job activity source, %d, %m.\n",
                        static_cast<int>(code));
            SetLastError(code);
            return false;
        }
    }
    walkErrors_ = generator.walkErrors();
    std::string host;
    unsigned short port = 0;
    OptionsImpl::instance()->getServerInfo(host, port);
    if (host.empty() || port == 0) {
        log_message(LM_ERROR,
                    "Failed to get the server information while doing increment check.\n");
        SetLastError(http_error_code(503));
        return false;
    }
    std::string cookie;
    if (!ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance()
             ->findCookie(definition()->user(), cookie) ||
        cookie.empty()) {
        log_message(LM_ERROR, "Failed to find cookie while doing increment check.\n");
        SetLastError(http_error_code(401));
        return false;
    }
    if (generator.items().empty()) {
        SetLastError(kNoCandidates);
        return false;
    }
    json_spirit::Array sources;
    std::set<std::string> candidates;
    for (const JobActivitySourceItem& item : generator.items()) {
        json_spirit::Object entry;
        std::string path = to_utf8(item.path.c_str(), -1);
        entry["path"] = path;
        entry["mtimeHigh"] = static_cast<int>(item.data.ftLastWriteTime.dwHighDateTime);
        entry["mtimeLow"] = static_cast<int>(item.data.ftLastWriteTime.dwLowDateTime);
        sources.push_back(entry);
        candidates.insert(path);
    }
    json_spirit::Object body;
    body["id"] = id();
    // The list is moved, not copied, into the request: it is the largest
    // thing a run of many files holds.
    body["source"] = std::move(sources);
    Web_Server_Invoker invoker;
    ::Command<Increament_Check_Request, Response_T<json_spirit::Value>> check("increment check");
    check.request().build(cookie, json_spirit::Value(std::move(body)));
    if (invoker.invokeWithRetry(check) != 0) return false;
    int status = check.response().status();
    if (status != 200) {
        SetLastError(http_error_code(status));
        return false;
    }
    const json_spirit::Value& reply = check.response().body();
    if (reply.type() != json_spirit::array_type) {
        SetLastError(kMalformedReply);
        return false;
    }
    std::vector<std::string> paths;
    for (const json_spirit::Value& element : reply.get_array()) {
        // Only what this run offered: the server cannot add paths of its own.
        if (element.type() == json_spirit::str_type && candidates.count(element.get_str()))
            paths.push_back(element.get_str());
    }
    generator.listSources(paths);
    record->totalFiles = generator.fileCount();
    record->totalDirectories = generator.directoryCount();
    record->totalBytes = generator.fileSize();
    if (!generator.save(list.c_str())) return false;
    log_message(LM_DEBUG, "Source list generated.\n");
    SetLastError(result);
    return true;
}
