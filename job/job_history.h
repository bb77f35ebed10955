// The two records of one job run, kept in the run's history folder: the error
// list "err" (one JSON array of {"code", "path", "reason"}) that the backup
// and restore storages fill, and the restore history "info" (one JSON object
// with the run's summary and a "source" entry per restored item). Both are
// written by their destructors and read back when the run resumes. Neither
// takes a lock: each belongs to one run's worker thread.
#pragma once

#include <cstdint>
#include <string>

#include "job/json_storage.h"
#include "platform/win32.h"

class JobHistoryError : public JSONStorage<1, std::vector<json_spirit::Value>> {
public:
    JobHistoryError() = default;
    // Saves the list to its file (when it has one).
    ~JobHistoryError() override;

    // Appends {"code": code, "path": path, "reason": ...}. Without a reason, a
    // code made from an HTTP status (0x20010000 + status) gets the phrase of the
    // status (600 read as 500), any other the Win32 message text.
    // False, nothing appended, for a null or empty path.
    bool add(const wchar_t* path, DWORD code, const wchar_t* reason);
    bool empty() const { return container.empty(); }
    // The entries whose code is not 0 (a skipped item is listed with 0).
    size_t failures() const;
    // Writes the list to its file when it has one, keeping the last error;
    // false only when that write fails (logged).
    bool persist();
};

class JobHistoryInfo : public JSONStorage<0, std::map<std::string, json_spirit::Value>> {
public:
    JobHistoryInfo() = default;
    // Saves the record to its file (when it has one).
    ~JobHistoryInfo() override;

    // False, nothing changed, for a null or empty id; the other setters
    // always succeed.
    bool setInstanceId(const char* id);
    bool setType(const std::string& type);
    bool setState(std::string state);
    // Local FILETIMEs, written "Y-M-D hh:mm:ss" with no leading zeros in the
    // month and the day.
    bool setStartTime(FILETIME time);
    bool setEndTime(FILETIME time);
    bool setTotalSize(uint64_t bytes);
    bool setFilesCount(uint64_t count);
    bool setSpeed(int speed);
    // Appends the item to "source" (made when missing, left alone and not
    // added to when it is not an array) and counts it in "files_restored" and
    // "restored_size" (a member of another type is replaced).
    bool addSourceFile(const wchar_t* path, FILETIME creationTime, FILETIME lastWriteTime,
                       uint64_t size);
    // Empties the strings and zeroes the numbers; empties an existing
    // "source" array; keeps "type".
    void reset();
};

// The history date text of a FILETIME, split without time-zone conversion;
// "0-0-0 00:00:00" for a time that cannot be split.
std::string job_history_time_text(FILETIME time);
