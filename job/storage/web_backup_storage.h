// The backup storage of a run that goes to the remote service. start tells
// the web server that the run begins and learns the storage server's
// address; every item is then described to the storage server and, for a
// file, sent in blocks of kBlockSize bytes of its transformed (compressed and
// encrypted) form; end submits the run's error list to the web server and
// ends the run on the storage server; cancel tells the web server that the
// run was cancelled.
//
// Resumption. The progress of the file being sent lives in the job's
// activity record, so that it survives a stop, a pause or a restart of the
// process. Item `i` is half-sent when the record's current file state is
// kTransferState, its current item index is `i`, the work file `i` (the
// decimal index in the job's "tmp" folder) exists with the record's current
// file size, and the current file done is a block boundary within it. Only
// then does backupFile for item `i` skip the transformation and continue at
// the block numbered done / kBlockSize + 1. The state, not the index, tells
// a half-sent item from none, so item 0 resumes like any other and a fresh
// (zeroed) record never resumes anything. An item that is not half-sent is
// sent again from its transformation, its description and its first block.
//
// A file that the transformation reads whole (BackupTransformation::
// holdSmall) is sent from memory: it gets its work file only once its first
// block is accepted and more are to come, before the record moves past that
// block. A file of one block never has one.
//
// Descriptions. A file is described with the size and last-write time of
// what was read of it (BackupTransformation), so that the size the service
// is told is the size of the data it receives; a file that changed while it
// was read, twice, is sent as read and gets the run's error entry
// kChangedWhileRead.
//
// Work files. The storage owns the work files of the tmp folder (only the
// record's current item may have one): it deletes one when its item is
// finished, when the item fails in a way that spoils the work file
// (transformation, attributes, open, seek or read of the work file), and
// when a call names another item than the half-sent one (that item has then
// ended: passed over after a failure, or dropped by the job).
// A refused or failed upload keeps the item half-sent, so that the job can
// present it again (after a network pause, or in the resumed run) and only
// the blocks not yet accepted are sent. The job must not delete the work
// file of the record's current item between items.
//
// Work done ahead. The files among the next kLookahead items announced by
// prepare are transformed on threads of the storage's own while the worker
// sends the items before them: a file of up to
// BackupTransformation::kInMemoryBytes into memory on the pool, a batch of
// them a task (each thread with a transformation of its own), as long as the
// sources so held stay within kAheadBytes; up to kLargeAhead larger ones at
// a time, each on a lane thread of its own, into the ahead file "<i>.ahead"
// beside the work files, with their deflate in pieces on the pool.
// backupFile takes an item's work when its turn comes, as its own transform
// would have given it (the same stored bytes, description and error entry):
// an ahead file is renamed to the item's work file only once the record has
// taken the item and says it is being transformed, so that resumption never
// trusts it before the record has its size and state. The exchanges stay on
// the worker's thread, in the order of the items. Nothing is prepared for a
// folder, for the record's half-sent item, nor with a transformation of
// another kind. A stop seen while backupFile waits for an item's work stops
// that work; end, cancel and the destructor stop the rest and remove the
// ahead files of items not taken, and start removes those that a run cut
// short left.
//
// Only the job's worker thread calls a storage (end after a stop of a paused
// run may come from the stopping thread); its threads share with it only the
// items they prepare, which the worker takes after their work has ended.
// Every operation keeps the caller's last error on success and returns false
// with the reason in the last error otherwise: a remote refusal is
// kHttpErrorBase | status, a reply of the wrong form kMalformedReply, a stop
// ERROR_CANCELLED.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

// The command layer brings ACE, whose headers must come before the platform layer's.
#include "wirekit/server_command.h"
//
#include "common/file_stream.h"
#include "job/core/job_activity.h"
#include "job/core/web_client_event_handler.h"
#include "job/storage/ahead_pool.h"
#include "job/storage/storage.h"
#include "plandeck/job_definition.h"

