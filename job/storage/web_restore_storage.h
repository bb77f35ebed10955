// The restore source of a run that restores from the remote service. start
// tells the web server that the restore run begins; every item is then
// looked up in the backup run that the definition names: a folder is made
// with its parents and given its attributes and times (which the folders
// this storage made keep when later items are written into them, as long as
// the storage lives), a file is downloaded block by block into a work file
// (a small one into memory), checked block by block against the MD5 that
// comes with each block, and turned back (decrypted, and decompressed when
// it was stored compressed) into its target, which gets its attributes and
// times. The location policy of the definition decides each target; end
// submits the run's error list and then the restore history. Nothing is
// written through a link at a target or, below a chosen folder, on its way:
// the item fails with 681 (job/storage/restore_place.h).
//
// Resumption. The record's current file done is the offset in the work file
// (the decimal item index in the job's "tmp" folder) of the next block to
// download. A stop seen between two blocks returns true and keeps both, so
// that the next restore of the same item continues at block
// done / kBlockSize + 1; the work file is cut back to that offset first, so
// nothing of an earlier attempt lies behind it. A work file shorter than the
// offset, or an offset that names no block of the item, restarts the item at
// block 1. The job must present the same item again and must not delete its
// work file in between. The work file goes once its file is restored, and
// when a block download fails (the item then starts over). An item held in
// memory (kInMemoryBytes) has its work file written only when a stop leaves
// it; one whose process died leaves the record's offset with no work file
// behind it, and starts over at block 1.
//
// Only the job's worker thread calls a storage (end after a stop of a paused
// run may come from the stopping thread); it has no lock. Its one thread of
// its own (a FeedLane) turns back the blocks of an item stored in more than
// kInMemoryBytes while the worker downloads the next ones; the worker waits
// for it before the item ends, whichever way it ends. Every operation keeps
// the caller's last error on success and
// returns false with the reason in the last error otherwise: a remote
// refusal is kHttpErrorBase | status; a reply of the wrong form, a block
// whose bytes do not have its MD5, and blocks that do not make up the stored
// size are kMalformedReply; ERROR_CANCELLED is a stop inside the
// transformation.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

// The command layer brings ACE, whose headers must come before the platform layer's.
#include "wirekit/server_command.h"
//
#include "common/file_stream.h"
#include "common/holders.h"
#include "job/core/job_activity.h"
#include "job/core/job_history.h"
#include "job/core/web_client_event_handler.h"
#include "job/storage/feed_lane.h"
#include "job/storage/restore_location_policy.h"
#include "job/storage/restore_place.h"
#include "job/storage/storage.h"
#include "job/storage/transformation.h"
#include "plandeck/restore_job_definition.h"

class WebRestoreStorage : public RestoreStorage, public interrupter {
public:
    static constexpr uint32_t kBlockSize = 131072;
    // The MD5 text in front of every downloaded block.
    static constexpr uint32_t kDigestSize = 32;
    static constexpr int kSendBufferSize = kBlockSize + 4096;
    // An item taken up from its first block whose stored data are at most
    // this long is downloaded into memory, not into a work file.
    static constexpr uint64_t kInMemoryBytes = 1024 * 1024;

    // Neither is owned; both must outlive the storage. handler may be null
    // (then nothing ever asks to stop). The job's tmp folder is made here;
    // it also holds the mark of the item in flight (RestoreGroup::mark).
    WebRestoreStorage(const RestoreJobDefinition* definition, WebClientEventHandler* handler);
    // The error list is written to the run's history folder.
    ~WebRestoreStorage() override;
    WebRestoreStorage(const WebRestoreStorage&) = delete;
    WebRestoreStorage& operator=(const WebRestoreStorage&) = delete;

    // Binds the run (record and history are not owned; the record's instance
    // id is the restore run's) and its durable group (RestoreGroup), names
    // the temporary files with the run's token and removes those that a run
    // taken up again may have left (RestoreStorage::removeLostTemporaries),
    // loads its error list, finds the session
    // cookie of the definition's user and sends Start Restore Job. False with
    // 22 for a null record or no web server in the settings, 0x20010191 when
    // the user has no cookie.
    bool start(JobActivity* record, JobHistoryInfo* history) override;
    // Ends the durable group, then submits the error list when it holds
    // anything, then the history. A
    // refused error list does not keep the history back: the result is the
    // history's, and the errors' failure stays as the last error.
    bool end(bool cancelled) override;
    // Restores one item of the backup run (see Resumption above). A skipped
    // file (the policy found one at its target) counts as done, and so does
    // an item of a resumed run that the mark shows in place already (see
    // RestoreGroup; itemIndex names the mark and the work file). On a volume
    // forced as a whole a restored file takes its target's place, and counts
    // and enters the history, only at the durable group's end; when it fails
    // to, the item is added to the error list then. machine is
    // the name of the machine that was backed up.
    bool restore(const wchar_t* path, const std::wstring& machine, bool isFolder,
                 uint32_t itemIndex) override;

