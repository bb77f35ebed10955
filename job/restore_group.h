// The durability of a restore run's files in groups. Forcing every restored
// file and its rename to the disk on its own costs a wait on the disk per
// file; a group instead forces the volumes that its files went to once, with
// everything on them (FlushFileBuffers of "\\.\X:"), then the job's record
// with its source-list offset. So the disk never holds an offset past a file
// that it may lack; what a power cut takes is at most the group under way,
// whose items the resumed run presents again (their temporary files, named
// with the run's token, it removes: RestoreTransformation::temporaryToken).
// A group ends after kGroupItems items or kGroupMilliseconds, whichever comes
// first, and at every end of a run (completed, cancelled, paused, error).
// Where a volume cannot be opened for its flush (no right to it, or a path
// with no drive) the run's transformations force each file on its own, as
// before (durableEach).
//
// The group also keeps the mark of the item in flight: a note in the job's
// work folder ("written", kept open for the run and written over in place)
// that names a file item's target just before a target that did not exist is
// made. A run killed after the file took its place but before the job moved
// past it presents the item again: its mark tells the resumed run that the
// file is in place already (restoring it again would make a renamed copy).
//
// Belongs to one storage, on the job's worker thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "common/holders.h"
#include "job/job_activity.h"

class RestoreGroup {
public:
    static constexpr uint32_t kGroupItems = 2048;
    static constexpr uint64_t kGroupMilliseconds = 1000;

    RestoreGroup() = default;
    RestoreGroup(const RestoreGroup&) = delete;
    RestoreGroup& operator=(const RestoreGroup&) = delete;
    ~RestoreGroup();

    // Binds the run: record (not owned), the job's work folder (the mark's;
    // empty: no mark). Reads the mark an earlier process left. before is
    // called at the end of every group, before the flush (the storages give
    // their folders their times there).
    void start(JobActivity* record, const std::wstring& work, std::function<void()> before);

    // The run's token of temporary names: the first eight hex digits of the
    // record's instance id (empty without a record).
    static std::wstring tokenOf(const JobActivity* record);

    // Whether target's volume is forced to the disk with the group (false:
    // the file must be forced on its own). Opens the volume on first use.
    bool grouped(const std::wstring& target);

    // Writes the mark of the file item itemIndex, whose target does not
    // exist yet. Failures are not reported: without a mark the item is only
    // restored again.
    void mark(uint32_t itemIndex, const std::wstring& target);
    // Whether the mark an earlier process left names itemIndex and a target
    // that is a file now.
    bool writtenEarlier(uint32_t itemIndex) const;

    // Counts an item that the job has moved past (its offset is in the
    // record); ends the group when it is due. False only when the group's
    // flush failed (logged; the next group tries again).
    bool passed();
    // Ends the group now: before(), the volumes, then the record.
    bool settle();

private:
    JobActivity* record_ = nullptr;
    std::function<void()> before_;
    scoped_handle markFile_;
    std::wstring markPath_;
    uint32_t earlierIndex_ = 0;  // of the mark an earlier process left (0: none)
    std::wstring earlierTarget_;
    std::map<wchar_t, HANDLE> volumes_;  // by lower-case letter; INVALID: cannot be flushed
    uint32_t items_ = 0;
    uint64_t groupStart_ = 0;
    bool pending_ = false;  // something was written since the last settle
};