class WebBackupStorage : public BackupStorage, public interrupter {
public:
    static constexpr uint32_t kBlockSize = 131072;
    // The storage connection's socket send buffer: one block and its form.
    static constexpr int kSendBufferSize = kBlockSize + 4096;
    // The record's current file state while an item is transformed, and once
    // it is being described and sent.
    static constexpr uint32_t kEncodeState = 1;
    static constexpr uint32_t kTransferState = 2;
    // The threads at most that share a large file's deflate and prepare the
    // small files ahead.
    static constexpr unsigned kPieceThreads = 7;
    // Items announced ahead at most; the source bytes of small files held
    // ahead at most; larger files transformed ahead at most at a time.
    static constexpr size_t kLookahead = 128;
    static constexpr uint64_t kAheadBytes = 32ull << 20;
    static constexpr size_t kLargeAhead = 2;
    // Small files go to the pool in batches of this many or of this many
    // source bytes, one task each (or sooner when the worker comes to one).
    static constexpr size_t kBatchItems = 16;
    static constexpr uint64_t kBatchBytes = 256 << 10;

    // Neither is owned; both must outlive the storage. handler may be null
    // (then nothing ever asks to stop). The job's tmp folder is made here.
    WebBackupStorage(const JobDefinition* definition, WebClientEventHandler* handler);
    // Releases the transformation and the storage connection; the error list
    // is written to the run's history folder.
    ~WebBackupStorage() override;
    WebBackupStorage(const WebBackupStorage&) = delete;
    WebBackupStorage& operator=(const WebBackupStorage&) = delete;

    // Binds the run: the record (not owned), the transformation (owned from
    // now on, whatever the result), the error list of the record's instance,
    // and the session cookie of the definition's user. False with 22 for a
    // null record, 0x20010191 when the user has no cookie.
    bool init(JobActivity* record, Transformation* transformation) override;
    // Start Job on the web server with the record's totals; its reply names
    // the storage server that the following requests go to. Any failure
    // leaves the instance id empty, so that nothing else is sent.
    //
    // A run whose End Job went out before (see end) may have been ended by
    // the service with the reply lost on the way: Start Job then refuses the
    // resumed run with 409. In that case End Job is sent again to the storage
    // server it went to; the service answers a repeated End Job of an ended
    // run with 200, which shows that the run is complete: start succeeds and
    // end has nothing left to send. Any other answer leaves the 409.
    bool start() override;
    // Submits the error list when it holds anything (the run is not ended
    // when that fails), then End Job on the storage server. Before End Job
    // the storage server's address is written to "end" in the run's history
    // folder, for a resumed run's start. True at once for a run that start
    // found ended.
    bool end() override;
    // Stop Job on the web server.
    bool cancel() override;
    // Stores one item (see Resumption above). A stop seen between blocks
    // returns true with the item left half-sent; a stop during the
    // transformation returns false with ERROR_CANCELLED.
    bool backupFile(const wchar_t* path, const WIN32_FILE_ATTRIBUTE_DATA* attributes,
                    uint32_t itemIndex, const wchar_t* readPath) override;

    // See Work done ahead above.
    size_t lookahead() const override { return kLookahead; }
    void prepare(const wchar_t* path, const WIN32_FILE_ATTRIBUTE_DATA* attributes,
                 uint32_t itemIndex, const wchar_t* readPath) override;

    // The handler's stop test without waiting; false without a handler.
    bool interrupted() override;

    // The session cookie that the next request carries (the server may hand
    // out a new one with any reply).
    const std::string& cookie() const { return cookie_; }
    const std::string& instanceId() const { return instanceId_; }

private:
    // Upload File: the item's description. False with the failure's code.
    bool upload_file_info(const std::string& path, const WIN32_FILE_ATTRIBUTE_DATA& attributes,
                          uint64_t size, uint64_t totalBlocks);
    // Upload Data: one block, numbered from the record's current file done.
    bool upload_file_data(const std::string& path, const void* data, uint64_t length);

