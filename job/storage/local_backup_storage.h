// The storage of a backup job whose definition names an offline location: a
// folder (local, removable or network) that receives the backup in place of
// the remote service. It owns the layout of that folder, which the local
// restore storage reads back. It does no network work; of the job's
// callbacks it uses the stop test only.
//
// The offline layout. Every name is relative to the offline folder (the
// definition's offlineLocation()); <instance> is the run's instance id (the
// UUID of the activity record) as 36 lower-case hexadecimal digits with
// hyphens. The folder may hold any number of runs of any number of jobs; a
// run's names all start with its own instance text, so runs never share a
// file.
//
//   <instance>.err        the run's error list: one JSON array of {"code",
//                         "path", "reason"} (job/core/job_history.h), written
//                         whole when the run ends or is cancelled and when the
//                         storage goes, if it names any item. While the run
//                         goes on, each error is appended to its journal
//                         "<instance>.err.journal" as it comes; a resumed run
//                         loads both.
//   "err"                 the list that earlier versions shared between every
//                         run of the folder, which only ever grew: it is left
//                         as it is (what earlier runs reported stays there),
//                         and no run reads or writes it any more.
//   <instance>.bak.def    the run's description, one compact JSON object
//                         {"Id": job id, "Type": "Backup", "User": user};
//                         replaced whole at every start of the run.
//   <instance>.cat        the run's catalogue, source records as in
//                         job/sources/activity_source.h (below).
//   <instance>\<n>        the folder of the run's data: one file per stored
//                         file, named by the file's item index n in decimal
//                         without leading zeros, holding exactly what the
//                         backup transformation made of the file (compressed
//                         when the catalogue's flag is 1, then encrypted).
//                         Folders have no data file. The data folder of a
//                         catalogue is thus the catalogue's path without
//                         ".cat".
//
// The catalogue holds, for each start of the run (the first and each
// resumption), one "SSET", then one "FILE" or "DIRB" record per item stored
// by that part, in the order stored: the item's path as backed up, its
// attribute data as the walk read it (but for a file the size and last-write
// time of what was read and stored: the size always matches the data file,
// also for a file written to meanwhile, see BackupTransformation), its item
// index as the ordinal, and the flag 1 for a file whose data file is
// compressed, else 0. A file that changed while it was read, twice, is
// stored as the second read found it and listed in the run's error list
// (kChangedWhileRead). A cancelled run
// ends with "ESET"; a completed one does not. An item appears once per
// catalogue; a reader that meets a path twice (a source list rebuilt in
// mid-run) takes the later record.
//
// What a kill cannot lose. Every record is written to the catalogue file,
// handed to the system, before backupFile() returns, and so before the job
// can move its source-list offset past the item: after a kill of the process
// at any point, the catalogue lists every item whose storing was reported,
// since what the system holds reaches the file whatever becomes of the
// process.
//
// What a power cut cannot lose. The run's files are forced to the disk in
// groups, every kGroupItems items or kGroupMilliseconds, whichever comes
// first, when a pause or stop is asked for (the job then forces its record),
// and at end() and cancel(): first the data files stored since the last
// group, then the catalogue, then the job's activity record with its
// source-list offset. The data files are forced by one flush of the volume
// that holds them (FlushFileBuffers of "\\.\X:"), which forces the
// catalogue's records pushed so far with them. A group that falls due while
// the run goes on is flushed that way on a thread of the storage's own while
// the worker stores the next items, which join the next group: the record's
// offset passes a group's items only once its flush has ended (the worker
// looks after each item), and one flush is under way at a time; a pause or
// stop, end() and cancel() wait for it and force the rest at once. Where the
// volume cannot be opened or flushed (a network folder), each data file is
// handed, as it is finished, to threads of the storage's own that force it
// through the handle that wrote it while the run transforms the next ones,
// and a group waits for them before the catalogue. So the disk never holds a
// source-list offset past an item whose data file or record it lacks. Should
// a cut in the middle of a volume's flush keep a record without its data
// file, the resumed run finds the data file missing or empty and stores the
// item again. The catalogue on the disk may hold items past the offset (a
// group, and what was stored while its flush went on); the resumed run
// presents those items again, and the storage takes them as stored (see
// Resumption). A lost group is stored again by the resumed run, never
// skipped.
//
// Resumption. A start with the record's resume flag set and the catalogue
// present continues that catalogue: it is read from its beginning and cut
// back to the end of its last complete record (a record torn by a kill, a
// record of impossible length, and anything after either are dropped), and
// the new records follow there. The items it holds are remembered: when the
// resumed run presents one of them again (same kind, item index and path:
// the earlier part stopped, was killed or lost its power after the record
// was written but before the job's offset past the item reached the disk),
// the item counts as stored (a file only when its data file is there and not
// empty) and is neither written nor listed twice. A
// fresh start (resume flag 0) replaces a catalogue of the same name.
//
// Failures. A record that cannot be written in full (a full disk) fails its
// call with the write's error (112 for a full disk); the catalogue is then
// cut back to its last complete record, so the records before it stay and
// the next item may succeed. A failed item leaves no data file behind. An
// item whose path is too long for a record (over kSourceItemPathMax UTF-16
// units) fails with 206 before anything is written.
//
// The storage belongs to one run and is called from the job's worker thread
// only (end, cancel and the destructor may run on the thread that stops a
// paused job); only its data-file flushing threads share anything with it,
// under a lock of their own, and the thread of a group's volume flush, which
// takes the volume's handle (kept open until it ends) and hands back its
// outcome.
#pragma once