    // The handler's stop test without waiting; false without a handler.
    bool interrupted() override;
    // Removes the item's work file when a failure left it, then counts the
    // item in the durable group.
    void passed(uint32_t itemIndex, bool isFolder) override;

    // The session cookie that the next request carries (the server may hand
    // out a new one with any reply).
    const std::string& cookie() const { return cookie_; }
    const std::string& instanceId() const { return instanceId_; }

private:
    // What the service keeps of one backed-up item.
    struct StoredItem {
        uint64_t size = 0;  // of its stored (transformed) data
        uint64_t totalBlocks = 0;
        bool compression = false;
        WIN32_FILE_ATTRIBUTE_DATA attributes{};
    };

    // Makes the folder target for source, its missing parents first, and
    // gives a new one the stored attributes and times. An existing folder is
    // left alone.
    bool restoreFolder(const std::wstring& source, const std::wstring& target,
                       const std::string& machine);
    // found: the target's attributes (INVALID_FILE_ATTRIBUTES: nothing there).
    // name: path in UTF-8.
    bool restoreFile(const std::wstring& path, const std::string& name, const std::wstring& target,
                     const std::string& machine, uint32_t itemIndex, DWORD found);
    // Get File Info for path (a folder ends in a separator). False with the
    // failure's code.
    bool getFileInfo(const std::string& machine, const std::string& path, StoredItem& item);
    // Downloads block number block of path and appends its data to work at
    // the record's offset (null work: to held_), which grows by them;
    // written tells how many. remaining is what the item still lacks: a
    // block with more is refused.
    bool downloadBlock(const std::string& machine, const std::string& path, uint64_t block,
                       HANDLE work, uint64_t remaining, uint64_t& written);
    // An item downloaded into memory is left for the next attempt: what is
    // held goes into its work file, from whose end (the record's offset) the
    // next attempt goes on. When it cannot be written the offset goes back
    // to 0 and the next attempt starts over (logged).
    void keepForLater(const std::wstring& work);
    // A work file item of more than kInMemoryBytes is turned back while its
    // blocks are downloaded: what the work file holds up to the record's
    // offset, then each block as it comes, go through lane_ into
    // transformation's feed (see RestoreTransformation::openFeed). False
    // when the feed cannot begin: the item is then turned back from its
    // work file once it is whole, as a smaller one is.
    bool startFeed(RestoreTransformation& transformation, const std::wstring& target,
                   const std::wstring& work);
    // Drops a feed under way (its temporary file removed); nothing when none.
    void stopFeed();
    // Opens the work file and puts its end at the offset to resume from (the
    // record's, when the work file holds it, else 0). False with the code.
    bool openWorkFile(const std::wstring& work, const StoredItem& item, const std::string& name,
                      scoped_handle& file);

    // Something was made or written in folder (without trailing separator):
    // when this storage made it, it gets its stored times again at the
    // group's end (writing into a folder moves its last-write time).
    void touched(const std::wstring& folder);
    // The end of a durable group, before its flush: the touched folders get
    // their times, and the folders on the way are looked at afresh.
    void endGroup();

    // The chosen folder below which no link is followed; empty for a restore
    // to the items' own places.
    std::wstring confinement() const;
    std::wstring workPath(uint64_t itemIndex) const;
    std::string jobName() const;
    const char* jobId() const;

    const RestoreJobDefinition* definition_;
    JobActivity* record_ = nullptr;
    JobHistoryInfo* history_ = nullptr;
    RestoreTransformation decrypting_{false};
    RestoreTransformation decompressing_{true};
    std::wstring workFolder_;
    std::unique_ptr<RestoreLocationPolicy> policy_;
    WebClientEventHandler* handler_;
    std::string cookie_;
    std::string instanceId_;
    // The backed-up machine's name as the items give it, and in UTF-8.
    std::wstring machine_;
    std::string host_;
    Invoker invoker_;
    // Target folders made for stored folders, with the times they keep;
    // those touched in the group under way.
    std::map<std::wstring, WIN32_FILE_ATTRIBUTE_DATA> madeFolders_;
    std::set<std::wstring> dirtyFolders_;
    // Folders found (or made) in the group under way.
    std::unordered_set<std::wstring> knownFolders_;
    LinkCheck links_;
    bool workLeft_ = false;      // the current item's work file may exist
    std::vector<uint8_t> held_;  // the stored data of an item downloaded into memory
    // The decoding of the item under way while its blocks come (startFeed);
    // after the transformations, which its taker uses.
    FeedLane lane_;
    RestoreTransformation* feeding_ = nullptr;  // the one fed, while a feed is under way
};
