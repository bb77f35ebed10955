#include "job/local_restore_storage.h"

#include <ace/Log_Msg.h>

#include <cstring>

#include "common/ace_log_wrapper.h"
#include "common/appdata_path.h"
#include "common/holders.h"
#include "common/text_conv.h"
#include "common/win32_error.h"
#include "job/activity_source.h"
#include "job/file_helpers.h"
#include "job/restore_place.h"

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

bool LocalRestoreCatalogue::load(const std::wstring& path) {
    items_.clear();
    JobActivitySourceReader reader;
    if (!reader.open(path.c_str(), 0)) return false;
    for (;;) {
        uint32_t tag = reader.next();
        if (tag == 0) break;
        if (tag != kSourceTagFile && tag != kSourceTagDirectory) continue;
        JobActivitySourceItem item;
        if (!reader.item(item)) continue;
        Entry entry;
        entry.itemIndex = item.ordinal;
        entry.data = item.data;
        entry.compressed = item.flag == 1;
        items_[key(item.path)] = entry;
    }
    DWORD code = GetLastError();
    if (code != ERROR_HANDLE_EOF)
        log_message(LM_WARNING,
                    "Catalogue %s is damaged, error = %d: only the items before the damage can be "
                    "restored.\n",
                    to_utf8(path).c_str(), static_cast<int>(code));
    return true;
}

const LocalRestoreCatalogue::Entry* LocalRestoreCatalogue::find(const std::wstring& path) const {
    auto it = items_.find(key(path));
    return it == items_.end() ? nullptr : &it->second;
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
    work_ = job_temp_path(definition_->id());
    group_.start(record, work_, [this] { endGroup(); });
    std::wstring token = RestoreGroup::tokenOf(record);
    plain_.temporaryToken(token);
    unpacking_.temporaryToken(token);
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
    const Entry* entry = catalogue_.find(key);
    if (!entry) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
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
    // A folder that stands at its own place is left alone, link or not.
    DWORD found = INVALID_FILE_ATTRIBUTES;
    if ((!entry->folder() || !confinement().empty()) && !placeFreeOfLinks(target, found))
        return false;

    if (!entry->folder()) return restoreFile(key, *entry, target, itemIndex, found);
    if (!makeFolderPath(key, target)) return false;
    SetLastError(0);
    return true;
}

bool LocalRestoreStorage::restoreFile(const std::wstring& key, const Entry& entry,
                                      const std::wstring& target, uint32_t itemIndex, DWORD found) {
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
    RestoreTransformation& transformation = entry.compressed ? unpacking_ : plain_;
    bool each = !group_.grouped(target);
    transformation.durableEach(each);
    bool fresh = found == INVALID_FILE_ATTRIBUTES || (found & FILE_ATTRIBUTE_DIRECTORY);
    if (each && fresh) group_.mark(itemIndex, target);
    bool restored = transformation.transform(data.c_str(), target.c_str(), &entry.data, nullptr);
    DWORD code = GetLastError();
    touched(parent);  // whatever was made or written there moved its times
    if (restored && !transformation.waiting().empty()) {
        // In its place, and counted, at the group's end.
        RestoreGroup::Waiting waiting;
        waiting.by = &transformation;
        waiting.temporary = transformation.waiting();
        waiting.target = target;
        waiting.itemIndex = itemIndex;
        waiting.fresh = fresh;
        waiting.bytes = entry.size();
        waiting.done = [this, key](DWORD failed) {
            if (failed) addError(key.c_str(), failed, nullptr);
        };
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

bool LocalRestoreStorage::placeFreeOfLinks(const std::wstring& target, DWORD& found) {
    if (links_.freeOfLinks(target, &found)) return true;
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

void LocalRestoreStorage::endGroup() {
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