#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/holders.h"
#include "job/core/web_client_event_handler.h"
#include "job/sources/activity_source.h"
#include "job/storage/ahead_pool.h"
#include "job/storage/storage.h"
#include "plandeck/backup_job_definition.h"

class LocalBackupStorage : public BackupStorage {
public:
    // Neither is owned; handler may be null. The definition's offline
    // location is copied now; nothing is opened before start().
    LocalBackupStorage(const BackupJobDefinition* definition, WebClientEventHandler* handler);
    // Closes the catalogue, destroys the transformation and writes the
    // run's error list (when it names an item).
    ~LocalBackupStorage() override;
    LocalBackupStorage(const LocalBackupStorage&) = delete;
    LocalBackupStorage& operator=(const LocalBackupStorage&) = delete;

    // Binds the record (not owned) and takes the transformation; always true.
    bool init(JobActivity* record, Transformation* transformation) override;
    // With the group flush, while items of the group under way are not on
    // the disk, the place is held back and written with the group's flush:
    // the record never points past an item whose data file or catalogue
    // record the disk may lack, even when the system writes the record's
    // page back early. Otherwise written at once.
    void advance(JobActivity* record, uint64_t offset, uint32_t volumeIndex) override;
    // Creates the offline folder and the run's data folder, loads the run's
    // error list,
    // writes the description (a failure there is logged and does not fail
    // start), opens the catalogue (fresh, or continued as described above)
    // and writes its "SSET". False with the last error set when a folder
    // cannot be made, the catalogue cannot be opened or read back, or the
    // "SSET" cannot be written; 87 without a bound record or transformation.
    bool start() override;
    // end() forces the last group to the disk (data files, catalogue, record)
    // and writes the run's error list; false only when a file cannot be
    // written or flushed. cancel() writes "ESET", forces the group the same
    // way and writes the error list; false when the "ESET" cannot be written
    // or a file flushed. Both also serve a storage that was only bound with
    // init(), as when a paused run is stopped: they then continue the run's
    // catalogue (when it exists) as a resumed start would, and keep the
    // entries of the run's error list.
    bool end() override;
    bool cancel() override;
    // Stores one file (its data file, then its record) or folder (its record)
    // and counts a file in the record's files and bytes done; forces the group
    // to the disk when it is due. An item of a continued catalogue, presented
    // again, is taken as stored (see Resumption). After the item a pending
    // stop request leaves the record's current item index at the item, else
    // the index is reset to 0. False with the transformation's or the write's
    // error; the record's counters then stay as they were.
    bool backupFile(const wchar_t* path, const WIN32_FILE_ATTRIBUTE_DATA* attributes,
                    uint32_t itemIndex, const wchar_t* readPath) override;

