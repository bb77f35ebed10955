#include "job/storage/local_backup_storage.h"

#include <ace/Log_Msg.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/ace_log_wrapper.h"
#include "common/appdata_path.h"
#include "common/holders.h"
#include "common/json.h"
#include "common/replace_file.h"
#include "common/text_conv.h"
#include "common/utf16le.h"
#include "common/win32_error.h"
#include "job/core/file_helpers.h"

namespace {

constexpr uint64_t kStartSetSize = 8;
constexpr uint64_t kEndSetSize = 6;

// The threads that force data files to the disk at once: a disk takes
// several flushes together in about the time of one.
constexpr int kFlushThreads = 8;

bool g_groupFlush = true;
uint32_t g_groupItems = LocalBackupStorage::kGroupItems;

size_t path_hash(const std::wstring& path) { return std::hash<std::wstring>()(path); }

uint64_t stored_key(bool folder, uint32_t itemIndex) {
    return static_cast<uint64_t>(itemIndex) << 1 | (folder ? 1 : 0);
}

// The drive letter of a path "X:..." or "\\?\X:..." in lower case; 0 for
// any other (a network path, a relative one).
wchar_t drive_of(const std::wstring& path) {
    size_t at = path.rfind(L"\\\\?\\", 0) == 0 ? 4 : 0;
    if (path.size() < at + 2 || path[at + 1] != L':') return 0;
    wchar_t letter = path[at] | 0x20;
    return letter >= L'a' && letter <= L'z' ? letter : 0;
}

}  // namespace

// Flushes the data files of a run on threads of its own as they are
// finished, through the handles that wrote them, so that the disk writes
// them while the run transforms the next ones; drain() waits for those
// handed over so far.
class LocalBackupStorage::DataFlusher {
public:
    DataFlusher() {
        for (int i = 0; i < kFlushThreads; ++i) threads_.emplace_back([this] { run(); });
    }
    ~DataFlusher() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }
    // Takes the handle (open for writing) of the data file at path; an
    // invalid one (the last error tells why) fails the next drain.
    void add(const std::wstring& path, scoped_handle file) {
        DWORD error = file.valid() ? 0 : GetLastError();
        {
            std::lock_guard<std::mutex> hold(lock_);
            queue_.push_back({path, std::move(file), error ? error : ERROR_INVALID_HANDLE});
        }
        changed_.notify_one();
    }
    // Waits until every file handed over is flushed and closed; false with
    // the first failure's error (and the file's name in failed) since the
    // last drain.
    bool drain(std::wstring& failed) {
        std::unique_lock<std::mutex> hold(lock_);
        drained_.wait(hold, [this] { return queue_.empty() && busy_ == 0; });
        DWORD error = error_;
        failed = failed_;
        error_ = 0;
        if (error == 0) return true;
        SetLastError(error);
        return false;
    }

private:
    struct Pending {
        std::wstring path;
        scoped_handle file;
        DWORD openError;  // why file is not valid
    };

    void run() {
        std::unique_lock<std::mutex> hold(lock_);
        for (;;) {
            changed_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            Pending next = std::move(queue_.front());
            queue_.pop_front();
            ++busy_;
            hold.unlock();
            DWORD error = !next.file.valid()                  ? next.openError
                          : FlushFileBuffers(next.file.get()) ? 0
                                                              : GetLastError();
            next.file.close();
            hold.lock();
            --busy_;
            if (error && !error_) error_ = error, failed_ = next.path;
            if (queue_.empty() && busy_ == 0) drained_.notify_all();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;  // work, or the end
    std::condition_variable drained_;  // nothing left
    std::deque<Pending> queue_;
    int busy_ = 0;
    bool stopping_ = false;
    DWORD error_ = 0;
    std::wstring failed_;
    std::vector<std::thread> threads_;  // last: started when the rest is ready
};

namespace {

uint64_t item_record_size(const std::wstring& path) { return 54 + 2 * (utf16_length(path) + 1); }

// Creates the folder and its missing parents; false (logged, last error set)
// unless it exists afterwards.
bool make_folder(const std::wstring& folder) {
    int result = SHCreateDirectory(nullptr, folder.c_str());
    if (result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS) return true;
    log_message(LM_ERROR, "Failed to create target directory: %s error code = %d.\n",
                to_utf8(folder).c_str(), result);
    SetLastError(static_cast<DWORD>(result));
    return false;
}

// Cuts the file to size bytes; false with the last error set.
bool cut_file(const std::wstring& path, uint64_t size) {
    scoped_handle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) && SetEndOfFile(file.get());
}

}  // namespace

