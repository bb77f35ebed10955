#include "job/storage/web_backup_storage.h"

#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/ace_log_wrapper.h"
#include "common/appdata_path.h"
#include "common/find_file_handle.h"
#include "common/holders.h"
#include "common/md5.h"
#include "common/replace_file.h"
#include "common/text_conv.h"
#include "job/core/file_helpers.h"
#include "job/core/json_storage.h"
#include "job/remote/remote_exchange.h"
#include "job/remote/remote_requests.h"
#include "job/storage/note_file.h"
#include "job/stores/cookie_manager.h"
#include "wirekit/error_codes.h"

namespace {

// The code of an operation called without the run's record (ERROR_BAD_COMMAND).
constexpr DWORD kNoRecord = 22;

CookieManagerImpl& cookie_store() {
    return *ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance();
}

// The local time as the service reads it in Start Job and End Job.
std::string local_time_text() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[128];
    std::snprintf(text, sizeof text, "%d-%.2d-%.2d %.2d:%.2d:%.2d", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond);
    return text;
}

using remote::exchange;
using remote::log_failure;

// Whether a reply is an HTML page (Content-Type text/html, any letter case,
// any parameters).
bool html_page(const HTTP_Response& response) {
    const char* type = response.headers().get(HTTP_HEAD_CONTENT_TYPE);
    if (!type) return false;
    while (*type == ' ' || *type == '\t') ++type;
    static const char kHtml[] = "text/html";
    for (size_t i = 0; i + 1 < sizeof kHtml; ++i)
        if (std::tolower(static_cast<unsigned char>(type[i])) != kHtml[i]) return false;
    char next = type[sizeof kHtml - 1];
    return next == '\0' || next == ';' || next == ' ' || next == '\t';
}

// Reads up to size bytes, fewer only at the end of the file.
bool read_full(HANDLE file, uint8_t* buffer, DWORD size, DWORD& got) {
    got = 0;
    while (got < size) {
        DWORD read = 0;
        if (!ReadFile(file, buffer + got, size - got, &read, nullptr)) return false;
        if (read == 0) break;
        got += read;
    }
    return true;
}

}  // namespace

WebBackupStorage::WebBackupStorage(const JobDefinition* definition, WebClientEventHandler* handler)
    : definition_(definition),
      workFolder_(job_temp_path(definition ? definition->id() : nullptr)),
      handler_(handler) {}

WebBackupStorage::~WebBackupStorage() { discardPrepared(); }

// What a thread made of one announced file, as the worker's own transform
// would have left it: the stored form in memory (held) or in the ahead file,
// the read, or the failure's code. Its own stop, for the transform.
struct WebBackupStorage::Prepared : interrupter {
    bool interrupted() override { return stop.load(); }
    std::atomic<bool> stop{false};
    uint64_t ticket = 0;
    uint32_t itemIndex = 0;
    std::wstring path;
    std::wstring source;
    std::wstring ahead;
    bool large = false;     // on a lane (its ticket is the lanes')
    bool posted = false;    // its task is on the pool or a lane
    uint64_t reserved = 0;  // its source bytes in aheadBytes_
    bool done = false;      // the transform succeeded
    DWORD code = 0;         // why it failed
    bool inMemory = false;  // held is the stored form
    std::string held;
    SourceRead read;
};

std::string WebBackupStorage::jobName() const {
    return definition_ ? to_utf8(definition_->name(), -1) : std::string();
}

std::wstring WebBackupStorage::workPath(uint64_t itemIndex) const {
    std::wstring path;
    return path_join_number(workFolder_.c_str(), itemIndex, path);
}

bool WebBackupStorage::interrupted() { return handler_ && handler_->stopRequested(0); }

bool WebBackupStorage::cancelled() {
    DWORD code = GetLastError();
    bool stop = code == ERROR_CANCELLED || interrupted();
    SetLastError(code);
    return stop;
}

