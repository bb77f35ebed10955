#include "job/storage/web_restore_storage.h"

#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <utility>

#include "common/ace_log_wrapper.h"
#include "common/appdata_path.h"
#include "common/md5.h"
#include "common/text_conv.h"
#include "job/core/file_helpers.h"
#include "job/remote/remote_exchange.h"
#include "job/remote/remote_requests.h"
#include "job/storage/restore_place.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "wirekit/error_codes.h"

namespace {

using remote::exchange;
using remote::log_failure;

// The code of an operation called without the run's record or without a web
// server in the settings (ERROR_BAD_COMMAND).
constexpr DWORD kNoRecord = 22;

// How a made folder is opened for its times: as a folder, and never through
// a link put in its place.
constexpr DWORD kFolderTimesFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

CookieManagerImpl& cookie_store() {
    return *ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance();
}

// The folder part and the name part of a stored path, around its last "\"
// or "/"; without one the whole text is the folder part.
struct SplitPath {
    std::string folder;
    std::string name;
};

SplitPath split_path(const std::string& path) {
    size_t cut = path.find_last_of("\\/");
    if (cut == std::string::npos) return {path, std::string()};
    return {path.substr(0, cut), path.substr(cut + 1)};
}

// A 32-bit half that the service writes as a signed JSON integer: a value of
// 2^31 or more arrives negative and is read back as the unsigned half.
bool read_half(const json_spirit::Value& value, DWORD& out) {
    if (value.type() != json_spirit::int_type || value.is_uint64()) return false;
    int64_t number = value.get_int64();
    if (number < INT32_MIN || number > UINT32_MAX) return false;
    out = static_cast<DWORD>(static_cast<uint32_t>(number));
    return true;
}

bool read_count(const json_spirit::Value& value, uint64_t& out) {
    if (value.type() != json_spirit::int_type) return false;
    if (value.is_uint64()) {
        out = value.get_uint64();
        return true;
    }
    int64_t number = value.get_int64();
    if (number < 0) return false;
    out = static_cast<uint64_t>(number);
    return true;
}

// The members of the Get File Info reply that a restore uses, in the order
// of FileInfoMember.
enum FileInfoMember : size_t {
    kTotalBlock,
    kTotalSizeHigh,
    kTotalSizeLow,
    kCompression,
    kAttrib,
    kFileAttributes,
    kFileSizeHigh,
    kFileSizeLow,
    kCreationLow,
    kCreationHigh,
    kAccessLow,
    kAccessHigh,
    kWriteLow,
    kWriteHigh,
    kFileInfoMembers
};

uint64_t size_of(DWORD high, DWORD low) { return (static_cast<uint64_t>(high) << 32) | low; }

bool same_digest(const uint8_t* text, const std::string& digest) {
    for (size_t i = 0; i < digest.size(); ++i)
        if (std::tolower(text[i]) != std::tolower(static_cast<unsigned char>(digest[i])))
            return false;
    return true;
}

// Bounds the response bodies of an invoker for one scope.
class BodyLimit {
public:
    BodyLimit(Invoker& invoker, uint64_t limit)
        : invoker_(invoker), saved_(invoker.maxBodyLength()) {
        invoker_.maxBodyLength(limit);
    }
    ~BodyLimit() { invoker_.maxBodyLength(saved_); }
    BodyLimit(const BodyLimit&) = delete;
    BodyLimit& operator=(const BodyLimit&) = delete;

private:
    Invoker& invoker_;
    uint64_t saved_;
};

// A folder's path without its trailing separators, the one spelling under
// which the made folders are remembered.
std::wstring folder_key(const std::wstring& path) {
    size_t end = path.find_last_not_of(L"\\/");
    return end == std::wstring::npos ? path : path.substr(0, end + 1);
}

// The history's text as a request body, made from its parts as it is sent;
// history must outlive the sending.
Body_Source history_body(const JobHistoryInfo& history) {
    auto frame = std::make_shared<std::pair<std::string, std::string>>();
    history.textFrame(frame->first, frame->second);
    const std::vector<std::string>& pieces = history.sourcePieces();
    Body_Source body;
    body.length = frame->first.size() + frame->second.size();
    for (const std::string& piece : pieces) body.length += piece.size();
    auto at = std::make_shared<size_t>(0);  // 0 the head, then the pieces, then the tail
    body.rewind = [at] {
        *at = 0;
        return true;
    };
    body.next = [frame, &pieces, at](std::string& piece) {
        size_t part = (*at)++;
        if (part == 0)
            piece = frame->first;
        else if (part <= pieces.size())
            piece = pieces[part - 1];
        else if (part == pieces.size() + 1)
            piece = frame->second;
        else
            piece.clear();
        return true;
    };
    return body;
}

bool web_server(std::string& host, unsigned short& port) {
    OptionsImpl::instance()->getServerInfo(host, port);
    return !host.empty() && port != 0;
}

}  // namespace