LocalBackupStorage::LocalBackupStorage(const BackupJobDefinition* definition,
                                       WebClientEventHandler* handler)
    : definition_(definition),
      handler_(handler),
      folder_(definition && definition->offlineLocation() ? definition->offlineLocation() : L""),
      record_(nullptr),
      transformation_(nullptr),
      catalogueEnd_(0),
      catalogueBroken_(false),
      bound_(false),
      started_(false),
      groupItems_(0),
      groupStart_(0) {}

LocalBackupStorage::~LocalBackupStorage() {
    discardPrepared();
    if (catalogue_ && !catalogueBroken_ && g_groupFlush && (groupItems_ > 0 || flushing_.valid()))
        flushGroup();
    if (flushing_.valid()) flushing_.wait();
    flusher_.reset();
    catalogue_.reset();
    delete transformation_;
}

void LocalBackupStorage::setGroupFlush(bool on) { g_groupFlush = on; }

void LocalBackupStorage::setGroupItems(uint32_t items) {
    g_groupItems = items ? items : kGroupItems;
}

bool LocalBackupStorage::init(JobActivity* record, Transformation* transformation) {
    ACE_TRACE("LocalBackupStorage::init");
    record_ = record;
    if (transformation != transformation_) {
        delete transformation_;
        transformation_ = transformation;
    }
    return true;
}

std::wstring LocalBackupStorage::inFolder(const std::wstring& name) const {
    std::wstring path = folder_;
    if (path.empty() || (path.back() != L'\\' && path.back() != L'/')) path += L'\\';
    return path + name;
}

bool LocalBackupStorage::start() {
    ACE_TRACE("LocalBackupStorage::start");
    if (!record_ || !transformation_ || !definition_) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    started_ = false;
    bound_ = false;
    if (flushing_.valid()) flushing_.wait();
    flushing_ = {};
    flushFiles_.clear();
    flushPlaced_ = false;
    catalogue_.reset();
    stored_.clear();
    storedTaken_.clear();
    groupItems_ = 0;
    groupStart_ = GetTickCount64();
    placeHeld_ = false;
    volume_.reset();
    volumeTried_ = false;
    groupFiles_.clear();
    if (!make_folder(folder_) || !bind() || !make_folder(dataFolder_)) return false;

    std::wstring description = inFolder(instance_ + L".bak.def");
    json_spirit::Object object;
    object["Id"] = definition_->id();
    object["Type"] = "Backup";
    object["User"] = definition_->user();
    if (!replace_file(description, json_spirit::write(json_spirit::Value(object)))) {
        DWORD code = GetLastError();
        log_message(LM_ERROR, "Failed to write backup description file: %s error code = %d.\n",
                    to_utf8(description).c_str(), static_cast<int>(code));
    }

    bool append = record_->resumeFlag && fileExists(cataloguePath_);
    if (append && !recoverCatalogue()) return false;
    if (!append) catalogueEnd_ = 0;
    if (!openCatalogue(append)) return false;
    if (!writeRecord(&JobHistorySourceWriter::startSet, kStartSetSize, false)) return false;
    started_ = bound_ = true;

    if (handler_) handler_->stopRequested(0);
    SetLastError(0);
    return true;
}