    // Sends the rest of the item from the record's offset: from held (its
    // stored form in memory) when given, else from the work file. False with
    // the failure's code; spoiled tells whether the work file is unusable.
    bool sendBlocks(const std::string& name, const std::wstring& work, const std::string* held,
                    bool& spoiled);
    // Writes the work file of an item held in memory, so that it can go on
    // at a block after a cut. A failure is logged (the item can then only
    // be sent again whole). Keeps the last error.
    bool keepForResumption(const std::wstring& work, const std::string& held);
    // Whether itemIndex is half-sent and its work file fits the record.
    bool resumable(uint32_t itemIndex, const std::wstring& work) const;
    // Ends the record's current item: deletes its work file (and the note of
    // its description) and clears the index, the offset and the state.
    void dropCurrentItem();
    // The description of a half-sent item outlives the storage: when it is
    // not the walk's own (the file changed before or while it was read), it
    // is noted in "<work file>.read" beside the work file, which the resumed
    // item is described with again.
    static std::wstring descriptionPath(const std::wstring& work);
    void noteDescription(const std::wstring& work, const WIN32_FILE_ATTRIBUTE_DATA& attributes,
                         const WIN32_FILE_ATTRIBUTE_DATA& described);
    static WIN32_FILE_ATTRIBUTE_DATA noted(const std::wstring& work,
                                           const WIN32_FILE_ATTRIBUTE_DATA& attributes);
    // Whether the last error is ERROR_CANCELLED or a stop is requested.
    bool cancelled();
    // The run's "end" file names a storage server and End Job sent there
    // again is answered with 200 (see start). Keeps the last error.
    bool endedBefore();

    std::wstring workPath(uint64_t itemIndex) const;
    static std::wstring aheadPath(const std::wstring& work) { return work + L".ahead"; }

    struct Prepared;
    // Whether items are prepared ahead (the threads and their
    // transformations are made at the first).
    bool preparing();
    // The prepared item itemIndex, its work ended (stopped when a stop is
    // seen meanwhile); the items announced before it are dropped. Null when
    // it was not prepared.
    std::unique_ptr<Prepared> takePrepared(uint32_t itemIndex, const wchar_t* path);
    std::unique_ptr<Prepared> popPrepared();
    // Posts the small files announced since the last batch as one task.
    void postBatch();
    // The work of one prepared item, on a thread of the pool or a lane.
    static void runPrepared(BackupTransformation& transformation, Prepared& item);
    // Stops the work of every prepared item and removes their ahead files.
    void discardPrepared();
    // Removes the ahead files in the tmp folder (of a run cut short).
    void removeStrays();
    // Puts a prepared item's ahead file in place of its work file. False
    // with the failure's code (the ahead file is removed).
    bool placeAhead(const Prepared& item, const std::wstring& work);
    std::string jobName() const;

    Invoker storage_;
    const JobDefinition* definition_;
    JobActivity* record_ = nullptr;
    std::unique_ptr<Transformation> transformation_;
    std::wstring workFolder_;
    WebClientEventHandler* handler_;
    std::string cookie_;
    std::string instanceId_;
    std::wstring historyFolder_;  // the run's history folder; empty when it cannot be named
    std::string storageHost_;     // the storage server of the Start Job reply
    unsigned short storagePort_ = 0;
    bool ended_ = false;  // start found the run ended already
    // The record's current item may have a work file, or a note of its
    // description beside it: unknown until this storage has dropped an item.
    bool workMayExist_ = true;
    bool noteMayExist_ = true;
    std::unique_ptr<uint8_t[]> buffer_;  // one block read from a work file
    bool aheadTried_ = false;
    uint64_t aheadBytes_ = 0;  // source bytes of the small files of prepared_
    size_t largeOut_ = 0;      // larger files of prepared_
    std::deque<std::unique_ptr<Prepared>> prepared_;  // in the order announced
    std::vector<Prepared*> batch_;                    // of prepared_, not posted yet
    uint64_t batchBytes_ = 0;
    // The pool's and the lanes' own transformations, one per thread.
    std::vector<std::unique_ptr<BackupTransformation>> aheadTransformations_;
    std::vector<std::unique_ptr<BackupTransformation>> laneTransformations_;
    // The threads that share a large file's deflate and prepare the small
    // files (made at the first prepare or large file), then the lanes, whose
    // transforms use the pool; after what their tasks use, so that they go
    // first.
    std::unique_ptr<AheadPool> pool_;
    std::unique_ptr<AheadPool> lanes_;
};