WebRestoreStorage::WebRestoreStorage(const RestoreJobDefinition* definition,
                                     WebClientEventHandler* handler)
    : definition_(definition),
      workFolder_(job_temp_path(definition ? definition->id() : nullptr)),
      policy_(createRestoreLocationPolicy(definition)),
      handler_(handler) {
    decrypting_.confine(confinement());
    decompressing_.confine(confinement());
    links_.confine(confinement());
}

std::wstring WebRestoreStorage::confinement() const {
    return policy_ ? policy_->confinement() : std::wstring();
}

WebRestoreStorage::~WebRestoreStorage() = default;

std::string WebRestoreStorage::jobName() const {
    return definition_ ? to_utf8(definition_->name(), -1) : std::string();
}

const char* WebRestoreStorage::jobId() const { return definition_ ? definition_->id() : ""; }

std::wstring WebRestoreStorage::workPath(uint64_t itemIndex) const {
    std::wstring path;
    return path_join_number(workFolder_.c_str(), itemIndex, path);
}

bool WebRestoreStorage::interrupted() { return handler_ && handler_->stopRequested(0); }

bool WebRestoreStorage::start(JobActivity* record, JobHistoryInfo* history) {
    ACE_TRACE("WebRestoreStorage::start");
    last_error_restorer keep;
    const std::string name = jobName();
    const char* id = jobId();
    auto fail = [&](DWORD code) {
        instanceId_.clear();
        keep.dismiss();
        SetLastError(code);
        return false;
    };
    if (!record || !definition_) {
        log_message(LM_ERROR, "Failed to start restore job {%s, %s}, invalid job activity.\n",
                    name.c_str(), id);
        return fail(kNoRecord);
    }
    record_ = record;
    history_ = history;
    madeFolders_.clear();
    dirtyFolders_.clear();
    knownFolders_.clear();
    workLeft_ = false;
    group_.start(record, workFolder_, [this] { endGroup(); });
    std::wstring token = RestoreGroup::tokenOf(record);
    decrypting_.temporaryToken(token);
    decompressing_.temporaryToken(token);
    removeLostTemporaries(definition_->id(), record, decrypting_,
                          [this](const std::wstring& path, std::wstring& target) {
                              target = path;
                              return !policy_ || policy_->targetPath(path.c_str(), false, target);
                          });

    UUID instance;
    std::memcpy(&instance, record->instanceId, sizeof instance);
    rpc_string_holder text;
    RPC_STATUS converted = UuidToStringA(&instance, text.out());
    if (converted == RPC_S_OK) {
        std::wstring path;
        if (job_history_path(path, id, text.c_str())) {
            path += L"\\err";
            errors_.load(to_utf8(path).c_str());
        }
    }

    std::string host;
    unsigned short port = 0;
    if (!web_server(host, port)) {
        log_message(LM_ERROR, "Failed to start restore job {%s, %s}, invalid host name or port.\n",
                    name.c_str(), id);
        return fail(kNoRecord);
    }
    invoker_.server(host.c_str(), port, kSendBufferSize);
    invoker_.stopCheck(this);  // a stop or pause cuts a download short

    if (converted != RPC_S_OK) {
        log_message(LM_ERROR,
                    "Failed to start restore job {%s, %s}, can't convert the instance GUID to "
                    "string.\n",
                    name.c_str(), id);
        return fail(static_cast<DWORD>(converted));
    }
    instanceId_ = text.c_str();

    std::string cookie;
    if (!cookie_store().findCookie(definition_->user(), cookie) || cookie.empty()) {
        log_message(LM_ERROR,
                    "Failed to start restore job {%s, %s}, can't find the cookie for user {%s}.\n",
                    name.c_str(), id, definition_->user());
        return fail(http_error_code(401));
    }
    cookie_ = cookie;

    Web_Server_Invoker web;
    Command_To_Server<Start_Restore_Job_Request, Response_T<json_spirit::Value>> command(
        "Start Restore Job");
    command.request().build(cookie_, id, instanceId_);
    if (DWORD code = exchange(web, command, cookie_)) {
        log_failure(code, "Failed to start restore job {%s, %s}, error-code = %d, %m.\n",
                    "Failed to start restore job {%s, %s}, status-code = %d, %s.\n", name.c_str(),
                    id);
        return fail(code);
    }
    return true;
}

