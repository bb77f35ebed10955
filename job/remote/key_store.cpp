// The key store: each user's key, its checksum on the server, and the key
// files that users export and import.
#include <ace/Log_Msg.h>
#include <ace/Trace.h>
#include <openssl/crypto.h>

#include <cctype>
#include <cstring>
#include <exception>
#include <string>

// The request classes bring ACE, whose headers must come before the platform layer's.
#include "job/remote/remote_requests.h"
//
#include "common/ace_log_wrapper.h"
#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "common/holders.h"
#include "common/md5.h"
#include "common/text_conv.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/crypt_buffers.h"
#include "job/stores/key_manager.h"
#include "job/stores/store_file.h"
#include "wirekit/error_codes.h"

namespace {

constexpr int kHalf = 16;
constexpr int kKeyBytes = 2 * kHalf;

const char kExportRequired[] = "export_required";
const char kImportRequired[] = "import_required";
const char kExported[] = "exported";
const char kErrorRegistered[] = "error_registered";

// Who may use a key file: its owner alone, to read and write it.
const wchar_t kKeyFileAccess[] = L"D:P(A;;FRFW;;;OW)";

bool given(const char* text) { return text && *text; }

// Clears a secret text before its memory goes.
class secret_text {
public:
    secret_text() = default;
    ~secret_text() { wipe(); }
    secret_text(const secret_text&) = delete;
    secret_text& operator=(const secret_text&) = delete;
    std::string& get() { return text_; }
    void wipe() {
        if (!text_.empty()) OPENSSL_cleanse(text_.data(), text_.size());
        text_.clear();
    }

private:
    std::string text_;
};

bool keys_path(std::wstring& path) {
    if (!common_appdata_path(path, tovel::kDataSubFolder)) return false;
    path_join(path.c_str(), L"keys", path);
    return true;
}

// The user's session cookie; "" when the user has none.
std::string session_cookie(const char* user) {
    std::string cookie;
    auto* cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance();
    if (!cookies || !cookies->findCookie(user, cookie)) cookie.clear();
    return cookie;
}

// "Get Key MD5": the server's checksum of the user's key ("" for none).
// False, logged, with the last error set, when it cannot be had.
bool server_checksum(const char* user, std::string& checksum) {
    Web_Server_Invoker web;
    Command_To_Server<Get_MD5_of_Keys_Reqeust, Response_T<json_spirit::Value>> command(
        "Get Key MD5");
    command.request().build(session_cookie(user));
    if (web.invokeWithRetry(command) < 0) {
        log_message(LM_ERROR, "Failed to get the md5 of the key from server, error = %d.\n",
                    static_cast<int>(GetLastError()));
        return false;
    }
    int status = command.response().status();
    if (status != 200) {
        log_message(LM_ERROR,
                    "Failed to get the md5 of the key from server, server reported error, "
                    "status-code = %d.\n",
                    status);
        SetLastError(http_error_code(status));
        return false;
    }
    const json_spirit::Value& reply = command.response().body();
    if (reply.type() != json_spirit::obj_type) {
        log_message(LM_ERROR,
                    "Failed to get the md5 of the key from server, the response data is not in "
                    "correct form.\n");
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const json_spirit::Object& object = reply.get_obj();
    auto md5 = object.find("md5");
    if (md5 == object.end() || md5->second.type() != json_spirit::str_type) {
        log_message(LM_ERROR,
                    "Failed to get the md5 of the key from server, the response data is not in "
                    "correct form. response-data = %s.\n",
                    json_spirit::write(reply).c_str());
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    checksum = md5->second.get_str();
    return true;
}

// "Export Key MD5": registers the checksum of the user's new key. False,
// logged, with the last error set, unless the server took it (200).
bool register_checksum(const char* user, const std::string& checksum) {
    Web_Server_Invoker web;
    Command_To_Server<Export_MD5_of_Keys_Reqeust, Response_T<std::string>> command(
        "Export Key MD5");
    command.request().build(session_cookie(user), checksum);
    if (web.invokeWithRetry(command) < 0) {
        log_message(LM_ERROR, "Failed to export the md5 of the key to server, error = %d.\n",
                    static_cast<int>(GetLastError()));
        return false;
    }
    int status = command.response().status();
    if (status != 200) {
        log_message(LM_ERROR,
                    "Failed to export the md5 to the key to server, server reported error, "
                    "status-code = %d.\n",
                    status);
        SetLastError(http_error_code(status));
        return false;
    }
    return true;
}

json_spirit::Object key_record(const std::string& key, const std::string& checksum,
                               const char* state) {
    json_spirit::Object record;
    record["checksum"] = checksum;
    record["key"] = key;
    record["state"] = state;
    return record;
}

// A file handle closed when the holder goes.
class file_handle {
public:
    explicit file_handle(HANDLE handle) : handle_(handle) {}
    ~file_handle() { close(); }
    file_handle(const file_handle&) = delete;
    file_handle& operator=(const file_handle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE get() const { return handle_; }
    bool close() {
        HANDLE handle = handle_;
        handle_ = INVALID_HANDLE_VALUE;
        return handle == INVALID_HANDLE_VALUE || handle == nullptr || CloseHandle(handle);
    }

private:
    HANDLE handle_;
};

// Whether the attributes are those of a plain file: no folder, no link, no
// special file.
bool plain_file(DWORD attributes) {
    return !(attributes &
             (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

enum class key_file_written { written, exists, failed };

// Writes text as a new file at path that only its owner may read and write.
// Nothing existing is ever written through: an existing plain file is
// removed first when overwrite allows it (its other names keep the old
// content), anything else at the path is refused; the file is then made
// with CREATE_NEW, which fails on whatever appeared there meanwhile.
key_file_written write_key_file(const wchar_t* path, const std::string& text, bool overwrite) {
    const std::string where = to_utf8(path, -1);
    DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if (!overwrite) return key_file_written::exists;
        if (!plain_file(attributes)) {
            log_message(LM_ERROR, "Refused to write the key to \"%s\", it is no regular file.\n",
                        where.c_str());
            SetLastError(ERROR_ACCESS_DENIED);
            return key_file_written::failed;
        }
        if (!DeleteFileW(path)) {
            log_message(LM_ERROR, "Failed to open file \"%s\" for writing.\n", where.c_str());
            return key_file_written::failed;
        }
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kKeyFileAccess, SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        log_message(LM_ERROR, "Failed to open file \"%s\" for writing.\n", where.c_str());
        return key_file_written::failed;
    }
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    file_handle file(CreateFileW(path, GENERIC_WRITE, 0, &security, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    DWORD error = GetLastError();
    LocalFree(descriptor);
    if (!file.valid()) {
        if (!overwrite && error == ERROR_FILE_EXISTS) return key_file_written::exists;
        log_message(LM_ERROR, "Failed to open file \"%s\" for writing.\n", where.c_str());
        return key_file_written::failed;
    }
    DWORD written = 0;
    bool good =
        WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
        written == text.size() && FlushFileBuffers(file.get());
    good = file.close() && good;
    if (!good) {
        DWORD failure = written == text.size() ? GetLastError() : ERROR_DISK_FULL;
        log_message(LM_ERROR, "Failed to write the key to \"%s\".\n", where.c_str());
        DeleteFileW(path);
        SetLastError(failure);
        return key_file_written::failed;
    }
    return key_file_written::written;
}

// The key text of a key file: its whitespace-separated words joined. False,
// logged, when the path is no plain file that can be read or the file is
// longer than kMaxKeyFile bytes.
bool read_key_file(const wchar_t* path, std::string& text) {
    const std::string where = to_utf8(path, -1);
    file_handle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) {
        log_message(LM_ERROR, "Failed to open file \"%s\" for reading.\n", where.c_str());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file.get(), &information) ||
        !plain_file(information.dwFileAttributes)) {
        log_message(LM_ERROR, "Refused to read a key from \"%s\", it is no regular file.\n",
                    where.c_str());
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    // One byte more than allowed tells a longer file.
    secret_text content;
    content.get().resize(KeyManagerImpl::kMaxKeyFile + 1);
    DWORD total = 0;
    while (total < content.get().size()) {
        DWORD got = 0;
        if (!ReadFile(file.get(), content.get().data() + total,
                      static_cast<DWORD>(content.get().size()) - total, &got, nullptr)) {
            log_message(LM_ERROR, "Failed to read a key from \"%s\".\n", where.c_str());
            return false;
        }
        if (got == 0) break;
        total += got;
    }
    if (total > KeyManagerImpl::kMaxKeyFile) {
        log_message(LM_ERROR, "Refused to read a key from \"%s\", it is longer than %d bytes.\n",
                    where.c_str(), static_cast<int>(KeyManagerImpl::kMaxKeyFile));
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    text.clear();
    for (DWORD i = 0; i < total; ++i) {
        char c = content.get()[i];
        if (!std::isspace(static_cast<unsigned char>(c))) text += c;
    }
    return true;
}

}  // namespace

KeyManagerImpl::KeyManagerImpl() { init(); }

bool KeyManagerImpl::init() {
    ACE_TRACE("KeyManagerImpl::init");
    store_guard<ATL::CComAutoCriticalSection> guard(lock);
    std::wstring path;
    secret_text plain;
    // No file yet is the store of a new machine: nothing to tell, and no
    // global key is made just to find that out.
    if (keys_path(path) && GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES &&
        GetLastError() == ERROR_FILE_NOT_FOUND)
        return false;
    if (path.empty() || !decryptStringFromTextFile(path.c_str(), plain.get())) {
        log_message(LM_ERROR, "Failed to decode the key storage file.\n");
        return false;
    }
    json_spirit::Value value;
    try {
        json_spirit::read_or_throw(plain.get(), value);
    } catch (const json_spirit::Error_position& error) {
        // The reason may quote what was read, which holds keys.
        std::string reason = error.reason_.substr(0, error.reason_.find("; last read"));
        log_message(LM_ERROR, "Failed to parse key storage, Line %d, column %d, %s.\n",
                    static_cast<int>(error.line_), static_cast<int>(error.column_), reason.c_str());
        return false;
    }
    if (value.type() != json_spirit::obj_type) {
        log_message(LM_ERROR, "Key storage is not JSON object.\n");
        return false;
    }
    keys = std::move(value.get_obj());
    return true;
}

bool KeyManagerImpl::save() {
    ACE_TRACE("KeyManagerImpl::save");
    std::wstring path;
    secret_text plain;
    bool written = false;
    try {
        plain.get() = json_spirit::write_formatted(keys);
        written = keys_path(path) && encryptStringToTextFile(path.c_str(), plain.get());
    } catch (const std::exception&) {
        written = false;
    }
    if (!written) {
        DWORD error = GetLastError();
        log_message(LM_ERROR, "Failed to encode the key storage file.\n");
        SetLastError(error ? error : ERROR_GEN_FAILURE);
    }
    return written;
}

bool KeyManagerImpl::findKeyI(const char* user, std::string& keyText, int& state) {
    std::string serverSum;
    return lookUpKey(user, keyText, state, serverSum);
}

bool KeyManagerImpl::lookUpKey(const char* user, std::string& keyText, int& state,
                               std::string& serverSum) {
    if (!given(user)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::string checksum;
    if (!server_checksum(user, checksum)) return false;
    serverSum = checksum;

    auto found = keys.find(user);
    json_spirit::Object* record =
        found != keys.end() && found->second.type() == json_spirit::obj_type
            ? &found->second.get_obj()
            : nullptr;
    auto text_of = [&](const char* name) -> const std::string* {
        if (!record) return nullptr;
        auto member = record->find(name);
        return member != record->end() && member->second.type() == json_spirit::str_type
                   ? &member->second.get_str()
                   : nullptr;
    };
    const std::string* key = text_of("key");
    const std::string* mine = text_of("checksum");
    if (key) keyText = *key;
    if (!key || !mine) {
        state = checksum.empty() ? 0 : 2;
        return true;
    }
    if (checksum.empty())
        (*record)["state"] = kErrorRegistered;
    else if (mine->empty() || *mine != checksum)
        (*record)["state"] = kImportRequired;
    if (const std::string* named = text_of("state")) {
        if (*named == kExportRequired)
            state = 1;
        else if (*named == kImportRequired)
            state = 2;
        else if (*named == kExported)
            state = 3;
        else
            state = 0;
    }
    return true;
}

int KeyManagerImpl::keyState(const char* user) {
    store_guard<ATL::CComAutoCriticalSection> guard(lock);
    if (!given(user)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD caller = GetLastError();
    secret_text keyText;
    std::string serverSum;
    int state = 0;
    // Only a server that answered that it knows no key lets a new one
    // replace what the user has.
    if (!lookUpKey(user, keyText.get(), state, serverSum)) return 0;
    if (state != 0 || !serverSum.empty()) {
        SetLastError(caller);
        return state;
    }

    secret_text text;
    unsigned char key[kHalf], iv[kHalf];
    bool made = generateKey(text.get(), key, kHalf, iv, kHalf);
    OPENSSL_cleanse(key, sizeof key);
    OPENSSL_cleanse(iv, sizeof iv);
    if (!made) return 0;
    const std::string checksum = MD5(text.get()).hexdigest();
    if (!register_checksum(user, checksum)) return 0;

    keys[user] = key_record(text.get(), checksum, kExportRequired);
    if (!save()) {
        DWORD error = GetLastError();
        log_message(LM_ERROR,
                    "The new key of the user \"%s\" is registered but kept in memory only until "
                    "the key storage file can be written.\n",
                    user);
        SetLastError(error);
        return 1;
    }
    SetLastError(caller);
    return 1;
}

bool KeyManagerImpl::exportKey(const char* user, const wchar_t* path, bool overwrite) {
    ACE_TRACE("KeyManagerImpl::exportKey");
    store_guard<ATL::CComAutoCriticalSection> guard(lock);
    if (!given(user) || !path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    secret_text keyText;
    int state = 0;
    if (!findKeyI(user, keyText.get(), state) || state == 0 || state == 2) {
        SetLastError(ERROR_NOT_FOUND);
        return false;
    }
    switch (write_key_file(path, keyText.get(), overwrite)) {
        case key_file_written::exists:
            SetLastError(ERROR_FILE_EXISTS);
            return false;
        case key_file_written::failed:
            if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_GEN_FAILURE);
            return false;
        case key_file_written::written:
            break;
    }
    keys[user].get_obj()["state"] = kExported;
    if (!save()) {
        if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_GEN_FAILURE);
        return false;
    }
    SetLastError(ERROR_SUCCESS);
    return true;
}

bool KeyManagerImpl::importKey(const char* user, const wchar_t* path) {
    ACE_TRACE("KeyManagerImpl::importKey");
    store_guard<ATL::CComAutoCriticalSection> guard(lock);
    if (!given(user) || !path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const DWORD callers = GetLastError();
    // A failure leaves its own code, never 0.
    auto failed = [](DWORD otherwise) {
        if (GetLastError() == ERROR_SUCCESS) SetLastError(otherwise);
        return false;
    };
    auto succeeded = [callers] {
        SetLastError(callers);
        return true;
    };
    secret_text keyText;
    int state = 0;
    if (!findKeyI(user, keyText.get(), state) || state == 0) {
        SetLastError(ERROR_NOT_FOUND);
        return false;
    }
    secret_text imported;
    SetLastError(ERROR_SUCCESS);
    if (!read_key_file(path, imported.get())) return failed(ERROR_GEN_FAILURE);
    const std::string checksum = MD5(imported.get()).hexdigest();

    auto found = keys.find(user);
    if (state == 3 && found != keys.end() && found->second.type() == json_spirit::obj_type) {
        const json_spirit::Object& record = found->second.get_obj();
        auto mine = record.find("checksum");
        if (mine != record.end() && mine->second.type() == json_spirit::str_type) {
            if (mine->second.get_str() == checksum) return succeeded();
            SetLastError(ERROR_INVALID_DATA);
            return false;
        }
    }

    // The imported key takes the record's place only once the server has
    // confirmed it; until then the record held before is kept aside.
    bool had = found != keys.end();
    json_spirit::Value before = had ? found->second : json_spirit::Value();
    keys[user] = key_record(imported.get(), checksum, kExported);
    secret_text again;
    int confirmed = 0;
    SetLastError(ERROR_SUCCESS);
    if (findKeyI(user, again.get(), confirmed) && confirmed == 3) {
        SetLastError(ERROR_SUCCESS);
        return save() ? succeeded() : failed(ERROR_GEN_FAILURE);
    }
    if (had)
        keys[user] = std::move(before);
    else
        keys.erase(user);
    return failed(ERROR_INVALID_DATA);
}

bool KeyManagerImpl::findKey(const char* user, unsigned char* key, int keyLen, unsigned char* iv,
                             int ivLen) {
    store_guard<ATL::CComAutoCriticalSection> guard(lock);
    if (!given(user) || !key || !iv) return false;
    if (keyLen != kHalf || ivLen != kHalf) {
        log_message(LM_ERROR, "Incorrect key or iv size.\n");
        return false;
    }
    secret_text keyText;
    int state = 0;
    if (!findKeyI(user, keyText.get(), state) || state == 0 || state == 2) return false;
    // Room beyond 32 bytes, so that a longer key shows.
    unsigned char decoded[kKeyBytes + kHalf] = {};
    int room = static_cast<int>(sizeof decoded);
    int length =
        base64_decode(keyText.get().data(), static_cast<int>(keyText.get().size()), decoded, &room);
    if (length != kKeyBytes) {
        OPENSSL_cleanse(decoded, sizeof decoded);
        log_message(LM_ERROR, "Failed to decode the key of the user \"%s\" with Base64.\n", user);
        return false;
    }
    std::memcpy(key, decoded, kHalf);
    std::memcpy(iv, decoded + kHalf, kHalf);
    OPENSSL_cleanse(decoded, sizeof decoded);
    return true;
}
