// Activity source files: the list of a run's items as tagged binary records,
// written item by item and read back one record at a time, so that a run can
// save the offset of its next record and continue there. The same records
// make the backup job's "act\src", the restore job's list and the local
// storage's catalogue.
//
// A record is, little-endian and without padding: a tag of four ASCII letters,
// a u16 total length (the 6 head bytes included), then
//   "SSET" (8):      u16 1, the start of a set;
//   "ESET" (6):      nothing, the end of the set;
//   "VOLB" (10 + n): u16 n, u16 10, the volume's path;
//   "FILE"/"DIRB" (54 + n): the 36 bytes of WIN32_FILE_ATTRIBUTE_DATA
//                    (attributes, creation, last access and last write time,
//                    size high, size low), u32 ordinal, u32 flag, u16 n,
//                    u16 54, the item's path.
// Paths are UTF-16LE with a terminating NUL and n counts their bytes, the NUL
// included. A file is a sequence of sets, each "SSET", any number of the other
// three, "ESET". No record exceeds kSourceRecordMax bytes.
//
// Each writer, reader and generator belongs to one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/file_stream.h"
#include "job/sources/source_walker.h"
#include "platform/win32.h"

class JobVolume;

// A record's tag read as a little-endian 32-bit value.
constexpr uint32_t source_tag(const char (&letters)[5]) {
    return static_cast<uint32_t>(static_cast<uint8_t>(letters[0])) |
           static_cast<uint32_t>(static_cast<uint8_t>(letters[1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(letters[2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(letters[3])) << 24;
}
constexpr uint32_t kSourceTagStartSet = source_tag("SSET");
constexpr uint32_t kSourceTagEndSet = source_tag("ESET");
constexpr uint32_t kSourceTagVolume = source_tag("VOLB");
constexpr uint32_t kSourceTagFile = source_tag("FILE");
constexpr uint32_t kSourceTagDirectory = source_tag("DIRB");

constexpr size_t kSourceRecordMax = 4096;
// The longest paths that fit one record, in UTF-16 units without the NUL.
constexpr size_t kSourceItemPathMax = 2020;
constexpr size_t kSourceVolumePathMax = 2042;

// Writes records into a file. Nothing reaches a file before open(). A record
// that the file does not take fails its call with the write's error as the
// thread's last error (112 for a full disk), and every later call fails the
// same way until the next open(), so that a list is never cut short
// silently. The records gather in a buffer and are complete in the file only
// after push() or flush() returned true; the destructor writes them too, but
// cannot report a failure.
//
// push() hands the records to the system, flush() also has the system put
// the file on its disk. A record pushed is in the file for every reader from
// then on and survives a kill of the writing process at any point, since the
// system holds it and not the process; only a crash of the whole system can
// still lose it, which flush() rules out at the price of a wait for the disk.
class JobHistorySourceWriter {
public:
    JobHistorySourceWriter();
    ~JobHistorySourceWriter();
    JobHistorySourceWriter(const JobHistorySourceWriter&) = delete;
    JobHistorySourceWriter& operator=(const JobHistorySourceWriter&) = delete;

    // Creates (truncates) the file, or with append opens an existing one at
    // its end. A previous file is closed; its records not yet flushed are
    // dropped. False with the last error set on failure (logged).
    bool open(const wchar_t* path, bool append);

    bool startSet();
    bool endSet();
    bool addVolume(const wchar_t* path);
    // "DIRB" when the attributes have the directory bit, else "FILE". A path
    // longer than kSourceItemPathMax fails with 206 and writes nothing (the
    // writer stays usable).
    bool addFile(const wchar_t* path, const WIN32_FILE_ATTRIBUTE_DATA& data, uint32_t ordinal,
                 uint32_t flag);

    // Writes every pending record to the file (hands it to the system).
    bool push();
    // push(), then has the system flush the file to its disk.
    bool flush();
    // push(), then closes the file; records added later go nowhere until
    // the next open().
    bool close();

private:
    class Buffer;
    bool put(const std::string& record);
    // Keeps the failure of a push or flush as the writer's error and logs it
    // (where: text after the file's name).
    bool failed(const char* where);

    std::unique_ptr<Buffer> buffer_;
    std::wstring path_;   // for the messages
    std::string record_;  // the item record being written
    DWORD error_;         // the first failed write since open(), or 0
};

// Opens files for a reader inside a transaction when the system offers one.
// Returns a handle as CreateFileW does (INVALID_HANDLE_VALUE and the last
// error on failure).
class JobTransactionManager {
public:
    virtual ~JobTransactionManager() = default;
    virtual HANDLE createFile(const wchar_t* path, DWORD access, DWORD share, DWORD disposition,
                              DWORD attributes) = 0;
};

// An item of a list: a "FILE" or "DIRB" record.
struct JobActivitySourceItem {
    std::wstring path;
    WIN32_FILE_ATTRIBUTE_DATA data;
    uint32_t ordinal;
    uint32_t flag;
};

class JobActivitySourceReader {
public:
    JobActivitySourceReader();
    ~JobActivitySourceReader();
    JobActivitySourceReader(const JobActivitySourceReader&) = delete;
    JobActivitySourceReader& operator=(const JobActivitySourceReader&) = delete;

    // Not owned; null opens files plainly.
    void setTransactionManager(JobTransactionManager* manager) { transactions_ = manager; }

    // Opens the file and, for an offset above 0, moves there (an offset that
    // offset() returned before a record). False on failure (logged).
    bool open(const wchar_t* path, int64_t offset);
    bool isOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    // Closes the file (also done by open and the destructor).
    void close();
    // Reads the next record and returns its tag, 0 at the end and on any
    // failure. After 0 the last error is ERROR_HANDLE_EOF at the end of the
    // file, after the last whole record, and the failure's code otherwise:
    // 13 for a torn file (it ends inside a record's head or body, as a kill
    // of its writer leaves it) and for a length outside 6 to 4096, both
    // logged. A torn list is never taken for a whole one.
    uint32_t next();
    // The position of the record that next() reads now; -1 on failure.
    // (The file is read ahead in large pieces: offset() is the reader's own
    // position, not the handle's.)
    int64_t offset();
    // Moves to an offset that offset() returned before a record, without a
    // call to the system when it lies in what was read ahead. False on
    // failure (logged).
    bool seek(int64_t offset);

    // The bytes of the record that next() read last.
    const uint8_t* record() const { return buffer_.get(); }
    size_t recordLength() const { return length_; }
    // The fields of the last record when it is a well-formed "FILE"/"DIRB" or
    // "VOLB" record; false otherwise.
    bool item(JobActivitySourceItem& out) const;
    bool volume(std::wstring& out) const;

private:
    // Reads on until the bytes held ahead are size or more, or the file
    // ends; held gets what is held then. False with the read's error.
    bool fill(size_t size, size_t& held);

    HANDLE handle_;
    JobTransactionManager* transactions_;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t length_;
    std::unique_ptr<uint8_t[]> ahead_;  // what was read of the file ahead
    int64_t aheadPosition_ = 0;         // the file's position of ahead_[0]
    size_t aheadStart_ = 0;             // the next record's first byte in ahead_
    size_t aheadEnd_ = 0;
};

// Collects a run's items, from a walk over its volumes' snapshots or from a
// list of paths, and saves them as one set.
class JobActivitySourceGenerator : public SourceCalculator {
public:
    JobActivitySourceGenerator();
    ~JobActivitySourceGenerator() override;
    JobActivitySourceGenerator(const JobActivitySourceGenerator&) = delete;
    JobActivitySourceGenerator& operator=(const JobActivitySourceGenerator&) = delete;

    // Walks every volume's sources in its snapshot, in map order; an entry
    // whose path is too long for a record is not an item. Each volume
    // is also handed to the writer as a "VOLB" record; those reach a file
    // only when the writer is open already (save() reopens it). False when
    // that record fails.
    bool operator()(const JobVolumeMap& volumes, FilterPolicy* filter);
    // Starts over with the given UTF-8 paths; paths that no longer exist
    // are passed over, those whose attributes cannot be read for another
    // reason go to walkErrors().
    void listSources(const std::vector<std::string>& paths);
    // Writes the items as one set, with flag 0, through save_source_list. A
    // path too long for a record is passed over with a message and goes to
    // walkErrors(). False with the last error set when the file cannot be
    // opened or written.
    bool save(const wchar_t* path);

    const std::vector<JobActivitySourceItem>& items() const { return items_; }
    // From now on the walks hand each item to sink (which may take its path)
    // instead of keeping it in items(); an empty sink keeps them again.
    void sendItemsTo(std::function<void(JobActivitySourceItem&)> sink) { sink_ = std::move(sink); }
    // What the walks, listSources and save could not take, with its error:
    // the sources that could not be read, the folders that could not be
    // listed, the entries that cannot be backed up (see walkSource) and the
    // paths too long for a record (206), which are not items.
    const std::vector<std::pair<std::wstring, DWORD>>& walkErrors() const { return walkErrors_; }

protected:
    void processFile(const wchar_t* path, const WIN32_FILE_ATTRIBUTE_DATA& data) override;
    // Keeps the first error of each path: a folder that cannot be listed is
    // also an item that the list cannot read again.
    void processError(const wchar_t* path, DWORD code) override;

private:
    JobVolume* volume_;
    JobHistorySourceWriter writer_;  // receives the walk's volumes only
    uint32_t directoryOrdinal_;
    uint32_t fileOrdinal_;
    std::vector<JobActivitySourceItem> items_;
    std::function<void(JobActivitySourceItem&)> sink_;
    std::vector<std::pair<std::wstring, DWORD>> walkErrors_;
    std::set<std::wstring> errorPaths_;  // the paths of walkErrors_
};

// Writes a run's list as one set: "SSET", what fill adds, "ESET". The list is
// written beside path (path + ".new"), put on its disk, and renamed over path
// with the rename written through, so that path only ever holds a whole list
// (a kill or a power cut at any point leaves the old file or none, never a
// short one). False with the last error set when fill or any step fails; the
// file beside is removed then.
bool save_source_list(const std::wstring& path,
                      const std::function<bool(JobHistorySourceWriter&)>& fill);

// Whether the list at path is whole: every record complete and the last one
// an "ESET". False with the last error set (13 for a torn list or one without
// its end of set, logged; the open's error when it cannot be read).
bool source_list_complete(const std::wstring& path);
