#include "portvane/local_job_history_src.h"

#include <sqlite3.h>

#include <atomic>
#include <map>
#include <unordered_set>

#include "common/ace_log_wrapper.h"
#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "common/text_conv.h"
#include "platform/win32.h"
#include "portvane/sqlite_helpers.h"
#include "portvane/transaction_guard.h"

namespace portvane {

bool parent_src_path(const std::string& path, std::string& parent) {
    size_t last = path.rfind('/');
    if (path.empty() || last == std::string::npos) return false;
    if (last + 1 == path.size()) {
        size_t before = last == 0 ? std::string::npos : path.rfind('/', last - 1);
        parent = before == std::string::npos ? std::string() : path.substr(0, before + 1);
    } else {
        parent = path.substr(0, last + 1);
    }
    return true;
}

bool src_node_name(const std::string& path, std::string& name) {
    size_t last = path.rfind('/');
    if (last == std::string::npos) return false;
    if (last + 1 == path.size()) {
        size_t before = last == 0 ? std::string::npos : path.rfind('/', last - 1);
        name = before == std::string::npos ? path.substr(0, last)
                                           : path.substr(before + 1, last - before - 1);
    } else {
        name = path.substr(last + 1);
    }
    return true;
}

namespace {

// The locks of the runs that someone holds or waits for.
std::mutex g_runLocksGuard;
std::map<std::string, std::shared_ptr<std::mutex>> g_runLocks;

const char kCreate[] =
    "create table if not exists src(fullpath varchar(4096) primary key,parentpath "
    "varchar(4096),type varchar(10),mtime varchar(20),atime varchar(20),ctime varchar(20),size "
    "INTEGER, srcpath INTEGER, increment INTEGER);";
const char kIndex[] = "create index if not exists src_parentpath on src(parentpath);";
// The user whose run the cache shows (one row): the web interface serves it to him alone.
const char kOwner[] = "create table if not exists owner(user text not null);";
// Set on the connection that writes the rows: SQLite keeps them per connection.
const char kPragmas[] = "PRAGMA journal_mode=MEMORY;PRAGMA synchronous=OFF;";

bool fileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Opens an existing cache; false (and a log line) when it cannot.
bool openExisting(const std::wstring& path, Sqlite3Connection& db) {
    if (!fileExists(path)) return false;
    if (sqlite_open(to_utf8(path).c_str(), SqliteOpen::read, db.out()) != SQLITE_OK) {
        log_message(LM_ERROR, "sqlite db open failed!\n");
        return false;
    }
    return true;
}

std::string stringMember(const json_spirit::Object& object, const char* key) {
    std::string value;
    json_spirit::object_get(object, key, value);
    return value;
}

// The element's kind and path, from "file", else "dir", else "vol"; false when none is a string.
bool nodeOf(const json_spirit::Object& object, bool withVolumes, const char*& kind,
            std::string& path) {
    for (const char* key : {"file", "dir", "vol"}) {
        if (!withVolumes && key[0] == 'v') return false;
        auto it = object.find(key);
        if (it == object.end()) continue;
        if (it->second.type() != json_spirit::str_type) return false;
        kind = key;
        path = it->second.get_str();
        return true;
    }
    return false;
}

// At most the first 512 bytes of a text, for a log line.
std::string logExcerpt(const std::string& text) {
    return text.size() <= 512 ? text : text.substr(0, 512) + "...";
}

bool isInteger(const json_spirit::Value& value) { return value.type() == json_spirit::int_type; }

// The integer value of an integer member (a count above the signed range saturates), else 0.
long long integerMember(const json_spirit::Object& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !isInteger(it->second)) return 0;
    if (it->second.is_uint64()) return INT64_MAX;
    return it->second.get_int64();
}

void bindText(sqlite3_stmt* statement, int index, const std::string& text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
}

}  // namespace

LocalJobHistorySrc::RunLock::RunLock(const std::string& runId) : runId_(runId) {
    {
        std::lock_guard<std::mutex> guard(g_runLocksGuard);
        auto& slot = g_runLocks[runId_];
        if (!slot) slot = std::make_shared<std::mutex>();
        mutex_ = slot;
    }
    mutex_->lock();
}