bool LocalBackupStorage::bind() {
    instance_ = from_utf8(record_->instanceText());
    if (instance_.empty()) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    dataFolder_ = inFolder(instance_);
    cataloguePath_ = inFolder(instance_ + L".cat");
    errors_.load(to_utf8(inFolder(instance_ + L".err")).c_str());
    return true;
}

bool LocalBackupStorage::attach() {
    if (bound_) return true;
    if (!record_) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!bind()) return false;
    if (fileExists(cataloguePath_) && (!recoverCatalogue() || !openCatalogue(true))) return false;
    bound_ = true;
    return true;
}

bool LocalBackupStorage::recoverCatalogue() {
    uint64_t complete = 0;
    uint64_t size = 0;
    {
        JobActivitySourceReader reader;
        if (!reader.open(cataloguePath_.c_str(), 0)) return false;
        for (;;) {
            int64_t at = reader.offset();
            if (at < 0) return false;
            uint32_t tag = reader.next();
            if (tag == 0) {
                DWORD code = GetLastError();
                // A torn or damaged record ends what can be continued.
                if (code != ERROR_HANDLE_EOF && code != ERROR_INVALID_DATA) return false;
                complete = static_cast<uint64_t>(at);
                break;
            }
            if (tag != kSourceTagFile && tag != kSourceTagDirectory) continue;
            JobActivitySourceItem item;
            if (!reader.item(item)) continue;
            stored_.push_back(
                {stored_key(tag == kSourceTagDirectory, item.ordinal), path_hash(item.path)});
        }
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExW(cataloguePath_.c_str(), GetFileExInfoStandard, &data))
            size = static_cast<uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    }
    if (size > complete) {
        log_message(LM_WARNING,
                    "History source file %s cut back from %s to %s bytes of complete records.\n",
                    to_utf8(cataloguePath_).c_str(), std::to_string(size).c_str(),
                    std::to_string(complete).c_str());
        if (!cut_file(cataloguePath_, complete)) {
            DWORD code = GetLastError();
            log_message(LM_ERROR, "Failed to open history source file: %s error code = %d.\n",
                        to_utf8(cataloguePath_).c_str(), static_cast<int>(code));
            SetLastError(code);
            return false;
        }
    }
    catalogueEnd_ = complete;
    // Sorted by key, the later of two records of one item kept.
    std::stable_sort(stored_.begin(), stored_.end(),
                     [](const StoredItem& a, const StoredItem& b) { return a.key < b.key; });
    size_t kept = 0;
    for (size_t i = 0; i < stored_.size(); ++i)
        if (i + 1 == stored_.size() || stored_[i + 1].key != stored_[i].key)
            stored_[kept++] = stored_[i];
    stored_.resize(kept);
    stored_.shrink_to_fit();
    storedTaken_.assign(kept, false);
    return true;
}

bool LocalBackupStorage::dataFileHeld(uint32_t itemIndex) const {
    // Stored data are never empty: the cipher pads them to a whole block.
    std::wstring data;
    path_join_number(dataFolder_.c_str(), itemIndex, data);
    WIN32_FILE_ATTRIBUTE_DATA found;
    return GetFileAttributesExW(data.c_str(), GetFileExInfoStandard, &found) &&
           !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           (found.nFileSizeHigh != 0 || found.nFileSizeLow != 0);
}

size_t LocalBackupStorage::findStored(bool folder, uint32_t itemIndex) const {
    uint64_t key = stored_key(folder, itemIndex);
    auto found = std::lower_bound(stored_.begin(), stored_.end(), key,
                                  [](const StoredItem& item, uint64_t k) { return item.key < k; });
    if (found == stored_.end() || found->key != key) return stored_.size();
    return static_cast<size_t>(found - stored_.begin());
}

bool LocalBackupStorage::takeStored(bool folder, uint32_t itemIndex, const wchar_t* path) {
    size_t at = findStored(folder, itemIndex);
    if (at == stored_.size() || storedTaken_[at] || stored_[at].pathHash != path_hash(path))
        return false;
    storedTaken_[at] = true;
    return true;
}

