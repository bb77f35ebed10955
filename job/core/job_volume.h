// The state of one volume of a backup run, kept in the file named by the
// volume's index in the job's "act\vol" folder, so that an interrupted run
// resumes with the same snapshot and the same sources. The file is one
// formatted JSON object: "creationTimestamp", "path" and "source" (forward
// slashes in the file, back-slashes in memory), "shadowPath", "snapshotId",
// "snapshotSetId" (UUID text) and "state".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win32.h"

class JobVolume {
public:
    JobVolume();

    // Writes this volume's file in the folder of job jobId; false for a null or
    // empty id or a file that cannot be opened.
    bool save(const char* jobId);
    // Reads this volume's file (index must be set) into every other field;
    // false for a missing or invalid file or one without any source. Fields
    // may be partly filled after a failure.
    bool load(const char* jobId);
    // Deletes this volume's file; true only when it was deleted.
    bool remove(const char* jobId);

    int index;  // the volume's number within the run, its file name
    int32_t state;
    GUID snapshotSetId;
    GUID snapshotId;
    std::wstring path;
    std::wstring shadowPath;
    int64_t creationTimestamp;
    std::vector<std::wstring> sources;
};

// The job's volume folder (created) + "\" + the decimal index; false when the
// folder cannot be named.
bool job_volume_file_path(std::wstring& out, const char* jobId, int index);
