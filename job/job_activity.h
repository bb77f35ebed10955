// The live state of one job: a flat record of 4096 bytes in the named mapping
// "Global\job_<id>" over the file "info" in the job's activity folder. The
// job's process writes it; the tray and the web interface read it. Fields are
// little-endian at fixed offsets; the first 184 bytes are the base part.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/win32.h"

#pragma pack(push, 1)
struct JobActivity {
    static constexpr uint32_t kSize = 4096;
    static constexpr uint32_t kBaseSize = 184;
    // UTF-16 units of the current file's name, NUL included.
    static constexpr uint32_t kNameUnits = (kSize - kBaseSize) / 2;

    uint16_t minorVersion;
    uint16_t majorVersion;
    uint32_t baseSize;  // the offset of the current file name
    int32_t lastRunState;
    uint32_t reserved12;
    uint64_t lastRunTime;  // local FILETIME; 0 = never
    uint64_t nextRunTime;  // local FILETIME; 0 = none
    int32_t state;
    int32_t requestedTransition;  // 0 none, 5 pause requested, 8 stop requested
    uint32_t pausedManually;
    uint32_t resumeFlag;
    uint8_t instanceId[16];  // binary UUID, GUID field layout
    uint8_t reserved64[8];
    uint64_t runStartTime;
    uint64_t elapsedTime;  // 100-ns units
    uint32_t totalDirectories;
    uint32_t totalFiles;
    uint64_t totalBytes;
    uint32_t filesDone;
    uint32_t reserved108;
    uint64_t bytesDone;
    uint64_t reserved120;
    uint64_t bytesTransferred;
    uint32_t currentVolumeIndex;
    uint32_t reserved140;
    uint64_t currentItemIndex;
    uint64_t currentFileDone;
    uint64_t currentFileSize;
    uint64_t sourceListOffset;
    uint32_t reserved176;
    uint32_t currentFileState;  // 1 encoding, 2 transfer, else none
    uint8_t name[kSize - kBaseSize];

    // The current file's name (read within the record, whatever it holds).
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
static_assert(offsetof(JobActivity, state) == 32 && offsetof(JobActivity, instanceId) == 48 &&
                  offsetof(JobActivity, bytesTransferred) == 128 &&
                  offsetof(JobActivity, currentFileState) == 180 &&
                  offsetof(JobActivity, name) == 184,
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
