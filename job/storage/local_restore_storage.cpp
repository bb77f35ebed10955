#include "job/storage/local_restore_storage.h"

#include <ace/Log_Msg.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>

#include "common/ace_log_wrapper.h"
#include "common/appdata_path.h"
#include "common/holders.h"
#include "common/text_conv.h"
#include "common/win32_error.h"
#include "job/core/file_helpers.h"
#include "job/sources/activity_source.h"
#include "job/storage/restore_place.h"

namespace {

constexpr wchar_t kCatalogueSuffix[] = L".cat";
constexpr size_t kCatalogueSuffixLength = 4;

// The attributes SetFileAttributesW may give a folder; the folder bit itself
// and the bits that describe the item (reparse point, compressed, ...) are
// not set by it.
constexpr DWORD kSettableFolderAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                            FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                            0x2000u /* not indexed */;

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The location's data folder: the location without its ".cat" (of any case);
// empty when it has none.
std::wstring data_folder_of(const std::wstring& location) {
    if (location.size() <= kCatalogueSuffixLength) return std::wstring();
    size_t at = location.size() - kCatalogueSuffixLength;
    for (size_t i = 0; i < kCatalogueSuffixLength; ++i) {
        wchar_t c = location[at + i];
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != kCatalogueSuffix[i]) return std::wstring();
    }
    std::wstring folder = location.substr(0, at);
    if (folder.empty() || is_separator(folder.back())) return std::wstring();
    return folder;
}

// The last component of a path without trailing separators.
std::wstring last_component(const std::wstring& path) {
    size_t at = path.find_last_of(L"\\/");
    return at == std::wstring::npos ? path : path.substr(at + 1);
}

// Sets the folder's times from data; a failure is logged and passed over.
void set_folder_times(const std::wstring& folder, const WIN32_FILE_ATTRIBUTE_DATA& data) {
    // A link put in the folder's place is not followed.
    scoped_handle handle(
        CreateFileW(folder.c_str(), FILE_WRITE_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.valid() || !SetFileTime(handle.get(), &data.ftCreationTime, &data.ftLastAccessTime,
                                        &data.ftLastWriteTime)) {
        DWORD code = GetLastError();
        log_message(LM_WARNING, "Failed to set the times of directory %s, %s.\n",
                    to_utf8(folder).c_str(), win32_error_text(code).text());
    }
}

}  // namespace

std::wstring LocalRestoreCatalogue::key(const std::wstring& path) {
    size_t end = path.size();
    while (end > 0 && is_separator(path[end - 1])) --end;
    return end == 0 ? path : path.substr(0, end);
}

uint64_t LocalRestoreCatalogue::hashOf(const std::wstring& key) {
    return std::hash<std::wstring>()(key);
}

void LocalRestoreCatalogue::clear() {
    slots_.clear();
    slots_.shrink_to_fit();
    reader_.close();
}

bool LocalRestoreCatalogue::load(const std::wstring& path) {
    clear();
    if (!reader_.open(path.c_str(), 0)) return false;
    for (;;) {
        int64_t offset = reader_.offset();
        uint32_t tag = reader_.next();
        if (tag == 0) break;
        if (tag != kSourceTagFile && tag != kSourceTagDirectory) continue;
        if (!reader_.item(read_)) continue;
        Slot slot;
        slot.hash = hashOf(key(read_.path));
        slot.offset = offset;
        slot.entry.itemIndex = read_.ordinal;
        slot.entry.data = read_.data;
        slot.entry.compressed = read_.flag == 1;
        slots_.push_back(slot);
    }
    DWORD code = GetLastError();
    if (code != ERROR_HANDLE_EOF)
        log_message(LM_WARNING,
                    "Catalogue %s is damaged, error = %d: only the items before the damage can be "
                    "restored.\n",
                    to_utf8(path).c_str(), static_cast<int>(code));
    slots_.shrink_to_fit();
    std::sort(slots_.begin(), slots_.end(), [](const Slot& a, const Slot& b) {
        return a.hash != b.hash ? a.hash < b.hash : a.offset < b.offset;
    });
    return true;
}

