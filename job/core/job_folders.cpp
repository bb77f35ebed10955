#include "job/core/job_folders.h"

#include <ace/Log_Msg.h>

#include <atomic>

#include "common/ace_log_wrapper.h"
#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "common/text_conv.h"
#include "job/core/file_helpers.h"
#include "job/core/iocp_dispatcher.h"

namespace {

// A name in the staging folder that no other thread or process uses.
std::wstring staging_name(const std::wstring& staging, const wchar_t* what, const char* id) {
    static std::atomic<unsigned> counter{0};
    return staging + L"\\" + what + from_utf8(id, -1) + L"-" +
           std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

std::wstring job_folder(const char* id) {
    std::wstring folder;
    if (!common_appdata_path(folder, tovel::kJobSubFolderPrefix)) return std::wstring();
    return folder + from_utf8(id ? id : "", -1);
}

bool place_new_job_folder(const JobDefinition& definition) {
    std::wstring jobs, staging;
    if (!common_appdata_path(jobs, tovel::kJobsSubFolder) ||
        !common_appdata_path(staging, tovel::kJobsStagingSubFolder)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    std::wstring made = staging_name(staging, L"new-", definition.id());
    std::wstring target = jobs + L"\\" + from_utf8(definition.id(), -1);
    DWORD error = 0;
    if (!CreateDirectoryW(made.c_str(), nullptr)) {
        error = GetLastError();
        log_message(LM_ERROR, "Failed to create job folder \"%s\", error-code = %d, %m.\n",
                    to_utf8(made.c_str(), -1).c_str(), static_cast<int>(error));
        SetLastError(error);
        return false;
    }
    // The definition is flushed before the folder is renamed into place, and
    // the rename is flushed before the job is made: whatever stops the
    // process, the jobs folder holds either no folder of the job or one with
    // its whole definition.
    if (!definition.save((made + L"\\def").c_str())) {
        error = GetLastError();
    } else if (!MoveFileExW(made.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
        log_message(LM_ERROR, "Failed to place the folder of job %s, error-code = %d, %m.\n",
                    definition.id(), static_cast<int>(error));
    }
    if (error != 0) {
        rm_rf(made.c_str(), TRUE);
        SetLastError(error);
        return false;
    }
    return true;
}

DWORD discard_job_folder(const std::wstring& folder) {
    std::wstring staging;
    if (common_appdata_path(staging, tovel::kJobsStagingSubFolder)) {
        std::wstring gone = staging_name(staging, L"removed-", "");
        if (MoveFileExW(folder.c_str(), gone.c_str(), MOVEFILE_WRITE_THROUGH))
            return rm_rf(gone.c_str(), TRUE);
    }
    return rm_rf(folder.c_str(), TRUE);
}

bool quarantine_job_folder(const std::wstring& folder, const std::wstring& name) {
    std::wstring quarantine;
    if (!common_appdata_path(quarantine, tovel::kJobsQuarantineSubFolder)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    std::wstring target =
        quarantine + L"\\" + name + L"-" + std::to_wstring(Io_Completion_Port_Ex::localFileTime());
    std::wstring chosen = target;  // "-2", "-3"... for a name taken within the same millisecond
    for (int again = 2; exists(chosen); ++again) chosen = target + L"-" + std::to_wstring(again);
    if (!MoveFileExW(folder.c_str(), chosen.c_str(), MOVEFILE_WRITE_THROUGH)) {
        DWORD error = GetLastError();
        log_message(LM_ERROR, "Failed to move job directory \"%s\" aside, error-code = %d, %m.\n",
                    to_utf8(folder.c_str(), -1).c_str(), static_cast<int>(error));
        SetLastError(error);
        return false;
    }
    log_message(LM_WARNING, "Moved job directory \"%s\" aside to \"%s\".\n",
                to_utf8(folder.c_str(), -1).c_str(), to_utf8(chosen.c_str(), -1).c_str());
    return true;
}

void empty_job_staging() {
    std::wstring staging;
    if (common_appdata_path(staging, tovel::kJobsStagingSubFolder)) rm_rf(staging.c_str(), TRUE);
}
