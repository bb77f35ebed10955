#include "job/storage.h"

#include "common/holders.h"
#include "common/text_conv.h"
#include "job/note_file.h"

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

std::wstring RestoreStorage::markPath(const std::wstring& work, uint32_t itemIndex) {
    return work + L"\\" + std::to_wstring(itemIndex) + L".written";
}

void RestoreStorage::markFreshTarget(const std::wstring& work, uint32_t itemIndex,
                                     const std::wstring& target) {
    last_error_restorer keep;
    write_note(markPath(work, itemIndex), to_utf8(target));
}

bool RestoreStorage::writtenEarlier(const std::wstring& work, uint32_t itemIndex) {
    std::string text = read_note(markPath(work, itemIndex));
    if (text.empty()) return false;
    DWORD attributes = GetFileAttributesW(from_utf8(text).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}
