#include "job/stores/store_file.h"

#include <exception>

#include "common/ace_log_wrapper.h"
#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "common/file_stream.h"
#include "common/text_conv.h"
#include "common/win32_error.h"
#include "job/stores/key_manager.h"
#include "job/stores/text_file_word.h"

namespace {

constexpr DWORD kLockWait = 30000;

// The reader's reason without the text it last read, which may be a secret.
std::string reason_without_text(const std::string& reason) {
    return reason.substr(0, reason.find("; last read"));
}

std::wstring mutex_name(const StoreFileTexts& texts) {
    return std::wstring(L"Global\\tovel.store.") + texts.file;
}

}  // namespace

StoreChangeLock::StoreChangeLock(const StoreFileTexts& texts)
    : mutex_(CreateMutexW(nullptr, FALSE, mutex_name(texts).c_str())) {
    DWORD error = GetLastError();
    if (mutex_.valid()) {
        // An abandoned lock is as good: files are replaced whole, never half-written.
        DWORD result = WaitForSingleObject(mutex_.get(), kLockWait);
        held_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED_0;
        error = result == WAIT_TIMEOUT ? static_cast<DWORD>(WAIT_TIMEOUT) : GetLastError();
    }
    if (!held_) {
        log_message(LM_ERROR, "Failed to lock the storage file \"%s\", %s.\n",
                    to_utf8(texts.file, -1).c_str(), win32_error_text(error).text());
        SetLastError(error);
    }
}

StoreChangeLock::~StoreChangeLock() {
    if (held_) ReleaseMutex(mutex_.get());
}

bool StoreFile::path(std::wstring& out) const {
    if (!common_appdata_path(out, tovel::kDataSubFolder)) return false;
    path_join(out.c_str(), texts_.file, out);
    return true;
}

bool StoreFile::read_text(const std::wstring& file, std::string& text) const {
    try {
        win32_file_tistream<char> in(file.c_str(), nullptr);
        return in && read_first_word(in, KeyManagerImpl::kMaxTextFileWord, text);
    } catch (const std::exception&) {
        return false;
    }
}

bool StoreFile::load(json_spirit::Object& store) {
    std::wstring file;
    std::string plain, before;
    // Read first: whatever content follows is this text's or a later one's.
    bool named = path(file);
    if (named && !read_text(file, before)) before.clear();
    if (!named || !store_key_manager().decryptStringFromTextFile(file.c_str(), plain)) {
        log_message(texts_.decode_priority, texts_.decode_failed);
        return false;
    }
    json_spirit::Value value;
    try {
        json_spirit::read_or_throw(plain, value);
    } catch (const json_spirit::Error_position& error) {
        log_message(LM_ERROR, texts_.parse_failed, static_cast<int>(error.line_),
                    static_cast<int>(error.column_), reason_without_text(error.reason_).c_str());
        return false;
    }
    if (value.type() != json_spirit::obj_type) {
        log_message(LM_ERROR, texts_.not_object);
        return false;
    }
    store = std::move(value.get_obj());
    seen_ = before;
    return true;
}

void StoreFile::refresh(json_spirit::Object& store) {
    std::wstring file;
    std::string now;
    if (!path(file) || !read_text(file, now) || now == seen_) return;
    if (!load(store)) seen_ = now;  // logged once; the next write replaces it
}

bool StoreFile::save(const json_spirit::Object& store) {
    std::wstring file;
    bool written = false;
    try {
        written = path(file) && store_key_manager().encryptStringToTextFile(
                                    file.c_str(), json_spirit::write_formatted(store));
    } catch (const std::exception&) {
        written = false;
    }
    if (!written) {
        DWORD error = GetLastError();
        log_message(texts_.encode_priority, texts_.encode_failed);
        SetLastError(error);
        return false;
    }
    if (!read_text(file, seen_)) seen_.clear();
    return true;
}