bool WebRestoreStorage::end(bool /*cancelled*/) {
    ACE_TRACE("WebRestoreStorage::end");
    last_error_restorer keep;
    const std::string name = jobName();
    const char* id = jobId();
    log_message(LM_INFO, "End job {%s, %s}.\n", name.c_str(), id);
    auto fail = [&](DWORD code) {
        keep.dismiss();
        SetLastError(code);
        return false;
    };
    settle();

    std::string host;
    unsigned short port = 0;
    if (!web_server(host, port)) {
        log_message(LM_ERROR, "Failed to submit job historyinvalid host name or port.\n");
        return fail(kNoRecord);
    }
    invoker_.server(host.c_str(), port, kSendBufferSize);
    invoker_.stopCheck(nullptr);  // the end of a run is bounded by its deadline only

    DWORD errorsCode = 0;
    if (!errors_.empty()) {
        Web_Server_Invoker web;
        Command_To_Server<Submit_Errors_Request, Response_T<std::string>> command("Submit Error");
        command.request().build(cookie_, instanceId_, json_spirit::Value(errors_.get()));
        errorsCode = exchange(web, command, cookie_);
        if (errorsCode)
            log_failure(errorsCode,
                        "Submit history errors failed, job {%s, %s}, error-code = %d, %m.\n",
                        "Submit history errors failed, job {%s, %s}, status-code = %d, %s.\n",
                        name.c_str(), id);
    }

    // The history goes whatever became of the errors: it closes the run.
    Command_To_Server<Submit_History_Request, Response_T<std::string>> command("Submit History");
    command.request().build(cookie_, history_ ? history_body(*history_) : Body_Source());
    if (DWORD code = exchange(invoker_, command, cookie_)) {
        log_failure(code, "Submit history failed, job {%s, %s}, error-code = %d, %m.\n",
                    "Submit history failed, job {%s, %s}, error-code = %d, %s.\n", name.c_str(),
                    id);
        return fail(code);
    }
    if (errorsCode) {
        keep.dismiss();
        SetLastError(errorsCode);
    }
    return true;
}

bool WebRestoreStorage::restore(const wchar_t* path, const std::wstring& machine, bool isFolder,
                                uint32_t itemIndex) {
    ACE_TRACE("WebRestoreStorage::restore");
    last_error_restorer keep;
    auto fail = [&keep](DWORD code) {
        keep.dismiss();
        SetLastError(code);
        return false;
    };
    itemPending_ = false;
    if (!record_ || !path || !*path) return fail(ERROR_INVALID_PARAMETER);
    const std::string name = to_utf8(path, -1);
    if (log_enabled(LM_DEBUG))
        log_message(LM_DEBUG, "Restoring file {%s}, job {%s, %s}.\n", name.c_str(),
                    jobName().c_str(), jobId());
    if (!isFolder && group_.writtenEarlier(itemIndex)) {
        log_message(LM_INFO, "File {%s} was restored before the run was interrupted.\n",
                    name.c_str());
        remove_own_file(workPath(itemIndex).c_str());
        record_->currentFileDone = 0;
        group_.count(1, 0);
        return true;
    }

    std::wstring target = path;
    if (policy_ && !policy_->targetPath(path, isFolder, target)) {
        DWORD code = GetLastError();
        if (code != 0) {
            log_message(LM_ERROR,
                        "File {%s} has no place to be restored to, error-code = %d, %m.\n",
                        name.c_str(), static_cast<int>(code));
            return fail(code);
        }
        // Skipped: a file is at its place already. What it weighs counts as done.
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExW(path, GetFileExInfoStandard, &data) &&
            !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            group_.count(0, size_of(data.nFileSizeHigh, data.nFileSizeLow));
        if (log_enabled(LM_DEBUG))
            log_message(LM_DEBUG, "File {%s} exists, skipped.\n", to_utf8(target).c_str());
        return true;
    }

    // Nothing is written through a link (a folder at its own place is left
    // alone, link or not).
    DWORD found = INVALID_FILE_ATTRIBUTES;
    if ((!isFolder || !confinement().empty()) && !links_.freeOfLinks(target, &found)) {
        DWORD code = GetLastError();
        log_message(LM_ERROR, "File {%s} is not restored to {%s}, error-code = %d, %m.\n",
                    name.c_str(), to_utf8(target).c_str(), static_cast<int>(code));
        return fail(code);
    }
    if (machine != machine_) {
        machine_ = machine;
        host_ = to_utf8(machine);
    }
    bool done = isFolder ? restoreFolder(path, target, host_)
                         : restoreFile(path, name, target, host_, itemIndex, found);
    DWORD code = GetLastError();
    // Whatever was made or written (a failed file's temporary file too) moved
    // the times of the folder it is in.
    if (!isFolder) touched(folder_key(parentFolder(target)));
    if (!done) return fail(code);
    return true;
}

void WebRestoreStorage::touched(const std::wstring& folder) {
    if (madeFolders_.count(folder)) dirtyFolders_.insert(folder);
}

void WebRestoreStorage::endGroup() {
    for (const std::wstring& folder : dirtyFolders_) {
        auto made = madeFolders_.find(folder);
        if (made == madeFolders_.end()) continue;
        scoped_handle handle(CreateFileW(folder.c_str(), FILE_WRITE_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         kFolderTimesFlags, nullptr));
        if (handle.valid())
            SetFileTime(handle.get(), &made->second.ftCreationTime, &made->second.ftLastAccessTime,
                        &made->second.ftLastWriteTime);
    }
    dirtyFolders_.clear();
    // A folder put in a link's place is seen from the next group on.
    knownFolders_.clear();
    links_.forget();
    decrypting_.links().forget();
    decompressing_.links().forget();
}

void WebRestoreStorage::passed(uint32_t itemIndex, bool isFolder) {
    // A failed item may have left its work file; a finished one is never
    // presented again.
    if (!isFolder && workLeft_) remove_own_file(workPath(itemIndex).c_str());
    workLeft_ = false;
    RestoreStorage::passed(itemIndex, isFolder);
}

