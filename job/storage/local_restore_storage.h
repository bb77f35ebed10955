// The restore storage of a restore job whose definition names an offline
// location: the path of one backup run's catalogue, "<offline>\<instance>.cat"
// (the layout of job/storage/local_backup_storage.h). The run's data files lie in the
// folder of the same name without ".cat". The catalogue is read whole at
// start(); each item the job asks for is then written to the place that the
// restore location policy of the definition gives it: a folder is made, a
// file is decrypted (and decompressed when its catalogue record says it was
// stored compressed) from its data file, and both get the attributes and
// times that the catalogue stored for them. Missing parent folders are made
// too, those that stand for a catalogued folder with that folder's
// attributes and times. Below a chosen folder no link is followed: a link at
// a target or on its way fails the item (job/storage/restore_place.h).
//
// The storage belongs to one run and is called from the job's worker thread
// only (end and the destructor may run on the thread that stops a paused
// job). The job hands it the file items it will ask for next (prepare): a
// file's data are decrypted, decompressed and written to its temporary file
// on a pool of threads meanwhile (a few large files side by side, each
// written in order by one thread), each thread with transformations of
// its own; everything that decides about the item (the place, the existing
// file rule, the link checks, the folders made) stays in restore, on the
// job's thread and in the list's order.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "job/core/web_client_event_handler.h"
#include "job/sources/activity_source.h"
#include "job/storage/ahead_pool.h"
#include "job/storage/restore_location_policy.h"
#include "job/storage/restore_place.h"
#include "job/storage/storage.h"
#include "job/storage/transformation.h"
#include "plandeck/restore_job_definition.h"

// The items of one catalogue by path. Paths are compared code unit by code
// unit (letter case counts) and without trailing separators, since the
// restore list marks a folder with a trailing back-slash and the catalogue
// does not. Of a path listed twice the later record counts.
//
// Only a hash of each path is held, with the offset of its record and its
// entry (64 bytes an item): a hit is told from another path of the same hash
// by reading its record back from the catalogue file, which stays open.
// Not thread-safe, find included (it reads the file).
class LocalRestoreCatalogue {
public:
    struct Entry {
        uint32_t itemIndex = 0;
        WIN32_FILE_ATTRIBUTE_DATA data{};
        bool compressed = false;  // the record's flag is 1

        bool folder() const { return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
        uint64_t size() const {
            return static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
        }
    };

    // Replaces the content with the "FILE" and "DIRB" records of the file.
    // False with the reader's error when the file cannot be opened. A damaged
    // record ends the reading (logged): the records before it are kept.
    bool load(const std::wstring& path);
    // Null when the path is not listed (or its record can no longer be read
    // back). The entry stays valid until the next load or clear.
    const Entry* find(const std::wstring& path) const;
    void clear();
    size_t size() const { return slots_.size(); }

    // path without its trailing back-slashes and slashes (a path of
    // separators only is kept as it is).
    static std::wstring key(const std::wstring& path);

private:
    struct Slot {
        uint64_t hash;
        int64_t offset;  // of the record
        Entry entry;
    };
    static uint64_t hashOf(const std::wstring& key);

    std::vector<Slot> slots_;  // by hash, then offset
    mutable JobActivitySourceReader reader_;
    mutable JobActivitySourceItem read_;
};

class LocalRestoreStorage : public RestoreStorage {
public:
    // Neither is owned; handler may be null and is not used. The location
    // policy is made now (none for a definition that is not a restore one:
    // every item then goes back to its own path).
    LocalRestoreStorage(const RestoreJobDefinition* definition, WebClientEventHandler* handler);
    // Saves the error list into the run's history folder, unless that folder
    // has been removed (the job removes it when the run ends): it is never
    // made again for the list.
    ~LocalRestoreStorage() override;
    LocalRestoreStorage(const LocalRestoreStorage&) = delete;
    LocalRestoreStorage& operator=(const LocalRestoreStorage&) = delete;