bool WebBackupStorage::init(JobActivity* record, Transformation* transformation) {
    ACE_TRACE("WebBackupStorage::init");
    last_error_restorer keep;
    const std::string name = jobName();
    const char* id = definition_ ? definition_->id() : "";
    if (transformation != transformation_.get()) transformation_.reset(transformation);
    if (!record) {
        log_message(LM_ERROR, "Failed to start job {%s, %s}, invalid job activity.\n", name.c_str(),
                    id);
        keep.dismiss();
        SetLastError(kNoRecord);
        return false;
    }
    record_ = record;

    UUID instance;
    std::memcpy(&instance, record->instanceId, sizeof instance);
    rpc_string_holder text;
    RPC_STATUS converted = UuidToStringA(&instance, text.out());
    if (converted == RPC_S_OK) {
        historyFolder_.clear();
        if (job_history_path(historyFolder_, id, text.c_str()))
            errors_.load(to_utf8(historyFolder_ + L"\\err").c_str());
        else
            historyFolder_.clear();
        instanceId_ = text.c_str();
    } else {
        instanceId_.clear();
        SetLastError(static_cast<DWORD>(converted));
        log_message(LM_ERROR,
                    "Failed to start job {%s, %s}, can't convert the instance id to string, "
                    "error-code = %d, %m.\n",
                    name.c_str(), id, static_cast<int>(converted));
        keep.dismiss();
        return false;
    }

    std::string cookie;
    if (!definition_ || !cookie_store().findCookie(definition_->user(), cookie) || cookie.empty()) {
        log_message(LM_ERROR, "Failed to start job {%s, %s}, can't find the cookie.\n",
                    name.c_str(), id);
        instanceId_.clear();
        keep.dismiss();
        SetLastError(http_error_code(401));
        return false;
    }
    cookie_ = cookie;
    return true;
}

bool WebBackupStorage::start() {
    ACE_TRACE("WebBackupStorage::start");
    last_error_restorer keep;
    const std::string name = jobName();
    const char* id = definition_ ? definition_->id() : "";
    auto fail = [&](DWORD code) {
        instanceId_.clear();
        keep.dismiss();
        SetLastError(code);
        return false;
    };
    if (!record_) {
        log_message(LM_ERROR, "Failed to start job {%s, %s}, invalid job activity.\n", name.c_str(),
                    id);
        return fail(kNoRecord);
    }

    discardPrepared();
    removeStrays();
    const std::string startTime = local_time_text();
    Web_Server_Invoker web;
    web.stopCheck(this);
    Command_To_Server<Start_Job_Request, Response_T<json_spirit::Value>> command("Start Job");
    command.request().build(cookie_, id, instanceId_, record_->totalDirectories,
                            record_->totalFiles, record_->totalBytes, startTime.c_str());
    DWORD code = exchange(web, command, cookie_);
    ended_ = false;
    if (code == http_error_code(409) && endedBefore()) {
        log_message(LM_INFO, "Job {%s, %s} was ended before, End Job is answered again.\n",
                    name.c_str(), id);
        ended_ = true;
        return true;
    }
    if (code) {
        log_failure(code, "Failed to start job {%s, %s}, error-code = %d, %m.\n",
                    "Failed to start job {%s, %s}, status-code = %d, %s.\n", name.c_str(), id);
        return fail(code);
    }

    const json_spirit::Value& reply = command.response().body();
    if (reply.type() != json_spirit::obj_type) {
        log_message(LM_ERROR,
                    "Failed to start job {%s, %s}, invalid server response is not an json object "
                    "type.\n",
                    name.c_str(), id);
        return fail(kMalformedReply);
    }
    const json_spirit::Object& object = reply.get_obj();
    auto host = object.find("host");
    if (host == object.end() || host->second.type() != json_spirit::str_type) {
        log_message(LM_ERROR, "Failed to start job {%s, %s}, can't find storage server host.\n",
                    name.c_str(), id);
        return fail(kMalformedReply);
    }
    if (host->second.get_str().empty()) {
        log_message(LM_ERROR, "Failed to start job {%s, %s}, invalid storage host name value.\n",
                    name.c_str(), id);
        return fail(kMalformedReply);
    }
    auto port = object.find("port");
    if (port == object.end() || port->second.type() != json_spirit::int_type) {
        log_message(LM_ERROR, "Failed to start job {%s, %s}, can't find storage host port.\n",
                    name.c_str(), id);
        return fail(kMalformedReply);
    }
    // A port beyond the 16-bit range is as unusable as 0.
    int64_t number = port->second.is_uint64() ? -1 : port->second.get_int64();
    if (number <= 0 || number > 65535) {
        log_message(LM_ERROR,
                    "Failed to start job {%s, %s}, invalid storage host port value {%d}.\n",
                    name.c_str(), id, static_cast<int>(number));
        return fail(kMalformedReply);
    }
    if (!storage_.server(host->second.get_str().c_str(), static_cast<unsigned short>(number),
                         kSendBufferSize))
        return fail(kMalformedReply);
    storage_.stopCheck(this);
    storageHost_ = host->second.get_str();
    storagePort_ = static_cast<unsigned short>(number);
    return true;
}