bool WebRestoreStorage::restoreFolder(const std::wstring& source, const std::wstring& target,
                                      const std::string& machine) {
    if (log_enabled(LM_DEBUG))
        log_message(LM_DEBUG, "Restoring directory {%s} to {%s}.\n", to_utf8(source).c_str(),
                    to_utf8(target).c_str());
    if (interrupted()) {
        log_message(LM_INFO, "Restoring directory {%s} is cancelled.\n", to_utf8(source).c_str());
        itemPending_ = true;
        return true;
    }
    // A drive is named with its separator ("C:" alone means a current folder).
    const std::wstring folder = target.size() == 2 && target[1] == L':' ? target + L"\\" : target;
    if (!target.empty() && knownFolders_.count(folder)) return true;
    const std::string name = to_utf8(source), place = to_utf8(target);
    auto logStop = [&] {
        if (interrupted())
            log_message(LM_INFO, "Restoring directory {%s} is cancelled.\n", name.c_str());
    };
    if (target.empty()) {
        log_message(LM_INFO, "Invalid path, orignal {%s}, new {%s}.\n", name.c_str(),
                    place.c_str());
        logStop();
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    if (dirExists(folder)) {
        log_message(LM_DEBUG, "Directory {%s} exists.\n", place.c_str());
        knownFolders_.insert(folder);
        logStop();
        return true;
    }
    if (target.size() < 4) {
        log_message(LM_ERROR, "Invalid path, orignal {%s}, new {%s}.\n", name.c_str(),
                    place.c_str());
        logStop();
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }

    if (!restoreFolder(parentFolder(source), parentFolder(target), machine)) {
        DWORD code = GetLastError();
        log_message(LM_DEBUG, "Restoring directory {%s} to {%s} failed, %d, %m.\n", name.c_str(),
                    place.c_str(), static_cast<int>(code));
        logStop();
        SetLastError(code);
        return false;
    }
    int made = SHCreateDirectory(nullptr, target.c_str());
    // The shell reports a name that is taken as made; only a folder will do.
    if (made == ERROR_FILE_EXISTS || made == ERROR_ALREADY_EXISTS)
        made = dirExists(target) ? ERROR_SUCCESS : ERROR_FILE_EXISTS;
    if (made != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(made));
        log_message(LM_DEBUG, "Create directory {%s} failed, %d, %m.\n", place.c_str(), made);
        logStop();
        SetLastError(static_cast<DWORD>(made));
        return false;
    }
    knownFolders_.insert(folder);
    touched(folder_key(parentFolder(target)));

    // Below another folder the target has parents that no stored folder stands for.
    if (source.empty()) return true;
    log_message(LM_DEBUG, "Directory {%s} restored to {%s}, start to get the attributes.\n",
                name.c_str(), place.c_str());
    std::string asked = name;
    if (asked.back() != '\\' && asked.back() != '/') asked += '\\';
    StoredItem item;
    if (!getFileInfo(machine, asked, item)) {
        // The folder stands; it only lacks what the service would have said of it.
        log_message(LM_ERROR, "Download file information failed, file {%s}.\n", name.c_str());
        if (interrupted())
            log_message(LM_INFO,
                        "Restoring directory {%s} is cancelled when download file information.\n",
                        name.c_str());
        return true;
    }
    DWORD wanted = item.attributes.dwFileAttributes & ~FILE_ATTRIBUTE_DIRECTORY;
    SetFileAttributesW(target.c_str(), wanted ? wanted : FILE_ATTRIBUTE_NORMAL);
    // A folder opens for its attributes only.
    scoped_handle handle(CreateFileW(target.c_str(), FILE_WRITE_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     kFolderTimesFlags, nullptr));
    if (handle.valid())
        SetFileTime(handle.get(), &item.attributes.ftCreationTime,
                    &item.attributes.ftLastAccessTime, &item.attributes.ftLastWriteTime);
    madeFolders_[folder_key(target)] = item.attributes;
    dirtyFolders_.insert(folder_key(target));
    return true;
}