// What a thread made of one announced file: its data file's path, and the
// transform's outcome as backupFile would have had it (the threads'
// transformations compress as the storage's own does).
struct LocalBackupStorage::Prepared {
    uint64_t ticket = 0;
    uint32_t itemIndex = 0;
    std::wstring path;
    std::wstring data;
    bool done = false;  // the transform succeeded
    DWORD code = 0;     // why it failed
    SourceRead read;
    scoped_handle target;  // kept open for its flush (see keepTarget)
    bool large = false;    // on a lane (its ticket is the lanes')
};

// Tells the lanes' transforms to stop when the storage drops what they do.
class LocalBackupStorage::AheadStop : public interrupter {
public:
    bool interrupted() override { return stop.load(); }
    std::atomic<bool> stop{false};
};

bool LocalBackupStorage::preparing() {
    if (aheadTried_) return pool_ != nullptr;
    aheadTried_ = true;
    // Only the backup transformation is known to be made again per thread.
    auto* own = dynamic_cast<BackupTransformation*>(transformation_);
    if (!own) return false;
    unsigned threads = AheadPool::suggestedThreads(kThreads);
    for (unsigned i = 0; i < threads; ++i)
        aheadTransformations_.push_back(std::make_unique<BackupTransformation>(own->compression()));
    pool_ = std::make_unique<AheadPool>(threads);
    // Pools of one thread (a machine of one core, or the benchmark's run
    // on one) have no lanes either.
    if (threads > 1) {
        laneStop_ = std::make_unique<AheadStop>();
        for (size_t i = 0; i < kLargeAhead; ++i) {
            laneTransformations_.push_back(
                std::make_unique<BackupTransformation>(own->compression()));
            laneTransformations_.back()->compressOn(pool_.get());
            // A lane is stopped only when its work is dropped.
            laneTransformations_.back()->quietStop(true);
        }
        lanes_ = std::make_unique<AheadPool>(static_cast<unsigned>(kLargeAhead));
    }
    return true;
}