LocalJobHistorySrc::RunLock::~RunLock() {
    mutex_->unlock();
    std::lock_guard<std::mutex> guard(g_runLocksGuard);
    auto it = g_runLocks.find(runId_);
    mutex_.reset();
    if (it != g_runLocks.end() && it->second.use_count() == 1) g_runLocks.erase(it);
}

LocalJobHistorySrc::LocalJobHistorySrc(const std::string& runId, Area area) {
    static std::atomic<unsigned> scratches{0};
    std::wstring data;
    common_appdata_path(data, tovel::kDataSubFolder);
    if (area == Area::scratch) {
        areaFolder_ = data + L"\\jobhistorysrc-live";
        folder_ = areaFolder_ + L"\\" + from_utf8(runId) + L"-" +
                  std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++scratches);
    } else {
        areaFolder_ = data + L"\\jobhistorysrc";
        folder_ = areaFolder_ + L"\\" + from_utf8(runId);
    }
    dbPath_ = folder_ + L"\\jobhistorysrc.db";
    tempPath_ = dbPath_ + L".build";
    target_ = to_utf8(dbPath_);
}

bool LocalJobHistorySrc::exists() const { return fileExists(dbPath_); }

bool LocalJobHistorySrc::Free_DB() {
    for (const std::wstring* file : {&tempPath_, &dbPath_}) {
        if (fileExists(*file) && !DeleteFileW(file->c_str())) return false;
    }
    if (!fileExists(folder_)) return true;
    return RemoveDirectoryW(folder_.c_str()) != FALSE;
}

bool LocalJobHistorySrc::PrepareDB() {
    CreateDirectoryW(areaFolder_.c_str(), nullptr);
    CreateDirectoryW(folder_.c_str(), nullptr);
    Sqlite3Connection db;
    if (sqlite_open(target_.c_str(), SqliteOpen::create, db.out()) != SQLITE_OK) {
        log_message(LM_ERROR, "sqlite db open failed!\n");
        return false;
    }
    struct Step {
        const char* sql;
        const char* failure;
    } steps[] = {
        {kCreate, "Table create failed!\n"},
        {kIndex, "Table create failed!\n"},
        {kOwner, "Table create failed!\n"},
        {"delete from src;", "clear data failed!\n"},
        {"delete from owner;", "clear data failed!\n"},
        {"insert into src values('','','','','','',0,0,0);", "insert filesystem node failed!\n"},
    };
    for (const Step& step : steps) {
        if (sqlite3_direct_exec(db.get(), step.sql) != SQLITE_OK) {
            log_message(LM_ERROR, step.failure);
            return false;
        }
    }
    if (sqlite3_script_exec(db.get(), kPragmas) != SQLITE_OK) {
        log_message(LM_ERROR, "%s\n", sqlite3_errmsg(db.get()));
        return false;
    }
    return true;
}

bool LocalJobHistorySrc::ownedBy(const std::string& user) const {
    // A cache made before owners were kept has no table: nobody's.
    return exists() && sqlite_owned_by(to_utf8(dbPath_).c_str(), user);
}

int LocalJobHistorySrc::insertRow(sqlite3_stmt* insert) {
    int rc = sqlite3_step(insert);
    sqlite3_reset(insert);
    return rc;
}

