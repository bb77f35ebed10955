// The consistent check: which files of the machine differ from what the last backup holds. A
// check walks the selected folders and files, compares each file's last-write time with the
// time the last backup recorded, and keeps the differences in "checkresult.db" of its own folder
// ("consistentcheck\<check id>" of the data folder), which the browser then reads folder by
// folder and turns into path lists for exclusion, deletion, restore and backup.
//
// Table res holds a row per difference (fullpath, parentpath, status "added", "modified" or
// "deleted"), a row per folder above one (fullpath ending in "/", empty status), and a
// placeholder row of empty texts; it is indexed by parentpath. Paths are UTF-8 with "/"
// separators. Table owner holds the user who ran the check: the result is his alone.
//
// One object serves one request on its thread; each operation opens and closes its own
// connection, which waits for another request's writer instead of failing. Only consistentcheck
// creates the folder and the file: every read, and free_db, acts on an existing result only.
#pragma once

#include <istream>
#include <map>
#include <string>
#include <vector>

#include "common/json.h"

struct sqlite3;
struct sqlite3_stmt;

namespace portvane {

class ConsistencheckImpl {
public:
    // id names the check's folder; callers pass ids that isSafeFileName accepts (a check id or
    // a job instance id). Nothing is created here.
    explicit ConsistencheckImpl(const std::string& id);
    virtual ~ConsistencheckImpl() = default;
    ConsistencheckImpl(const ConsistencheckImpl&) = delete;
    ConsistencheckImpl& operator=(const ConsistencheckImpl&) = delete;

    const std::wstring& folder() const { return folder_; }
    const std::wstring& dbPath() const { return dbPath_; }
    // Whether a result of this id exists.
    bool exists() const;
    // Whether the result exists and is user's (a result of no owner is nobody's).
    bool ownedBy(const std::string& user) const;

    // The whole check: selection is the JSON object whose "source" maps paths to 1 (a folder
    // and everything in it) or another integer (one file); lastBackup maps the paths the backup
    // holds to their last-write times ("high-low" halves of the FILETIME in decimal). Paths
    // that user's exclusion list holds exactly get no row. Replaces any earlier result of the
    // same id; the result is user's. False (last error 87 for bad input) when a text cannot be read
    // or a database step fails; a failed check keeps no difference row.
    bool consistentcheck(const std::string& selection, const std::string& lastBackup,
                         const std::string& user);
    // The same in two halves, for a listing too large to be held whole: walkSelection reads the
    // selection, walks it and reads user's exclusion list (false, 87, for a selection that
    // cannot be read); compare then reads the last-backup listing from lastBackup as it arrives
    // and writes the result. compare may run again on another listing (a resent reply): it
    // starts over.
    bool walkSelection(const std::string& selection, const std::string& user);
    bool compare(std::istream& lastBackup);
    // The children of the folder path ("" the top folders; a "/" is added to a path without
    // one) as {"path": name, "state": status} objects, folders first, then "added", "deleted",
    // "modified". False when the result does not exist or a query does not run to its end.
    bool query_resultdb(const std::string& path, json_spirit::Array& out);
    // Appends to out the file paths with status under each path of paths: a path ending in "/"
    // selects every row whose fullpath starts with exactly those bytes, any other path the row
    // of that path. Elements that are not strings are logged and skipped. False as
    // query_resultdb.
    bool get_leafnode(const json_spirit::Array& paths, const char* status, json_spirit::Array& out);
    // Deletes the result file and removes the folder: false when either is impossible (a
    // missing result included).
    bool free_db();

protected:
    // Runs one bound insert and resets it; the SQLite result (SQLITE_DONE when the row went
    // in). A seam for fault tests.
    virtual int insertRow(sqlite3_stmt* insert);
    // One step of a query's statement (SQLITE_ROW, SQLITE_DONE or an error). A seam for fault
    // tests.
    virtual int stepQuery(sqlite3_stmt* query);

private:
    void walk(const std::wstring& path);
    bool check_file();
    bool prepare_db(sqlite3* db);
    bool insertDifference(sqlite3* db, sqlite3_stmt* insert, const std::string& path,
                          const char* status);
    bool openResult(sqlite3** db, const std::string& what);

    // A file found on the disk: its last-write time ("high-low"), and what the listing holds
    // for its path.
    struct DiskFile {
        std::string written;
        json_spirit::Value backed;
        bool inBackup = false;
    };
    std::map<std::string, DiskFile> disk_;
    // The user of the check under way (walkSelection's), whose result it is.
    std::string owner_;
    // The listing's paths that the disk does not hold, sorted, each once.
    std::vector<std::string> deleted_;
    json_spirit::Array exclusions_;
    std::wstring folder_;
    std::wstring dbPath_;
};

}  // namespace portvane