void LocalBackupStorage::prepare(const wchar_t* path, const WIN32_FILE_ATTRIBUTE_DATA* attributes,
                                 uint32_t itemIndex, const wchar_t* readPath) {
    if (!started_ || !path || !*path || !attributes ||
        (attributes->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    uint64_t size =
        static_cast<uint64_t>(attributes->nFileSizeHigh) << 32 | attributes->nFileSizeLow;
    // An item of a continued catalogue may be taken as stored, and its data
    // file must not be written over.
    bool large = size > BackupTransformation::kInMemoryBytes;
    if (prepared_.size() >= kLookahead || findStored(false, itemIndex) != stored_.size() ||
        utf16_length(path) > kSourceItemPathMax || !preparing())
        return;
    // A larger file without a free lane is streamed by the worker itself
    // when it comes to it.
    if (large && (!lanes_ || largeOut_ >= kLargeAhead)) return;
    auto item = std::make_unique<Prepared>();
    item->itemIndex = itemIndex;
    item->path = path;
    item->large = large;
    path_join_number(dataFolder_.c_str(), itemIndex, item->data);
    std::wstring source = readPath ? readPath : path;
    // With the group flush, a data file that its volume's flush does not
    // force stays open for a flush of its own.
    bool keep = g_groupFlush && !volumeFlushes();
    Prepared* slot = item.get();
    AheadPool& runner = large ? *lanes_ : *pool_;
    if (large) ++largeOut_;
    item->ticket = runner.post([this, slot, source, keep, large](unsigned thread) {
        Transformation& transformation =
            large ? static_cast<Transformation&>(*laneTransformations_[thread])
                  : *aheadTransformations_[thread];
        transformation.keepTarget(keep);
        slot->done = transformation.transform(source.c_str(), slot->data.c_str(), nullptr,
                                              large ? laneStop_.get() : nullptr);
        if (!slot->done) {
            slot->code = GetLastError();
            DeleteFileW(slot->data.c_str());
            return;
        }
        slot->read = transformation.sourceRead();
        slot->target.reset(transformation.takeTarget());
    });
    prepared_.push_back(std::move(item));
}

std::unique_ptr<LocalBackupStorage::Prepared> LocalBackupStorage::takePrepared(
    uint32_t itemIndex, const wchar_t* path) {
    // Items that were not prepared (folders, large files, items stored by an
    // earlier part) come between the prepared ones: those stay for their turn.
    auto found = std::find_if(prepared_.begin(), prepared_.end(), [&](const auto& item) {
        return item->itemIndex == itemIndex && item->path == path;
    });
    if (found == prepared_.end()) return nullptr;
    const Prepared* wanted = found->get();
    // Those before it were announced but never stored in their turn.
    while (prepared_.front().get() != wanted) {
        std::unique_ptr<Prepared> skipped = popPrepared();
        bool ran = waitPrepared(*skipped);
        skipped->target.close();
        if (ran && skipped->done && skipped->itemIndex != itemIndex)
            DeleteFileW(skipped->data.c_str());
    }
    std::unique_ptr<Prepared> item = popPrepared();
    if (!waitPrepared(*item)) return nullptr;
    return item;
}

std::unique_ptr<LocalBackupStorage::Prepared> LocalBackupStorage::popPrepared() {
    std::unique_ptr<Prepared> item = std::move(prepared_.front());
    prepared_.pop_front();
    if (item->large) --largeOut_;
    return item;
}

bool LocalBackupStorage::waitPrepared(const Prepared& item) {
    return (item.large ? lanes_ : pool_)->wait(item.ticket);
}

void LocalBackupStorage::discardPrepared() {
    if (!pool_) return;
    // The lanes first: their transforms wait for pieces on the pool.
    if (lanes_) {
        laneStop_->stop = true;
        lanes_->cancel();
        laneStop_->stop = false;
    }
    pool_->cancel();
    largeOut_ = 0;
    for (auto& item : prepared_) {
        item->target.close();
        if (item->done) DeleteFileW(item->data.c_str());
    }
    prepared_.clear();
}

bool LocalBackupStorage::openCatalogue(bool append) {
    auto writer = std::make_unique<JobHistorySourceWriter>();
    if (!writer->open(cataloguePath_.c_str(), append)) {
        DWORD code = GetLastError();
        log_message(LM_ERROR, "Failed to open history source file: %s error code = %d.\n",
                    to_utf8(cataloguePath_).c_str(), static_cast<int>(code));
        SetLastError(code);
        return false;
    }
    catalogue_ = std::move(writer);
    catalogueBroken_ = false;
    return true;
}

bool LocalBackupStorage::repairCatalogue() {
    // The writer's last flush at closing may still add part of the failed
    // record: the cut comes after it.
    catalogue_.reset();
    catalogueBroken_ = true;
    if (!cut_file(cataloguePath_, catalogueEnd_)) return false;
    return openCatalogue(true);
}

bool LocalBackupStorage::settle(bool written, uint64_t size, bool durable) {
    // Pushed: the record is the system's, so no kill of this process can lose
    // it any more (see the header).
    if (written && (durable ? catalogue_->flush() : catalogue_->push())) {
        catalogueEnd_ += size;
        return true;
    }
    DWORD code = GetLastError();
    if (code == 0) code = ERROR_GEN_FAILURE;
    repairCatalogue();
    SetLastError(code);
    return false;
}

bool LocalBackupStorage::writeRecord(bool (JobHistorySourceWriter::*write)(), uint64_t size,
                                     bool durable) {
    if (catalogueBroken_ && !repairCatalogue()) return false;
    if (!catalogue_) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return false;
    }
    bool written = ((*catalogue_).*write)();
    return settle(written, size, durable);
}

bool LocalBackupStorage::writeItem(const wchar_t* path, const WIN32_FILE_ATTRIBUTE_DATA& data,
                                   uint32_t ordinal, uint32_t flag) {
    if (catalogueBroken_ && !repairCatalogue()) return false;
    if (!catalogue_) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return false;
    }
    bool written = catalogue_->addFile(path, data, ordinal, flag);
    return settle(written, item_record_size(path), false);
}

