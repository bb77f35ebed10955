// The agent's keys: the machine's global key, the encrypted text files made
// with it, and the per-user key store.
#pragma once

#include <string>

#include "common/json.h"
#include "platform/threads/atl_singleton.h"

// The registry value that holds the global key: HKEY_LOCAL_MACHINE, this key,
// value "random" (REG_SZ), the Base64 text of 32 random bytes: bytes 0 to 15
// the AES-128 key, bytes 16 to 31 the IV.
inline constexpr char kGlobalKeyRegistryKey[] = "SOFTWARE\\morvask\\Tovel";
inline constexpr char kGlobalKeyValue[] = "random";

// The key store: every user of the agent has one encryption key, the Base64
// text of 32 random bytes (bytes 0 to 15 the AES key, 16 to 31 its IV), which
// the agent keeps and the remote web server knows by its MD5 checksum only.
// The keys live in the encrypted text file "keys" of the data folder: one
// JSON object, user name -> {"checksum", "key", "state"}, the state one of
// "export_required", "import_required", "exported", "error_registered".
//
// Key states as numbers (keyState's result): 0 no usable key, 1 made and
// registered but not yet exported, 2 the server knows a key the agent does
// not have, 3 exported or imported and matching the server.
//
// Every key-store operation asks the server for the user's checksum (through
// the web server of the settings, with the user's session cookie) and holds
// the object's lock throughout, network exchanges included, so the
// operations of one object run one at a time; any thread. Each object loads
// the file once, when it is made, and writes it whole after every change.
class KeyManagerImpl {
public:
    // Loads the keys file; a missing one gives an empty store, an unreadable
    // one too (logged), and the first change writes a new file.
    KeyManagerImpl();
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

    // The user's key state, after making and registering a key when neither
    // the agent nor the server has one: only when the server answered, with
    // no checksum, does a new key replace what the user had; its checksum is
    // then sent to the server, and the key is stored only when the server
    // took it (200), as "export_required". Returns 0 with nothing changed
    // when the server cannot be asked, refuses the checksum, holds a
    // checksum while the user's record is in no known state, or the user is
    // null or empty (last error 87). When the key was registered but the keys
    // file cannot be written, the record stays in memory (so that it can
    // still be exported and is written with the next change), the failure is
    // logged, 1 is returned and the last error is the write's. Every other
    // return of a state keeps the caller's last error.
    int keyState(const char* user);

    // Writes the key text of a user in state 1 or 3, exactly and nothing
    // else, to a new regular file at path, readable and writable by its owner
    // only, and marks the key "exported" (saved: the result is the write's of
    // the keys file). The path comes from the web interface and is written
    // with the service's rights: a symbolic link, a folder or a special file
    // at the path is refused, never written through; with overwrite an
    // existing regular file is replaced by the new one (so a second name of
    // it elsewhere keeps the old content). overwrite false on an existing
    // path: false with last error ERROR_FILE_EXISTS (80). Success leaves the
    // last error 0; another failure leaves its own code (87 for null or empty
    // arguments, 1168 for a user without a key to export, 5 for what is no
    // regular file at the path, or the file system's). A partly written file
    // is removed.
    bool exportKey(const char* user, const wchar_t* path, bool overwrite);

    // Takes a key from a key file at path: every whitespace-separated word
    // of it joined (line breaks and spaces dropped). Refused: a symbolic
    // link, a folder or special file at the path, a file longer than
    // kMaxKeyFile bytes. A user in state 3 gets true only when the file
    // holds the key it has (nothing changes). Otherwise the key becomes the
    // user's, "exported", only when the server holds its checksum (a second
    // look-up), and the result is the write's of the keys file (a failed
    // write keeps the new record in memory); when it does
    // not, false and the user keeps the record held before (none when there
    // was none). Null or empty arguments: false, last error 87. Success keeps
    // the caller's last error; another failure leaves its own code (1168 for a
    // user without a key, 5 for what is no regular file, 13 for a key that is
    // not the user's or too long a file, or the file system's).
    bool importKey(const char* user, const wchar_t* path);
    static constexpr DWORD kMaxKeyFile = 4096;

    // The key and IV bytes (16 each) of a user in state 1 or 3. False when
    // the arguments are null or empty or the sizes not 16 (logged), the
    // state is another, or the key text is no Base64 of exactly 32 bytes
    // (logged); key and iv are then untouched.
    bool findKey(const char* user, unsigned char* key, int keyLen, unsigned char* iv, int ivLen);

protected:
    // Loads the keys file into keys; false when there is none, and false,
    // logged, when it cannot be read, parsed, or holds no object (keys then
    // untouched).
    bool init();
    // Writes keys as the keys file (formatted JSON, encrypted); false,
    // logged, with the last error of the write, when it cannot be written.
    bool save();
    // Asks the server for the user's key checksum and reconciles the user's
    // record with it in memory; keyText <- the record's key, state <- the
    // state number. False, logged, when the server cannot be asked or its
    // reply has no string "md5" (state and keyText then untouched). Callers
    // set state to 0 first and hold the lock.
    bool findKeyI(const char* user, std::string& keyText, int& state);

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

private:
    // findKeyI that also gives the server's checksum ("" when it has none).
    bool lookUpKey(const char* user, std::string& keyText, int& state, std::string& serverSum);
};

// The library's own key manager, for its stores' text files; made on first
// use, lives until the process ends. Any thread.
KeyManagerImpl& store_key_manager();