    // The storage transforms the small files (up to
    // BackupTransformation::kInMemoryBytes) among the next kLookahead items
    // on threads of its own, each into its data file, while the job's worker
    // stores the items before them; backupFile then takes the prepared item's
    // data file as its own transform would have left it and writes its
    // record. Up to kLargeAhead larger files among them are transformed the
    // same way at once, each on a lane thread of its own that reads,
    // encrypts and writes it while its deflate is made in pieces on the
    // pool; the worker streams a larger file itself when the lanes are full.
    // Records stay in the order the items are stored in. Nothing is prepared
    // for an item of a continued catalogue, nor with a transformation of
    // another kind. The data files of items prepared but never stored (a run
    // cut short) are removed when the storage goes; the lanes' transforms
    // are stopped then.
    size_t lookahead() const override { return kLookahead; }
    void prepare(const wchar_t* path, const WIN32_FILE_ATTRIBUTE_DATA* attributes,
                 uint32_t itemIndex, const wchar_t* readPath) override;
    // Deep enough that the pool and the lanes go on while the worker waits
    // for a group's flush; an item ahead costs its name, not its data.
    static constexpr size_t kLookahead = 256;
    // The pool's threads at most (one per core beside the job's worker): a
    // large file's deflate is made in pieces on them too (see
    // BackupTransformation::compressOn). Each thread keeps a transformation
    // of a few MiB, so the bound holds the memory whatever the cores.
    static constexpr unsigned kThreads = 7;
    // Larger files prepared at most at a time, beside the one the worker may
    // stream: each takes at most PieceDeflate::kPiecesOut pieces of memory.
    static constexpr size_t kLargeAhead = 2;

    // The items stored between two forcings of the run's files to the disk.
    static constexpr uint32_t kGroupItems = 16384;
    static constexpr uint64_t kGroupMilliseconds = 1000;
    // The groups' worth of items at most that the next group takes while
    // the last one's flush goes on.
    static constexpr uint32_t kGroupGrowth = 4;
    // Turns the forcing of groups to the disk on (the default) or off, for
    // every storage of the process from now on; for the benchmark, which
    // measures what it costs. end() and cancel() force the run's files
    // either way.
    static void setGroupFlush(bool on);
    // Sets the items of a group (0: kGroupItems again) for every storage of
    // the process from now on; for the fault sweeps, whose small runs then
    // end groups, and flush them apart, while they go on.
    static void setGroupItems(uint32_t items);

private:
    std::wstring inFolder(const std::wstring& name) const;
    // Names the run's files from the record's instance id and loads the
    // run's error list.
    bool bind();
    // bind() and the catalogue continued, for end() and cancel() without
    // start().
    bool attach();
    // Reads the catalogue back, cuts a torn tail away and remembers its
    // size and its last item record.
    bool recoverCatalogue();
    // Opens the catalogue writer at the catalogue's end (append) or on a new
    // file.
    bool openCatalogue(bool append);
    // Hands one record to the catalogue and pushes it to the system (with
    // durable: flushes it to the disk); on failure cuts the catalogue back to
    // its last complete record (the failure's error stays the last error).
    bool writeRecord(bool (JobHistorySourceWriter::*write)(), uint64_t size, bool durable);
    bool writeItem(const wchar_t* path, const WIN32_FILE_ATTRIBUTE_DATA& data, uint32_t ordinal,
                   uint32_t flag);
    bool settle(bool written, uint64_t size, bool durable);
    // Forces the group to the disk: its data files, then the catalogue, then
    // the job's record, after the flush under way (if any) has ended. False
    // with the last error when a file cannot be.
    bool flushGroup();
    // Starts the volume's flush of the group on a thread of its own (see the
    // header); the place past the group waits in flushOffset_. False, with
    // nothing changed, when no thread can be had.
    bool startFlush();
    // Ends the flush under way when it is over (or, with wait, once it is):
    // the record takes the group's place and is forced to the disk. Should
    // the volume have failed, the group joins the one under way and is
    // forced file by file at once. False with the last error when a file
    // cannot be forced.
    bool endFlush(bool wait);
    // Reopens the catalogue cut back to catalogueEnd_.
    bool repairCatalogue();
    // Ends an item that was stored or skipped: leaves the record's current
    // item index at itemIndex while a stop is pending, else at 0; true.
    bool finishItem(uint64_t itemIndex);