bool LocalBackupStorage::flushGroup() {
    // Data first, then the records that name it, then the record's offset
    // past them: what the disk holds never names data it does not hold.
    // Without the group flush only the catalogue is forced (at the end).
    if (!endFlush(true)) return false;
    std::wstring failed;
    if (!forceGroupFiles(failed)) {
        DWORD code = GetLastError();
        log_message(LM_ERROR, "Failed to flush data file %s, error code = %d.\n",
                    to_utf8(failed).c_str(), static_cast<int>(code));
        SetLastError(code);
        return false;
    }
    if (flusher_ && !flusher_->drain(failed)) {
        DWORD code = GetLastError();
        log_message(LM_ERROR, "Failed to flush data file %s, error code = %d.\n",
                    to_utf8(failed).c_str(), static_cast<int>(code));
        SetLastError(code);
        return false;
    }
    if (catalogue_ && !settle(true, 0, true)) return false;
    if (record_ && placeHeld_) {
        record_->sourceListOffset = heldOffset_;
        record_->currentVolumeIndex = heldVolume_;
        placeHeld_ = false;
    }
    // A record that is no view (a test's) stays as it is.
    if (record_ && g_groupFlush) FlushViewOfFile(record_, 0);
    groupItems_ = 0;
    groupStart_ = GetTickCount64();
    return true;
}

bool LocalBackupStorage::startFlush() {
    // The volume's flush forces the catalogue's records pushed so far too.
    HANDLE volume = volume_.get();
    try {
        flushing_ = std::async(std::launch::async, [volume]() -> DWORD {
            return FlushFileBuffers(volume) ? 0 : GetLastError();
        });
    } catch (const std::exception&) {
        return false;  // no thread to be had
    }
    flushFiles_ = std::move(groupFiles_);
    groupFiles_.clear();
    flushItems_ = groupItems_;
    flushPlaced_ = placeHeld_;
    flushOffset_ = heldOffset_;
    flushVolume_ = heldVolume_;
    placeHeld_ = false;
    groupItems_ = 0;
    groupStart_ = GetTickCount64();
    return true;
}