const LocalRestoreCatalogue::Entry* LocalRestoreCatalogue::find(const std::wstring& path) const {
    std::wstring wanted = key(path);
    uint64_t hash = hashOf(wanted);
    auto first = std::lower_bound(slots_.begin(), slots_.end(), hash,
                                  [](const Slot& slot, uint64_t h) { return slot.hash < h; });
    auto last = first;
    while (last != slots_.end() && last->hash == hash) ++last;
    // The later record of a path counts: the slots of a hash are in the
    // file's order.
    last_error_restorer keep;
    while (last != first) {
        --last;
        if (reader_.seek(last->offset) && reader_.next() != 0 && reader_.item(read_) &&
            key(read_.path) == wanted)
            return &last->entry;
    }
    return nullptr;
}

LocalRestoreStorage::LocalRestoreStorage(const RestoreJobDefinition* definition,
                                         WebClientEventHandler* handler)
    : definition_(definition),
      handler_(handler),
      record_(nullptr),
      plain_(false),
      unpacking_(true),
      policy_(createRestoreLocationPolicy(definition)) {
    // Nothing else keeps the failed items of an offline restore.
    errorsOutliveRun_ = true;
    plain_.confine(confinement());
    unpacking_.confine(confinement());
    links_.confine(confinement());
}

std::wstring LocalRestoreStorage::confinement() const {
    return policy_ ? policy_->confinement() : std::wstring();
}

LocalRestoreStorage::~LocalRestoreStorage() {
    dropPrepared();
    pool_.reset();
    // The job removes the run's history folder once the run has ended; the
    // list must not make the folder again.
    if (!historyKept()) errors_.unbind();
}

