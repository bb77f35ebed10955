// The agent's keys: the machine's global key, the encrypted text files made
// with it, and the per-user key store.
#pragma once

#include <string>

#include "common/json.h"
#include "platform/atl_singleton.h"

// The registry value that holds the global key: HKEY_LOCAL_MACHINE, this key,
// value "random" (REG_SZ), the Base64 text of 32 random bytes: bytes 0 to 15
// the AES-128 key, bytes 16 to 31 the IV.
inline constexpr char kGlobalKeyRegistryKey[] = "SOFTWARE\\morvask\\Tovel";
inline constexpr char kGlobalKeyValue[] = "random";

class KeyManagerImpl {
public:
    KeyManagerImpl() = default;
    KeyManagerImpl(const KeyManagerImpl&) = delete;
    KeyManagerImpl& operator=(const KeyManagerImpl&) = delete;

    // The global key and its IV (16 bytes each; other sizes are refused and
    // logged), read from the registry on every call, never cached. When the
    // value is absent (no key, no value) a new one is made and stored under a
    // machine-wide lock, so that of several threads or processes that find it
    // absent at once one makes it and all return the one that is stored. Any
    // other failure (a value that does not decode to exactly 32 bytes, a
    // value of another type or length, a registry error) is logged and gives
    // false, and the stored value is left as it is: replacing it would lose
    // every file encrypted under it. Any thread.
    bool globalKey(unsigned char* key, int keyLen, unsigned char* iv, int ivLen);

    // Encrypted text file: one line of Base64 text (standard alphabet, no line
    // break, no terminator) of the AES-128-CBC encryption (PKCS#7 padding) of
    // the text's bytes under the global key, with the global key's IV. The IV
    // is fixed per machine: it is part of the format of every store file
    // written so far, so a file never carries an IV of its own.
    //
    // Writes text as such a file: to a temporary file beside it, flushed and
    // renamed over path, so that a failure (a full disk) leaves the old file
    // whole. False, logged, on any failure: a null or empty path (creating
    // nothing), no global key, a file that cannot be written. Callers
    // serialise the writers of one path. Any thread.
    bool encryptStringToTextFile(const wchar_t* path, const std::string& text);

    // Reads such a file into text (up to its first NUL). False, logged, when
    // there is no global key, the file cannot be opened or read, its first
    // word is longer than kMaxTextFileWord characters, or it is no
    // encryption of UTF-8 text under the global key (another machine's key,
    // a damaged file: the padding of the last block and the UTF-8 form of
    // the text are checked, as the format has no check of its own; damage
    // that passes both is left to the caller's parse); text is then
    // untouched. Any thread.
    bool decryptStringFromTextFile(const wchar_t* path, std::string& text);

    static constexpr size_t kMaxTextFileWord = 16 * 1024 * 1024;

    // The key store's public operations join here.

protected:
    // 32 random bytes: key <- bytes 0 to 15, iv <- bytes 16 to 31 (16 bytes
    // each), text <- their Base64 text. False, logged, when the generator
    // fails or a buffer is null or shorter than 16 bytes.
    bool generateKey(std::string& text, unsigned char* key, int keyLen, unsigned char* iv,
                     int ivLen);
    // Reads and decodes the stored global key; false, logged unless the value
    // is simply absent, when there is none to use.
    bool loadGlobalKey(unsigned char* key, int keyLen, unsigned char* iv, int ivLen);

    // Guards keys; the key store's operations hold it.
    ATL::CComAutoCriticalSection lock;
    // The content of the key store's file: user name -> key record.
    json_spirit::Object keys;
};

// The library's own key manager, for its stores' text files; made on first
// use, lives until the process ends. Any thread.
KeyManagerImpl& store_key_manager();
