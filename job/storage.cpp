#include "job/storage.h"

#include "common/holders.h"
#include "common/text_conv.h"

std::wstring RestoreStorage::markPath(const std::wstring& work, uint32_t itemIndex) {
    return work + L"\\" + std::to_wstring(itemIndex) + L".written";
}

void RestoreStorage::markFreshTarget(const std::wstring& work, uint32_t itemIndex,
                                     const std::wstring& target) {
    scoped_handle mark(CreateFileW(markPath(work, itemIndex).c_str(), GENERIC_WRITE, 0, nullptr,
                                   CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string text = to_utf8(target);
    DWORD written = 0;
    if (mark.valid())
        WriteFile(mark.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

bool RestoreStorage::writtenEarlier(const std::wstring& work, uint32_t itemIndex) {
    scoped_handle mark(CreateFileW(markPath(work, itemIndex).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!mark.valid()) return false;
    std::string text;
    char chunk[4096];
    DWORD read = 0;
    while (text.size() < 65536 && ReadFile(mark.get(), chunk, sizeof chunk, &read, nullptr) &&
           read > 0)
        text.append(chunk, read);
    if (text.empty()) return false;
    DWORD attributes = GetFileAttributesW(from_utf8(text).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}