    // Binds the record (not owned; history is not used) and the run's
    // durable group (RestoreGroup, whose mark of the items in flight is in
    // the job's tmp folder), names the temporary files with the run's token,
    // reads the catalogue, sets the record's total files and total bytes to
    // the files of the definition's source list found in it, removes the
    // temporary files that a run taken up again may have left
    // (RestoreStorage::removeLostTemporaries), and loads the error list of the
    // run's history folder ("err", made afresh when missing). False with 87
    // for a null record, a missing definition or an empty location,
    // ERROR_BAD_PATHNAME (161) for a location that does not end in ".cat",
    // and the reader's error when the catalogue cannot be opened. On success
    // the caller's last error is kept.
    bool start(JobActivity* record, JobHistoryInfo* history) override;
    // Ends the durable group and writes the error list to the history
    // folder (while it exists); always true. errorCount() counts that list: the items the job
    // recorded as failed with addError.
    bool end(bool cancelled) override;
    // Writes the catalogue's item for path to its target; machine and
    // isFolder are not used (the catalogue's record decides), itemIndex names
    // the item's mark (see RestoreGroup): an item of a resumed run that the
    // mark shows in place already is done. False with
    //   3   path not in the catalogue;
    //   0   the policy skips the item (skip mode, a file at the target);
    //   the policy's own code when it finds no place for the item (161 for
    //       a path that would lead out of the chosen folder);
    //   681 when a link stands at the target or, below the chosen folder, on
    //       its way (job/storage/restore_place.h): nothing is written through it;
    //   the folder's error when the folder or a parent cannot be made (80 for
    //       a file in the way): no data file is read then;
    //   the transformation's error (2 for a missing data file, 13 for damaged
    //       data): an existing target is left as it was.
    // A restored file counts in the record's files done and, by its stored
    // size, bytes done; the current-file counters are 0 afterwards. On a
    // volume forced as a whole the file takes its target's place, and
    // counts, only at the durable group's end; when it fails to, the item is
    // added to the error list then.
    bool restore(const wchar_t* path, const std::wstring& machine, bool isFolder,
                 uint32_t itemIndex) override;
    // kLookahead items; prepares a file item of up to kAheadFileBytes while
    // the prepared items not yet asked for hold at most kAheadBytes, and a
    // larger one while fewer than kAheadLarge of those are prepared.
    size_t lookahead() const override { return kLookahead; }
    void prepare(const wchar_t* path, const std::wstring& machine, bool isFolder,
                 uint32_t itemIndex) override;
    void dropPrepared() override;

    static constexpr size_t kLookahead = 48;
    static constexpr uint64_t kAheadFileBytes = 1024 * 1024;
    static constexpr uint64_t kAheadBytes = 32 * 1024 * 1024;
    // Larger files prepared at a time: each is streamed into its temporary
    // file by a thread of its own, in little memory.
    static constexpr unsigned kAheadLarge = 4;
    static constexpr size_t kBatch = 8;
    // From this many files of a group on, the pool renames them.
    static constexpr size_t kPlacedApart = 64;

private:
    using Entry = LocalRestoreCatalogue::Entry;

    // A file item handed to prepare, and what its task did. The task writes
    // outcome, temporary and held; the job's thread reads them after the
    // pool's wait for ticket.
    struct Prepared {
        uint32_t itemIndex = 0;
        std::wstring key;
        Entry entry;
        std::wstring data;    // the stored file
        std::wstring target;  // the place before the existing-file rule
        uint64_t ticket = 0;  // of its batch
        bool posted = false;
        bool waited = false;
        RestoreTransformation::Ahead outcome = RestoreTransformation::Ahead::kNone;
        std::wstring temporary;     // kWritten
        std::vector<uint8_t> held;  // kHeld
        // Under handOff_: the task posted last has ended; its target's
        // folder was made while it ran (a task that then finds the folder
        // missing takes the item's next step itself).
        bool ended = false;
        bool folderMade = false;
    };

    // The prepared item of itemIndex and key, out of the queue; null when
    // the item was not prepared.
    std::unique_ptr<Prepared> takePrepared(uint32_t itemIndex, const std::wstring& key);
    // The pool thread's own transformation (on that thread), its folders
    // found free of links forgotten at each group's end.
    RestoreTransformation& aheadOf(unsigned thread, bool compressed);
    // Items go to the pool kBatch at a time, one task each batch (a task
    // posted wakes a thread): queue adds the item's next step (its
    // transformation, or the write of its held data) to the batch under way,
    // postBatch posts that batch now.
    void queue(Prepared* item);
    void postBatch();
    // The item's next steps, on a pool thread: one, and another while its
    // folder was made meanwhile (see takesFolderItself).
    void work(Prepared& item, unsigned thread);
    void step(Prepared& item, unsigned thread);
    // The job's thread has made the item's folder: true when its task needs
    // no wait for that, being not yet posted (it begins with the folder
    // there) or under way (it takes the next step itself: see work).
    bool takesFolderItself(Prepared& item);
    // Waits for the item's task (posting its batch first).
    void await(Prepared& item);
    // The durable group's placer (RestoreGroup::placeWith): the renames of a
    // large group are shared among the pool's threads.
    void placeAll(const std::vector<RestoreGroup::Waiting>& waiting, std::vector<DWORD>& codes);
    // The job's thread has made folder: the prepared items whose data wait
    // for it (kHeld) are written there by the pool.
    void writeHeld(const std::wstring& folder);
    // Waits for the item's task and removes what it wrote.
    void discard(Prepared& item);
    // Takes the work of a prepared item for target, as the inline transform
    // would have done it: true with restored set (the file waiting in
    // plain_), false when the inline path must run (another target, or the
    // task did nothing).
    bool usePrepared(Prepared& item, const std::wstring& target, bool& restored);

