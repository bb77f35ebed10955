// The storages bring ACE, whose headers must come before the platform layer's.
#include "job/storage/web_restore_storage.h"
//
#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include <cstring>
#include <sstream>
#include <vector>

#include "common/ace_log_wrapper.h"
#include "common/appdata_path.h"
#include "common/find_file_handle.h"
#include "common/holders.h"
#include "common/text_conv.h"
#include "common/win32_error.h"
#include "job/core/file_helpers.h"
#include "job/core/job_state.h"
#include "job/core/speed_sampler.h"
#include "job/runs/backup_job.h"
#include "job/runs/restore_job.h"
#include "job/sources/activity_source.h"
#include "job/sources/source_lookahead.h"
#include "job/storage/local_restore_storage.h"
#include "plandeck/restore_job_definition.h"
#include "wirekit/error_codes.h"

namespace {

constexpr uint64_t kResumeDelayMs = 30000;

std::string name_of(const JobDefinition& definition) { return to_utf8(definition.name(), -1); }

FILETIME file_time(uint64_t value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}

// The number of items in a restore list (its folder and file records).
size_t count_items(const std::wstring& list) {
    JobActivitySourceReader reader;
    if (!reader.open(list.c_str(), 0)) return 0;
    size_t count = 0;
    for (uint32_t tag = reader.next(); tag != 0; tag = reader.next())
        if (tag == kSourceTagDirectory || tag == kSourceTagFile) ++count;
    return count;
}

// Removes everything in folder but the entry named kept.
void remove_all_but(const std::wstring& folder, const wchar_t* kept) {
    std::vector<std::wstring> names;
    find_file_handle search;
    for (bool found = search.first((folder + L"\\*").c_str()); found; found = search.next()) {
        std::wstring name = search.data().cFileName;
        if (name != L"." && name != L".." && name != kept) names.push_back(name);
    }
    for (const std::wstring& name : names) rm_rf((folder + L"\\" + name).c_str(), TRUE);
}

}  // namespace

RestoreJob::RestoreJob(JobDefinition* definition) : Job(definition) {}

RestoreJob::~RestoreJob() { endRun(); }

bool RestoreJob::init() {
    JobActivity* record = activity_.get();
    if (!record) return false;
    int found = state();
    if (found == JS_STARTING || found == JS_RUNNING) {
        record->resumeFlag = 1;
        startTask();
    } else if (found == JS_COMPLETING || found == JS_PAUSING || found == JS_CANCELING) {
        record->resumeFlag = 1;
        setRequestedTransition(found);
        // An interrupted pause or stop is asked for again, so that the
        // restarted run pauses or stops instead of going on as a full run.
        if (startTask() && found != JS_COMPLETING) emit(found == JS_PAUSING ? CMD_PAUSE : CMD_STOP);
    } else if (found == JS_PAUSED && !record->pausedManually) {
        record->resumeFlag = 1;
        startTask();
    }
    return true;
}

bool RestoreJob::stop() {
    return stopRun([this] { finish(nullptr); });
}

bool RestoreJob::pauseForNetwork(DWORD code) {
    if (!pausesForNetwork(code)) return false;
    notify_error(code);
    if (requestedTransition() != JS_PAUSING && state() != JS_PAUSING) {
        Job::pause(false);
        pollEvent(0);
        armResumeTimer(std::make_unique<Error_Resume>(id()), kResumeDelayMs);
    }
    return true;
}

RestoreStorage* RestoreJob::createStorage() {
    const auto* restore = dynamic_cast<const RestoreJobDefinition*>(definition());
    if (!restore) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::unique_ptr<RestoreStorage> storage;
    const wchar_t* offline = restore->offlineLocation();
    if (offline && *offline)
        storage = std::make_unique<LocalRestoreStorage>(restore, this);
    else
        storage = std::make_unique<WebRestoreStorage>(restore, this);
    if (!storage->start(activity_.get(), &history_)) return nullptr;
    return storage.release();
}