bool WebRestoreStorage::restoreFile(const std::wstring& path, const std::string& name,
                                    const std::wstring& target, const std::string& machine,
                                    uint32_t itemIndex, DWORD found) {
    if (log_enabled(LM_DEBUG))
        log_message(LM_DEBUG, "Restoring file {%s} to {%s}.\n", name.c_str(),
                    to_utf8(target).c_str());
    auto fail = [&](DWORD code) {
        record_->currentFileDone = 0;
        SetLastError(code);
        return false;
    };
    if (interrupted()) {
        log_message(LM_INFO, "Restoring file {%s} is cancelled, at offset {%Q}.\n", name.c_str(),
                    record_->currentFileDone.load());
        itemPending_ = true;
        return true;
    }

    if (!restoreFolder(parentFolder(path), parentFolder(target), machine)) {
        DWORD code = GetLastError();
        log_message(LM_ERROR,
                    "Create parent directories of file {%s, target {%s}} failed, %d, %m.\n",
                    name.c_str(), to_utf8(target).c_str(), static_cast<int>(code));
        if (interrupted())
            log_message(LM_INFO,
                        "Restoring file {%s} is cancelled when create parents directories, offset "
                        "{%Q}}.\n",
                        name.c_str(), record_->currentFileDone.load());
        return fail(code);
    }
    log_message(LM_DEBUG, "Parent directories restored.\n");

    const std::wstring work = workPath(itemIndex);
    StoredItem item;
    if (!getFileInfo(machine, name, item)) {
        DWORD code = GetLastError();
        log_message(LM_ERROR,
                    "Download file information failed, file {%s}, at offset {%Q}, error-code = "
                    "%d, %m.\n",
                    name.c_str(), record_->currentFileDone.load(), static_cast<int>(code));
        if (interrupted())
            log_message(LM_INFO,
                        "Restoring file {%s} is cancelled when download file information, offset "
                        "{%Q}.\n",
                        name.c_str(), record_->currentFileDone.load());
        return fail(code);
    }
    log_message(LM_DEBUG, "File information restored.\n");
    record_->currentFileSize = item.size;

    // A fresh item whose stored data are small is downloaded into memory
    // and turned back from there: its work file is written only when a stop
    // leaves the item for the next attempt (keepForLater).
    const bool inMemory = record_->currentFileDone == 0 && item.size <= kInMemoryBytes;
    // The transformation gives the target its attributes and times before it
    // takes the target's place.
    RestoreTransformation& transformation = item.compression ? decompressing_ : decrypting_;
    scoped_handle file;
    if (inMemory) {
        held_.clear();
    } else {
        if (!openWorkFile(work, item, name, file)) return fail(GetLastError());
        workLeft_ = true;
    }
    // Whichever way the item ends, a feed still under way is dropped.
    struct FeedEnd {
        WebRestoreStorage& storage;
        ~FeedEnd() { storage.stopFeed(); }
    } feedEnd{*this};
    if (!inMemory && item.size > kInMemoryBytes) startFeed(transformation, target, work);
    auto drop = [&](DWORD code) {
        stopFeed();  // its read of the work file ends first
        if (!inMemory) {
            file.close();
            rmfile_f(work.c_str());
            workLeft_ = false;
        }
        return fail(code);
    };

    log_message(LM_DEBUG, "Start to download file data.\n");
    for (uint64_t block = record_->currentFileDone / kBlockSize + 1;
         block <= item.totalBlocks && item.size > record_->currentFileDone; ++block) {
        const uint64_t offset = record_->currentFileDone;
        const uint64_t remaining = item.size - offset;
        uint64_t written = 0;
        if (!downloadBlock(machine, name, block, inMemory ? nullptr : file.get(), remaining,
                           written)) {
            DWORD code = GetLastError();
            log_message(LM_ERROR,
                        "Failed to download file {%s}, offset {%Q}, error-code = %d, %m.\n",
                        name.c_str(), offset, static_cast<int>(code));
            if (interrupted())
                log_message(LM_INFO,
                            "Restoring file {%s} is cancelled when download file data, offset "
                            "{%Q}.\n",
                            name.c_str(), offset);
            return drop(code);
        }
        log_message(LM_DEBUG, "File data {%Q} to {%Q} downloaded.\n", offset,
                    offset + uint64_t{kBlockSize});
        if (interrupted()) {
            log_message(LM_INFO,
                        "Restoring file {%s} is cancelled when download file data, offset {%Q}.\n",
                        name.c_str(), record_->currentFileDone.load());
            itemPending_ = true;
            if (inMemory) keepForLater(work);
            return true;  // the work file and the offset stay for the next attempt
        }
        // Only the last block may be short: the data ends with a short one.
        if (written < std::min<uint64_t>(kBlockSize, remaining)) break;
    }
    if (record_->currentFileDone < item.size) {
        log_message(LM_ERROR,
                    "Failed to download file {%s}, the stored blocks end at {%Q}, before its size "
                    "{%Q}.\n",
                    name.c_str(), record_->currentFileDone.load(), item.size);
        return drop(kMalformedReply);
    }
    log_message(LM_DEBUG, "File {%s} downloaded.\n", name.c_str());
    file.close();
    if (interrupted()) {
        log_message(LM_INFO, "Restoring is cancelled when going to decrypt/decompress file {%s}.\n",
                    name.c_str());
        itemPending_ = true;
        if (inMemory) keepForLater(work);
        return true;
    }
    // The blocks still queued are turned back; a stop meanwhile leaves the
    // whole work file and its offset for the next attempt.
    if (feeding_ && !lane_.drain([this] { return interrupted(); })) {
        log_message(LM_INFO, "Restoring is cancelled when decrypt/decompress file {%s}.\n",
                    name.c_str());
        itemPending_ = true;
        return true;
    }

    log_message(LM_DEBUG, "Start to decrypt/decompress file {%s}.\n", name.c_str());
    bool each = !group_.grouped(target);
    transformation.durableEach(each);
    bool fresh = found == INVALID_FILE_ATTRIBUTES || (found & FILE_ATTRIBUTE_DIRECTORY);
    if (each && fresh) group_.mark(itemIndex, target);
    bool turned;
    if (feeding_) {
        feeding_ = nullptr;
        turned = transformation.closeFeed(work.c_str(), target.c_str(), &item.attributes);
    } else if (inMemory) {
        turned = transformation.transformHeld(held_.data(), held_.size(), target.c_str(),
                                              &item.attributes, work.c_str());
    } else {
        turned = transformation.transform(work.c_str(), target.c_str(), &item.attributes, this);
    }
    if (!turned) {
        DWORD code = GetLastError();
        const std::string from = to_utf8(work);
        log_message(LM_ERROR,
                    "Decrypt/Decompress file {original {%s}, target {%s}, new {%s}} failed, "
                    "error-code = %d, %m.\n",
                    name.c_str(), from.c_str(), to_utf8(target).c_str(), static_cast<int>(code));
        if (code == ERROR_CANCELLED || interrupted())
            log_message(LM_INFO, "Restoring is cancelled when decrypt/decompress file {%s}.\n",
                        name.c_str());
        return fail(code);
    }
    log_message(LM_DEBUG, "File {%s} decrypted/decompressed.\n", name.c_str());
    if (!inMemory) remove_own_file(work.c_str());
    workLeft_ = false;

    const uint64_t own = size_of(item.attributes.nFileSizeHigh, item.attributes.nFileSizeLow);
    record_->currentFileDone = 0;
    const FILETIME made = item.attributes.ftCreationTime;
    const FILETIME written = item.attributes.ftLastWriteTime;
    if (transformation.waiting().empty()) {
        if (history_) history_->addSourceFile(path.c_str(), made, written, own);
        group_.count(1, own);
        return true;
    }
    // In its place, listed and counted at the group's end.
    RestoreGroup::Waiting waiting;
    waiting.by = &transformation;
    waiting.temporary = transformation.waiting();
    waiting.target = target;
    waiting.itemIndex = itemIndex;
    waiting.fresh = fresh;
    waiting.bytes = own;
    waiting.done = [this, path, made, written, own](DWORD failed) {
        if (failed)
            addError(path.c_str(), failed, nullptr);
        else if (history_)
            history_->addSourceFile(path.c_str(), made, written, own);
    };
    group_.defer(std::move(waiting));
    return true;
}