bool WebBackupStorage::endedBefore() {
    last_error_restorer keep;
    if (historyFolder_.empty() || instanceId_.empty()) return false;
    JSONObjectStorage saved;
    if (!saved.load(to_utf8(historyFolder_ + L"\\end").c_str())) return false;
    auto host = saved.get().find("host");
    auto port = saved.get().find("port");
    if (host == saved.get().end() || host->second.type() != json_spirit::str_type ||
        port == saved.get().end() || port->second.type() != json_spirit::int_type ||
        port->second.is_uint64())
        return false;
    int64_t number = port->second.get_int64();
    if (number <= 0 || number > 65535 ||
        !storage_.server(host->second.get_str().c_str(), static_cast<unsigned short>(number),
                         kSendBufferSize))
        return false;
    const std::string endTime = local_time_text();
    Command_To_Server<End_Job_Request, Response_T<std::string>> command("End Job");
    command.request().build(cookie_, instanceId_, endTime.c_str());
    return exchange(storage_, command, cookie_) == 0;
}

bool WebBackupStorage::end() {
    ACE_TRACE("WebBackupStorage::end");
    last_error_restorer keep;
    const std::string name = jobName();
    const char* id = definition_ ? definition_->id() : "";
    discardPrepared();
    if (ended_) return true;
    if (!errors_.empty()) {
        Web_Server_Invoker web;
        Command_To_Server<Submit_Errors_Request, Response_T<std::string>> command("Submit Error");
        command.request().build(cookie_, instanceId_, json_spirit::Value(errors_.get()));
        DWORD code = exchange(web, command, cookie_);
        if (code) {
            log_failure(code,
                        "Failed to submit history errors of job {%s, %s}, error-code = %d, %m.\n",
                        "Failed to submit history errors of job {%s, %s}, status-code = %d, %s.\n",
                        name.c_str(), id);
            keep.dismiss();
            return false;
        }
    }

    if (!historyFolder_.empty() && !storageHost_.empty()) {
        json_spirit::Object server;
        server["host"] = storageHost_;
        server["port"] = static_cast<int>(storagePort_);
        std::wstring saved = historyFolder_ + L"\\end";
        if (!replace_file(saved, json_spirit::write(json_spirit::Value(server))))
            log_message(LM_ERROR, "Failed to write %s, error-code = %d, %m.\n",
                        to_utf8(saved).c_str(), static_cast<int>(GetLastError()));
    }
    const std::string endTime = local_time_text();
    Command_To_Server<End_Job_Request, Response_T<std::string>> command("End Job");
    command.request().build(cookie_, instanceId_, endTime.c_str());
    // The run has completed: its end is not cut short by a stop, only by
    // the exchange's deadline.
    storage_.stopCheck(nullptr);
    DWORD code = exchange(storage_, command, cookie_);
    if (code) {
        log_failure(code, "Failed to end job {%s, %s}, error-code = %d, %m.\n",
                    "Failed to end job {%s, %s}, status-code = %d, %s.\n", name.c_str(), id);
        keep.dismiss();
        return false;
    }
    return true;
}

bool WebBackupStorage::cancel() {
    ACE_TRACE("WebBackupStorage::cancel");
    last_error_restorer keep;
    discardPrepared();
    Web_Server_Invoker web;
    Command_To_Server<Stop_Job_Request, Response_T<std::string>> command("Stop Job");
    command.request().build(cookie_, instanceId_);
    DWORD code = exchange(web, command, cookie_);
    if (code) {
        const std::string name = jobName();
        log_failure(code, "Failed to cancel job {%s, %s}, error-code = %d, %m.\n",
                    "Failed to cancel job {%s, %s}, status-code = %d, %s.\n", name.c_str(),
                    definition_ ? definition_->id() : "");
        keep.dismiss();
        return false;
    }
    return true;
}