    const BackupJobDefinition* definition_;
    WebClientEventHandler* handler_;
    std::wstring folder_;
    JobActivity* record_;
    Transformation* transformation_;
    std::unique_ptr<JobHistorySourceWriter> catalogue_;  // open from start() on
    std::wstring instance_;
    std::wstring cataloguePath_;
    std::wstring dataFolder_;
    uint64_t catalogueEnd_;  // bytes of complete records in the catalogue
    bool catalogueBroken_;   // the catalogue could not be reopened after a failure
    // Items of a continued catalogue, sorted by kind and item index (the
    // later record of one that is there twice), with the hash of the path;
    // taken once presented again. Sixteen bytes and a bit an item.
    struct StoredItem {
        uint64_t key;  // item index << 1 | 1 for a folder
        size_t pathHash;
    };
    std::vector<StoredItem> stored_;
    std::vector<bool> storedTaken_;
    // Whether the item is one of stored_ not yet presented again: then it
    // is taken now.
    bool takeStored(bool folder, uint32_t itemIndex, const wchar_t* path);
    // Whether the data file of item itemIndex is there and not empty (a
    // power cut in the middle of a group's flush may have put its record on
    // the disk before it).
    bool dataFileHeld(uint32_t itemIndex) const;
    // Whether the data files are forced to the disk by a flush of their
    // volume (opened on first use); false where it cannot be opened.
    bool volumeFlushes();
    // Forces the data files of groupFiles_ to the disk: their volume at
    // once, or each on its own should that fail (the volume is then no
    // longer used). False with the last error and the file's name in failed.
    bool forceGroupFiles(std::wstring& failed);
    // The item's slot in the stored items, or stored_.size().
    size_t findStored(bool folder, uint32_t itemIndex) const;
    // Whether items are prepared ahead (the threads and their
    // transformations are made at the first).
    bool preparing();
    struct Prepared;
    // The prepared item at the head of prepared_ when it is this one (its
    // work done), dropping any before it; null when there is none.
    std::unique_ptr<Prepared> takePrepared(uint32_t itemIndex, const wchar_t* path);
    // popPrepared takes the head of prepared_ off it; waitPrepared waits
    // for an item's work to end, false when it was dropped before it began.
    std::unique_ptr<Prepared> popPrepared();
    bool waitPrepared(const Prepared& item);
    // Drops the prepared items not taken, with their data files.
    void discardPrepared();
    class DataFlusher;
    std::unique_ptr<DataFlusher> flusher_;  // data files being forced to the disk one by one
    scoped_handle volume_;                  // the data folder's volume, for its flush
    bool volumeTried_ = false;
    std::vector<std::wstring> groupFiles_;  // data files of the group, forced with the volume
    // The volume's flush under way: its error, when it ends.
    std::future<DWORD> flushing_;           // after volume_, which it uses
    std::vector<std::wstring> flushFiles_;  // data files of the group it forces
    uint32_t flushItems_ = 0;               // items of the group it forces
    // The place past that group, set once the job has advanced to it.
    bool flushPlaced_ = false;
    uint64_t flushOffset_ = 0;
    uint32_t flushVolume_ = 0;
    bool bound_;           // the run's files are named and its error list is loaded
    bool started_;         // start() succeeded: items may be stored
    uint32_t groupItems_;  // items stored since the group began
    uint64_t groupStart_;  // GetTickCount64 when the group began
    // The job's place, held back until the group's flush (advance).
    bool placeHeld_ = false;
    uint64_t heldOffset_ = 0;
    uint32_t heldVolume_ = 0;
    bool aheadTried_ = false;
    std::vector<std::unique_ptr<Transformation>> aheadTransformations_;  // one per thread
    std::deque<std::unique_ptr<Prepared>> prepared_;                     // in the order announced
    std::unique_ptr<AheadPool> pool_;  // its tasks use the members above
    // The lanes of larger files, with their transformations and stop; the
    // lanes' tasks use the pool, which outlives them.
    class AheadStop;
    std::unique_ptr<AheadStop> laneStop_;
    std::vector<std::unique_ptr<BackupTransformation>> laneTransformations_;
    std::unique_ptr<AheadPool> lanes_;
    size_t largeOut_ = 0;  // larger files of prepared_
};