bool LocalRestoreStorage::start(JobActivity* record, JobHistoryInfo* /*history*/) {
    ACE_TRACE("LocalRestoreStorage::start");
    last_error_restorer caller;
    if (!record || !definition_ || !*definition_->offlineLocation()) {
        caller.dismiss();
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    record_ = record;
    madeFolders_.clear();
    dirtyFolders_.clear();
    knownFolders_.clear();
    newFolders_.clear();
    restoredInNew_.clear();
    work_ = job_temp_path(definition_->id());
    group_.start(record, work_, [this] { endGroup(); });
    group_.placeWith([this](const std::vector<RestoreGroup::Waiting>& waiting,
                            std::vector<DWORD>& codes) { placeAll(waiting, codes); });
    std::wstring token = RestoreGroup::tokenOf(record);
    plain_.temporaryToken(token);
    unpacking_.temporaryToken(token);
    dropPrepared();
    if (!pool_) {
        // A small file's work is mostly calls that wait for its folder's
        // lock: beyond six threads a restore of small files went no faster.
        pool_ = std::make_unique<AheadPool>(AheadPool::suggestedThreads(6));
        seenEpoch_.assign(pool_->threads(), 0);
        for (unsigned i = 0; i < pool_->threads() * 2; ++i) {
            auto made = std::make_unique<RestoreTransformation>(i % 2 == 1);
            made->confine(confinement());
            made->durableEach(false);
            ahead_.push_back(std::move(made));
        }
    }
    for (auto& transformation : ahead_) transformation->temporaryToken(token);
    std::wstring location = definition_->offlineLocation();
    dataFolder_ = data_folder_of(location);
    if (dataFolder_.empty()) {
        log_message(LM_ERROR, "Offline location %s is not a catalogue file.\n",
                    to_utf8(location).c_str());
        caller.dismiss();
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    if (!catalogue_.load(location)) {
        caller.dismiss();
        return false;
    }

    uint64_t files = 0, bytes = 0;
    for (const std::wstring& source : definition_->source()) {
        const Entry* entry = catalogue_.find(source);
        if (!entry || entry->folder()) continue;
        ++files;
        bytes += entry->size();
    }
    record_->totalFiles = static_cast<uint32_t>(files);
    record_->totalBytes = bytes;
    removeLostTemporaries(definition_->id(), record_, plain_,
                          [this](const std::wstring& path, std::wstring& target) {
                              const Entry* entry = catalogue_.find(path);
                              if (!entry || entry->folder()) return false;
                              target = LocalRestoreCatalogue::key(path);
                              if (policy_ && !policy_->targetPath(target.c_str(), false, target))
                                  return false;
                              target = LocalRestoreCatalogue::key(target);
                              return true;
                          });

    // Without its instance text the run has no history folder of its own
    // (the path would name the job's whole history): the list then stays in
    // memory.
    errorPath_.clear();
    std::string instance = record_->instanceText();
    std::wstring history;
    if (!instance.empty() && job_history_path(history, definition_->id(), instance.c_str())) {
        errorPath_ = to_utf8(path_join(history.c_str(), L"err", history));
        errors_.load(errorPath_.c_str());
    }
    return true;
}

bool LocalRestoreStorage::end(bool cancelled) {
    ACE_TRACE("LocalRestoreStorage::end");
    last_error_restorer caller;
    dropPrepared();
    settle();  // its files that fail to take their places count below
    int failed = errorCount();
    if (failed > 0)
        log_message(LM_WARNING, "%d item(s) of the %s restore failed.\n", failed,
                    cancelled ? "cancelled" : "completed");
    if (historyKept()) errors_.save();
    return true;
}

bool LocalRestoreStorage::historyKept() const {
    return !errorPath_.empty() && dirExists(parentFolder(from_utf8(errorPath_)));
}

bool LocalRestoreStorage::restore(const wchar_t* path, const std::wstring& /*machine*/,
                                  bool /*isFolder*/, uint32_t itemIndex) {
    ACE_TRACE("LocalRestoreStorage::restore");
    if (!record_ || !path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::wstring key = LocalRestoreCatalogue::key(path);
    // Folders are numbered apart from files: only a file's turn passes over
    // (and drops) the files prepared before it.
    const Entry* entry = nullptr;
    bool file = !prepared_.empty() && prepared_.front()->key == key;
    if (!file) {
        entry = catalogue_.find(key);
        file = entry && !entry->folder();
    }
    std::unique_ptr<Prepared> early = file ? takePrepared(itemIndex, key) : nullptr;
    if (early) entry = &early->entry;
    if (!entry) entry = catalogue_.find(key);
    if (!entry) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    // What the item's task wrote goes unless it is used below.
    struct Discard {
        LocalRestoreStorage* storage;
        Prepared* item;
        ~Discard() {
            if (item) storage->discard(*item);
        }
    } unused{this, early.get()};
    if (!entry->folder() && group_.writtenEarlier(itemIndex)) {
        log_message(LM_INFO, "%s was restored before the run was interrupted.\n",
                    to_utf8(key).c_str());
        group_.count(1, entry->size());
        SetLastError(0);
        return true;
    }
    std::wstring target = key;
    // A skip leaves 0 as the last error, a source with no place below the
    // chosen folder the policy's code.
    if (policy_ && !policy_->targetPath(key.c_str(), entry->folder(), target)) return false;
    target = LocalRestoreCatalogue::key(target);
    // A folder that stands at its own place is left alone, link or not. A
    // file new to a folder the run made is not there: only its way is looked
    // at (a look-up of a missing name waits for the folder's lock, which the
    // files written ahead into the same folder hold).
    DWORD found = INVALID_FILE_ATTRIBUTES;
    if (!entry->folder() && firstInNewFolder(target)) {
        if (!placeFreeOfLinks(target, found, true)) return false;
    } else if ((!entry->folder() || !confinement().empty()) && !placeFreeOfLinks(target, found)) {
        return false;
    }

    if (!entry->folder()) return restoreFile(key, *entry, target, itemIndex, found, early.get());
    if (!makeFolderPath(key, target)) return false;
    SetLastError(0);
    return true;
}

bool LocalRestoreStorage::restoreFile(const std::wstring& key, const Entry& entry,
                                      const std::wstring& target, uint32_t itemIndex, DWORD found,
                                      Prepared* early) {
    record_->currentFilePath(key.c_str());
    std::wstring parent = parentFolder(target);
    if (parent.empty()) {
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    if (!makeFolderPath(parentFolder(key), parent)) return false;

    record_->currentFileSize = entry.size();
    record_->currentFileDone = 0;
    std::wstring data;
    path_join_number(dataFolder_.c_str(), entry.itemIndex, data);
    RestoreTransformation* by = entry.compressed ? &unpacking_ : &plain_;
    bool each = !group_.grouped(target);
    by->durableEach(each);
    bool fresh = found == INVALID_FILE_ATTRIBUTES || (found & FILE_ATTRIBUTE_DIRECTORY);
    if (each && fresh) group_.mark(itemIndex, target);
    bool restored = false;
    if (!each && early && usePrepared(*early, target, restored)) {
        by = &plain_;
    } else {
        // A later prepared item of the same target would take its temporary
        // name: it is restored in its own turn without its task's work.
        if (preparing_.count(target))
            for (auto& item : prepared_)
                if (item->target == target) discard(*item);
        restored = by->transform(data.c_str(), target.c_str(), &entry.data, nullptr);
    }
    RestoreTransformation& transformation = *by;
    DWORD code = GetLastError();
    touched(parent);  // whatever was made or written there moved its times
    if (restored && !transformation.waiting().empty()) {
        // In its place, and counted, at the group's end.
        RestoreGroup::Waiting waiting;
        // Placing uses the transformation's link check of the job's thread.
        waiting.by = &transformation;
        waiting.temporary = transformation.waiting();
        waiting.target = target;
        waiting.itemIndex = itemIndex;
        waiting.fresh = fresh;
        waiting.absent = found == INVALID_FILE_ATTRIBUTES;
        waiting.bytes = entry.size();
        waiting.done = [this, key](DWORD failed) {
            if (failed) addError(key.c_str(), failed, nullptr);
        };
        deferred_.insert(target);
        group_.defer(std::move(waiting));
        code = 0;
    } else if (restored) {
        group_.count(1, entry.size());
        code = 0;
    }
    record_->currentFileDone = 0;
    record_->currentFileSize = 0;
    SetLastError(code);
    return restored;
}

bool LocalRestoreStorage::firstInNewFolder(const std::wstring& target) {
    if (!newFolders_.count(parentFolder(target))) return false;
    return restoredInNew_.insert(std::hash<std::wstring>()(target)).second;
}

bool LocalRestoreStorage::placeFreeOfLinks(const std::wstring& target, DWORD& found, bool wayOnly) {
    if (wayOnly ? links_.wayFreeOfLinks(target) : links_.freeOfLinks(target, &found)) return true;
    DWORD code = GetLastError();
    log_message(LM_ERROR, "Refused to restore to %s, %s.\n", to_utf8(target).c_str(),
                win32_error_text(code).text());
    SetLastError(code);
    return false;
}

bool LocalRestoreStorage::makeFolderPath(const std::wstring& source, const std::wstring& target) {
    if (target.empty()) {
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    if (knownFolders_.count(target)) return true;
    if (dirExists(target)) {
        knownFolders_.insert(target);
        return true;
    }
    // The target stands for the source only while their names agree: above
    // that, the target's folders are the chosen folder's and its parents.
    bool paired = !source.empty() && last_component(source) == last_component(target);
    std::wstring parent = parentFolder(target);
    if (!parent.empty() && !makeFolderPath(paired ? parentFolder(source) : L"", parent))
        return false;
    int result = SHCreateDirectory(nullptr, target.c_str());
    if (result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS) {
        log_message(LM_ERROR, "Failed to create directory %s, error = %d, %s.\n",
                    to_utf8(target).c_str(), result,
                    win32_error_text(static_cast<DWORD>(result)).text());
        SetLastError(static_cast<DWORD>(result));
        return false;
    }
    if (result == ERROR_SUCCESS) newFolders_.insert(target);
    writeHeld(target);
    const Entry* entry = paired ? catalogue_.find(source) : nullptr;
    if (entry && entry->folder()) {
        DWORD wanted = entry->data.dwFileAttributes & kSettableFolderAttributes;
        if (wanted && !SetFileAttributesW(target.c_str(), wanted)) {
            DWORD code = GetLastError();
            log_message(LM_WARNING, "Failed to set the attributes of directory %s, %s.\n",
                        to_utf8(target).c_str(), win32_error_text(code).text());
        }
        madeFolders_[target] = entry->data;
        dirtyFolders_.insert(target);
    }
    knownFolders_.insert(target);
    touched(parent);
    return true;
}

void LocalRestoreStorage::touched(const std::wstring& folder) {
    if (madeFolders_.count(folder)) dirtyFolders_.insert(folder);
}

void LocalRestoreStorage::prepare(const wchar_t* path, const std::wstring& /*machine*/,
                                  bool isFolder, uint32_t itemIndex) {
    if (!record_ || !pool_ || isFolder || !path || !*path) return;
    last_error_restorer caller;
    std::wstring key = LocalRestoreCatalogue::key(path);
    const Entry* entry = catalogue_.find(key);
    if (!entry || entry->folder() || group_.writtenEarlier(itemIndex)) return;
    // Small files are held in memory on their way, large ones streamed.
    bool large = entry->size() > kAheadFileBytes;
    if (large ? largeAhead_ >= kAheadLarge : preparedBytes_ + entry->size() > kAheadBytes) return;
    // The item's place before the existing-file rule, which restore applies
    // in the item's turn (a folder's place is the plain one).
    std::wstring target = key;
    if (policy_ && !policy_->targetPath(key.c_str(), true, target)) return;
    target = LocalRestoreCatalogue::key(target);
    if (parentFolder(target).empty() || preparing_.count(target) || deferred_.count(target) ||
        !group_.grouped(target))
        return;
    auto item = std::make_unique<Prepared>();
    item->itemIndex = itemIndex;
    item->key = key;
    item->entry = *entry;
    path_join_number(dataFolder_.c_str(), entry->itemIndex, item->data);
    item->target = target;
    queue(item.get());
    preparing_.insert(target);
    charge(*item, true);
    prepared_.push_back(std::move(item));
}

void LocalRestoreStorage::charge(const Prepared& item, bool taken) {
    if (item.entry.size() > kAheadFileBytes)
        largeAhead_ += taken ? 1 : -1;
    else if (taken)
        preparedBytes_ += item.entry.size();
    else
        preparedBytes_ -= item.entry.size();
}

RestoreTransformation& LocalRestoreStorage::aheadOf(unsigned thread, bool compressed) {
    uint64_t epoch = linkEpoch_.load();
    if (seenEpoch_[thread] != epoch) {
        ahead_[thread * 2]->links().forget();
        ahead_[thread * 2 + 1]->links().forget();
        seenEpoch_[thread] = epoch;
    }
    return *ahead_[thread * 2 + (compressed ? 1 : 0)];
}

void LocalRestoreStorage::writeHeld(const std::wstring& folder) {
    for (auto& held : prepared_) {
        Prepared* item = held.get();
        auto waits = [&] {
            return item->outcome == RestoreTransformation::Ahead::kHeld ||
                   item->outcome == RestoreTransformation::Ahead::kLater;
        };
        if (item->waited && !waits()) continue;
        if (parentFolder(item->target) != folder) continue;
        if (!item->waited && takesFolderItself(*item)) continue;
        await(*item);
        if (waits()) queue(item);
    }
    postBatch();
}

bool LocalRestoreStorage::takesFolderItself(Prepared& item) {
    if (!item.posted) return true;
    std::lock_guard<std::mutex> hold(handOff_);
    if (item.ended) return false;
    item.folderMade = true;
    return true;
}

void LocalRestoreStorage::queue(Prepared* item) {
    item->waited = false;
    item->posted = false;
    {
        std::lock_guard<std::mutex> hold(handOff_);
        item->ended = false;
        item->folderMade = false;
    }
    // A large file is a task of its own: the small ones of a batch do not
    // wait behind it.
    bool alone = item->entry.size() > kAheadFileBytes;
    if (alone) postBatch();
    batch_.push_back(item);
    if (alone || batch_.size() >= kBatch) postBatch();
}

void LocalRestoreStorage::postBatch() {
    if (batch_.empty()) return;
    std::vector<Prepared*> items;
    items.swap(batch_);
    uint64_t ticket = pool_->post([this, items](unsigned thread) {
        for (Prepared* item : items) work(*item, thread);
    });
    for (Prepared* item : items) {
        item->ticket = ticket;
        item->posted = true;
    }
}

void LocalRestoreStorage::work(Prepared& item, unsigned thread) {
    for (;;) {
        step(item, thread);
        std::lock_guard<std::mutex> hold(handOff_);
        bool waits = item.outcome == RestoreTransformation::Ahead::kHeld ||
                     item.outcome == RestoreTransformation::Ahead::kLater;
        if (!waits || !item.folderMade) {
            item.ended = true;
            return;
        }
        item.folderMade = false;  // the folder is there now
    }
}

void LocalRestoreStorage::step(Prepared& item, unsigned thread) {
    if (item.outcome == RestoreTransformation::Ahead::kHeld) {
        // Its folder is there now.
        RestoreTransformation& plain = aheadOf(thread, false);
        item.outcome = RestoreTransformation::Ahead::kNone;
        if (plain.write(item.held.data(), item.held.size(), item.target.c_str(), &item.entry.data,
                        item.data.c_str())) {
            item.outcome = RestoreTransformation::Ahead::kWritten;
            item.temporary = plain.waiting();
        }
        item.held = std::vector<uint8_t>();
        return;
    }
    RestoreTransformation& transformation = aheadOf(thread, item.entry.compressed);
    item.outcome = transformation.transformAhead(item.data.c_str(), item.target.c_str(),
                                                 &item.entry.data, item.held, &aheadStop_);
    if (item.outcome == RestoreTransformation::Ahead::kWritten)
        item.temporary = transformation.waiting();
}

std::unique_ptr<LocalRestoreStorage::Prepared> LocalRestoreStorage::takePrepared(
    uint32_t itemIndex, const std::wstring& key) {
    // The list numbers its files in order: one before this item that was
    // prepared and not asked for is dropped.
    while (!prepared_.empty() && prepared_.front()->itemIndex < itemIndex) {
        discard(*prepared_.front());
        preparing_.erase(prepared_.front()->target);
        charge(*prepared_.front(), false);
        prepared_.pop_front();
    }
    if (prepared_.empty() || prepared_.front()->itemIndex != itemIndex ||
        prepared_.front()->key != key)
        return nullptr;
    std::unique_ptr<Prepared> item = std::move(prepared_.front());
    prepared_.pop_front();
    preparing_.erase(item->target);
    charge(*item, false);
    return item;
}

void LocalRestoreStorage::await(Prepared& item) {
    if (item.waited) return;
    if (!item.posted) postBatch();
    item.waited = true;
    if (!pool_->wait(item.ticket)) item.outcome = RestoreTransformation::Ahead::kNone;
}

void LocalRestoreStorage::discard(Prepared& item) {
    await(item);
    if (item.outcome == RestoreTransformation::Ahead::kWritten) {
        RestoreTransformation::removeTemporary(item.temporary);
        touched(parentFolder(item.target));  // its times are set again
    }
    item.outcome = RestoreTransformation::Ahead::kNone;
    item.temporary.clear();
    item.held.clear();
}

bool LocalRestoreStorage::usePrepared(Prepared& item, const std::wstring& target, bool& restored) {
    await(item);
    if (item.target != target) return false;  // the rename rule chose another name
    plain_.durableEach(false);
    if (item.outcome == RestoreTransformation::Ahead::kWritten) {
        plain_.adopt(item.temporary);
        restored = true;
    } else if (item.outcome == RestoreTransformation::Ahead::kHeld) {
        // The folder is made now: the data go where the task would have
        // put them, as the inline path writes them.
        restored = plain_.write(item.held.data(), item.held.size(), target.c_str(),
                                &item.entry.data, item.data.c_str());
    } else {
        return false;
    }
    item.outcome = RestoreTransformation::Ahead::kNone;  // used
    item.temporary.clear();
    return true;
}

void LocalRestoreStorage::placeAll(const std::vector<RestoreGroup::Waiting>& waiting,
                                   std::vector<DWORD>& codes) {
    codes.assign(waiting.size(), ERROR_GEN_FAILURE);
    auto placeOne = [&](RestoreTransformation& by, size_t i) {
        if (by.place(waiting[i].temporary, waiting[i].target.c_str(), false, waiting[i].absent))
            codes[i] = ERROR_SUCCESS;
        else if (GetLastError() != ERROR_SUCCESS)
            codes[i] = GetLastError();
    };
    // A few files, or no pool (the storage ends): one by one here.
    if (!pool_ || waiting.size() < kPlacedApart) {
        for (size_t i = 0; i < waiting.size(); ++i) placeOne(plain_, i);
        return;
    }
    // Each thread renames a share of the files, those of one folder (and so
    // of one target) in the group's order: renames in one folder wait for
    // each other on its lock, so its files are renamed by one thread, and
    // the folders side by side. Every rename is done before the group
    // flushes again.
    std::vector<std::vector<size_t>> shares(pool_->threads());
    std::hash<std::wstring_view> hash;
    for (size_t i = 0; i < waiting.size(); ++i) {
        const std::wstring& target = waiting[i].target;
        size_t cut = target.find_last_of(L"\\/");
        std::wstring_view folder(target.data(), cut == std::wstring::npos ? 0 : cut);
        shares[hash(folder) % shares.size()].push_back(i);
    }
    std::vector<std::pair<uint64_t, const std::vector<size_t>*>> tickets;
    for (const std::vector<size_t>& share : shares) {
        if (share.empty()) continue;
        const std::vector<size_t>* mine = &share;
        tickets.emplace_back(pool_->post([this, mine, &placeOne](unsigned thread) {
            RestoreTransformation& by = aheadOf(thread, false);
            for (size_t i : *mine) placeOne(by, i);
        }),
                             mine);
    }
    for (const auto& [ticket, share] : tickets)
        if (!pool_->wait(ticket))
            for (size_t i : *share) placeOne(plain_, i);
}

void LocalRestoreStorage::dropPrepared() {
    for (Prepared* item : batch_) {
        item->waited = true;  // never begun
        item->outcome = RestoreTransformation::Ahead::kNone;
    }
    batch_.clear();
    // A large file streamed ahead stops at its next question.
    aheadStop_.stopping = true;
    if (pool_) pool_->cancel();
    aheadStop_.stopping = false;
    for (auto& item : prepared_) discard(*item);
    prepared_.clear();
    preparing_.clear();
    preparedBytes_ = 0;
    largeAhead_ = 0;
}

void LocalRestoreStorage::endGroup() {
    deferred_.clear();
    ++linkEpoch_;
    for (const std::wstring& folder : dirtyFolders_) {
        auto made = madeFolders_.find(folder);
        if (made != madeFolders_.end()) set_folder_times(folder, made->second);
    }
    dirtyFolders_.clear();
    // A folder put in a link's place is seen from the next group on.
    knownFolders_.clear();
    links_.forget();
    plain_.links().forget();
    unpacking_.links().forget();
}
