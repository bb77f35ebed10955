// The live state of one job: a flat record of 4096 bytes in the named mapping
// "Global\job_<id>" over the file "info" in the job's activity folder. The
// job's process writes it; the tray and the web interface read it. Fields are
// little-endian at fixed offsets; the first 184 bytes are the base part.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

#include "platform/win32.h"

// A field of the record that threads of this process read while others
// write it (the worker, the controlling threads, the speed sampler): every
// access is one atomic load, store or addition of the whole field. Its
// layout is exactly a T; the record keeps every such field at its natural
// alignment. Readers in other processes see plain memory and tolerate a
// value torn between two stores.
template <class T>
class RecordField {
public:
    RecordField() = default;
    // Makes "flag ? 0 : record->field" ambiguous, so that it cannot quietly
    // become an int: write "flag ? 0 : record->field.load()".
    RecordField(T value) : value_(value) {}
    operator T() const { return ref().load(); }
    T load() const { return ref().load(); }
    RecordField& operator=(T value) {
        ref().store(value);
        return *this;
    }
    // A field is copied by its value only (record->a = record->b.load()),
    // never as a whole object, which would read it without the atomic load
    // (also where it is passed to a "..." function: pass field.load()).
    RecordField(const RecordField&) = delete;
    RecordField& operator=(const RecordField&) = delete;
    RecordField& operator+=(T value) {
        ref().fetch_add(value);
        return *this;
    }
    RecordField& operator-=(T value) {
        ref().fetch_sub(value);
        return *this;
    }
    T operator++() { return ref().fetch_add(1) + 1; }

private:
    std::atomic_ref<T> ref() const { return std::atomic_ref<T>(const_cast<T&>(value_)); }

    T value_;
};

#pragma pack(push, 1)
// Aligned as its widest field, so that a copy kept by a reader has its fields
// aligned as the mapped record has.
struct alignas(8) JobActivity {
    static constexpr uint32_t kSize = 4096;
    static constexpr uint32_t kBaseSize = 184;
    // UTF-16 units of the current file's name, NUL included.
    static constexpr uint32_t kNameUnits = (kSize - kBaseSize) / 2;

    uint16_t minorVersion;
    uint16_t majorVersion;
    uint32_t baseSize;  // the offset of the current file name
    RecordField<int32_t> lastRunState;
    uint32_t reserved12;
    RecordField<uint64_t> lastRunTime;  // local FILETIME; 0 = never
    RecordField<uint64_t> nextRunTime;  // local FILETIME; 0 = none
    RecordField<int32_t> state;
    RecordField<int32_t> requestedTransition;  // 0 none, 5 pause requested, 8 stop requested
    RecordField<uint32_t> pausedManually;
    RecordField<uint32_t> resumeFlag;
    uint8_t instanceId[16];  // binary UUID, GUID field layout
    uint8_t reserved64[8];
    RecordField<uint64_t> runStartTime;
    RecordField<uint64_t> elapsedTime;  // 100-ns units
    RecordField<uint32_t> totalDirectories;
    RecordField<uint32_t> totalFiles;
    RecordField<uint64_t> totalBytes;
    RecordField<uint32_t> filesDone;
    uint32_t reserved108;
    RecordField<uint64_t> bytesDone;
    uint64_t reserved120;
    RecordField<uint64_t> bytesTransferred;
    RecordField<uint32_t> currentVolumeIndex;
    uint32_t reserved140;
    RecordField<uint64_t> currentItemIndex;
    RecordField<uint64_t> currentFileDone;
    RecordField<uint64_t> currentFileSize;
    RecordField<uint64_t> sourceListOffset;
    uint32_t reserved176;
    RecordField<uint32_t> currentFileState;  // 1 encoding, 2 transfer, else none
    uint8_t name[kSize - kBaseSize];

    // The current file's name (read within the record, whatever it holds).
    // Reads and writes of names in this process are serialised by one lock.
    std::wstring currentFilePath() const;
    // Writes a name, cut to what the record holds (1955 units and the NUL); null is ignored.
    void currentFilePath(const wchar_t* path);

    int progress() const;
    int fileProgress() const;
    int speed() const;
    int AverageSpeed() const;
    // The run's instance id as UUID text; empty when it cannot be made.
    std::string instanceText() const;
    int remainTime() const;

    JobActivity() = default;
    // A copy holds the base part only (the name stays empty): readers keep
    // such a copy to notice changes.
    JobActivity(const JobActivity& other);
    // Copies the base part only.
    JobActivity& operator=(const JobActivity& other);
};
#pragma pack(pop)

static_assert(sizeof(JobActivity) == JobActivity::kSize, "the record is 4096 bytes");
static_assert(std::is_standard_layout_v<RecordField<uint64_t>> &&
                  sizeof(RecordField<uint64_t>) == 8 && sizeof(RecordField<int32_t>) == 4,
              "a field is plain memory of its width");
static_assert(
    offsetof(JobActivity, lastRunState) == 8 && offsetof(JobActivity, lastRunTime) == 16 &&
        offsetof(JobActivity, nextRunTime) == 24 && offsetof(JobActivity, state) == 32 &&
        offsetof(JobActivity, requestedTransition) == 36 &&
        offsetof(JobActivity, pausedManually) == 40 && offsetof(JobActivity, resumeFlag) == 44 &&
        offsetof(JobActivity, instanceId) == 48 && offsetof(JobActivity, runStartTime) == 72 &&
        offsetof(JobActivity, elapsedTime) == 80 && offsetof(JobActivity, totalDirectories) == 88 &&
        offsetof(JobActivity, totalFiles) == 92 && offsetof(JobActivity, totalBytes) == 96 &&
        offsetof(JobActivity, filesDone) == 104 && offsetof(JobActivity, bytesDone) == 112 &&
        offsetof(JobActivity, bytesTransferred) == 128 &&
        offsetof(JobActivity, currentVolumeIndex) == 136 &&
        offsetof(JobActivity, currentItemIndex) == 144 &&
        offsetof(JobActivity, currentFileDone) == 152 &&
        offsetof(JobActivity, currentFileSize) == 160 &&
        offsetof(JobActivity, sourceListOffset) == 168 &&
        offsetof(JobActivity, currentFileState) == 180 && offsetof(JobActivity, name) == 184,
    "record offsets");

// Owns one job's activity file, mapping and view.
class JobActivityHandle {
public:
    JobActivityHandle() = default;
    ~JobActivityHandle() { close(); }
    JobActivityHandle(const JobActivityHandle&) = delete;
    JobActivityHandle& operator=(const JobActivityHandle&) = delete;

    // create true: the job's own writable record (its file made or reused; a
    // file that holds no record yet, or is shorter than one, starts as new);
    // false: a reader's read-only view of the mapping, which fails while no
    // process holds it. A record of an unknown version is refused and
    // unmapped. Failures are logged.
    bool open(const char* id, bool create);
    void close();
    bool sync();
    // Zeroes the record and sets the version, base size and state; keeps the
    // last run state and times unless clearAll.
    void reset(int state, bool clearAll);

    JobActivity* operator->() const { return view_; }
    JobActivity* get() const { return view_; }

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
    HANDLE mapping_ = nullptr;
    JobActivity* view_ = nullptr;
};
