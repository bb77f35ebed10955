// The durability of a restore run's files in groups. Forcing every restored
// file and its rename to the disk on its own costs a wait on the disk per
// file; a group instead forces the volumes that its files went to, with
// everything on them (FlushFileBuffers of "\\.\X:"), a few times per group.
// A file system may write a rename before the data of the file it names (a
// new file's blocks are allocated late), so a file renamed over its target
// before its data are on the disk can come back from a power cut in place but
// empty, where a resumed run that skips existing targets would keep it. So
// the files of a group wait under their temporary names (defer) and, at the
// group's end:
//   1. the mark lists the group's files whose targets did not exist (below),
//      forced to the disk;
//   2. the volumes are forced: the temporary files' data are on the disk;
//   3. each temporary file takes its target's place (a failure is that
//      item's: its done callback gets the code);
//   4. before() (the storages give their folders their times there);
//   5. the volumes are forced again: the renames are on the disk;
//   6. the record gets what the group held back, the files and bytes done
//      and the job's source-list offset, and is forced.
// While a file of the group waits, the record's counts and offset are held
// back (count, advance): the record never reports an item whose target is
// not in place, even when the process is killed (the record is a shared
// mapping that outlives it) or the power goes. What a power cut takes is at
// most the group under way, whose items the resumed run presents again
// (their temporary files, named with the run's token, it removes:
// RestoreTransformation::temporaryToken).
// A group ends after kGroupItems items or kGroupMilliseconds, whichever comes
// first, and at every end of a run (completed, cancelled, paused, error).
// Where a volume cannot be opened for its flush (no right to it, or a path
// with no drive) the run's transformations force each file on its own and
// rename it at once, as before (durableEach).
//
// The mark: a note in the job's work folder ("written", kept open for the run
// and written over in place) that names, with the run's token, the items
// whose targets did not exist and that are made in one go: the group's
// waiting files before their renames, or a file forced on its own just before
// its rename. A run interrupted after such a target was made but before the
// record moved past its item presents the item again: the mark tells the
// resumed run that the file is in place already (restoring it again would
// make a renamed copy, or be skipped, depending on the run's policy).
//
// Belongs to one storage, on the job's worker thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/holders.h"
#include "job/core/job_activity.h"
#include "job/storage/volume_flusher.h"

class RestoreTransformation;

class RestoreGroup {
public:
    static constexpr uint32_t kGroupItems = 16384;
    static constexpr uint64_t kGroupMilliseconds = 1000;
    // While a group fills, its volumes are flushed in the background every
    // kEarlyFlushMilliseconds (one such flush at a time, on the group's one
    // flusher thread: VolumeFlusher): the data of its files go to the disk
    // while the run goes on, so the flush at the group's end, which the run
    // waits for, finds little left to write.
    static constexpr uint64_t kEarlyFlushMilliseconds = 250;

    // A restored file waiting under its temporary name for the group's end.
    struct Waiting {
        RestoreTransformation* by = nullptr;  // places it (not owned)
        std::wstring temporary;
        std::wstring target;
        uint32_t itemIndex = 0;
        bool fresh = false;   // its target did not exist: it goes into the mark
        bool absent = false;  // nothing was at its target in its turn
        uint64_t bytes = 0;   // what the item counts in the bytes done
        // Called once the file took its target's place (0) or failed to
        // (the code; its temporary file is removed).
        std::function<void(DWORD code)> done;
    };

    RestoreGroup() = default;
    RestoreGroup(const RestoreGroup&) = delete;
    RestoreGroup& operator=(const RestoreGroup&) = delete;
    ~RestoreGroup();

    // Binds the run: record (not owned), the job's work folder (the mark's;
    // empty: no mark). A run taken up again (the record's resume flag) reads
    // the mark an earlier attempt of the run left. before is called at the
    // end of every group, after the renames and before the last flush.
    void start(JobActivity* record, const std::wstring& work, std::function<void()> before);

    // The run's token of temporary names: the first eight hex digits of the
    // record's instance id (empty without a record).
    static std::wstring tokenOf(const JobActivity* record);

    // Whether target's volume is forced to the disk with the group (false:
    // the file must be forced on its own). Opens the volume on first use.
    bool grouped(const std::wstring& target);

    // Takes a restored file that waits under its temporary name; it is
    // placed at the group's end.
    void defer(Waiting waiting);

    // Places the group's waiting files (step 3) at once: codes gets, for
    // each in order, 0 or the code of its failure (its temporary file then
    // removed), as Waiting::by->place would give without write-through. A
    // file of a target listed before it in the group is placed after that
    // one. Unset (the default), the group places them one by one itself.
    using Placer =
        std::function<void(const std::vector<Waiting>& waiting, std::vector<DWORD>& codes)>;
    void placeWith(Placer placer) { placer_ = std::move(placer); }

    // Writes the mark of the file item itemIndex, whose target does not
    // exist yet and is about to be made on its own (durableEach). Failures
    // are not reported: without a mark the item is only restored again.
    void mark(uint32_t itemIndex, const std::wstring& target);
    // Whether the mark an earlier attempt of the run left names itemIndex
    // and a target that is a file now.
    bool writtenEarlier(uint32_t itemIndex) const;

    // Counts items done in record (the record start bound; record where it
    // is null): at once, or at the group's end while a file of the group
    // waits.
    void count(uint32_t files, uint64_t bytes);
    // The job's source-list offset past an item: written to record at once,
    // or at the group's end while a file of the group waits.
    void advance(JobActivity* record, uint64_t offset);

    // Counts an item that the job has moved past; ends the group when it is
    // due. False only when the group's flush failed (logged; the next group
    // tries again).
    bool passed();
    // Ends the group now (see above). False when a volume could not be
    // forced (logged).
    bool settle();
    // The run's end: settles, then stops the thread of the early flushes
    // (joined; the next run's first early flush starts it again).
    bool finish();

private:
    // Forces every volume opened; false when one failed (logged).
    bool flushVolumes();
    // Asks the flusher for a flush of every volume opened, unless the last
    // one still runs; its failures are left to the group's own.
    void flushEarly();
    // Forces each waiting file on its own (when a volume flush failed); a
    // file that cannot be forced is dropped as that item's failure.
    void forceEach();
    // Writes the mark: the run's token, then the marked items.
    void writeMark(bool force);

    JobActivity* record_ = nullptr;
    std::function<void()> before_;
    Placer placer_;
    std::wstring token_;
    scoped_handle markFile_;
    std::wstring markPath_;
    std::map<uint32_t, std::wstring> earlier_;               // the mark an earlier attempt left
    std::vector<std::pair<uint32_t, std::wstring>> marked_;  // of the group under way
    std::vector<Waiting> waiting_;
    std::map<wchar_t, HANDLE> volumes_;  // by lower-case letter; INVALID: cannot be flushed
    // The early flushes; stopped before the volumes' handles are closed.
    VolumeFlusher flusher_;
    uint32_t items_ = 0;
    uint64_t groupStart_ = 0;
    uint64_t nextEarly_ = kEarlyFlushMilliseconds;  // the group's age for flushEarly
    bool pending_ = false;                          // something was written since the last settle
    // Held back while a file waits: counts and the offset.
    bool holding_ = false;
    uint32_t heldFiles_ = 0;
    uint64_t heldBytes_ = 0;
    bool heldOffset_ = false;
    uint64_t offset_ = 0;
};
