#include "job/storage/storage.h"

#include "common/appdata_path.h"
#include "common/holders.h"
#include "common/text_conv.h"
#include "job/sources/activity_source.h"

WIN32_FILE_ATTRIBUTE_DATA described_attributes(const WIN32_FILE_ATTRIBUTE_DATA& attributes,
                                               const SourceRead& read) {
    WIN32_FILE_ATTRIBUTE_DATA described = attributes;
    if (!read.known) return described;
    described.nFileSizeHigh = static_cast<DWORD>(read.size >> 32);
    described.nFileSizeLow = static_cast<DWORD>(read.size);
    described.ftLastWriteTime = read.lastWriteTime;
    return described;
}

bool RestoreStorage::releaseErrors() {
    last_error_restorer keep;
    bool stays = errorsOutliveRun_ && errors_.bound() && !errors_.empty() && errors_.save();
    errors_.unbind();
    return stays;
}

void RestoreStorage::passed(uint32_t /*itemIndex*/, bool /*isFolder*/) { group_.passed(); }

void RestoreStorage::removeLostTemporaries(
    const char* jobId, JobActivity* record, RestoreTransformation& transformation,
    const std::function<bool(const std::wstring& path, std::wstring& target)>& place) {
    if (!record || !record->resumeFlag || !jobId) return;
    last_error_restorer keep;
    JobActivitySourceReader reader;
    if (!reader.open(job_source_path(jobId).c_str(),
                     static_cast<int64_t>(record->sourceListOffset.load())))
        return;
    uint32_t files = 0;
    for (uint32_t tag = reader.next(); tag != 0 && files < RestoreGroup::kGroupItems + lookahead();
         tag = reader.next()) {
        if (tag != kSourceTagFile) continue;
        ++files;
        JobActivitySourceItem item;
        std::wstring target;
        if (reader.item(item) && place(item.path, target)) transformation.removeTemporaryOf(target);
    }
}