bool WebBackupStorage::resumable(uint32_t itemIndex, const std::wstring& work) const {
    if (record_->currentFileState != kTransferState || record_->currentItemIndex != itemIndex)
        return false;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(work.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    uint64_t done = record_->currentFileDone;
    return size == record_->currentFileSize && done <= size && done % kBlockSize == 0;
}

std::wstring WebBackupStorage::descriptionPath(const std::wstring& work) { return work + L".read"; }

void WebBackupStorage::noteDescription(const std::wstring& work,
                                       const WIN32_FILE_ATTRIBUTE_DATA& attributes,
                                       const WIN32_FILE_ATTRIBUTE_DATA& described) {
    last_error_restorer keep;
    const std::wstring note = descriptionPath(work);
    if (described.nFileSizeHigh == attributes.nFileSizeHigh &&
        described.nFileSizeLow == attributes.nFileSizeLow &&
        described.ftLastWriteTime.dwLowDateTime == attributes.ftLastWriteTime.dwLowDateTime &&
        described.ftLastWriteTime.dwHighDateTime == attributes.ftLastWriteTime.dwHighDateTime) {
        if (noteMayExist_) remove_own_file(note.c_str());
        noteMayExist_ = false;
        return;
    }
    noteMayExist_ = true;
    char text[96];
    std::snprintf(text, sizeof text, "%lu %lu %lu %lu",
                  static_cast<unsigned long>(described.nFileSizeHigh),
                  static_cast<unsigned long>(described.nFileSizeLow),
                  static_cast<unsigned long>(described.ftLastWriteTime.dwHighDateTime),
                  static_cast<unsigned long>(described.ftLastWriteTime.dwLowDateTime));
    if (!write_note(note, text))
        log_message(LM_WARNING, "Failed to note the read size of %s, %m.\n", to_utf8(work).c_str());
}

WIN32_FILE_ATTRIBUTE_DATA WebBackupStorage::noted(const std::wstring& work,
                                                  const WIN32_FILE_ATTRIBUTE_DATA& attributes) {
    WIN32_FILE_ATTRIBUTE_DATA described = attributes;
    unsigned long high = 0, low = 0, timeHigh = 0, timeLow = 0;
    std::string text = read_note(descriptionPath(work));
    if (std::sscanf(text.c_str(), "%lu %lu %lu %lu", &high, &low, &timeHigh, &timeLow) == 4) {
        described.nFileSizeHigh = static_cast<DWORD>(high);
        described.nFileSizeLow = static_cast<DWORD>(low);
        described.ftLastWriteTime.dwHighDateTime = static_cast<DWORD>(timeHigh);
        described.ftLastWriteTime.dwLowDateTime = static_cast<DWORD>(timeLow);
    }
    return described;
}

void WebBackupStorage::dropCurrentItem() {
    last_error_restorer keep;
    if (workMayExist_ || noteMayExist_) {
        std::wstring work = workPath(record_->currentItemIndex);
        if (workMayExist_) remove_own_file(work.c_str());
        if (noteMayExist_) remove_own_file(descriptionPath(work).c_str());
    }
    workMayExist_ = false;
    noteMayExist_ = false;
    record_->currentItemIndex = 0;
    record_->currentFileDone = 0;
    record_->currentFileState = 0;
}

bool WebBackupStorage::preparing() {
    if (aheadTried_) return !aheadTransformations_.empty();
    aheadTried_ = true;
    // Only the backup transformation is known to be made again per thread.
    auto* own = dynamic_cast<BackupTransformation*>(transformation_.get());
    if (!own) return false;
    if (!pool_) pool_ = std::make_unique<AheadPool>(AheadPool::suggestedThreads(kPieceThreads));
    auto made = [own](AheadPool* pieces) {
        auto transformation = std::make_unique<BackupTransformation>(own->compression());
        transformation->holdSmall(true);
        transformation->quietStop(true);
        // No task of the pool may wait for pieces of the pool.
        transformation->compressOn(pieces);
        return transformation;
    };
    for (unsigned i = 0; i < pool_->threads(); ++i) aheadTransformations_.push_back(made(nullptr));
    // A pool of one thread (a machine of one core) has no lanes.
    if (pool_->threads() > 1) {
        for (size_t i = 0; i < kLargeAhead; ++i) laneTransformations_.push_back(made(pool_.get()));
        lanes_ = std::make_unique<AheadPool>(static_cast<unsigned>(kLargeAhead));
    }
    return true;
}

void WebBackupStorage::prepare(const wchar_t* path, const WIN32_FILE_ATTRIBUTE_DATA* attributes,
                               uint32_t itemIndex, const wchar_t* readPath) {
    if (!record_ || instanceId_.empty() || ended_ || !path || !*path || !attributes ||
        (attributes->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    // The half-sent item goes on from its own work file.
    if (record_->currentFileState == kTransferState && record_->currentItemIndex == itemIndex)
        return;
    if (prepared_.size() >= kLookahead || !preparing()) return;
    uint64_t size =
        static_cast<uint64_t>(attributes->nFileSizeHigh) << 32 | attributes->nFileSizeLow;
    bool large = size > BackupTransformation::kInMemoryBytes;
    // Beyond the bounds the worker transforms the item itself in its turn.
    if (large ? !lanes_ || largeOut_ >= kLargeAhead : aheadBytes_ + size > kAheadBytes) return;
    auto item = std::make_unique<Prepared>();
    item->itemIndex = itemIndex;
    item->path = path;
    item->source = readPath ? readPath : path;
    item->ahead = aheadPath(workPath(itemIndex));
    item->large = large;
    item->reserved = large ? 0 : size;
    aheadBytes_ += item->reserved;
    Prepared* slot = item.get();
    prepared_.push_back(std::move(item));
    if (large) {
        ++largeOut_;
        slot->posted = true;
        slot->ticket = lanes_->post(
            [this, slot](unsigned thread) { runPrepared(*laneTransformations_[thread], *slot); });
        return;
    }
    batch_.push_back(slot);
    batchBytes_ += size;
    if (batch_.size() >= kBatchItems || batchBytes_ >= kBatchBytes) postBatch();
}

void WebBackupStorage::postBatch() {
    if (batch_.empty()) return;
    uint64_t ticket = pool_->post([this, items = batch_](unsigned thread) {
        for (Prepared* item : items) runPrepared(*aheadTransformations_[thread], *item);
    });
    for (Prepared* item : batch_) {
        item->ticket = ticket;
        item->posted = true;
    }
    batch_.clear();
    batchBytes_ = 0;
}

void WebBackupStorage::runPrepared(BackupTransformation& transformation, Prepared& item) {
    if (item.stop) {
        item.code = ERROR_CANCELLED;
        return;
    }
    item.done = transformation.transform(item.source.c_str(), item.ahead.c_str(), nullptr, &item);
    if (!item.done) {
        item.code = GetLastError();  // the transform removed what it wrote
        return;
    }
    item.read = transformation.sourceRead();
    if (const std::string* held = transformation.held()) {
        item.held = *held;
        item.inMemory = true;
    }
}

std::unique_ptr<WebBackupStorage::Prepared> WebBackupStorage::popPrepared() {
    std::unique_ptr<Prepared> item = std::move(prepared_.front());
    prepared_.pop_front();
    aheadBytes_ -= item->reserved;
    if (item->large) --largeOut_;
    return item;
}

std::unique_ptr<WebBackupStorage::Prepared> WebBackupStorage::takePrepared(uint32_t itemIndex,
                                                                           const wchar_t* path) {
    // Items that were not prepared (folders, files beyond the bounds) come
    // between the prepared ones: those stay for their turn.
    auto found = std::find_if(prepared_.begin(), prepared_.end(), [&](const auto& item) {
        return item->itemIndex == itemIndex && item->path == path;
    });
    if (found == prepared_.end()) return nullptr;
    const Prepared* wanted = found->get();
    for (;;) {
        std::unique_ptr<Prepared> item = popPrepared();
        // Its batch goes now: the wait below then covers the batch's task,
        // which holds the item until it ends.
        if (!item->posted) postBatch();
        AheadPool& runner = item->large ? *lanes_ : *pool_;
        bool ran = false;
        if (item.get() != wanted) {
            // Announced but never stored in its turn (it failed before its
            // work was taken, or the job dropped it).
            item->stop = true;
            if (runner.wait(item->ticket) && item->done && !item->inMemory)
                remove_own_file(item->ahead.c_str());
            continue;
        }
        while (!runner.waitFor(item->ticket, 20, ran))
            if (!item->stop && interrupted()) item->stop = true;
        if (!ran) {
            item->done = false;
            item->code = ERROR_CANCELLED;
        }
        return item;
    }
}

bool WebBackupStorage::placeAhead(const Prepared& item, const std::wstring& work) {
    if (item.inMemory) return true;
    // The record holds the item as being transformed: no work file of it is
    // trusted until the record has its size and state, after the rename.
    if (workMayExist_) remove_own_file(work.c_str());
    workMayExist_ = true;
    if (MoveFileExW(item.ahead.c_str(), work.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    DWORD code = GetLastError();
    log_message(LM_ERROR, "Failed to rename %s to %s, error-code = %d, %m.\n",
                to_utf8(item.ahead).c_str(), to_utf8(work).c_str(), static_cast<int>(code));
    remove_own_file(item.ahead.c_str());
    SetLastError(code);
    return false;
}

void WebBackupStorage::discardPrepared() {
    last_error_restorer keep;
    if (prepared_.empty()) return;
    for (auto& item : prepared_) item->stop = true;
    batch_.clear();  // never posted
    batchBytes_ = 0;
    // The lanes first: their transforms wait for pieces on the pool.
    if (lanes_) lanes_->cancel();
    pool_->cancel();
    for (auto& item : prepared_)
        if (item->done && !item->inMemory) remove_own_file(item->ahead.c_str());
    prepared_.clear();
    aheadBytes_ = 0;
    largeOut_ = 0;
}

void WebBackupStorage::removeStrays() {
    last_error_restorer keep;
    if (workFolder_.empty()) return;
    static const std::wstring kAhead = aheadPath(L"");
    std::vector<std::wstring> strays;
    find_file_handle search;
    for (bool found = search.first((workFolder_ + L"\\*").c_str()); found; found = search.next()) {
        std::wstring name = search.data().cFileName;
        if (name.size() > kAhead.size() &&
            name.compare(name.size() - kAhead.size(), kAhead.size(), kAhead) == 0)
            strays.push_back(workFolder_ + L"\\" + name);
    }
    for (const std::wstring& stray : strays) remove_own_file(stray.c_str());
}

bool WebBackupStorage::backupFile(const wchar_t* path, const WIN32_FILE_ATTRIBUTE_DATA* attributes,
                                  uint32_t itemIndex, const wchar_t* readPath) {
    ACE_TRACE("WebBackupStorage::backupFile");
    last_error_restorer keep;
    auto fail = [&keep](DWORD code) {
        keep.dismiss();
        SetLastError(code);
        return false;
    };
    if (!record_ || !path || !*path || !attributes) return fail(ERROR_INVALID_PARAMETER);
    const std::string name = to_utf8(path, -1);
    log_message(LM_DEBUG, "Backing up file {%s}.\n", name.c_str());
    log_message(LM_DEBUG, "File {%} is increment, start to encrypt/compress.\n", name.c_str());

    const bool folder = attributes->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    const std::wstring work = workPath(itemIndex);
    // What the service is told of the item: for a file, the size and time of
    // what was read, which its blocks are the stored form of.
    WIN32_FILE_ATTRIBUTE_DATA described = *attributes;
    if (folder || !resumable(itemIndex, work)) {
        // Whatever the record held for another item has ended (ordinals
        // count from 1: 0 is no item, or one dropped already).
        if (record_->currentItemIndex != 0 && record_->currentItemIndex != itemIndex)
            dropCurrentItem();
        record_->currentItemIndex = itemIndex;
        record_->currentFileDone = 0;
        record_->currentFileSize = 0;
        record_->currentFileState = kEncodeState;
    }
    // The stored form of a file read whole, in memory (none: the work file).
    const std::string* held = nullptr;
    // The item's work done ahead, when it was prepared.
    std::unique_ptr<Prepared> ready;
    if (!folder && record_->currentFileState == kEncodeState) {
        const wchar_t* source = readPath ? readPath : path;
        bool transformed = false;
        auto* own = dynamic_cast<BackupTransformation*>(transformation_.get());
        ready = takePrepared(itemIndex, path);
        if (ready) {
            SetLastError(ready->code);
            transformed = ready->done && placeAhead(*ready, work);
        } else {
            if (own) own->holdSmall(true);
            if (own && own->compression() &&
                (static_cast<uint64_t>(attributes->nFileSizeHigh) << 32 |
                 attributes->nFileSizeLow) > BackupTransformation::kInMemoryBytes) {
                // A large file's deflate is shared among threads of the
                // storage's own while the exchanges stay on this one, in order.
                if (!pool_)
                    pool_ = std::make_unique<AheadPool>(AheadPool::suggestedThreads(kPieceThreads));
                own->compressOn(pool_.get());
            }
            if (transformation_)
                transformed = transformation_->transform(source, work.c_str(), attributes, this);
            else
                SetLastError(ERROR_INVALID_PARAMETER);
        }
        if (!transformed) {
            DWORD code = GetLastError();
            if (cancelled())
                log_message(
                    LM_INFO,
                    "File {%s} backing up is cancelled when ecrypt/compress, offset {%Q}.\n",
                    name.c_str(), record_->currentFileDone.load());
            else
                log_message(LM_ERROR, "Encrypt/compress file {%s} failed, error-code = %d, %m.\n",
                            name.c_str(), static_cast<int>(code));
            dropCurrentItem();
            return fail(code);
        }
        if (ready)
            held = ready->inMemory ? &ready->held : nullptr;
        else
            held = own ? own->held() : nullptr;
        if (!held) workMayExist_ = true;
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (held) {
            data.nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(held->size()) >> 32);
            data.nFileSizeLow = static_cast<DWORD>(held->size());
        } else if (!GetFileAttributesExW(work.c_str(), GetFileExInfoStandard, &data)) {
            DWORD code = GetLastError();
            const std::string target = to_utf8(work);
            log_message(LM_ERROR,
                        "Get file attributes of ecrypted file {%s, target {%s}} failed, error-code "
                        "= %d, %m.\n",
                        name.c_str(), target.c_str(), static_cast<int>(code));
            if (interrupted()) {
                SetLastError(code);
                log_message(LM_INFO,
                            "File {%s} backing up is cancelled when encrypt/compress at offset "
                            "{%Q}, error-code = %d, %m.\n",
                            name.c_str(), record_->currentFileDone.load(), static_cast<int>(code));
            }
            dropCurrentItem();
            return fail(code);
        }
        record_->currentFileSize =
            (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        record_->currentItemIndex = itemIndex;
        const SourceRead& read = ready ? ready->read : transformation_->sourceRead();
        described = described_attributes(*attributes, read);
        noteDescription(work, *attributes, described);
        if (read.known && read.changed) addError(path, kChangedWhileRead, kChangedWhileReadReason);
    } else if (!folder) {
        described = noted(work, *attributes);
    }

    log_message(LM_DEBUG, "File {%} is ecrypted/compressed, start to upload file information.\n",
                name.c_str());
    // From here on the item is half-sent: the marker comes last.
    record_->currentFileState = kTransferState;
    const uint64_t size = folder ? 0 : record_->currentFileSize.load();
    // The service expects one block more than the whole blocks, also for an
    // exact multiple and an empty file; no block beyond the data is sent.
    const uint64_t totalBlocks = folder ? 0 : size / kBlockSize + 1;
    if (!upload_file_info(name, described, size, totalBlocks)) {
        DWORD code = GetLastError();
        if (interrupted()) {
            SetLastError(code);
            log_message(LM_INFO,
                        "File {%s} backing up is cancelled when upload file information at offset "
                        "{%Q}, error-code = %d, %m.\n",
                        name.c_str(), record_->currentFileDone.load(), static_cast<int>(code));
        }
        if (folder) dropCurrentItem();
        return fail(code);
    }

    if (folder) {
        if (interrupted()) {
            SetLastError(keep.saved());
            log_message(LM_INFO,
                        "File {%s} backing up is cancelled when upload directory data, offset "
                        "{%Q}, error-code = %d, %m.\n",
                        name.c_str(), record_->currentFileDone.load(),
                        static_cast<int>(keep.saved()));
        }
        ++record_->filesDone;
        dropCurrentItem();
        return true;
    }

    log_message(LM_DEBUG, "File {%} information uploaded, start to upload file data.\n",
                name.c_str());
    bool spoiled = false;
    if (!sendBlocks(name, work, held, spoiled)) {
        DWORD code = GetLastError();
        if (spoiled) dropCurrentItem();
        return fail(code);
    }
    if (record_->currentFileDone < record_->currentFileSize) return true;  // stopped between blocks

    ++record_->filesDone;
    record_->bytesDone +=
        (static_cast<uint64_t>(described.nFileSizeHigh) << 32) | described.nFileSizeLow;
    dropCurrentItem();
    log_message(LM_DEBUG, "Remove temporary file and return. File {%}.\n", name.c_str());
    return true;
}

bool WebBackupStorage::keepForResumption(const std::wstring& work, const std::string& held) {
    last_error_restorer keep;
    workMayExist_ = true;
    scoped_handle file(CreateFileW(work.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file.valid() &&
        WriteFile(file.get(), held.data(), static_cast<DWORD>(held.size()), &written, nullptr) &&
        written == held.size())
        return true;
    // Without its work file the item cannot go on at a block if it is cut
    // short: it is then sent again from its first block.
    log_message(LM_WARNING, "Failed to write %s, error-code = %d, %m.\n", to_utf8(work).c_str(),
                static_cast<int>(GetLastError()));
    file.close();
    remove_own_file(work.c_str());
    return false;
}

bool WebBackupStorage::sendBlocks(const std::string& name, const std::wstring& work,
                                  const std::string* held, bool& spoiled) {
    spoiled = true;
    scoped_handle file;
    if (!held) {
        file.reset(CreateFileW(work.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) {
            DWORD code = GetLastError();
            const std::string target = to_utf8(work);
            log_message(LM_ERROR,
                        "Open file {%s, target {%s}} to read failed, error-code = %d, %m.\n",
                        target.c_str(), name.c_str(), static_cast<int>(code));
            if (interrupted()) {
                SetLastError(code);
                log_message(LM_INFO,
                            "File {%s, target {%s}} backing up is cancelled when open target file "
                            "to read, offset {%Q}, error-code = %d, %m.\n",
                            name.c_str(), target.c_str(), record_->currentFileDone.load(),
                            static_cast<int>(code));
            }
            SetLastError(code);
            return false;
        }
    }
    if (file.valid() && record_->currentFileDone != 0) {
        LARGE_INTEGER offset;
        offset.QuadPart = static_cast<LONGLONG>(record_->currentFileDone);
        if (!SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN)) {
            DWORD code = GetLastError();
            const std::string target = to_utf8(work);
            log_message(LM_ERROR,
                        "Seek file {%s, target {%s}} to {%Q} failed, error-code = %d, %m.\n",
                        target.c_str(), name.c_str(), record_->currentFileDone.load(),
                        static_cast<int>(code));
            file.close();
            if (interrupted()) {
                SetLastError(code);
                log_message(LM_INFO,
                            "File {%s, target {%s}} backing up is cancelled when seek target file, "
                            "offset {%Q}, error-code = %d, %m.\n",
                            name.c_str(), target.c_str(), record_->currentFileDone.load(),
                            static_cast<int>(code));
            }
            SetLastError(code);
            return false;
        }
    }

    if (file.valid() && !buffer_) buffer_.reset(new uint8_t[kBlockSize]);
    while (record_->currentFileDone < record_->currentFileSize) {
        const uint64_t offset = record_->currentFileDone;
        const DWORD wanted =
            static_cast<DWORD>(std::min<uint64_t>(kBlockSize, record_->currentFileSize - offset));
        const uint8_t* block = nullptr;
        DWORD got = 0;
        if (held) {
            block = reinterpret_cast<const uint8_t*>(held->data()) + offset;
            got = wanted;
        } else if (!read_full(file.get(), buffer_.get(), wanted, got)) {
            DWORD code = GetLastError();
            log_message(LM_ERROR,
                        "Read file {%s, target {%s}} at {%Q} failed, error-code = %d, %m.\n",
                        to_utf8(work).c_str(), name.c_str(), offset, static_cast<int>(code));
            SetLastError(code);
            return false;
        } else if (got < wanted) {
            // The work file lost bytes since it was described.
            log_message(LM_ERROR, "File {%s, target {%s}} ends at {%Q} before its size {%Q}.\n",
                        name.c_str(), to_utf8(work).c_str(), offset + got,
                        record_->currentFileSize.load());
            SetLastError(ERROR_HANDLE_EOF);
            return false;
        } else {
            block = buffer_.get();
        }
        if (interrupted()) {
            log_message(LM_INFO,
                        "File {%s, target {%s}} backing up is cancelled when read file, offset "
                        "{%Q}, error-code = %d, %m.\n",
                        name.c_str(), to_utf8(work).c_str(), offset,
                        static_cast<int>(GetLastError()));
            spoiled = false;
            return true;
        }
        log_message(LM_DEBUG, "Uploading data {%Q} to {%Q} of file {%}.\n", offset, offset + got,
                    name.c_str());
        if (!upload_file_data(name, block, got)) {
            DWORD code = GetLastError();
            file.close();
            if (interrupted()) {
                SetLastError(code);
                log_message(LM_INFO,
                            "File {%s, target {%s}} backing up is cancelled when upload file data, "
                            "offset {%Q}, error-code = %d, %m.\n",
                            name.c_str(), to_utf8(work).c_str(), offset, static_cast<int>(code));
            }
            spoiled = false;
            SetLastError(code);
            return false;
        }
        // An item held in memory gets its work file once a block of it is
        // accepted and more are to come, before the record says so: from
        // then on a cut leaves it half-sent (see Resumption).
        if (held && offset == 0 && got < record_->currentFileSize) keepForResumption(work, *held);
        record_->currentFileDone += got;
        record_->bytesTransferred += got;
    }
    spoiled = false;
    return true;
}

bool WebBackupStorage::upload_file_info(const std::string& path,
                                        const WIN32_FILE_ATTRIBUTE_DATA& attributes, uint64_t size,
                                        uint64_t totalBlocks) {
    ACE_TRACE("WebBackupStorage::upload_file_info");
    Command_To_Server<Upload_File_Request, Response_T<std::string>> command("Upload File");
    command.request().build(cookie_, instanceId_, path, attributes, size, totalBlocks);
    DWORD code = exchange(storage_, command, cookie_);
    if (code) {
        log_failure(code, "Failed to upload file information {%s}, error-code = %d, %m.\n",
                    "Failed to upload file information {%s}, status-code = %d, %s.\n",
                    path.c_str());
        return false;
    }
    return true;
}

bool WebBackupStorage::upload_file_data(const std::string& path, const void* data,
                                        uint64_t length) {
    ACE_TRACE("WebBackupStorage::upload_file_data");
    MD5 digest;
    digest.update(static_cast<const unsigned char*>(data), static_cast<unsigned>(length));
    const std::string md5 = digest.hexdigest();
    const uint64_t block = record_->currentFileDone / kBlockSize + 1;
    Command_To_Server<Upload_Data_Request, Response_T<std::string>> command("Upload Data");
    command.request().build(cookie_, instanceId_, path, block, md5, data, length);
    DWORD code = exchange(storage_, command, cookie_);
    if (!code && html_page(command.response())) {
        // The service's own reply is never a page: something in between (a
        // portal of the network) answered, and the block was not stored.
        log_message(LM_ERROR,
                    "Failed to upload file data {%s}: the reply is an HTML page, not the "
                    "service's.\n",
                    path.c_str());
        SetLastError(kExchangeAborted);
        return false;
    }
    if (code) {
        log_failure(code, "Failed to upload file data {%s}, error-code = %d, %m.\n",
                    "Failed to upload file data {%s}, status-code = %d, %s.\n", path.c_str());
        return false;
    }
    return true;
}
