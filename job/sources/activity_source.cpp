#include "job/sources/activity_source.h"

#include <ace/Log_Msg.h>

#include <cstring>
#include <cwchar>

#include "common/ace_log_wrapper.h"
#include "common/text_conv.h"
#include "common/utf16le.h"
#include "common/win32_error.h"
#include "job/core/file_helpers.h"
#include "job/core/job_volume.h"

namespace {

constexpr size_t kHead = 6;
// What a reader reads of its file at once (at least one record of the most).
constexpr size_t kReadAhead = 65536;
constexpr size_t kVolumeNameAt = 10;
constexpr size_t kItemNameAt = 54;

void put_u16(std::string& record, size_t at, uint32_t value) {
    record[at] = static_cast<char>(value & 0xFF);
    record[at + 1] = static_cast<char>((value >> 8) & 0xFF);
}

void put_u32(std::string& record, size_t at, uint32_t value) {
    put_u16(record, at, value & 0xFFFF);
    put_u16(record, at + 2, value >> 16);
}

void put_filetime(std::string& record, size_t at, const FILETIME& time) {
    put_u32(record, at, time.dwLowDateTime);
    put_u32(record, at + 4, time.dwHighDateTime);
}

uint32_t get_u16(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8;
}

uint32_t get_u32(const uint8_t* bytes) { return get_u16(bytes) | get_u16(bytes + 2) << 16; }

FILETIME get_filetime(const uint8_t* bytes) {
    FILETIME time;
    time.dwLowDateTime = get_u32(bytes);
    time.dwHighDateTime = get_u32(bytes + 4);
    return time;
}

// A zero-filled record of the tag and length, the head filled in.
std::string record_head(const char (&tag)[5], size_t length) {
    std::string record(length, '\0');
    std::memcpy(&record[0], tag, 4);
    put_u16(record, 4, static_cast<uint32_t>(length));
    return record;
}

std::string utf8_of(const wchar_t* path) { return path ? to_utf8(path, -1) : std::string(); }

// The name at nameAt of a record: u16 byte count (NUL included) and u16
// offset just before it. False when they do not describe a NUL-terminated
// name inside the record.
bool record_name(const uint8_t* record, size_t length, size_t nameAt, std::wstring& out) {
    if (length < nameAt) return false;
    size_t bytes = get_u16(record + nameAt - 4);
    size_t at = get_u16(record + nameAt - 2);
    if (at < nameAt || bytes < 2 || bytes % 2 != 0 || at + bytes > length) return false;
    if (record[at + bytes - 2] != 0 || record[at + bytes - 1] != 0) return false;
    out = from_utf16le(record + at, bytes / 2 - 1);
    return true;
}

// Reads up to size bytes, fewer only at the end of the file.
BOOL read_fully(HANDLE handle, uint8_t* buffer, DWORD size, DWORD* done) {
    *done = 0;
    while (*done < size) {
        DWORD read = 0;
        if (!ReadFile(handle, buffer + *done, size - *done, &read, nullptr)) return FALSE;
        if (read == 0) break;
        *done += read;
    }
    return TRUE;
}

void log_read_failure(DWORD error) {
    log_message(LM_ERROR, "Failed to read job activity source offset, hr=%d, %s.\n",
                HRESULT_FROM_WIN32(error), win32_error_text(error).text());
    SetLastError(error);
}

}  // namespace

// The project's handle stream buffer, which can also drop what it holds.
class JobHistorySourceWriter::Buffer : public basic_write_handle_streambuf<char> {
public:
    Buffer(HANDLE handle, bool owns)
        : basic_write_handle_streambuf<char>(handle, owns), handle_(handle) {}
    void discard() { setp(pbase(), epptr()); }
    HANDLE handle() const { return handle_; }

private:
    HANDLE handle_;
};

JobHistorySourceWriter::JobHistorySourceWriter()
    : buffer_(new Buffer(INVALID_HANDLE_VALUE, false)), error_(0) {}

JobHistorySourceWriter::~JobHistorySourceWriter() {
    // Records of a writer that never opened a file go nowhere; the buffer's
    // own destructor flushes the others.
    if (buffer_->handle() == INVALID_HANDLE_VALUE) buffer_->discard();
}