bool RestoreJob::writeSourceList(const std::wstring& path) {
    JobActivity* record = activity_.get();
    record->totalDirectories = 0;
    record->totalFiles = 0;
    return save_source_list(path, [this, record](JobHistorySourceWriter& writer) {
        uint32_t folders = 0, files = 0;
        for (const std::wstring& source : definition()->source()) {
            if (source.empty()) continue;
            WIN32_FILE_ATTRIBUTE_DATA data{};
            bool folder = source.back() == L'\\';
            if (folder) data.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
            if (!writer.addFile(source.c_str(), data, folder ? ++folders : ++files, 0)) {
                // A path the list cannot hold fails on its own; the rest goes on.
                if (GetLastError() != ERROR_FILENAME_EXCED_RANGE) return false;
                continue;
            }
            if (folder)
                ++record->totalDirectories;
            else
                ++record->totalFiles;
        }
        return true;
    });
}

void RestoreJob::run() {
    ACE_TRACE("RestoreJob::run");
    JobActivity* record = activity_.get();
    setState(JS_STARTING);
    activity_.sync();
    cancelResumeTimer();
    if (!setStartEvent()) {
        setState(JS_ERROR);
        notify_error(GetLastError());
        return;
    }
    log_message(LM_DEBUG, "Start event set.\n");
    notify_state();

    std::unique_ptr<RestoreStorage> storage;
    std::unique_ptr<SpeedCalc> sampler;
    JobActivitySourceReader reader;
    do {
        if (!pollEvent(0)) break;
        sampler = std::make_unique<SpeedCalc>(record);
        log_message(LM_DEBUG, "Speed calculater registered.\n");
        if (!record->resumeFlag) record->runStartTime = Io_Completion_Port_Ex::localFileTime();
        activity_.sync();

        instance_ = record->instanceText();
        if (!record->resumeFlag) history_.reset();
        std::wstring folder;
        if (!instance_.empty() && job_history_path(folder, id(), instance_.c_str()))
            history_.load(to_utf8(folder + L"\\info").c_str());
        history_.setType("restore");
        log_message(LM_DEBUG, "Job history information loaded.\n");
        if (!pollEvent(0)) break;

        std::wstring list = job_source_path(id());
        if (!(record->resumeFlag && fileExists(list))) {
            if (!writeSourceList(list)) {
                DWORD code = GetLastError();
                log_message(LM_ERROR, "Failed to generate activity source file, error = %d, %s.\n",
                            static_cast<int>(code), win32_error_text(code).text());
                setState(JS_ERROR);
                notify_error(code);
                break;
            }
        }
        log_message(LM_DEBUG,
                    "Job source list generated, total size is %Q, total files is %d, total "
                    "directories is %d.\n",
                    static_cast<unsigned long long>(record->totalBytes),
                    static_cast<int>(record->totalFiles),
                    static_cast<int>(record->totalDirectories));
        const auto& restore = static_cast<const RestoreJobDefinition&>(*definition());
        record->totalBytes = restore.totalsize();
        record->totalDirectories = static_cast<uint32_t>(restore.totaldirectories());
        record->totalFiles = static_cast<uint32_t>(restore.totalfiles());

        // Only a whole list is read: a torn one would end the run early and
        // look like a finished one.
        if (!source_list_complete(list) ||
            !reader.open(list.c_str(), static_cast<int64_t>(record->sourceListOffset))) {
            DWORD code = GetLastError();
            log_message(LM_ERROR,
                        "Failed to open job activity source file to read, error = %d, %s.\n",
                        static_cast<int>(code), win32_error_text(code).text());
            setState(JS_ERROR);
            notify_error(code);
            break;
        }
        log_message(LM_DEBUG, "Job source reader ready.\n");
        if (!pollEvent(0)) break;

        storage.reset(createStorage());
        if (!storage) {
            DWORD code = GetLastError();
            log_message(LM_DEBUG, "Start job failed.\n");
            if (!pauseForNetwork(code)) {
                setState(JS_ERROR);
                notify_error(code);
            }
            break;
        }
        log_message(LM_DEBUG, "Job started.\n");
        if (!pollEvent(0)) break;
        setState(JS_RUNNING);
        notify_state();
        history_.setInstanceId(instance_.c_str());
        history_.setStartTime(file_time(record->runStartTime));
        history_.setFilesCount(record->totalFiles);
        history_.setState("run");
        history_.setTotalSize(record->totalBytes);
        log_message(LM_DEBUG, "Start to restore files/directories.\n");

        std::wstring machine = definition()->machine();
        // The items read ahead of the one worked on, for the storage to
        // prepare (none when its lookahead is 0: each is read in its turn).
        // The offsets the storage is given stay those of the worked entry.
        size_t depth = storage->lookahead();
        SourceLookahead ahead(reader, depth, [&](SourceLookahead::Entry& entry) {
            if (depth > 0 && (entry.tag == kSourceTagDirectory || entry.tag == kSourceTagFile))
                storage->prepare(entry.item.path.c_str(), machine, entry.tag == kSourceTagDirectory,
                                 entry.item.ordinal);
        });
        while (state() == JS_RUNNING) {
            // A pause or stop asked for between two items takes effect here,
            // before the next item is read: a storage that never asks (the
            // offline one) would otherwise restore everything first.
            if (!pollEvent(0)) break;
            SourceLookahead::Entry entry = ahead.next();
            if (entry.offset >= 0) storage->advance(record, static_cast<uint64_t>(entry.offset));
            uint32_t tag = entry.tag;
            if (tag == 0) {
                DWORD code = entry.code;
                if (code != ERROR_HANDLE_EOF) {
                    // A list that cannot be read is not a finished list.
                    setState(JS_ERROR);
                    notify_error(code);
                    break;
                }
                history_.setSpeed(record->AverageSpeed());
                setState(JS_COMPLETING);
                notify_state();
                break;
            }
            if (tag == kSourceTagVolume) {
                log_message(LM_INFO, "Skip restore volumn item.\n");
            } else if (tag == kSourceTagStartSet) {
                log_message(LM_INFO, "Start of files/directories list.\n");
            } else if (tag == kSourceTagEndSet) {
                log_message(LM_INFO, "End of files/directories list.\n");
            } else if (tag == kSourceTagDirectory || tag == kSourceTagFile) {
                const JobActivitySourceItem& item = entry.item;
                record->currentFilePath(item.path.c_str());
                record->currentItemIndex = item.ordinal;
                bool pending = false;
                if (storage->restore(item.path.c_str(), machine, tag == kSourceTagDirectory,
                                     item.ordinal)) {
                    pending = storage->itemPending();
                } else {
                    DWORD code = GetLastError();
                    // The item stays the list's current one: the resumed run
                    // presents it again.
                    if (pauseForNetwork(code)) break;
                    if (code == ERROR_CANCELLED)
                        pending = true;  // cut short by the stop, not failed
                    else
                        storage->addError(item.path.c_str(), code, nullptr);
                }
                // A stop that cut an item short leaves it, with its work file,
                // for the resumed run; a finished item is never presented
                // again (a second restore of it would make a renamed copy).
                if (pending && state() != JS_RUNNING) break;
                // The record is a shared mapping of its file: the offset
                // outlives a killed process without being forced to disk;
                // the storage writes it (at once, or once the group's files
                // are in place) and forces it with its durable group.
                if (entry.after >= 0) storage->advance(record, static_cast<uint64_t>(entry.after));
                storage->passed(item.ordinal, tag == kSourceTagDirectory);
            }
        }
    } while (false);

    // Whatever way the run ends, what its record reports is on the disk, and
    // nothing of the items read ahead stays behind.
    if (storage) {
        storage->dropPrepared();
        storage->settle();
    }
    sampler.reset();
    finish(storage.get());
    postCompletion();
    storage.reset();
}

