// A run's list (job/sources/activity_source.h) read ahead of the entry the run works
// on, so that its storage hears of the next items while it works on one. Each
// entry is announced to the caller as it is read, in the list's order; with a
// depth of 0 each record is read only when the run comes to it, as a plain
// loop over the list would. A record of an item that does not parse is passed
// over.
//
// Belongs to one run, on the job's worker thread; the reader is not owned and
// outlives it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "job/sources/activity_source.h"

class JobVolume;

class SourceLookahead {
public:
    struct Entry {
        uint32_t tag = 0;  // 0: the list's end, or a failure to read it (code)
        DWORD code = 0;
        int64_t offset = -1;         // of the record in the list; -1 unknown
        int64_t after = -1;          // of the record after it; -1 unknown
        JobActivitySourceItem item;  // of a "FILE" or "DIRB" record
        // Filled by the announcement, where the caller wants them: where a
        // file is read from (empty: its own path), a "VOLB" record's volume.
        std::wstring readPath;
        JobVolume* volume = nullptr;
    };
    using Announce = std::function<void(Entry& entry)>;

    // depth: the entries read ahead of the one worked on; announce (may be
    // empty) is called for every entry as it is read.
    SourceLookahead(JobActivitySourceReader& reader, size_t depth, Announce announce);

    // The next entry, read now if it was not yet, with up to depth more read
    // behind it. After the end entry, the end again.
    Entry next();

private:
    void readOne();

    JobActivitySourceReader& reader_;
    size_t depth_;
    Announce announce_;
    bool ended_ = false;
    std::deque<Entry> entries_;
};