bool LocalJobHistorySrc::insertRows(sqlite3* db, const json_spirit::Array& nodes) {
    // A path already in the table keeps its first row: a node the server lists twice, and a
    // folder that the server lists as well as an ancestor of another node.
    Sqlite3Statement insert;
    if (sqlite3_preparef(db, insert.out(),
                         "insert or ignore into src values(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)") !=
        SQLITE_OK) {
        return false;
    }
    const char* kind = nullptr;
    std::string path, parent;
    for (const json_spirit::Value& node : nodes) {
        if (node.type() != json_spirit::obj_type) continue;
        const json_spirit::Object& object = node.get_obj();
        if (!nodeOf(object, true, kind, path) || !parent_src_path(path, parent)) continue;
        bindText(insert.get(), 1, path);
        bindText(insert.get(), 2, parent);
        sqlite3_bind_text(insert.get(), 3, kind, -1, SQLITE_STATIC);
        bindText(insert.get(), 4, stringMember(object, "mtime"));
        bindText(insert.get(), 5, stringMember(object, "atime"));
        bindText(insert.get(), 6, stringMember(object, "ctime"));
        sqlite3_bind_int64(insert.get(), 7, kind[0] == 'f' ? integerMember(object, "size") : 0);
        sqlite3_bind_int64(insert.get(), 8, 1);
        sqlite3_bind_int64(insert.get(), 9, integerMember(object, "bUp") != 0 ? 1 : 0);
        if (insertRow(insert.get()) != SQLITE_DONE) return false;
    }
    // Every ancestor of a listed file or folder, once: an ancestor added here has all of its own.
    std::unordered_set<std::string> added;
    std::string current, next;
    for (const json_spirit::Value& node : nodes) {
        if (node.type() != json_spirit::obj_type) continue;
        if (!nodeOf(node.get_obj(), false, kind, path) || !parent_src_path(path, current)) continue;
        while (!added.count(current) && parent_src_path(current, next)) {
            size_t before =
                current.size() < 2 ? std::string::npos : current.rfind('/', current.size() - 2);
            bindText(insert.get(), 1, current);
            bindText(insert.get(), 2, next);
            sqlite3_bind_text(insert.get(), 3, before == std::string::npos ? "vol" : "dir", -1,
                              SQLITE_STATIC);
            for (int column = 4; column <= 6; ++column) {
                sqlite3_bind_text(insert.get(), column, "", 0, SQLITE_STATIC);
            }
            sqlite3_bind_int64(insert.get(), 7, 0);
            sqlite3_bind_int64(insert.get(), 8, 0);
            sqlite3_bind_null(insert.get(), 9);
            if (insertRow(insert.get()) != SQLITE_DONE) return false;
            added.insert(current);
            current.swap(next);
        }
    }
    return true;
}

bool LocalJobHistorySrc::InsertResult(const json_spirit::Array& nodes, const std::string& owner) {
    if (!PrepareDB()) {
        log_message(LM_ERROR, "PrepareDB failed!\n");
        return false;
    }
    Sqlite3Connection db;
    if (sqlite_open(target_.c_str(), SqliteOpen::read, db.out()) != SQLITE_OK) {
        log_message(LM_ERROR, "Sqlite db open failed!\n");
        return false;
    }
    if (sqlite3_script_exec(db.get(), kPragmas) != SQLITE_OK) {
        log_message(LM_ERROR, "%s\n", sqlite3_errmsg(db.get()));
        return false;
    }
    Sqlite3Transactor transactor(db.get());
    if (transactor.state() != Sqlite3Transactor::open) {
        log_message(LM_ERROR, "Transactor begin failed!\n");
        return false;
    }
    // Until every row is in, leaving the scope (a failure, an exception) rolls back.
    transactor.setAbort(true);
    if (!insertRows(db.get(), nodes) ||
        (!owner.empty() && sqlite3_direct_execf(db.get(), "insert into owner values(%Q);",
                                                owner.c_str()) != SQLITE_OK)) {
        log_message(LM_ERROR, "Insert node failed, %d, %s\n", sqlite3_errcode(db.get()),
                    sqlite3_errmsg(db.get()));
        return false;
    }
    transactor.setAbort(false);
    if (!transactor.commit()) {
        log_message(LM_ERROR, "transactor commit failed! state =%d\n  sqlite3_errmsg:%s\n",
                    transactor.state(), sqlite3_errmsg(db.get()));
        return false;
    }
    return true;
}

