#include "job/core/job_activity.h"

#include <ace/Log_Msg.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <sstream>

#include "common/ace_log_wrapper.h"
#include "common/appdata_path.h"
#include "common/holders.h"
#include "common/text_conv.h"
#include "common/utf16le.h"
#include "common/win32_error.h"
#include "job/core/job_state.h"
#include "plandeck/job_definition.h"

namespace {

int clamp_to_int(double value) {
    if (!(value >= 0)) return 0;  // also NaN
    return value >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

int clamp_to_int(uint64_t value) {
    return value > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(value);
}

uint64_t elapsed_seconds_at_least_one(uint64_t elapsed) {
    uint64_t seconds = elapsed / 10000000;
    return seconds == 0 ? 1 : seconds;
}

std::string error_text() {
    std::ostringstream text;
    print_win32_error(text, GetLastError());
    return text.str();
}

// part * 100 / whole without overflow, for part <= whole.
int percent_of(uint64_t part, uint64_t whole) {
    return static_cast<int>(static_cast<unsigned __int128>(part) * 100 / whole);
}

// Bytes of the finished files and of the current one, saturated.
uint64_t bytes_done(uint64_t finished, uint64_t current) {
    uint64_t sum = finished + current;
    return sum < finished ? UINT64_MAX : sum;
}

bool all_zero(const void* data, size_t size) {
    auto p = static_cast<const uint8_t*>(data);
    return std::all_of(p, p + size, [](uint8_t b) { return b == 0; });
}

// Names are copied in and out unit by unit; a reader of this process never
// sees half of one.
std::mutex& name_lock() {
    static std::mutex lock;
    return lock;
}

}  // namespace

std::wstring JobActivity::currentFilePath() const {
    std::lock_guard<std::mutex> guard(name_lock());
    size_t units = 0;
    while (units < kNameUnits && (name[2 * units] || name[2 * units + 1])) ++units;
    return from_utf16le(name, units);
}

void JobActivity::currentFilePath(const wchar_t* path) {
    if (!path) return;
    std::string bytes = to_utf16le(path);
    size_t limit = (kNameUnits - 1) * 2;
    if (bytes.size() > limit) {
        bytes.resize(limit);
        // Do not leave half of a surrogate pair at the cut.
        uint16_t last = static_cast<uint8_t>(bytes[limit - 2]) |
                        static_cast<uint16_t>(static_cast<uint8_t>(bytes[limit - 1]) << 8);
        if (last >= 0xD800 && last <= 0xDBFF) bytes.resize(limit - 2);
    }
    std::lock_guard<std::mutex> guard(name_lock());
    std::memcpy(name, bytes.data(), bytes.size());
    name[bytes.size()] = 0;
    name[bytes.size() + 1] = 0;
}

// Each formula reads every field once: the worker may change them meanwhile.
int JobActivity::progress() const {
    uint64_t total = totalBytes;
    if (total == 0) return 0;
    return percent_of(std::min(bytes_done(bytesDone, currentFileDone), total), total);
}

int JobActivity::fileProgress() const {
    uint64_t size = currentFileSize;
    if (size == 0) return 0;
    return percent_of(std::min(currentFileDone.load(), size), size);
}

int JobActivity::speed() const {
    return clamp_to_int(bytesTransferred / elapsed_seconds_at_least_one(elapsedTime));
}

std::string JobActivity::instanceText() const {
    UUID uuid;
    std::memcpy(&uuid, instanceId, sizeof uuid);
    rpc_string_holder text;
    if (UuidToStringA(&uuid, text.out()) != RPC_S_OK || text.empty()) return std::string();
    return text.c_str();
}

int JobActivity::AverageSpeed() const {
    return clamp_to_int(bytesDone / elapsed_seconds_at_least_one(elapsedTime));
}

int JobActivity::remainTime() const {
    uint64_t total = totalBytes;
    uint64_t done = std::min(bytes_done(bytesDone, currentFileDone), total);
    if (done == 0) return 0;
    double ratio = static_cast<double>(total - done) / static_cast<double>(done);
    return clamp_to_int(ratio * static_cast<double>(elapsedTime / 10000000));
}

JobActivity::JobActivity(const JobActivity& other) {
    std::memset(static_cast<void*>(this), 0, kSize);
    std::memcpy(static_cast<void*>(this), &other, kBaseSize);
}

JobActivity& JobActivity::operator=(const JobActivity& other) {
    if (this != &other) std::memcpy(static_cast<void*>(this), &other, kBaseSize);
    return *this;
}

bool JobActivityHandle::open(const char* id, bool create) {
    close();
    if (!JobDefinition::isUuidText(id)) {
        // The id names a folder and a kernel object: nothing else gets that far.
        log_message(LM_ERROR, "Invalid job id \"%s\" of job activity info file.\n", id ? id : "");
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::wstring name = L"Global\\job_" + from_utf8(id ? id : "", -1);
    const char* job = id ? id : "";
    if (create) {
        std::wstring path;
        job_activity_path(path, job);
        path += L"\\info";
        file_ = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file_ == INVALID_HANDLE_VALUE) {
            log_message(LM_ERROR, "Failed to open job {%s} activity info file, %s.\n", job,
                        error_text().c_str());
            return false;
        }
        LARGE_INTEGER size;
        bool fresh = GetLastError() != ERROR_ALREADY_EXISTS;
        if (!fresh && GetFileSizeEx(file_, &size) && size.QuadPart < JobActivity::kBaseSize)
            fresh = true;  // cut short before it ever held a record
        mapping_ =
            CreateFileMappingW(file_, nullptr, PAGE_READWRITE, 0, JobActivity::kSize, name.c_str());
        if (!mapping_) {
            log_message(LM_ERROR, "Failed to map job {%s} activity info file, %s.\n", job,
                        error_text().c_str());
            close();
            return false;
        }
        view_ = static_cast<JobActivity*>(
            MapViewOfFile(mapping_, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, JobActivity::kSize));
        if (!view_) {
            log_message(LM_ERROR, "Failed to get map view of job {%s} activity info file, %s.\n",
                        job, error_text().c_str());
            close();
            return false;
        }
        if (!fresh && all_zero(view_, JobActivity::kBaseSize)) fresh = true;  // made, never written
        if (fresh) {
            log_message(LM_INFO,
                        "New created job activity file, reset the job state to JS_IDLE.\n");
            reset(JS_IDLE, true);
            sync();
            return true;
        }
        bool version10 = view_->majorVersion == 1 && view_->minorVersion == 0;
        if (version10 || view_->baseSize == JobActivity::kBaseSize) return true;
        log_message(LM_ERROR,
                    "Unrecognize job {%s} activity info file version %d.%d, base size %d.\n", job,
                    view_->majorVersion, view_->minorVersion, static_cast<int>(view_->baseSize));
        close();  // nobody may use a foreign record
        return false;
    }
    mapping_ = OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str());
    if (!mapping_) {
        log_message(LM_ERROR, "Failed to open job {%s} activity info file mapping, %s\n", job,
                    error_text().c_str());
        close();
        return false;
    }
    view_ =
        static_cast<JobActivity*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, JobActivity::kSize));
    if (!view_) {
        log_message(LM_ERROR, "Failed to get map view of job {%s} activity info file, %s\n", job,
                    error_text().c_str());
        close();
        return false;
    }
    return true;
}

void JobActivityHandle::close() {
    if (view_) UnmapViewOfFile(view_);
    if (mapping_) CloseHandle(mapping_);
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    view_ = nullptr;
    mapping_ = nullptr;
    file_ = INVALID_HANDLE_VALUE;
}

bool JobActivityHandle::sync() { return view_ && FlushViewOfFile(view_, 0); }

void JobActivityHandle::reset(int state, bool clearAll) {
    if (!view_) return;
    int32_t lastRunState = view_->lastRunState;
    uint64_t lastRunTime = view_->lastRunTime;
    uint64_t nextRunTime = view_->nextRunTime;
    std::memset(static_cast<void*>(view_), 0, JobActivity::kSize);
    view_->majorVersion = 1;
    view_->minorVersion = 0;
    view_->baseSize = JobActivity::kBaseSize;
    view_->state = state;
    if (!clearAll) {
        view_->lastRunState = lastRunState;
        view_->lastRunTime = lastRunTime;
        view_->nextRunTime = nextRunTime;
    }
}