bool JobHistorySourceWriter::open(const wchar_t* path, bool append) {
    ACE_TRACE("JobHistorySourceWriter::open");
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (path) {
        handle =
            CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                        append ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
    }
    if (!handle || handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        log_message(LM_ERROR, "Failed to open job activity source '%s', errorcode=%d, %s.\n",
                    utf8_of(path).c_str(), static_cast<int>(error), win32_error_text(error).text());
        SetLastError(error);
        return false;
    }
    if (append) {
        LARGE_INTEGER zero;
        zero.QuadPart = 0;
        if (!SetFilePointerEx(handle, zero, nullptr, FILE_END)) {
            DWORD error = GetLastError();
            CloseHandle(handle);
            log_message(
                LM_ERROR, "Failed to seek job activity source '%s' to the end, hr=%d, %s.\n",
                utf8_of(path).c_str(), HRESULT_FROM_WIN32(error), win32_error_text(error).text());
            SetLastError(error);
            return false;
        }
    }
    buffer_->discard();
    buffer_.reset(new Buffer(handle, true));
    path_ = path;
    error_ = 0;
    return true;
}

bool JobHistorySourceWriter::put(const std::string& record) {
    if (error_) {
        SetLastError(error_);
        return false;
    }
    if (buffer_->handle() == INVALID_HANDLE_VALUE) return true;  // no file yet: dropped
    auto size = static_cast<std::streamsize>(record.size());
    if (buffer_->sputn(record.data(), size) == size) return true;
    DWORD error = GetLastError();
    error_ = error ? error : ERROR_GEN_FAILURE;
    log_message(LM_ERROR, "Failed to write job activity source '%s', errorcode=%d, %s.\n",
                to_utf8(path_).c_str(), static_cast<int>(error_), win32_error_text(error_).text());
    SetLastError(error_);
    return false;
}

bool JobHistorySourceWriter::push() {
    if (error_) {
        SetLastError(error_);
        return false;
    }
    if (buffer_->handle() == INVALID_HANDLE_VALUE) return true;
    if (buffer_->pubsync() == 0) return true;
    return failed("");
}

bool JobHistorySourceWriter::close() {
    if (!push()) return false;
    buffer_.reset(new Buffer(INVALID_HANDLE_VALUE, false));  // closes the file
    return true;
}

bool JobHistorySourceWriter::flush() {
    if (!push()) return false;
    if (buffer_->handle() == INVALID_HANDLE_VALUE) return true;
    if (FlushFileBuffers(buffer_->handle())) return true;
    return failed(" to its disk");
}

bool JobHistorySourceWriter::failed(const char* where) {
    DWORD error = GetLastError();
    error_ = error ? error : ERROR_GEN_FAILURE;
    log_message(LM_ERROR, "Failed to flush job activity source '%s'%s, errorcode=%d, %s.\n",
                to_utf8(path_).c_str(), where, static_cast<int>(error_),
                win32_error_text(error_).text());
    SetLastError(error_);
    return false;
}

bool JobHistorySourceWriter::startSet() {
    std::string record = record_head("SSET", 8);
    put_u16(record, 6, 1);
    return put(record);
}

bool JobHistorySourceWriter::endSet() { return put(record_head("ESET", kHead)); }

