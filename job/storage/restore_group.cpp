#include "job/storage/restore_group.h"

#include <cstdio>
#include <cstdlib>

#include "common/ace_log_wrapper.h"
#include "common/text_conv.h"
#include "common/win32_error.h"
#include "job/storage/note_file.h"
#include "job/storage/transformation.h"

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
    flusher_.stop();  // it uses the volumes' handles
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
    token_ = tokenOf(record);
    items_ = 0;
    groupStart_ = GetTickCount64();
    nextEarly_ = kEarlyFlushMilliseconds;
    pending_ = false;
    holding_ = heldOffset_ = false;
    heldFiles_ = 0;
    heldBytes_ = 0;
    waiting_.clear();
    marked_.clear();
    earlier_.clear();
    markFile_.reset();
    markPath_.clear();
    if (work.empty()) return;
    markPath_ = work + L"\\" + kMarkName;
    if (!record || !record->resumeFlag) return;
    // "<token>\n" then "<item index>\n<target>\n" for each item, ended by a NUL.
    std::string text = read_note(markPath_);
    size_t end = text.find('\0');
    if (end != std::string::npos) text.resize(end);
    size_t line = text.find('\n');
    if (line == std::string::npos || from_utf8(text.substr(0, line)) != token_) return;
    for (size_t at = line + 1; at < text.size();) {
        size_t index = text.find('\n', at);
        if (index == std::string::npos) break;
        size_t target = text.find('\n', index + 1);
        if (target == std::string::npos) break;
        uint32_t item = static_cast<uint32_t>(std::strtoul(text.c_str() + at, nullptr, 10));
        if (item != 0) earlier_[item] = from_utf8(text.substr(index + 1, target - index - 1));
        at = target + 1;
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

void RestoreGroup::defer(Waiting waiting) {
    holding_ = true;
    pending_ = true;
    if (waiting.fresh) marked_.emplace_back(waiting.itemIndex, waiting.target);
    waiting_.push_back(std::move(waiting));
}

void RestoreGroup::writeMark(bool force) {
    if (markPath_.empty()) return;
    last_error_restorer keep;
    if (!markFile_.valid()) {
        markFile_.reset(CreateFileW(markPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!markFile_.valid()) return;
    }
    // Written over in place: the text ends at its NUL.
    std::string text = to_utf8(token_) + "\n";
    for (const auto& item : marked_)
        text += std::to_string(item.first) + "\n" + to_utf8(item.second) + "\n";
    text.push_back('\0');
    LARGE_INTEGER start{};
    DWORD written = 0;
    if (!SetFilePointerEx(markFile_.get(), start, nullptr, FILE_BEGIN) ||
        !WriteFile(markFile_.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                   nullptr) ||
        (force && !FlushFileBuffers(markFile_.get())))
        markFile_.reset();
}

void RestoreGroup::mark(uint32_t itemIndex, const std::wstring& target) {
    // Files of the group that wait are listed too, until the group's end.
    if (!holding_) marked_.clear();
    marked_.emplace_back(itemIndex, target);
    writeMark(false);
}

bool RestoreGroup::writtenEarlier(uint32_t itemIndex) const {
    auto found = earlier_.find(itemIndex);
    if (found == earlier_.end() || found->second.empty()) return false;
    DWORD attributes = GetFileAttributesW(found->second.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void RestoreGroup::count(uint32_t files, uint64_t bytes) {
    if (holding_) {
        heldFiles_ += files;
        heldBytes_ += bytes;
    } else if (record_) {
        record_->filesDone += files;
        record_->bytesDone += bytes;
    }
}

void RestoreGroup::advance(JobActivity* record, uint64_t offset) {
    if (holding_) {
        heldOffset_ = true;
        offset_ = offset;
    } else if (record) {
        record->sourceListOffset = offset;
    }
}

bool RestoreGroup::passed() {
    ++items_;
    uint64_t age = GetTickCount64() - groupStart_;
    if (items_ < kGroupItems && age < kGroupMilliseconds) {
        if (age >= nextEarly_) {
            nextEarly_ = age + kEarlyFlushMilliseconds;
            if (!waiting_.empty()) flushEarly();
        }
        return true;
    }
    return settle();
}

void RestoreGroup::flushEarly() {
    std::vector<HANDLE> volumes;
    for (const auto& volume : volumes_)
        if (volume.second != INVALID_HANDLE_VALUE) volumes.push_back(volume.second);
    flusher_.flush(std::move(volumes));
}

bool RestoreGroup::flushVolumes() {
    bool flushed = true;
    for (auto& volume : volumes_) {
        if (volume.second == INVALID_HANDLE_VALUE || FlushFileBuffers(volume.second)) continue;
        DWORD code = GetLastError();
        log_message(LM_ERROR, "Failed to force volume %c: to the disk, %s.\n",
                    static_cast<char>(volume.first), win32_error_text(code).text());
        flushed = false;
    }
    return flushed;
}

void RestoreGroup::forceEach() {
    std::vector<Waiting> kept;
    for (Waiting& waiting : waiting_) {
        scoped_handle file(CreateFileW(waiting.temporary.c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.valid() && FlushFileBuffers(file.get())) {
            kept.push_back(std::move(waiting));
            continue;
        }
        DWORD code = GetLastError();
        file.close();
        log_message(LM_ERROR, "Failed to force %s to the disk, %s.\n",
                    to_utf8(waiting.temporary).c_str(), win32_error_text(code).text());
        DeleteFileW(waiting.temporary.c_str());
        if (waiting.done) waiting.done(code);
    }
    waiting_ = std::move(kept);
}

bool RestoreGroup::settle() {
    last_error_restorer keep;
    flusher_.wait();
    items_ = 0;
    groupStart_ = GetTickCount64();
    nextEarly_ = kEarlyFlushMilliseconds;
    if (!waiting_.empty()) {
        // The data first, then the names.
        writeMark(true);
        if (!flushVolumes()) forceEach();
        std::vector<DWORD> codes;
        if (placer_) placer_(waiting_, codes);
        for (size_t i = 0; i < waiting_.size(); ++i) {
            Waiting& waiting = waiting_[i];
            bool placed;
            DWORD code;
            if (placer_) {
                code = i < codes.size() ? codes[i] : ERROR_GEN_FAILURE;
                placed = code == ERROR_SUCCESS;
            } else {
                placed = waiting.by && waiting.by->place(waiting.temporary, waiting.target.c_str(),
                                                         false, waiting.absent);
                code = placed ? ERROR_SUCCESS : GetLastError();
            }
            if (placed) {
                heldFiles_ += 1;
                heldBytes_ += waiting.bytes;
            } else if (code == ERROR_SUCCESS) {
                code = ERROR_GEN_FAILURE;
            }
            if (waiting.done) waiting.done(code);
        }
        waiting_.clear();
    }
    if (before_) before_();
    bool flushed = !pending_ || flushVolumes();
    // What the group held back: the record reports it now. (A flush that
    // failed leaves it to the disk's own pace, as an unforced record would.)
    if (holding_ && record_) {
        record_->filesDone += heldFiles_;
        record_->bytesDone += heldBytes_;
        if (heldOffset_) record_->sourceListOffset = offset_;
    }
    holding_ = heldOffset_ = false;
    heldFiles_ = 0;
    heldBytes_ = 0;
    marked_.clear();
    if (!flushed) return false;  // the record on the disk stays where it was
    pending_ = false;
    // (A record that is no mapped view, as in tests, has nothing to force.)
    if (record_) FlushViewOfFile(record_, 0);
    return true;
}

bool RestoreGroup::finish() {
    bool settled = settle();
    flusher_.stop();
    return settled;
}