bool LocalBackupStorage::endFlush(bool wait) {
    if (!flushing_.valid()) return true;
    if (!wait && flushing_.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return true;
    DWORD code = flushing_.get();
    if (code == 0) {
        flushFiles_.clear();
        if (flushPlaced_) {
            record_->sourceListOffset = flushOffset_;
            record_->currentVolumeIndex = flushVolume_;
            FlushViewOfFile(record_, 0);
        }
        flushPlaced_ = false;
        return true;
    }
    log_message(LM_WARNING,
                "Failed to force the volume of %s to the disk, %s: the run's data files are "
                "forced one by one.\n",
                to_utf8(dataFolder_).c_str(), win32_error_text(code).text());
    volume_.reset();
    // The group joins the one under way, whose later place (if any) covers it.
    groupFiles_.insert(groupFiles_.begin(), flushFiles_.begin(), flushFiles_.end());
    flushFiles_.clear();
    groupItems_ += flushItems_;
    if (flushPlaced_ && !placeHeld_) {
        placeHeld_ = true;
        heldOffset_ = flushOffset_;
        heldVolume_ = flushVolume_;
    }
    flushPlaced_ = false;
    return flushGroup();
}

void LocalBackupStorage::advance(JobActivity* record, uint64_t offset, uint32_t volumeIndex) {
    if (record == record_ && g_groupFlush && groupItems_ == 0 && flushing_.valid()) {
        // Past the group being flushed only.
        flushPlaced_ = true;
        flushOffset_ = offset;
        flushVolume_ = volumeIndex;
        return;
    }
    if (record != record_ || !g_groupFlush || groupItems_ == 0) {
        BackupStorage::advance(record, offset, volumeIndex);
        return;
    }
    placeHeld_ = true;
    heldOffset_ = offset;
    heldVolume_ = volumeIndex;
}

bool LocalBackupStorage::volumeFlushes() {
    if (volumeTried_) return volume_.valid();
    volumeTried_ = true;
    wchar_t letter = drive_of(dataFolder_);
    if (!letter) return false;
    wchar_t device[] = L"\\\\.\\X:";
    device[4] = letter;
    volume_.reset(CreateFileW(device, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr));
    if (!volume_.valid()) {
        DWORD code = GetLastError();
        log_message(LM_WARNING,
                    "Volume %c: cannot be flushed as a whole, %s: the run's data files are forced "
                    "to the disk one by one.\n",
                    static_cast<char>(letter), win32_error_text(code).text());
        volume_.reset();
    }
    return volume_.valid();
}

bool LocalBackupStorage::forceGroupFiles(std::wstring& failed) {
    if (groupFiles_.empty()) return true;
    if (volume_.valid() && FlushFileBuffers(volume_.get())) {
        groupFiles_.clear();
        return true;
    }
    if (volume_.valid()) {
        DWORD code = GetLastError();
        log_message(LM_WARNING,
                    "Failed to force the volume of %s to the disk, %s: the run's data files are "
                    "forced one by one.\n",
                    to_utf8(dataFolder_).c_str(), win32_error_text(code).text());
        volume_.reset();
    }
    // Those not forced stay for the next attempt: the record's offset never
    // passes them before.
    size_t forced = 0;
    for (; forced < groupFiles_.size(); ++forced) {
        const std::wstring& path = groupFiles_[forced];
        scoped_handle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.valid() && FlushFileBuffers(file.get())) continue;
        DWORD code = GetLastError();
        failed = path;
        groupFiles_.erase(groupFiles_.begin(), groupFiles_.begin() + forced);
        SetLastError(code);
        return false;
    }
    groupFiles_.clear();
    return true;
}

bool LocalBackupStorage::end() {
    if (!attach()) return false;
    if (catalogueBroken_ && !repairCatalogue()) return false;
    if (!flushGroup()) return false;
    if (!errors_.empty()) errors_.save();
    SetLastError(0);
    return true;
}

bool LocalBackupStorage::cancel() {
    if (!attach()) return false;
    // A run stopped before any start of it has no set to end.
    bool written = true;
    if (catalogue_ || catalogueBroken_)
        written = writeRecord(&JobHistorySourceWriter::endSet, kEndSetSize, false) && flushGroup();
    DWORD code = GetLastError();
    if (!errors_.empty()) errors_.save();
    SetLastError(written ? 0 : code);
    return written;
}

bool LocalBackupStorage::finishItem(uint64_t itemIndex) {
    record_->currentItemIndex = itemIndex;
    record_->currentFileDone = 0;
    // A pause or stop that is asked for has the job force its record (and
    // the offset in it) to the disk: the items before it go there first, at
    // once. Else a group due is flushed apart (see the header), and one due
    // while the last one's flush goes on grows until that flush has ended.
    if (g_groupFlush && record_->requestedTransition != 0) {
        if ((groupItems_ > 0 || flushing_.valid()) && !flushGroup()) return false;
    } else if (g_groupFlush) {
        if (!endFlush(false)) return false;
        // A group that grew to kGroupGrowth groups while the last flush went
        // on waits for it: the names the group keeps stay bounded.
        if (flushing_.valid() && groupItems_ >= kGroupGrowth * g_groupItems && !endFlush(true))
            return false;
        bool due = groupItems_ > 0 && (groupItems_ >= g_groupItems ||
                                       GetTickCount64() - groupStart_ >= kGroupMilliseconds);
        bool apart = due && volume_.valid() && !flusher_;
        if (apart && !flushing_.valid() && !startFlush() && !flushGroup()) return false;
        if (due && !apart && !flushGroup()) return false;
    }
    if (handler_ && handler_->stopRequested(0)) {
        SetLastError(0);
        return true;
    }
    record_->currentItemIndex = 0;
    SetLastError(0);
    return true;
}

