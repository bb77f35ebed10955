// The run's source list read ahead of the item that the backup stores, so
// that the storage hears of the next items (BackupStorage::prepare) while it
// stores one. With a storage that wants none ahead, each record is read when
// the job comes to it, as a plain loop over the list would.
//
// Belongs to one run, on the job's worker thread; the reader, the volumes and
// the storage are not owned and outlive it.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "job/activity_source.h"
#include "job/job_volume.h"
#include "job/source_walker.h"
#include "job/storage.h"

class SourceLookahead {
public:
    struct Entry {
        uint32_t tag = 0;  // 0: the list's end, or a failure to read it (code)
        DWORD code = 0;
        int64_t offset = -1;          // of the record in the list; -1 unknown
        JobActivitySourceItem item;   // of a "FILE" or "DIRB" record
        std::wstring readPath;        // where a file is read from; empty: its own path
        JobVolume* volume = nullptr;  // of a "VOLB" record, when it is one of the run's
    };

    // volume: the run's volume at the reader's position (null: none).
    SourceLookahead(JobActivitySourceReader& reader, const JobVolumeMap& volumes, JobVolume* volume,
                    BackupStorage& storage);

    // The entry the job works on, read now if it was not yet, with up to the
    // storage's lookahead() more behind it. Valid until pop().
    Entry& front();
    void pop() { entries_.pop_front(); }

private:
    void readOne();

    JobActivitySourceReader& reader_;
    const JobVolumeMap& volumes_;
    JobVolume* volume_;  // at the end of what was read
    BackupStorage& storage_;
    size_t depth_;
    bool ended_ = false;
    std::deque<Entry> entries_;
};
