#include "job/restore_group.h"

#include <cstdio>
#include <cstdlib>

#include "common/ace_log_wrapper.h"
#include "common/text_conv.h"
#include "common/win32_error.h"
#include "job/note_file.h"

namespace {

constexpr wchar_t kMarkName[] = L"written";

// The drive letter of a path "X:..." or "\\?\X:..." in lower case; 0 for
// any other.
wchar_t drive_of(const std::wstring& path) {
    size_t at = path.rfind(L"\\\\?\\", 0) == 0 ? 4 : 0;
    if (path.size() < at + 2 || path[at + 1] != L':') return 0;
    wchar_t letter = path[at] | 0x20;
    return letter >= L'a' && letter <= L'z' ? letter : 0;
}

}  // namespace

RestoreGroup::~RestoreGroup() {
    for (auto& volume : volumes_)
        if (volume.second != INVALID_HANDLE_VALUE) CloseHandle(volume.second);
}

std::wstring RestoreGroup::tokenOf(const JobActivity* record) {
    if (!record) return std::wstring();
    wchar_t text[9];
    std::swprintf(text, 9, L"%02x%02x%02x%02x", record->instanceId[3], record->instanceId[2],
                  record->instanceId[1], record->instanceId[0]);
    return text;
}

void RestoreGroup::start(JobActivity* record, const std::wstring& work,
                         std::function<void()> before) {
    record_ = record;
    before_ = std::move(before);
    items_ = 0;
    groupStart_ = GetTickCount64();
    pending_ = false;
    earlierIndex_ = 0;
    earlierTarget_.clear();
    markFile_.reset();
    markPath_.clear();
    if (work.empty()) return;
    markPath_ = work + L"\\" + kMarkName;
    std::string text = read_note(markPath_);
    size_t end = text.find('\0');
    if (end != std::string::npos) text.resize(end);
    size_t line = text.find('\n');
    if (line != std::string::npos) {
        earlierIndex_ = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
        earlierTarget_ = from_utf8(text.substr(line + 1));
    }
}

bool RestoreGroup::grouped(const std::wstring& target) {
    wchar_t letter = drive_of(target);
    if (!letter) return false;
    auto found = volumes_.find(letter);
    if (found != volumes_.end()) {
        pending_ = pending_ || found->second != INVALID_HANDLE_VALUE;
        return found->second != INVALID_HANDLE_VALUE;
    }
    wchar_t device[] = L"\\\\.\\X:";
    device[4] = letter;
    HANDLE volume =
        CreateFileW(device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        log_message(LM_WARNING,
                    "Volume %c: cannot be flushed as a whole, %s: its restored files are forced "
                    "to the disk one by one.\n",
                    static_cast<char>(letter), win32_error_text(code).text());
    }
    volumes_[letter] = volume;
    pending_ = pending_ || volume != INVALID_HANDLE_VALUE;
    return volume != INVALID_HANDLE_VALUE;
}

void RestoreGroup::mark(uint32_t itemIndex, const std::wstring& target) {
    if (markPath_.empty()) return;
    last_error_restorer keep;
    if (!markFile_.valid()) {
        markFile_.reset(CreateFileW(markPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!markFile_.valid()) return;
    }
    // Written over in place: the text ends at its NUL.
    std::string text = std::to_string(itemIndex) + "\n" + to_utf8(target);
    text.push_back('\0');
    LARGE_INTEGER start{};
    DWORD written = 0;
    if (!SetFilePointerEx(markFile_.get(), start, nullptr, FILE_BEGIN) ||
        !WriteFile(markFile_.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                   nullptr))
        markFile_.reset();
}

bool RestoreGroup::writtenEarlier(uint32_t itemIndex) const {
    if (earlierIndex_ == 0 || earlierIndex_ != itemIndex || earlierTarget_.empty()) return false;
    DWORD attributes = GetFileAttributesW(earlierTarget_.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool RestoreGroup::passed() {
    ++items_;
    if (items_ < kGroupItems && GetTickCount64() - groupStart_ < kGroupMilliseconds) return true;
    return settle();
}

bool RestoreGroup::settle() {
    last_error_restorer keep;
    items_ = 0;
    groupStart_ = GetTickCount64();
    if (before_) before_();
    bool flushed = true;
    if (pending_) {
        for (auto& volume : volumes_) {
            if (volume.second == INVALID_HANDLE_VALUE || FlushFileBuffers(volume.second)) continue;
            DWORD code = GetLastError();
            log_message(LM_ERROR, "Failed to force volume %c: to the disk, %s.\n",
                        static_cast<char>(volume.first), win32_error_text(code).text());
            flushed = false;
        }
    }
    if (!flushed) return false;  // the offset on the disk stays where it was
    pending_ = false;
    // (A record that is no mapped view, as in tests, has nothing to force.)
    if (record_) FlushViewOfFile(record_, 0);
    return true;
}