bool LocalBackupStorage::backupFile(const wchar_t* path,
                                    const WIN32_FILE_ATTRIBUTE_DATA* attributes, uint32_t itemIndex,
                                    const wchar_t* readPath) {
    if (!started_ || !path || !*path || !attributes) {
        SetLastError(started_ ? ERROR_INVALID_PARAMETER : ERROR_INVALID_FUNCTION);
        return false;
    }
    bool folder = (attributes->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (takeStored(folder, itemIndex, path) && (folder || dataFileHeld(itemIndex))) {
        // Presented again: it was stored by an earlier part, which may not
        // have forced it to the disk (a killed process): the group's flush
        // does before the record's place passes it.
        ++groupItems_;
        return finishItem(itemIndex);
    }
    std::wstring name(path);
    if (utf16_length(name) > kSourceItemPathMax) {
        log_message(LM_ERROR, "Path of %d units is too long for the history source file: %s.\n",
                    static_cast<int>(utf16_length(name)), to_utf8(name).c_str());
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }

    if (folder) {
        if (!writeItem(path, *attributes, itemIndex, 0)) return false;
        ++groupItems_;
        return finishItem(itemIndex);
    }

    uint64_t size =
        static_cast<uint64_t>(attributes->nFileSizeHigh) << 32 | attributes->nFileSizeLow;
    record_->currentFileSize = size;
    record_->currentFilePath(path);
    std::wstring data;
    path_join_number(dataFolder_.c_str(), itemIndex, data);
    // With the group flush, a data file that its volume's flush does not
    // force stays open for a flush of its own.
    bool byVolume = g_groupFlush && volumeFlushes();
    scoped_handle written;
    SourceRead read;
    if (std::unique_ptr<Prepared> ready = takePrepared(itemIndex, path)) {
        if (!ready->done) {
            SetLastError(ready->code);
            return false;
        }
        written.reset(ready->target.release());
        read = ready->read;
    } else {
        // A large file's deflate is shared among the pool's threads.
        auto* own = dynamic_cast<BackupTransformation*>(transformation_);
        if (own && preparing()) own->compressOn(pool_.get());
        transformation_->keepTarget(g_groupFlush && !byVolume);
        if (!transformation_->transform(readPath ? readPath : path, data.c_str(), nullptr,
                                        nullptr)) {
            DWORD code = GetLastError();
            DeleteFileW(data.c_str());
            SetLastError(code);
            return false;
        }
        written.reset(transformation_->takeTarget());
        read = transformation_->sourceRead();
    }
    // The record describes what was stored: the size read, which a file
    // written to meanwhile no longer has.
    WIN32_FILE_ATTRIBUTE_DATA described = described_attributes(*attributes, read);
    if (!writeItem(path, described, itemIndex, transformation_->compression() ? 1 : 0)) {
        DWORD code = GetLastError();
        written.close();
        DeleteFileW(data.c_str());
        SetLastError(code);
        return false;
    }
    if (read.known && read.changed) addError(path, kChangedWhileRead, kChangedWhileReadReason);
    record_->filesDone += 1;
    record_->bytesDone +=
        static_cast<uint64_t>(described.nFileSizeHigh) << 32 | described.nFileSizeLow;
    if (byVolume) {
        groupFiles_.push_back(std::move(data));
    } else if (g_groupFlush) {
        if (!flusher_) flusher_ = std::make_unique<DataFlusher>();
        if (!written.valid()) {
            // A transformation that cannot keep its target: the file is
            // opened again for its flush.
            written.reset(CreateFileW(data.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        }
        flusher_->add(data, std::move(written));
    }
    ++groupItems_;
    return finishItem(itemIndex);
}
