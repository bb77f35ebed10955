// The volume-snapshot requester library as this machine has it: no snapshot
// provider is present, so every request for a snapshot fails and the backup
// reads files from their own paths, as on a machine without one.
#pragma once

#include <cstdint>

#include "platform/win32.h"

// One volume of a snapshot set.
struct SnapwardVolume {
    GUID snapshotSetId;
    GUID snapshotId;
    wchar_t* volumePath;
    wchar_t* shadowDevicePath;  // null: the volume has no snapshot
    int64_t creationTimestamp;
};

class Snapward {
public:
    Snapward() = default;
    ~Snapward() = default;
    Snapward(const Snapward&) = delete;
    Snapward& operator=(const Snapward&) = delete;

    // Takes a snapshot of every volume of the null-terminated array (null:
    // none). Here always false with the last error 50 (ERROR_NOT_SUPPORTED):
    // no provider.
    bool startBackup(wchar_t** volumes, int context, bool writers);
    int volumeCount() const { return 0; }
    SnapwardVolume* volume(int) const { return nullptr; }
    // Asks a running startBackup to give up; any thread.
    void setEndEvent() {}
    // Releases the snapshot set.
    bool endBackup() { return true; }
};