bool WebRestoreStorage::startFeed(RestoreTransformation& transformation, const std::wstring& target,
                                  const std::wstring& work) {
    if (!transformation.openFeed(target.c_str())) return false;
    const uint64_t held = record_->currentFileDone;
    scoped_handle prefix;
    if (held)
        prefix.reset(CreateFileW(work.c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (held && !prefix.valid()) {
        transformation.dropFeed();
        return false;
    }
    try {
        lane_.begin([&transformation](const uint8_t* data,
                                      size_t size) { return transformation.feed(data, size); },
                    [&transformation](DWORD code) { transformation.feedFailed(code); });
    } catch (const std::system_error&) {
        transformation.dropFeed();
        return false;
    }
    if (held) lane_.read(std::move(prefix), held);
    feeding_ = &transformation;
    return true;
}

void WebRestoreStorage::stopFeed() {
    if (!feeding_) return;
    lane_.drop();
    feeding_->dropFeed();
    feeding_ = nullptr;
}

void WebRestoreStorage::keepForLater(const std::wstring& work) {
    scoped_handle file(CreateFileW(work.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD done = 0;
    if (file.valid() &&
        (held_.empty() ||
         (WriteFile(file.get(), held_.data(), static_cast<DWORD>(held_.size()), &done, nullptr) &&
          done == held_.size()))) {
        workLeft_ = true;
        return;
    }
    DWORD code = GetLastError();
    log_message(LM_WARNING,
                "Failed to keep the downloaded data in {%s}, error-code = %d, %m: the next "
                "attempt starts over.\n",
                to_utf8(work).c_str(), static_cast<int>(code));
    if (file.valid()) {
        file.close();
        rmfile_f(work.c_str());
    }
    record_->currentFileDone = 0;
}

bool WebRestoreStorage::openWorkFile(const std::wstring& work, const StoredItem& item,
                                     const std::string& name, scoped_handle& file) {
    // Readable beside: a feed reads what an earlier attempt left (startFeed).
    file.reset(CreateFileW(work.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    const bool made = file.valid() && GetLastError() != ERROR_ALREADY_EXISTS;
    if (!file.valid()) {
        DWORD code = GetLastError();
        const std::string path = to_utf8(work);
        log_message(LM_ERROR,
                    "Failed to create file {%s, target {%s}} to write, offset {%Q}, error-code = "
                    "%d, %m.\n",
                    name.c_str(), path.c_str(), record_->currentFileDone.load(),
                    static_cast<int>(code));
        if (interrupted())
            log_message(LM_INFO,
                        "Restoring file {%s} is cancelled when create file to write, offset "
                        "{%Q}.\n",
                        name.c_str(), record_->currentFileDone.load());
        file.reset();
        SetLastError(code);
        return false;
    }
    log_message(LM_DEBUG, "Target file {%s} created.\n", to_utf8(work).c_str());
    if (made && record_->currentFileDone == 0) return true;  // empty, at its start

    LARGE_INTEGER length;
    uint64_t held = GetFileSizeEx(file.get(), &length) ? static_cast<uint64_t>(length.QuadPart) : 0;
    uint64_t done = record_->currentFileDone;
    if (held < done) {
        log_message(LM_WARNING,
                    "File size is smaller than file offset recorded by job activity.\n");
        done = 0;
    } else if (done > item.size || (done % kBlockSize != 0 && done != item.size)) {
        log_message(LM_WARNING,
                    "File offset {%Q} recorded by job activity is not a block of the file.\n",
                    done);
        done = 0;
    }
    LARGE_INTEGER offset;
    offset.QuadPart = static_cast<LONGLONG>(done);
    if (!SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN)) {
        log_message(LM_WARNING, "Failed to seek file to {%Q}.\n", done);
        done = 0;
        offset.QuadPart = 0;
        SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN);
    }
    record_->currentFileDone = done;
    // Whatever an earlier attempt left behind the offset is not this file's.
    if (!SetEndOfFile(file.get())) {
        DWORD code = GetLastError();
        log_message(LM_ERROR, "Failed to truncate file {%s} at {%Q}, error-code = %d, %m.\n",
                    to_utf8(work).c_str(), done, static_cast<int>(code));
        file.close();
        rmfile_f(work.c_str());
        SetLastError(code);
        return false;
    }
    return true;
}

bool WebRestoreStorage::getFileInfo(const std::string& machine, const std::string& path,
                                    StoredItem& item) {
    ACE_TRACE("WebRestoreStorage::getFileInfo");
    const SplitPath parts = split_path(path);
    // The reply is small and only some of its members matter: they are read
    // out of its text without a tree of the whole.
    Command_To_Server<Get_File_Info_Request, Response_T<std::string>> command("Get File Info");
    command.request().build(cookie_, machine, definition_->instanceId(), parts.folder,
                            parts.name.c_str());
    if (DWORD code = exchange(invoker_, command, cookie_)) {
        log_failure(code, "Get file information failed, file {%s}, error-code = %d, %m.\n",
                    "Get file information failed, file {%s}, status-code = %d, %s.\n",
                    path.c_str());
        return false;
    }
    auto malformed = [&](const char* format) {
        log_message(LM_ERROR, format, path.c_str());
        SetLastError(kMalformedReply);
        return false;
    };
    const char* const attrib = "attrib";
    json_spirit::Wanted_member reply[kFileInfoMembers] = {
        {nullptr, "totalblock", {}},
        {nullptr, "totalsizeHigh", {}},
        {nullptr, "totalsizeLow", {}},
        {nullptr, "compression", {}},
        {nullptr, attrib, {}},
        {attrib, "dwFileAttributes", {}},
        {attrib, "nFileSizeHigh", {}},
        {attrib, "nFileSizeLow", {}},
        {attrib, "ftCreationTimedwLowDateTime", {}},
        {attrib, "ftCreationTimedwHighDateTime", {}},
        {attrib, "ftLastAccessTimedwLowDateTime", {}},
        {attrib, "ftLastAccessTimedwHighDateTime", {}},
        {attrib, "ftLastWriteTimedwLowDateTime", {}},
        {attrib, "ftLastWriteTimedwHighDateTime", {}},
    };
    if (json_spirit::read_members(command.response().body(), reply, kFileInfoMembers) != 1)
        return malformed(
            "Get file information failed, file {%s}, server response is not json object.\n");
    auto member = [&reply](FileInfoMember which) -> const json_spirit::Value& {
        return reply[which].value;
    };
    if (!read_count(member(kTotalBlock), item.totalBlocks))
        return malformed(
            "Get file information failed, file {%s}, can't get \"total block\" value from server "
            "response.\n");
    DWORD high = 0, low = 0;
    if (!read_half(member(kTotalSizeHigh), high) || !read_half(member(kTotalSizeLow), low))
        return malformed(
            "Get file information failed, file {%s}, can't get \"total size\" value from server "
            "response.\n");
    const json_spirit::Value& compression = member(kCompression);
    if (compression.type() != json_spirit::bool_type)
        return malformed(
            "Get file information failed, file {%s}, can't get \"compression\" value from server "
            "response.\n");
    if (member(kAttrib).type() != json_spirit::obj_type)
        return malformed(
            "Get file information failed, file {%s}, can't get file attributes from server "
            "response.\n");
    WIN32_FILE_ATTRIBUTE_DATA& data = item.attributes;
    if (!read_half(member(kFileAttributes), data.dwFileAttributes))
        return malformed(
            "Get file information failed, file {%s}, can't get \"file attributes\" value from "
            "server response.\n");
    if (!read_half(member(kFileSizeHigh), data.nFileSizeHigh) ||
        !read_half(member(kFileSizeLow), data.nFileSizeLow))
        return malformed(
            "Get file information failed, file {%s}, can't get \"file size\" value from server "
            "response.\n");
    if (!read_half(member(kCreationLow), data.ftCreationTime.dwLowDateTime) ||
        !read_half(member(kCreationHigh), data.ftCreationTime.dwHighDateTime))
        return malformed(
            "Get file information failed, file {%s}, can't get \"creation time\" value from server "
            "response.\n");
    if (!read_half(member(kAccessLow), data.ftLastAccessTime.dwLowDateTime))
        return malformed(
            "Get file information failed, file {%s},, can't get \"access time\" value from server "
            "response.\n");
    if (!read_half(member(kAccessHigh), data.ftLastAccessTime.dwHighDateTime))
        return malformed(
            "Get file information failed, file {%s}, can't get \"access time\" value from server "
            "response.\n");
    if (!read_half(member(kWriteLow), data.ftLastWriteTime.dwLowDateTime) ||
        !read_half(member(kWriteHigh), data.ftLastWriteTime.dwHighDateTime))
        return malformed(
            "Get file information failed, file {%s}, can't get \"modify time\" value from server "
            "response.\n");
    item.size = size_of(high, low);
    item.compression = compression.get_bool();
    return true;
}

bool WebRestoreStorage::downloadBlock(const std::string& machine, const std::string& path,
                                      uint64_t block, HANDLE work, uint64_t remaining,
                                      uint64_t& written) {
    ACE_TRACE("WebRestoreStorage::downloadBlock");
    written = 0;
    const uint64_t offset = record_->currentFileDone;
    const SplitPath parts = split_path(path);
    Command_To_Server<Download_Data_Request, Response_T<Download_Data_Type>> command(
        "Download Data");
    command.request().build(cookie_, machine, definition_->instanceId(), parts.folder, parts.name,
                            block);
    DWORD code;
    {
        // No block is longer than this: a longer body is not read at all.
        BodyLimit limit(invoker_, kBlockSize + kDigestSize);
        code = exchange(invoker_, command, cookie_);
    }
    if (code) {
        log_failure(code,
                    "Download file data failed, file {%s}, offset {%Q},, error-code = %d, %m.\n",
                    "Download file data failed, file {%s}, offset {%Q}, error-code = %d, %s.\n",
                    path.c_str(), offset);
        return false;
    }

    const Download_Data_Type& body = command.response().body();
    const uint64_t size = body.size();
    const uint64_t announced = command.response().content_length();
    auto malformed = [&] {
        SetLastError(kMalformedReply);
        return false;
    };
    if (!command.response().chunked_transfer_encoding() && size < announced) {
        log_message(LM_ERROR,
                    "Failed to download file data, file {%s}, offset {%Q}, the size of data "
                    "{size: %Q} readed is not as large as \"Content-Length\" {Content-Length: "
                    "%Q}.\n",
                    path.c_str(), offset, size, announced);
        return malformed();
    }
    if (size < kDigestSize) {
        log_message(LM_ERROR,
                    "Failed to download file data, file {%s}, offset {%Q}, the size of data "
                    "{size: %Q} is small than the MD5 size {32 bytes}.\n",
                    path.c_str(), offset, size);
        return malformed();
    }
    const uint8_t* data = body.data() + kDigestSize;
    const uint64_t length = size - kDigestSize;
    if (length > kBlockSize || length > remaining) {
        log_message(LM_ERROR,
                    "Failed to download file data, file {%s}, offset {%Q}, the size of data "
                    "{size: %Q} is larger than the rest of the file {%Q}.\n",
                    path.c_str(), offset, length, remaining);
        return malformed();
    }
    MD5 digest;
    digest.update(data, static_cast<unsigned>(length));
    const std::string expected = digest.hexdigest();
    if (!same_digest(body.data(), expected)) {
        const std::string sent(reinterpret_cast<const char*>(body.data()), kDigestSize);
        log_message(LM_ERROR,
                    "Failed to download file data, file {%s}, offset {%Q}, the MD5 {%s} of the "
                    "data is not the MD5 {%s} sent with it.\n",
                    path.c_str(), offset, expected.c_str(), sent.c_str());
        return malformed();
    }

    DWORD done = 0;
    if (!work) {
        held_.insert(held_.end(), data, data + length);
        done = static_cast<DWORD>(length);
    } else if (length && (!WriteFile(work, data, static_cast<DWORD>(length), &done, nullptr) ||
                          done != length)) {
        DWORD error = GetLastError();
        if (error == 0) error = ERROR_DISK_FULL;
        log_message(LM_ERROR,
                    "Failed to write file, file {%s}, offset {%Q}, error-code = %d, %m.\n",
                    path.c_str(), offset, static_cast<int>(error));
        SetLastError(error);
        return false;
    }
    written = done;
    record_->currentFileDone += done;
    record_->bytesTransferred += done;
    // A block that a stop keeps out of the feed ends it: the item is then
    // turned back from its work file, or resumed.
    if (feeding_ && length) {
        bool queued = false;
        try {
            queued = lane_.put(data, static_cast<size_t>(length), [this] { return interrupted(); });
        } catch (const std::bad_alloc&) {
        }
        if (!queued) stopFeed();
    }
    return true;
}
