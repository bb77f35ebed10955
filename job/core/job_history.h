// The two records of one job run, kept in the run's history folder: the error
// list "err" (one JSON array of {"code", "path", "reason"}) that the backup
// and restore storages fill, and the restore history "info" (one JSON object
// with the run's summary and a "source" entry per restored item). Both are
// written by their destructors and read back when the run resumes. Neither
// takes a lock: each belongs to one run's worker thread.
//
// The error list's journal. A run may fail thousands of items, and each
// failure must outlive a kill of the process at once; rewriting the whole
// list per failure would make a run of n failures cost n^2. So an entry is
// handed to the system as one line appended to "<list>.journal" beside the
// list (journalLast), and the list itself is written whole only by save (at
// the end of the run and by the destructor), which then removes the journal.
// A journal line is "[n,{entry}]\n": n is the entry's place in the whole
// list. Loading reads the list, then every whole line of the journal whose
// place is not in the list yet (so a kill between the list's replacement and
// the journal's removal repeats nothing); a line torn by a kill or left
// unreadable is passed over. Lines are not forced to the disk: like the
// offline catalogue, they only have to outlive the process; the list that
// save writes is flushed and renamed over the old one.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/holders.h"
#include "job/core/json_storage.h"
#include "platform/win32.h"

class JobHistoryError : public JSONStorage<1, std::vector<json_spirit::Value>> {
public:
    JobHistoryError() = default;
    // Saves the list to its file when it has one and holds an entry.
    ~JobHistoryError() override;
    JobHistoryError(const JobHistoryError&) = delete;
    JobHistoryError& operator=(const JobHistoryError&) = delete;

    // Appends {"code": code, "path": path, "reason": ...}. Without a reason, a
    // code made from an HTTP status (0x20010000 + status) gets the phrase of the
    // status (600 read as 500), any other the Win32 message text.
    // False, nothing appended, for a null or empty path, and for a path the
    // list holds with that code already (a resumed run presents the items
    // after its last durable point again, and one that failed before fails
    // again: the list names each failure once).
    bool add(const wchar_t* path, DWORD code, const wchar_t* reason);
    bool empty() const { return container.empty(); }
    // The entries whose code is not 0 (a skipped item is listed with 0).
    size_t failures() const;

    // The list at path (UTF-8; null: the stored path) and then the entries of
    // its journal that it does not hold (see above). False, the content kept,
    // when neither the list nor its journal gave anything.
    bool load(const char* path);
    // Appends the last entry to the journal (made when missing), keeping the
    // last error; true without a file. False only when the line could not be
    // written (logged): the entry then reaches the file with the next save.
    bool journalLast();
    // Writes the whole list (flushed, then renamed over the old one) and
    // removes the journal. False, the journal kept, when the list could not
    // be written.
    bool save();
    // Unties the list from its file and closes the journal: nothing is
    // written any more (the file's folder is going away).
    void unbind();

private:
    std::wstring journalPath() const;

    scoped_handle journal_;     // open for appending once a line was written
    bool journalTorn_ = false;  // the journal ends inside a line
    // "<code> <path>" of the first indexed_ entries of the list.
    std::unordered_set<std::string> listed_;
    size_t indexed_ = 0;
};

// The restore history. Its summary members are held as JSON values; the
// entries of a "source" array are held apart, each as its compact JSON text,
// since a run of many items would otherwise keep a tree of values per item
// until its end. The record's JSON text (text(), and the formatted file that
// save writes) is the one that a whole JSON value of the same content gives.
class JobHistoryInfo : public JSONStorage<0, std::map<std::string, json_spirit::Value>> {
public:
    JobHistoryInfo() = default;
    // Saves the record to its file (when it has one).
    ~JobHistoryInfo() override;

    // As JSONStorage's; the entries of a "source" array read are held apart.
    bool load(const char* path);
    // The whole record as a JSON value, the "source" entries in it (a copy:
    // for a record of few entries).
    json_spirit::Object value() const;
    const json_spirit::Object& get() const = delete;  // would lack the entries
    // The record's compact JSON text.
    std::string text() const;
    // The same text in parts, for a record too long to copy whole: head, then
    // the pieces of the "source" entries (sourcePieces, none when "source" is
    // no array), then tail. The pieces stay valid until the next change.
    void textFrame(std::string& head, std::string& tail) const;
    const std::vector<std::string>& sourcePieces() const { return sources_; }
    // The number of entries of "source" (0 when it is no array).
    size_t sourceCount() const { return sourceCount_; }

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
    // Appends {"creationtime", "modifiedtime", "path", "size"} to "source"
    // (made when missing, left alone and not added to when it is not an
    // array) and counts it in "files_restored" and "restored_size" (a member
    // of another type is replaced).
    bool addSourceFile(const wchar_t* path, FILETIME creationTime, FILETIME lastWriteTime,
                       uint64_t size);
    // Empties the strings and zeroes the numbers; empties an existing
    // "source" array; keeps "type".
    void reset();

protected:
    // text(), formatted.
    std::string formattedText() const override;

private:
    // Whether container's "source" is an array, which then stays empty: its
    // entries are sources_.
    bool sourceIsArray() const;
    // Appends one entry's compact text to the pieces.
    void appendSource(const std::string& entry);

    // The compact texts of the entries, joined by ",", in pieces of about
    // kSourcePiece bytes (a long run's entries then need no one long block).
    static constexpr size_t kSourcePiece = size_t{1} << 20;
    std::vector<std::string> sources_;
    std::string entry_;  // the entry being made
    size_t sourceCount_ = 0;
};

// The formatted form of a compact JSON text (as json_spirit::write makes it):
// the text that json_spirit::write_formatted gives for the same value.
std::string job_history_formatted(const std::string& compact);

// The history date text of a FILETIME, split without time-zone conversion;
// "0-0-0 00:00:00" for a time that cannot be split.
std::string job_history_time_text(FILETIME time);
