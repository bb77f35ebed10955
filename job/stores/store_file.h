// The encrypted file of a credential store: one JSON object in an encrypted
// text file of the data folder, shared by every process of the machine.
//
// Each process keeps the whole object in memory. A change is made under the
// store's machine-wide lock (StoreChangeLock): the file is read again first
// when another process has replaced it since this one last read or wrote it,
// then the change is applied and the whole file written. So changes of two
// processes both reach the file, and a change whose write failed stays in
// memory until the next write, as long as no other process wrote meanwhile.
#pragma once

#include <string>

#include "common/holders.h"
#include "common/json.h"

// Holds a store's own lock for its scope.
template <class Lock>
class store_guard {
public:
    explicit store_guard(Lock& lock) : lock_(lock) { lock_.Lock(); }
    ~store_guard() { lock_.Unlock(); }
    store_guard(const store_guard&) = delete;
    store_guard& operator=(const store_guard&) = delete;

private:
    Lock& lock_;
};

// The file name and the log lines of one store.
struct StoreFileTexts {
    const wchar_t* file;        // in the data folder
    const char* decode_failed;  // no arguments
    int decode_priority;
    const char* parse_failed;   // line, column, reason
    const char* not_object;     // no arguments
    const char* encode_failed;  // no arguments
    int encode_priority;
};

// The machine-wide lock of one store's changes, held for its scope. Taken
// after the store's own lock, never the other way round.
class StoreChangeLock {
public:
    explicit StoreChangeLock(const StoreFileTexts& texts);
    ~StoreChangeLock();
    StoreChangeLock(const StoreChangeLock&) = delete;
    StoreChangeLock& operator=(const StoreChangeLock&) = delete;
    // False, logged, when the lock could not be had within 30 seconds.
    bool held() const { return held_; }

private:
    scoped_handle mutex_;
    bool held_ = false;
};

// Reads and writes one store's file. Used under the store's own lock.
class StoreFile {
public:
    explicit StoreFile(const StoreFileTexts& texts) : texts_(texts) {}

    // store <- the file's object. False, logged, when the file is missing or
    // cannot be decrypted, parsed, or holds no object; store is then untouched.
    bool load(json_spirit::Object& store);
    // Under the change lock: load when the file is there and differs from what
    // this process last read or wrote. Failures are logged and leave store
    // as it is (a damaged file is replaced by the next write).
    void refresh(json_spirit::Object& store);
    // Writes store, formatted, as the whole file. False, logged, when it
    // cannot be written; the old file is then whole.
    bool save(const json_spirit::Object& store);

private:
    bool path(std::wstring& out) const;
    // The file's text (its first word); false when it is missing or unreadable.
    bool read_text(const std::wstring& path, std::string& text) const;

    const StoreFileTexts& texts_;
    std::string seen_;  // the file's text as this process last read or wrote it
};