bool LocalJobHistorySrc::BuildJobHistorySrcDB(const std::string& text, const std::string& owner) {
    // A run's tree can be tens of megabytes: its length and its start are enough for the log.
    log_message(LM_DEBUG, "BuildJobHistorySrcDB(), %d bytes, result=%s\n",
                static_cast<int>(text.size()), logExcerpt(text).c_str());
    json_spirit::Value value;
    if (!json_spirit::read(text, value)) {
        log_message(LM_ERROR, "jobhistorysrc null.\n");
        Free_DB();
        return false;
    }
    if (value.type() != json_spirit::array_type) {
        log_message(LM_ERROR, "jobhistorysrc is not arrytype.\n");
        Free_DB();
        return false;
    }
    if (value.get_array().empty()) {
        log_message(LM_ERROR, "%s\n", logExcerpt(text).c_str());
        Free_DB();
        return false;
    }
    // Built aside, renamed into place whole.
    DeleteFileW(tempPath_.c_str());
    target_ = to_utf8(tempPath_);
    bool built = InsertResult(value.get_array(), owner);
    target_ = to_utf8(dbPath_);
    if (built && !MoveFileExW(tempPath_.c_str(), dbPath_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        log_message(LM_ERROR, "Rename of the built job history DB failed, %m.\n");
        built = false;
    }
    if (!built) {
        log_message(LM_ERROR, "Insert result failed.\n");
        Free_DB();
    }
    return built;
}

bool LocalJobHistorySrc::QueryJobHistorySrcNode(const std::string& path, std::string& out) {
    Sqlite3Connection db;
    if (!openExisting(dbPath_, db)) {
        out = "[]";
        return true;
    }
    std::string parent = path;
    if (!parent.empty() && parent.back() != '/') parent += '/';
    Sqlite3Statement rows, sub;
    if (sqlite3_preparef(db.get(), rows.out(),
                         "select fullpath,type,mtime,atime,ctime,size,increment from src where "
                         "parentpath = %Q order by type, fullpath;",
                         parent.c_str()) != SQLITE_OK ||
        sqlite3_preparef(db.get(), sub.out(),
                         "select 1 from src where parentpath = ?1 and type = 'dir' limit 1;") !=
            SQLITE_OK) {
        log_message(LM_ERROR, "sqlite3_preparef failed, %d, %s\n", sqlite3_errcode(db.get()),
                    sqlite3_errmsg(db.get()));
        return false;
    }
    json_spirit::Array nodes;
    std::string name;
    int rc;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        std::string fullpath = sqlite_text(rows.get(), 0);
        if (fullpath.empty() || !src_node_name(fullpath, name)) continue;
        bool nullColumn = false;
        for (int column = 1; column <= 4; ++column) {
            nullColumn |= sqlite3_column_type(rows.get(), column) == SQLITE_NULL;
        }
        if (nullColumn) continue;
        std::string type = sqlite_text(rows.get(), 1);
        json_spirit::Object node;
        node[type] = name;
        node["mtime"] = sqlite_text(rows.get(), 2);
        node["atime"] = sqlite_text(rows.get(), 3);
        node["ctime"] = sqlite_text(rows.get(), 4);
        node["increment"] = sqlite3_column_int(rows.get(), 6);
        bindText(sub.get(), 1, fullpath);
        int subRc = sqlite3_step(sub.get());
        sqlite3_reset(sub.get());
        if (subRc != SQLITE_ROW && subRc != SQLITE_DONE) {
            rc = subRc;
            break;
        }
        node["has_sub_dir"] = subRc == SQLITE_ROW ? "true" : "false";
        if (type == "file") {
            node["size"] = static_cast<long long>(sqlite3_column_int64(rows.get(), 5));
        }
        nodes.push_back(std::move(node));
    }
    if (rc != SQLITE_DONE) {
        log_message(LM_ERROR, "Query of the job history DB failed, %d, %s\n", rc,
                    sqlite3_errmsg(db.get()));
        return false;
    }
    out = json_spirit::write(nodes);
    return true;
}