bool JobHistorySourceWriter::addVolume(const wchar_t* path) {
    std::wstring name = path ? path : L"";
    size_t units = utf16_length(name);
    if (units > kSourceVolumePathMax) {
        log_message(LM_ERROR, "Job activity source volume of %d units is too long: '%s'.\n",
                    static_cast<int>(units), to_utf8(name).c_str());
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    size_t bytes = (units + 1) * 2;
    std::string record = record_head("VOLB", kVolumeNameAt + bytes);
    put_u16(record, 6, static_cast<uint32_t>(bytes));
    put_u16(record, 8, kVolumeNameAt);
    std::string text = to_utf16le(name);
    std::memcpy(&record[kVolumeNameAt], text.data(), text.size());
    return put(record);
}

bool JobHistorySourceWriter::addFile(const wchar_t* path, const WIN32_FILE_ATTRIBUTE_DATA& data,
                                     uint32_t ordinal, uint32_t flag) {
    std::wstring_view name = path ? std::wstring_view(path) : std::wstring_view();
    size_t units = utf16_length(name);
    if (units > kSourceItemPathMax) {
        log_message(LM_ERROR, "Job activity source item of %d units is too long: '%s'.\n",
                    static_cast<int>(units), utf8_of(path).c_str());
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    size_t bytes = (units + 1) * 2;
    bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // One buffer for every record of the writer.
    std::string& record = record_;
    record.assign(kItemNameAt, '\0');
    std::memcpy(&record[0], folder ? "DIRB" : "FILE", 4);
    put_u16(record, 4, static_cast<uint32_t>(kItemNameAt + bytes));
    put_u32(record, 6, data.dwFileAttributes);
    put_filetime(record, 10, data.ftCreationTime);
    put_filetime(record, 18, data.ftLastAccessTime);
    put_filetime(record, 26, data.ftLastWriteTime);
    put_u32(record, 34, data.nFileSizeHigh);
    put_u32(record, 38, data.nFileSizeLow);
    put_u32(record, 42, ordinal);
    put_u32(record, 46, flag);
    put_u16(record, 50, static_cast<uint32_t>(bytes));
    put_u16(record, 52, kItemNameAt);
    append_utf16le(name, record);
    record.append(2, '\0');
    return put(record);
}

JobActivitySourceReader::JobActivitySourceReader()
    : handle_(INVALID_HANDLE_VALUE), transactions_(nullptr), length_(0) {}

JobActivitySourceReader::~JobActivitySourceReader() { close(); }

void JobActivitySourceReader::close() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    length_ = 0;
    buffer_.reset();
    aheadPosition_ = 0;
    aheadStart_ = aheadEnd_ = 0;
}

bool JobActivitySourceReader::open(const wchar_t* path, int64_t offset) {
    ACE_TRACE("JobActivitySourceReader::open");
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    length_ = 0;
    buffer_.reset();
    HANDLE handle = INVALID_HANDLE_VALUE;
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
    } else if (transactions_) {
        handle = transactions_->createFile(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL);
    } else {
        handle = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (!handle || handle == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        log_message(LM_ERROR, "Failed to open job activity source '%s', hr=%d, %s.\n",
                    utf8_of(path).c_str(), HRESULT_FROM_WIN32(error),
                    win32_error_text(error).text());
        SetLastError(error);
        return false;
    }
    if (offset > 0) {
        LARGE_INTEGER distance;
        distance.QuadPart = offset;
        if (!SetFilePointerEx(handle, distance, nullptr, FILE_BEGIN)) {
            DWORD error = GetLastError();
            CloseHandle(handle);
            log_message(LM_ERROR, "Failed to seek job activity source '%s', hr=%d, %s.\n",
                        utf8_of(path).c_str(), HRESULT_FROM_WIN32(error),
                        win32_error_text(error).text());
            SetLastError(error);
            return false;
        }
    }
    handle_ = handle;
    buffer_.reset(new uint8_t[kSourceRecordMax]());
    if (!ahead_) ahead_.reset(new uint8_t[kReadAhead]);
    aheadPosition_ = offset > 0 ? offset : 0;
    aheadStart_ = aheadEnd_ = 0;
    return true;
}

bool JobActivitySourceReader::fill(size_t size, size_t& held) {
    held = aheadEnd_ - aheadStart_;
    if (held >= size) return true;
    // What is left moves to the front; the file is read on behind it.
    std::memmove(ahead_.get(), ahead_.get() + aheadStart_, held);
    aheadPosition_ += static_cast<int64_t>(aheadStart_);
    aheadStart_ = 0;
    aheadEnd_ = held;
    DWORD read = 0;
    if (!read_fully(handle_, ahead_.get() + aheadEnd_, static_cast<DWORD>(kReadAhead - aheadEnd_),
                    &read))
        return false;
    aheadEnd_ += read;
    held = aheadEnd_;
    return true;
}

uint32_t JobActivitySourceReader::next() {
    ACE_TRACE("JobActivitySourceReader::next");
    length_ = 0;
    if (!buffer_) {
        log_read_failure(ERROR_INVALID_HANDLE);
        return 0;
    }
    size_t held = 0;
    if (!fill(kHead, held)) {
        DWORD error = GetLastError();
        if (error == ERROR_HANDLE_EOF) return 0;
        log_read_failure(error);
        return 0;
    }
    if (held == 0) {
        SetLastError(ERROR_HANDLE_EOF);
        return 0;
    }
    if (held < kHead) {
        // A head cut short is a torn file, not its end.
        log_read_failure(ERROR_INVALID_DATA);
        return 0;
    }
    size_t length = get_u16(ahead_.get() + aheadStart_ + 4);
    if (length < kHead || length > kSourceRecordMax) {
        log_read_failure(ERROR_INVALID_DATA);
        return 0;
    }
    if (!fill(length, held)) {
        log_read_failure(GetLastError());
        return 0;
    }
    if (held < length) {
        log_read_failure(ERROR_INVALID_DATA);
        return 0;
    }
    std::memcpy(buffer_.get(), ahead_.get() + aheadStart_, length);
    aheadStart_ += length;
    length_ = length;
    return get_u32(buffer_.get());
}

int64_t JobActivitySourceReader::offset() {
    if (!buffer_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    return aheadPosition_ + static_cast<int64_t>(aheadStart_);
}

bool JobActivitySourceReader::seek(int64_t offset) {
    length_ = 0;
    if (buffer_ && offset >= aheadPosition_ &&
        offset <= aheadPosition_ + static_cast<int64_t>(aheadEnd_)) {
        aheadStart_ = static_cast<size_t>(offset - aheadPosition_);
        return true;
    }
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    if (!buffer_ || offset < 0 || !SetFilePointerEx(handle_, distance, nullptr, FILE_BEGIN)) {
        DWORD error = !buffer_     ? ERROR_INVALID_HANDLE
                      : offset < 0 ? ERROR_NEGATIVE_SEEK
                                   : GetLastError();
        log_message(LM_ERROR, "Failed to seek job activity source, hr=%d, %s.\n",
                    HRESULT_FROM_WIN32(error), win32_error_text(error).text());
        SetLastError(error);
        return false;
    }
    aheadPosition_ = offset;
    aheadStart_ = aheadEnd_ = 0;
    return true;
}

bool JobActivitySourceReader::item(JobActivitySourceItem& out) const {
    if (length_ < kItemNameAt) return false;
    const uint8_t* record = buffer_.get();
    uint32_t tag = get_u32(record);
    if (tag != kSourceTagFile && tag != kSourceTagDirectory) return false;
    if (!record_name(record, length_, kItemNameAt, out.path)) return false;
    out.data.dwFileAttributes = get_u32(record + 6);
    out.data.ftCreationTime = get_filetime(record + 10);
    out.data.ftLastAccessTime = get_filetime(record + 18);
    out.data.ftLastWriteTime = get_filetime(record + 26);
    out.data.nFileSizeHigh = get_u32(record + 34);
    out.data.nFileSizeLow = get_u32(record + 38);
    out.ordinal = get_u32(record + 42);
    out.flag = get_u32(record + 46);
    return true;
}

bool JobActivitySourceReader::volume(std::wstring& out) const {
    if (length_ < kVolumeNameAt || get_u32(buffer_.get()) != kSourceTagVolume) return false;
    return record_name(buffer_.get(), length_, kVolumeNameAt, out);
}

JobActivitySourceGenerator::JobActivitySourceGenerator()
    : volume_(nullptr), directoryOrdinal_(0), fileOrdinal_(0) {}

JobActivitySourceGenerator::~JobActivitySourceGenerator() = default;

bool JobActivitySourceGenerator::operator()(const JobVolumeMap& volumes, FilterPolicy* filter) {
    ACE_TRACE("JobActivitySourceGenerator::operator ()");
    for (const auto& entry : volumes) {
        JobVolume* volume = entry.second;
        if (!volume) continue;
        volume_ = volume;
        if (!writer_.addVolume(volume->path.c_str())) return false;
        std::vector<std::wstring> sources;
        sources.reserve(volume->sources.size());
        for (const std::wstring& source : volume->sources) {
            sources.push_back(snapshotPath(source, volume->path, volume->shadowPath));
        }
        walkSource(sources, filter, this);
    }
    return true;
}

void JobActivitySourceGenerator::processFile(const wchar_t* path,
                                             const WIN32_FILE_ATTRIBUTE_DATA& data) {
    std::wstring item = path;
    if (volume_ && !volume_->shadowPath.empty() && !volume_->path.empty() &&
        item.compare(0, volume_->shadowPath.size(), volume_->shadowPath) == 0) {
        std::wstring rest = item.substr(volume_->shadowPath.size());
        if (rest.empty() || rest.front() == L'\\' || volume_->shadowPath.back() == L'\\') {
            if (!rest.empty() && rest.front() == L'\\') rest.erase(0, 1);
            std::wstring real = volume_->path;
            if (!rest.empty() && real.back() != L'\\') real += L'\\';
            item = real + rest;
        }
    }
    if (!item.empty() && item.back() == L'\\') item.pop_back();
    size_t units = utf16_length(item);
    if (units > kSourceItemPathMax) {
        log_message(LM_ERROR, "Job activity source item of %d units is too long: '%s'.\n",
                    static_cast<int>(units), to_utf8(item).c_str());
        processError(item.c_str(), ERROR_FILENAME_EXCED_RANGE);
        return;
    }
    SourceCalculator::processFile(path, data);
    bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    uint32_t ordinal = folder ? ++directoryOrdinal_ : ++fileOrdinal_;
    if (sink_) {
        JobActivitySourceItem taken{std::move(item), data, ordinal, 0};
        sink_(taken);
        return;
    }
    items_.push_back({item, data, ordinal, 0});
}

void JobActivitySourceGenerator::processError(const wchar_t* path, DWORD code) {
    if (errorPaths_.insert(path).second) walkErrors_.emplace_back(path, code);
}

void JobActivitySourceGenerator::listSources(const std::vector<std::string>& paths) {
    items_.clear();
    directoryOrdinal_ = 0;
    fileOrdinal_ = 0;
    // The counts start over with the list; SourceCalculator's own count of
    // each item gives the two counters and the files' total size.
    static_cast<SourceCalculator&>(*this) = SourceCalculator();
    for (const std::string& path : paths) {
        std::wstring wide = from_utf8(path);
        WIN32_FILE_ATTRIBUTE_DATA data;
        std::memset(&data, 0, sizeof data);
        if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
            // Gone since the walk: nothing to back up. Anything else (a path
            // too long for the host, a folder on the way that cannot be
            // searched) is an item lost, which the run reports.
            DWORD code = GetLastError();
            if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND)
                processError(wide.c_str(), code);
            continue;
        }
        SourceCalculator::processFile(wide.c_str(), data);
        bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        uint32_t ordinal = folder ? ++directoryOrdinal_ : ++fileOrdinal_;
        items_.push_back({wide, data, ordinal, 0});
    }
}