    // Whether the run's history folder, where the error list is kept, exists.
    bool historyKept() const;
    // The chosen folder below which no link is followed; empty for a restore
    // to the items' own places.
    std::wstring confinement() const;
    // The link check below confinement(), logged when it fails; found gets
    // the target's attributes (INVALID_FILE_ATTRIBUTES: nothing there, or
    // not looked at: wayOnly checks the folders on the way only).
    bool placeFreeOfLinks(const std::wstring& target, DWORD& found, bool wayOnly = false);
    bool restoreFile(const std::wstring& key, const Entry& entry, const std::wstring& target,
                     uint32_t itemIndex, DWORD found, Prepared* early);
    // Makes target and its missing parents; source is the catalogued path
    // that target stands for (empty: none). A made folder that stands for a
    // catalogued folder gets its attributes and is remembered for its times.
    // An existing folder is left as it is. False with the error of the folder
    // that could not be made.
    bool makeFolderPath(const std::wstring& source, const std::wstring& target);
    // Something was made or written in folder: when this storage made it,
    // it gets its stored times again at the group's end (writing into a
    // folder moves its last-write time).
    void touched(const std::wstring& folder);
    // Whether file target lies in a folder this run made and is not one it
    // restored before (it is taken as restored from now on).
    bool firstInNewFolder(const std::wstring& target);
    // The end of a durable group, before its flush: the touched folders get
    // their times, and the folders on the way are looked at afresh.
    void endGroup();

    const RestoreJobDefinition* definition_;
    WebClientEventHandler* handler_;
    JobActivity* record_;
    std::wstring dataFolder_;  // the catalogue's path without ".cat"
    std::wstring work_;        // the job's tmp folder
    std::string errorPath_;    // of the error list, UTF-8; empty when it has none
    RestoreTransformation plain_;
    RestoreTransformation unpacking_;
    LocalRestoreCatalogue catalogue_;
    std::unique_ptr<RestoreLocationPolicy> policy_;
    // Target folders made by this storage for catalogued folders, with the
    // times they are to keep; those touched in the group under way.
    std::map<std::wstring, WIN32_FILE_ATTRIBUTE_DATA> madeFolders_;
    std::set<std::wstring> dirtyFolders_;
    // Folders found (or made) in the group under way.
    std::unordered_set<std::wstring> knownFolders_;
    // Folders this run made (they were not there), and the hashes of the
    // file targets it restored into them: a target there that the run has
    // not restored before cannot exist, unless somebody else made it since
    // (what the checks at its placement see).
    std::unordered_set<std::wstring> newFolders_;
    std::unordered_set<uint64_t> restoredInNew_;
    LinkCheck links_;

    // The prepared items in the list's order, and their targets; the targets
    // of the files waiting in the group under way (not prepared again: their
    // temporary names are taken).
    std::deque<std::unique_ptr<Prepared>> prepared_;
    std::vector<Prepared*> batch_;  // queued, not yet posted
    std::unordered_set<std::wstring> preparing_;
    std::unordered_set<std::wstring> deferred_;
    uint64_t preparedBytes_ = 0;
    unsigned largeAhead_ = 0;
    // Counts a prepared item in (taken) or out of what is in flight.
    void charge(const Prepared& item, bool taken);
    // Tells the large files streamed ahead to stop (dropPrepared).
    struct AheadStop : interrupter {
        std::atomic<bool> stopping{false};
        bool interrupted() override { return stopping.load(); }
    };
    AheadStop aheadStop_;
    // Two transformations (plain, unpacking) for each thread of the pool.
    std::vector<std::unique_ptr<RestoreTransformation>> ahead_;
    // Moved at each group's end: a thread forgets its folders found free of
    // links when it sees a new value.
    std::atomic<uint64_t> linkEpoch_{0};
    std::vector<uint64_t> seenEpoch_;  // by thread, each its own
    std::mutex handOff_;               // of Prepared::ended and folderMade
    // Last: it ends (joining its threads) before what its tasks use.
    std::unique_ptr<AheadPool> pool_;
};