bool LocalJobHistorySrc::QueryAll(std::string& out, bool incrementOnly) {
    Sqlite3Connection db;
    if (!openExisting(dbPath_, db)) {
        out = "[]";
        return true;
    }
    Sqlite3Statement rows;
    if (sqlite3_preparef(db.get(), rows.out(),
                         "select fullpath,type,mtime,atime,ctime,size,increment from src where "
                         "type ='file'%s;",
                         incrementOnly ? " and increment = 1" : "") != SQLITE_OK) {
        log_message(LM_ERROR, "sqlite db call sqlite3_preparef failed!\n");
        return false;
    }
    json_spirit::Array files;
    int rc;
    while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
        std::string fullpath = sqlite_text(rows.get(), 0);
        if (fullpath.empty()) continue;
        json_spirit::Object file;
        file["path"] = fullpath;
        file["type"] = sqlite_text(rows.get(), 1);
        file["mtime"] = sqlite_text(rows.get(), 2);
        file["atime"] = sqlite_text(rows.get(), 3);
        file["ctime"] = sqlite_text(rows.get(), 4);
        file["size"] = static_cast<long long>(sqlite3_column_int64(rows.get(), 5));
        file["increment"] = sqlite3_column_int(rows.get(), 6);
        files.push_back(std::move(file));
    }
    if (rc != SQLITE_DONE) {
        log_message(LM_ERROR, "Query of the job history DB failed, %d, %s\n", rc,
                    sqlite3_errmsg(db.get()));
        return false;
    }
    out = json_spirit::write(files);
    log_message(LM_DEBUG, "result=%s\n", logExcerpt(out).c_str());
    return true;
}

bool LocalJobHistorySrc::get_leafnode(const json_spirit::Array& selection,
                                      json_spirit::Array& leaves, json_spirit::Object& summary) {
    Sqlite3Connection db;
    if (!openExisting(dbPath_, db)) {
        log_message(LM_ERROR, "sqlite db open failed!\n");
        return false;
    }
    // Below a folder: the key range that starts with its path (UTF-8 never holds the byte
    // 0xff), then an exact prefix test of the bytes.
    Sqlite3Statement below, file;
    if (sqlite3_preparef(db.get(), below.out(),
                         "select fullpath,size from src where fullpath > ?1 and fullpath < ?2 "
                         "and substr(CAST(fullpath AS BLOB), 1, length(CAST(?1 AS BLOB))) = "
                         "CAST(?1 AS BLOB) and srcpath = 1;") != SQLITE_OK ||
        sqlite3_preparef(db.get(), file.out(),
                         "select fullpath,size from src where fullpath = ?1 and type ='file' and "
                         "srcpath = 1;") != SQLITE_OK) {
        log_message(LM_ERROR, "sqlite3_preparef failed, %d, %s\n", sqlite3_errcode(db.get()),
                    sqlite3_errmsg(db.get()));
        return false;
    }
    long long files = 0, dirs = 0, size = 0;
    for (const json_spirit::Value& element : selection) {
        if (element.type() != json_spirit::str_type) {
            log_message(LM_WARNING, "a element is not str_type in selectionarry\n");
            continue;
        }
        const std::string& path = element.get_str();
        sqlite3_stmt* statement = file.get();
        if (!path.empty() && path.back() == '/') {
            statement = below.get();
            bindText(statement, 1, path);
            bindText(statement, 2, path + '\xff');
        } else {
            bindText(statement, 1, path);
        }
        int rc;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            std::string fullpath = sqlite_text(statement, 0);
            if (fullpath.empty()) continue;
            if (fullpath.back() == '/') {
                ++dirs;
            } else {
                ++files;
                size += sqlite3_column_int64(statement, 1);
            }
            leaves.push_back(fullpath);
        }
        sqlite3_reset(statement);
        if (rc != SQLITE_DONE) {
            log_message(LM_ERROR, "Query of the job history DB failed, %d, %s\n", rc,
                        sqlite3_errmsg(db.get()));
            return false;
        }
    }
    summary["files"] = files;
    summary["dirs"] = dirs;
    summary["size"] = size;
    return true;
}

}  // namespace portvane