void RestoreJob::finish(RestoreStorage* storage) {
    {
        std::ostringstream text;
        dumpState(text, state());
        log_message(LM_INFO, "%s.\n", text.str().c_str());
    }
    int current = state();
    switch (current) {
        case JS_COMPLETING:
        case JS_CANCELING: {
            history_.setEndTime(file_time(Io_Completion_Port_Ex::localFileTime()));
            history_.setSpeed(activity_->AverageSpeed());
            history_.setState(
                jobStateToString(current == JS_COMPLETING ? JS_COMPLETED : JS_CANCELLED));
            DWORD kept = GetLastError();
            std::unique_ptr<RestoreStorage> made;
            if (!storage) {
                made.reset(createStorage());
                storage = made.get();
            }
            if (storage && storage->end(current == JS_CANCELING)) {
                SetLastError(kept);
            } else {
                DWORD code = GetLastError();
                if (current == JS_COMPLETING) {
                    log_message(LM_ERROR,
                                "Failed to end/cancel job, error-code = %d, %s, retrying...\n",
                                static_cast<int>(code), win32_error_text(code).text());
                    Job::pause(false);
                    pollEvent(0);
                    setState(JS_PAUSED);
                    notify_state();
                    armResumeTimer(std::make_unique<Error_Resume>(id()), kResumeDelayMs);
                    history_.save();
                    SetLastError(code);
                    return;
                }
                notify_error(code);
                log_message(LM_ERROR, "Failed to end/cancel job, error-code = %d, %m.\n",
                            static_cast<int>(code));
                SetLastError(code);
            }
            // A run in which every item failed restored nothing: it ends in
            // error, not completed.
            if (current == JS_COMPLETING && storage) {
                size_t failed = storage->failureCount();
                size_t items = count_items(job_source_path(id()));
                if (failed > 0)
                    log_message(LM_ERROR, "Restore job {%s, %s}: %d of %d items failed.\n", id(),
                                name_of(*definition()).c_str(), static_cast<int>(failed),
                                static_cast<int>(items));
                if (items > 0 && failed >= items) {
                    setState(JS_ERROR);
                    notify_error(ERROR_GEN_FAILURE);
                }
            }
            history_.reset();
            removeRunFolders(storage);
            finalStep();
            break;
        }
        case JS_ERROR:
            removeRunFolders(storage);
            finalStep();
            break;
        case JS_PAUSING:
            history_.save();
            finalStep();
            break;
        case JS_NONE:
            setRequestedTransition(0);
            activity_.sync();
            return;
        default:
            lastRunStep();
            break;
    }
}

void RestoreJob::removeRunFolders(RestoreStorage* storage) {
    // Without the instance text the history path would name the job's whole
    // history folder: nothing is removed then.
    std::wstring folder;
    if (!instance_.empty() && job_history_path(folder, id(), instance_.c_str())) {
        history_.unbind();
        if (storage && storage->releaseErrors())
            remove_all_but(folder, L"err");  // the run's only record of its failed items
        else
            rm_rf(folder.c_str(), TRUE);
    }
    rm_rf(job_temp_path(id()).c_str(), TRUE);
}

void RestoreJob::finalStep() {
    int current = state();
    int final = current == JS_PAUSING      ? JS_PAUSED
                : current == JS_CANCELING  ? JS_CANCELLED
                : current == JS_COMPLETING ? JS_COMPLETED
                                           : current;
    setState(final);
    notify_state();
    lastRunStep();
}

void RestoreJob::lastRunStep() {
    if (state() != JS_PAUSED) {
        activity_->lastRunState = state();
        activity_->lastRunTime = Io_Completion_Port_Ex::localFileTime();
    }
    setRequestedTransition(0);
    activity_.sync();
}
