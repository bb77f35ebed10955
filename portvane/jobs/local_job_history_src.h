// The local cache of one backup run's source tree (a job instance): the database
// "jobhistorysrc\<run id>\jobhistorysrc.db" of the data folder, built once from the tree that
// the remote web server describes and then browsed level by level, listed whole, or used to
// expand a restore selection, without asking the server again.
//
// Table src holds one row per node: fullpath (the server's path, "/" separators, folders and
// volumes ending in "/"), parentpath, type ("file", "dir", "vol"), the three time texts, size,
// srcpath (1 listed by the server, 0 a parent added here) and increment (1 sent in this run, 0
// carried over, NULL for an added parent), plus a root row of empty texts. It is indexed by
// parentpath, so that listing a folder reads that folder's rows only. Table owner holds the
// user whose session the tree was fetched with: the run's files are shown to him alone.
//
// Each operation opens its own connection and closes it before it returns; any thread. A cache
// is built into a temporary file that is renamed into place when complete, so that no request
// ever sees a half-built one; builds and removals of one run are serialised by its RunLock,
// which callers hold around the check for the file, the server's answer and the build. Queries
// and the expansion never create a file.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <mutex>
#include <string>

#include "common/json.h"

struct sqlite3;
struct sqlite3_stmt;

namespace portvane {

// The parent of a node's path: "C:/a/b.txt" → "C:/a/", "C:/a/" → "C:/", "C:/" → "". False for
// an empty path or one without "/".
bool parent_src_path(const std::string& path, std::string& parent);
// The name of a node: "C:/" → "C:", "C:/a/" → "a", "C:/a/b.txt" → "b.txt". False for a path
// without "/".
bool src_node_name(const std::string& path, std::string& name);

class LocalJobHistorySrc {
public:
    // Holds the process's lock of one run while it lives (see the file's comment).
    class RunLock {
    public:
        explicit RunLock(const std::string& runId);
        ~RunLock();
        RunLock(const RunLock&) = delete;
        RunLock& operator=(const RunLock&) = delete;

    private:
        std::string runId_;
        std::shared_ptr<std::mutex> mutex_;
    };

    // Where a database lies: the run's cache ("jobhistorysrc\<run id>"), or a scratch copy of
    // one request ("jobhistorysrc-live\<run id>-<n>", for a run still under way) that the owner
    // removes with Free_DB.
    enum class Area { cache, scratch };

    // runId must be one safe file-name component (isSafeFileName); nothing is created here.
    explicit LocalJobHistorySrc(const std::string& runId, Area area = Area::cache);
    virtual ~LocalJobHistorySrc() = default;

    const std::wstring& folder() const { return folder_; }
    const std::wstring& dbPath() const { return dbPath_; }
    // Whether the run's cache exists.
    bool exists() const;

    // Deletes the database (and a temporary one left by a build) and removes the run's folder.
    // True when the folder is gone, or never was; false when a file cannot be deleted or the
    // folder holds something else.
    bool Free_DB();

    // Creates the tables and the index when missing, empties them, adds the root row and sets
    // the journal in memory and synchronous writes off, on the file being built (the database
    // itself outside a build). Creates the folder and the file.
    bool PrepareDB();
    // PrepareDB, then, on a connection of its own with the journal in memory and synchronous
    // writes off, every node of the server's array, every missing ancestor of them and the owner
    // (none when empty) in one transaction: any failure keeps none of the rows and fails.
    bool InsertResult(const json_spirit::Array& nodes, const std::string& owner = std::string());
    // Reads the server's answer (a JSON array of nodes) and builds the cache of owner's run from
    // it into a temporary file renamed into place. Fails for text that is not an array, for an
    // empty array and for any failure of the build; the run's cache is then removed (Free_DB).
    bool BuildJobHistorySrcDB(const std::string& text, const std::string& owner = std::string());
    enum class BuildResult { built, empty, failed };
    // The same, reading the answer from in as it arrives: each node goes into the table as soon
    // as it is read, and nothing of the answer is held but the ancestors' paths. empty for an
    // array without objects (no cache then); failed as above. in is read to the end of the JSON
    // text only (not further), or less when the build fails.
    BuildResult BuildJobHistorySrcDB(std::istream& in, const std::string& owner = std::string());
    // Whether the cache exists and was built for user; false for a cache of no owner.
    bool ownedBy(const std::string& user) const;

    // The children of the node at path ("" the volumes; "/" is added to a path without it) as a
    // JSON array text: folders, then files, then volumes, each by name, with "has_sub_dir"
    // telling whether a folder has a child folder. A missing cache gives "[]"; any failure of
    // the database fails.
    bool QueryJobHistorySrcNode(const std::string& path, std::string& out);
    // Every file of the run (only those sent in this run with incrementOnly) as a JSON array of
    // {"path", "type", "mtime", "atime", "ctime", "size", "increment"}. As above for failures.
    bool QueryAll(std::string& out, bool incrementOnly);
    // The text of QueryAll, written out as it is read instead of held: head gets its length in
    // bytes before any of it, piece each piece of at most about 64 KiB in order. Either answering
    // false stops it (false). False, as QueryAll, when the database fails; a failure after head
    // leaves the text cut short.
    bool WriteAll(bool incrementOnly, const std::function<bool(uint64_t length)>& head,
                  const std::function<bool(const std::string& piece)>& piece);
    // Expands a restore selection of paths: a path ending in "/" gives every node the server
    // listed below it (exact, case-sensitive prefix), any other path the listed file of that
    // path. leaves gets the paths, summary "files", "dirs" and "size". Elements that are not
    // strings are logged and skipped. False when the cache is missing or a query fails.
    bool get_leafnode(const json_spirit::Array& selection, json_spirit::Array& leaves,
                      json_spirit::Object& summary);

protected:
    // Runs one bound insert of a node row and resets it; the SQLite result (SQLITE_DONE when
    // the row went in or was there already). A seam for fault tests.
    virtual int insertRow(sqlite3_stmt* insert);

private:
    class RowWriter;
    // PrepareDB, then rows inside one transaction, kept only when rows answers true.
    bool insertNodes(const std::function<bool(RowWriter&)>& rows, const std::string& owner);

    std::wstring areaFolder_;
    std::wstring folder_;
    std::wstring dbPath_;
    std::wstring tempPath_;
    // The file PrepareDB and InsertResult write: dbPath_, or tempPath_ during a build.
    std::string target_;
};

}  // namespace portvane
