// Where a run's items go and come from. A backup run hands every item of its
// source list to a BackupStorage, a restore run asks a RestoreStorage for
// every item of its list; the local (offline folder) and the web (remote
// service) kinds keep the same contracts. A storage belongs to one run and
// is called from that job's worker thread only (and, for the end of a
// stopped paused run, from the stopping thread). Every operation reports a
// failure as false with the reason in the thread's last error.
#pragma once

#include <functional>
#include <string>

#include "job/core/job_activity.h"
#include "job/core/job_history.h"
#include "job/storage/restore_group.h"
#include "job/storage/transformation.h"

// The error entry of a file that changed while it was read, and again while
// it was read once more: the storage keeps what the second read got, with
// its size (BackupTransformation), and reports it with this code and reason.
inline constexpr DWORD kChangedWhileRead = ERROR_SHARING_VIOLATION;
inline constexpr wchar_t kChangedWhileReadReason[] = L"changed while read";

// The attribute data that a stored file is described with: the walk's
// (attributes), with the size and last-write time of what the
// transformation read when it knows them.
WIN32_FILE_ATTRIBUTE_DATA described_attributes(const WIN32_FILE_ATTRIBUTE_DATA& attributes,
                                               const SourceRead& read);

class BackupStorage {
public:
    virtual ~BackupStorage() = default;
    // Binds the run's record and takes ownership of the transformation
    // (destroying a different one held before).
    virtual bool init(JobActivity* record, Transformation* transformation) = 0;
    // Prepares the target for this run; then backupFile any number of times.
    virtual bool start() = 0;
    // The run completed, or was cancelled: finishes the target.
    virtual bool end() = 0;
    virtual bool cancel() = 0;
    // Stores one file or folder (FILE_ATTRIBUTE_DIRECTORY in its attributes)
    // under path, reading it from readPath (null: path). A file is described
    // with the size that was read and stored (described_attributes); one
    // that changed while it was read is stored all the same and gets the
    // error entry kChangedWhileRead.
    virtual bool backupFile(const wchar_t* path, const WIN32_FILE_ATTRIBUTE_DATA* attributes,
                            uint32_t itemIndex, const wchar_t* readPath) = 0;
    // How many items ahead of the one it stores the storage wants to hear
    // of; 0 (the default): none.
    virtual size_t lookahead() const { return 0; }
    // The item comes to backupFile after those announced before it (the
    // arguments are the same): the storage may begin its work on it now.
    // Nothing is stored until backupFile; what an item announced but never
    // stored left behind (a run cut short) is the storage's to remove.
    virtual void prepare(const wchar_t* /*path*/, const WIN32_FILE_ATTRIBUTE_DATA* /*attributes*/,
                         uint32_t /*itemIndex*/, const wchar_t* /*readPath*/) {}
    virtual int errorCount() const { return static_cast<int>(errors_.get().size()); }
    // The job's place in its source list (the entry it takes next, and the
    // volume that entry's files are read from), for record: written at once
    // here; a storage that makes its items durable in groups holds it back
    // until the items before it are on the disk (the record is a shared
    // mapping that the system may write back at any time).
    virtual void advance(JobActivity* record, uint64_t offset, uint32_t volumeIndex) {
        record->sourceListOffset = offset;
        record->currentVolumeIndex = volumeIndex;
    }

    // Appends an error to the run's list and hands it to the list's journal
    // at once (keeping the last error): the list offset moves past the item
    // next, so a run killed after that reports the error only when the
    // resumed run loads it back from the file. The whole list is written
    // once, when the storage ends or goes.
    bool addError(const wchar_t* path, DWORD code, const wchar_t* reason) {
        if (!errors_.add(path, code, reason)) return false;
        errors_.journalLast();
        return true;
    }

protected:
    JobHistoryError errors_;
};

class RestoreStorage {
public:
    virtual ~RestoreStorage() = default;
    // Binds the run and prepares the source; fills the record's totals where
    // the storage knows them.
    virtual bool start(JobActivity* record, JobHistoryInfo* history) = 0;
    virtual bool end(bool cancelled) = 0;
    // Writes one item to its target place.
    virtual bool restore(const wchar_t* path, const std::wstring& machine, bool isFolder,
                         uint32_t itemIndex) = 0;
    // How many items of its list the job reads ahead of the one it works on
    // and hands to prepare (0: none, prepare is never called).
    virtual size_t lookahead() const { return 0; }
    // The job will ask for this item (as restore) after the items handed
    // before it: the storage may begin its work now, on threads of its own.
    // What it does there has no effect on what restore gives, decides or
    // counts; a prepared item that is never asked for (the run ended first)
    // leaves nothing behind once dropPrepared has returned.
    virtual void prepare(const wchar_t* /*path*/, const std::wstring& /*machine*/,
                         bool /*isFolder*/, uint32_t /*itemIndex*/) {}
    // Ends the work of the prepared items not asked for and removes what it
    // wrote. The job calls it at every end of a run, before settle.
    virtual void dropPrepared() {}
    virtual int errorCount() const { return static_cast<int>(errors_.get().size()); }
    // The items of the run (this attempt and the earlier ones whose list was
    // loaded by start) that failed; skipped items do not count.
    size_t failureCount() const { return errors_.failures(); }
    // True when the last restore returned early for a stop, leaving its item
    // (and its work file) to be presented again.
    bool itemPending() const { return itemPending_; }
    // Called when the run has ended and its history folder is about to be
    // removed: the list is no longer saved afterwards. A storage whose list
    // is the only record of the run's failed items (the offline one: nothing
    // submits it) first writes it whole and answers true when it holds an
    // entry: the folder's "err" must then stay. Keeps the last error.
    bool releaseErrors();

    // Appends an error to the run's list and hands it to the list's journal
    // at once (keeping the last error), so that a run taken up after its
    // process died still counts and reports the item.
    bool addError(const wchar_t* path, DWORD code, const wchar_t* reason) {
        if (!errors_.add(path, code, reason)) return false;
        errors_.journalLast();
        return true;
    }

    // The job has moved its source-list offset past the item (the record
    // holds the new offset): counts it in the run's durable group, which
    // ends when it is due (see RestoreGroup). The web storage also removes
    // the item's work file, which a failed item may have left.
    virtual void passed(uint32_t itemIndex, bool isFolder);
    // Ends the durable group now: what the record reports as restored is on
    // the disk afterwards, and the group's flusher thread is stopped. The
    // job calls it at every end of a run. False when a volume could not be
    // forced to the disk (logged).
    bool settle() { return group_.finish(); }
    // The job's source-list offset past an item, for record: written at
    // once, or at the durable group's end while a file of the group waits
    // for its place there (the offset never passes an item not in place).
    void advance(JobActivity* record, uint64_t offset) { group_.advance(record, offset); }

protected:
    // On the start of a run taken up again (the record's resume flag): the
    // items from the record's source-list offset on, as far as one durable
    // group reaches, may have left their temporary files (named with the
    // run's token) beside their targets when the power went, and so may the
    // items prepared ahead of them (lookahead): for each file item of the
    // job's source list there that place gives a target for, transformation
    // removes that target's temporary file.
    void removeLostTemporaries(
        const char* jobId, JobActivity* record, RestoreTransformation& transformation,
        const std::function<bool(const std::wstring& path, std::wstring& target)>& place);

    JobHistoryError errors_;
    // The list stays in the run's history folder after the run (releaseErrors).
    bool errorsOutliveRun_ = false;
    bool itemPending_ = false;
    RestoreGroup group_;
};