bool JobActivitySourceGenerator::save(const wchar_t* path) {
    return save_source_list(path, [this](JobHistorySourceWriter& writer) {
        for (const JobActivitySourceItem& item : items_) {
            if (writer.addFile(item.path.c_str(), item.data, item.ordinal, 0)) continue;
            if (GetLastError() == ERROR_FILENAME_EXCED_RANGE &&
                utf16_length(item.path) > kSourceItemPathMax) {
                // Logged by addFile; the rest of the list is still wanted.
                processError(item.path.c_str(), ERROR_FILENAME_EXCED_RANGE);
                continue;
            }
            return false;
        }
        return true;
    });
}

bool save_source_list(const std::wstring& path,
                      const std::function<bool(JobHistorySourceWriter&)>& fill) {
    std::wstring beside = path + L".new";
    bool written;
    {
        JobHistorySourceWriter writer;
        written = writer.open(beside.c_str(), false) && writer.startSet() && fill(writer) &&
                  writer.endSet() && writer.flush();
        if (written) written = writer.close();
    }
    if (written && MoveFileExW(beside.c_str(), path.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    DWORD code = GetLastError();
    if (written)
        log_message(LM_ERROR,
                    "Failed to put job activity source '%s' in place, errorcode=%d, %s.\n",
                    to_utf8(path).c_str(), static_cast<int>(code), win32_error_text(code).text());
    DeleteFileW(beside.c_str());
    SetLastError(code ? code : ERROR_GEN_FAILURE);
    return false;
}

bool source_list_complete(const std::wstring& path) {
    JobActivitySourceReader reader;
    if (!reader.open(path.c_str(), 0)) return false;
    uint32_t last = 0;
    for (uint32_t tag = reader.next(); tag != 0; tag = reader.next()) last = tag;
    DWORD code = GetLastError();
    if (code != ERROR_HANDLE_EOF) return false;  // torn or damaged: logged by the reader
    if (last == kSourceTagEndSet) return true;
    log_message(LM_ERROR, "Job activity source '%s' ends without its end of set.\n",
                to_utf8(path).c_str());
    SetLastError(ERROR_INVALID_DATA);
    return false;
}
