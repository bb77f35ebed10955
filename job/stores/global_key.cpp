// The machine's global key in the registry.
#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cstring>

#include "common/ace_log_wrapper.h"
#include "common/holders.h"
#include "common/win32_error.h"
#include "job/stores/crypt_buffers.h"
#include "job/stores/key_manager.h"
#include "job/stores/registry_key.h"
#include "platform/win32.h"

namespace {

constexpr int kHalf = 16;
constexpr int kKeyBytes = 2 * kHalf;
// Room for the value: at most 63 characters and the NUL.
constexpr DWORD kValueRoom = 64;
// Taken by the makers of a first key, machine-wide.
constexpr wchar_t kMakerMutex[] = L"Global\\tovel.global-key";
constexpr DWORD kMakerWait = 30000;

enum class stored_key { loaded, absent, failed };

// Clears the bytes it holds when it goes.
struct key_bytes {
    unsigned char data[kKeyBytes + kHalf] = {};
    ~key_bytes() { OPENSSL_cleanse(data, sizeof data); }
};

stored_key read_stored_key(unsigned char* key, unsigned char* iv) {
    RegistryKey registry;
    LSTATUS status = registry.open(HKEY_LOCAL_MACHINE, kGlobalKeyRegistryKey, KEY_READ);
    if (status == ERROR_FILE_NOT_FOUND) return stored_key::absent;
    if (status != ERROR_SUCCESS) {
        log_message(LM_ERROR, "Failed to open Tovel registery key, %s.\n",
                    win32_error_text(static_cast<DWORD>(status)).text());
        return stored_key::failed;
    }
    char text[kValueRoom] = {};
    DWORD size = kValueRoom;
    status = registry.read_string(kGlobalKeyValue, text, &size);
    if (status == ERROR_FILE_NOT_FOUND) return stored_key::absent;
    if (status != ERROR_SUCCESS) {
        log_message(LM_ERROR, "Failed to get the value of Tovel registery key, %s.\n",
                    win32_error_text(static_cast<DWORD>(status)).text());
        return stored_key::failed;
    }
    // A longer decoding than 32 bytes shows too: the buffer has room beyond.
    key_bytes decoded;
    int room = static_cast<int>(sizeof decoded.data);
    int length = base64_decode(text, static_cast<int>(size - 1), decoded.data, &room);
    OPENSSL_cleanse(text, sizeof text);
    if (length != kKeyBytes) {
        log_message(LM_ERROR, "Failed to decode the global key with Base64: %s.\n",
                    "the value does not hold 32 bytes");
        return stored_key::failed;
    }
    std::memcpy(key, decoded.data, kHalf);
    std::memcpy(iv, decoded.data + kHalf, kHalf);
    return stored_key::loaded;
}

// Holds the makers' machine-wide lock for its scope.
class maker_lock {
public:
    maker_lock() : mutex_(CreateMutexW(nullptr, FALSE, kMakerMutex)) {
        if (!mutex_.valid()) return;
        // An abandoned lock is as good: the value is written atomically, and
        // whoever holds the lock reads it again first.
        DWORD result = WaitForSingleObject(mutex_.get(), kMakerWait);
        held_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED_0;
        if (!held_ && result == WAIT_TIMEOUT) SetLastError(WAIT_TIMEOUT);
    }
    ~maker_lock() {
        if (held_) ReleaseMutex(mutex_.get());
    }
    maker_lock(const maker_lock&) = delete;
    maker_lock& operator=(const maker_lock&) = delete;
    bool held() const { return held_; }

private:
    scoped_handle mutex_;
    bool held_ = false;
};

}  // namespace

bool KeyManagerImpl::generateKey(std::string& text, unsigned char* key, int keyLen,
                                 unsigned char* iv, int ivLen) {
    if (!key || !iv || keyLen < kHalf || ivLen < kHalf) {
        log_message(LM_ERROR, "Incorrect key or iv size.\n");
        return false;
    }
    key_bytes fresh;
    if (RAND_bytes(fresh.data, kKeyBytes) != 1) {
        log_message(LM_ERROR, "Failed to generate aes key.\n");
        return false;
    }
    char encoded[kValueRoom] = {};
    int room = crypt_output_size(kKeyBytes, nullptr, 2, true);
    if (base64_encode(fresh.data, kKeyBytes, encoded, &room) <= 0) {
        log_message(LM_ERROR, "Failed to encode the key with Base64.\n");
        return false;
    }
    std::memcpy(key, fresh.data, kHalf);
    std::memcpy(iv, fresh.data + kHalf, kHalf);
    text.assign(encoded, static_cast<size_t>(room));
    OPENSSL_cleanse(encoded, sizeof encoded);
    return true;
}

bool KeyManagerImpl::loadGlobalKey(unsigned char* key, int keyLen, unsigned char* iv, int ivLen) {
    if (!key || !iv || keyLen < kHalf || ivLen < kHalf) return false;
    return read_stored_key(key, iv) == stored_key::loaded;
}

bool KeyManagerImpl::globalKey(unsigned char* key, int keyLen, unsigned char* iv, int ivLen) {
    if (!key || !iv) return false;
    if (keyLen != kHalf || ivLen != kHalf) {
        log_message(LM_ERROR, "Incorrect key or iv size.\n");
        return false;
    }
    stored_key found = read_stored_key(key, iv);
    if (found != stored_key::absent) return found == stored_key::loaded;

    maker_lock lock;
    if (!lock.held()) {
        log_message(LM_ERROR, "Failed to lock the global key for its making, %s.\n",
                    win32_error_text(GetLastError()).text());
        return false;
    }
    found = read_stored_key(key, iv);  // another maker may have come first
    if (found != stored_key::absent) return found == stored_key::loaded;

    std::string text;
    key_bytes fresh;
    if (!generateKey(text, fresh.data, kHalf, fresh.data + kHalf, kHalf)) return false;
    RegistryKey registry;
    LSTATUS status =
        registry.create(HKEY_LOCAL_MACHINE, kGlobalKeyRegistryKey, KEY_READ | KEY_WRITE);
    if (status != ERROR_SUCCESS) {
        log_message(LM_ERROR, "Failed to create Tovel registry key, %s.\n",
                    win32_error_text(static_cast<DWORD>(status)).text());
        return false;
    }
    status = registry.write_string(kGlobalKeyValue, text.c_str());
    OPENSSL_cleanse(text.data(), text.size());
    if (status != ERROR_SUCCESS) {
        log_message(LM_ERROR, "Failed to set the value of Tovel registry key, %s.\n",
                    win32_error_text(static_cast<DWORD>(status)).text());
        return false;
    }
    registry.close();
    // What is stored is what every caller uses.
    return read_stored_key(key, iv) == stored_key::loaded;
}
