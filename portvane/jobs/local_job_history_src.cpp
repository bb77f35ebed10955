#include "portvane/jobs/local_job_history_src.h"

#include <sqlite3.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <istream>
#include <map>
#include <set>

#include "common/ace_log_wrapper.h"
#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "common/text_conv.h"
#include "common/text_istream.h"
#include "platform/win32.h"
#include "portvane/db/sqlite_helpers.h"
#include "portvane/db/transaction_guard.h"

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

// Writes the rows of one build: each node as it comes, then the ancestors that the nodes lack.
// A path already in the table keeps its first row: a node the server lists twice, and a folder
// that the server lists as well as an ancestor of another node.
class LocalJobHistorySrc::RowWriter {
public:
    RowWriter(LocalJobHistorySrc& cache, sqlite3* db) : cache_(cache), db_(db) {}

    bool prepare() {
        return sqlite3_preparef(db_, insert_.out(),
                                "insert or ignore into src values(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, "
                                "?9)") == SQLITE_OK;
    }

    // One element of the server's array; elements that name no node are passed over.
    bool node(const json_spirit::Object& object) {
        ++elements_;
        const char* kind = nullptr;
        if (!nodeOf(object, true, kind, path_) || !parent_src_path(path_, parent_)) return true;
        sqlite3_stmt* insert = insert_.get();
        bindText(insert, 1, path_);
        bindText(insert, 2, parent_);
        sqlite3_bind_text(insert, 3, kind, -1, SQLITE_STATIC);
        bindStringMember(4, object, "mtime");
        bindStringMember(5, object, "atime");
        bindStringMember(6, object, "ctime");
        sqlite3_bind_int64(insert, 7, kind[0] == 'f' ? integerMember(object, "size") : 0);
        sqlite3_bind_int64(insert, 8, 1);
        sqlite3_bind_int64(insert, 9, integerMember(object, "bUp") != 0 ? 1 : 0);
        if (cache_.insertRow(insert) != SQLITE_DONE) return false;
        // Volumes bring no ancestors; a folder or file brings every folder above it and its
        // volume, noted once.
        if (kind[0] != 'v') {
            std::string current = parent_;
            while (ancestors_.insert(current).second && parent_src_path(current, next_))
                current.swap(next_);
        }
        return true;
    }

    // The ancestors, in path order.
    bool finish() {
        sqlite3_stmt* insert = insert_.get();
        for (const std::string& current : ancestors_) {
            if (!parent_src_path(current, next_)) continue;
            size_t before =
                current.size() < 2 ? std::string::npos : current.rfind('/', current.size() - 2);
            bindText(insert, 1, current);
            bindText(insert, 2, next_);
            sqlite3_bind_text(insert, 3, before == std::string::npos ? "vol" : "dir", -1,
                              SQLITE_STATIC);
            for (int column = 4; column <= 6; ++column)
                sqlite3_bind_text(insert, column, "", 0, SQLITE_STATIC);
            sqlite3_bind_int64(insert, 7, 0);
            sqlite3_bind_int64(insert, 8, 0);
            sqlite3_bind_null(insert, 9);
            if (cache_.insertRow(insert) != SQLITE_DONE) return false;
        }
        return true;
    }

    uint64_t elements() const { return elements_; }

private:
    void bindStringMember(int column, const json_spirit::Object& object, const char* key) {
        auto it = object.find(key);
        if (it == object.end() || it->second.type() != json_spirit::str_type) {
            sqlite3_bind_text(insert_.get(), column, "", 0, SQLITE_STATIC);
        } else {
            const std::string& text = it->second.get_str();
            sqlite3_bind_text(insert_.get(), column, text.data(), static_cast<int>(text.size()),
                              SQLITE_STATIC);
        }
    }

    LocalJobHistorySrc& cache_;
    sqlite3* db_;
    Sqlite3Statement insert_;
    std::set<std::string> ancestors_;
    std::string path_, parent_, next_;
    uint64_t elements_ = 0;
};

bool LocalJobHistorySrc::insertNodes(const std::function<bool(RowWriter&)>& rows,
                                     const std::string& owner) {
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
    {
        RowWriter writer(*this, db.get());
        if (!writer.prepare() || !rows(writer) || !writer.finish() ||
            (!owner.empty() && sqlite3_direct_execf(db.get(), "insert into owner values(%Q);",
                                                    owner.c_str()) != SQLITE_OK)) {
            log_message(LM_ERROR, "Insert node failed, %d, %s\n", sqlite3_errcode(db.get()),
                        sqlite3_errmsg(db.get()));
            return false;
        }
    }
    transactor.setAbort(false);
    if (!transactor.commit()) {
        log_message(LM_ERROR, "transactor commit failed! state =%d\n  sqlite3_errmsg:%s\n",
                    transactor.state(), sqlite3_errmsg(db.get()));
        return false;
    }
    return true;
}

bool LocalJobHistorySrc::InsertResult(const json_spirit::Array& nodes, const std::string& owner) {
    return insertNodes(
        [&](RowWriter& writer) {
            for (const json_spirit::Value& node : nodes) {
                if (node.type() == json_spirit::obj_type && !writer.node(node.get_obj()))
                    return false;
            }
            return true;
        },
        owner);
}

bool LocalJobHistorySrc::BuildJobHistorySrcDB(const std::string& text, const std::string& owner) {
    // A run's tree can be tens of megabytes: its length and its start are enough for the log.
    log_message(LM_DEBUG, "BuildJobHistorySrcDB(), %d bytes, result=%s\n",
                static_cast<int>(text.size()), logExcerpt(text).c_str());
    TextIstream in(text);
    BuildResult result = BuildJobHistorySrcDB(in, owner);
    if (result == BuildResult::empty) log_message(LM_ERROR, "%s\n", logExcerpt(text).c_str());
    return result == BuildResult::built;
}

LocalJobHistorySrc::BuildResult LocalJobHistorySrc::BuildJobHistorySrcDB(std::istream& in,
                                                                         const std::string& owner) {
    // Built aside as the answer is read, renamed into place whole.
    DeleteFileW(tempPath_.c_str());
    target_ = to_utf8(tempPath_);
    int kind = -1;
    uint64_t elements = 0;
    std::string reason;
    bool built = insertNodes(
        [&](RowWriter& writer) {
            kind = json_spirit::read_object_array(
                in, [&](const json_spirit::Object& node) { return writer.node(node); }, &reason);
            elements = writer.elements();
            return kind == 1 && elements > 0;
        },
        owner);
    target_ = to_utf8(dbPath_);
    BuildResult result = BuildResult::built;
    if (kind < 0 && reason != "stopped") {
        log_message(LM_ERROR, "jobhistorysrc null.\n");
        result = BuildResult::failed;
    } else if (kind == 0) {
        log_message(LM_ERROR, "jobhistorysrc is not arrytype.\n");
        result = BuildResult::failed;
    } else if (kind == 1 && elements == 0) {
        result = BuildResult::empty;
    } else if (!built) {
        result = BuildResult::failed;
    } else if (!MoveFileExW(tempPath_.c_str(), dbPath_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        log_message(LM_ERROR, "Rename of the built job history DB failed, %m.\n");
        result = BuildResult::failed;
    }
    if (result == BuildResult::failed) log_message(LM_ERROR, "Insert result failed.\n");
    if (result != BuildResult::built) Free_DB();
    return result;
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

namespace {

// Appends text as a JSON string, as json_spirit::write writes it.
void appendJsonString(std::string& out, const char* text, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c >= 0x80) {
            // Control characters and UTF-8 (which may be invalid) are the library's to write.
            out += json_spirit::write(json_spirit::Value(std::string(text, size)));
            return;
        }
    }
    out += '"';
    for (size_t i = 0; i < size; ++i) {
        if (text[i] == '"' || text[i] == '\\') out += '\\';
        out += text[i];
    }
    out += '"';
}

void appendTextColumn(std::string& out, sqlite3_stmt* rows, int column) {
    const unsigned char* text = sqlite3_column_text(rows, column);
    appendJsonString(out, reinterpret_cast<const char*>(text),
                     text ? static_cast<size_t>(sqlite3_column_bytes(rows, column)) : 0);
}

// One file row as QueryAll's object: its members in key order, as json_spirit::write has them.
void appendFileObject(std::string& out, sqlite3_stmt* rows) {
    out += "{\"atime\":";
    appendTextColumn(out, rows, 3);
    out += ",\"ctime\":";
    appendTextColumn(out, rows, 4);
    out += ",\"increment\":";
    out += std::to_string(sqlite3_column_int(rows, 6));
    out += ",\"mtime\":";
    appendTextColumn(out, rows, 2);
    out += ",\"path\":";
    appendTextColumn(out, rows, 0);
    out += ",\"size\":";
    out += std::to_string(static_cast<long long>(sqlite3_column_int64(rows, 5)));
    out += ",\"type\":";
    appendTextColumn(out, rows, 1);
    out += '}';
}

// The length of what appendJsonString appends, without making it.
size_t jsonStringLength(const char* text, size_t size) {
    size_t length = size + 2;
    for (size_t i = 0; i < size; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c >= 0x80) {
            std::string written;
            appendJsonString(written, text, size);
            return written.size();
        }
        if (c == '"' || c == '\\') ++length;
    }
    return length;
}

size_t textColumnLength(sqlite3_stmt* rows, int column) {
    const unsigned char* text = sqlite3_column_text(rows, column);
    return jsonStringLength(reinterpret_cast<const char*>(text),
                            text ? static_cast<size_t>(sqlite3_column_bytes(rows, column)) : 0);
}

size_t decimalLength(long long value) {
    char digits[24];
    return static_cast<size_t>(std::snprintf(digits, sizeof digits, "%lld", value));
}

// The length of what appendFileObject appends for the row.
size_t fileObjectLength(sqlite3_stmt* rows) {
    static const size_t kNames = std::strlen(
        "{\"atime\":,\"ctime\":,\"increment\":,\"mtime\":,\"path\":,\"size\":,\"type\":}");
    return kNames + textColumnLength(rows, 3) + textColumnLength(rows, 4) +
           decimalLength(sqlite3_column_int(rows, 6)) + textColumnLength(rows, 2) +
           textColumnLength(rows, 0) + decimalLength(sqlite3_column_int64(rows, 5)) +
           textColumnLength(rows, 1);
}

constexpr size_t kPieceSize = 64 * 1024;

}  // namespace

bool LocalJobHistorySrc::WriteAll(bool incrementOnly,
                                  const std::function<bool(uint64_t length)>& head,
                                  const std::function<bool(const std::string& piece)>& piece) {
    Sqlite3Connection db;
    if (!openExisting(dbPath_, db)) return head(2) && piece("[]");
    Sqlite3Statement rows;
    if (sqlite3_preparef(db.get(), rows.out(),
                         "select fullpath,type,mtime,atime,ctime,size,increment from src where "
                         "type ='file'%s;",
                         incrementOnly ? " and increment = 1" : "") != SQLITE_OK) {
        log_message(LM_ERROR, "sqlite db call sqlite3_preparef failed!\n");
        return false;
    }
    // Two passes over the same rows in one read transaction: the first measures the text, so
    // that its length goes ahead of it, the second writes it out piece by piece.
    if (sqlite3_direct_exec(db.get(), "BEGIN") != SQLITE_OK) {
        log_message(LM_ERROR, "Query of the job history DB failed, %s\n", sqlite3_errmsg(db.get()));
        return false;
    }
    std::string text;
    text.reserve(kPieceSize + 8192);
    uint64_t length = 0;
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1 && !head(length)) return false;
        uint64_t rowsSeen = 0;
        text = "[";
        int rc;
        while ((rc = sqlite3_step(rows.get())) == SQLITE_ROW) {
            if (sqlite3_column_bytes(rows.get(), 0) == 0) continue;
            if (pass == 0) {
                length += fileObjectLength(rows.get());
                ++rowsSeen;
                continue;
            }
            if (rowsSeen++) text += ',';
            appendFileObject(text, rows.get());
            if (text.size() >= kPieceSize) {
                if (!piece(text)) return false;
                text.clear();
            }
        }
        sqlite3_reset(rows.get());
        if (rc != SQLITE_DONE) {
            log_message(LM_ERROR, "Query of the job history DB failed, %d, %s\n", rc,
                        sqlite3_errmsg(db.get()));
            return false;
        }
        if (pass == 0) {
            // The brackets and a comma between two objects.
            length += 2 + (rowsSeen ? rowsSeen - 1 : 0);
            continue;
        }
        text += ']';
        if (!piece(text)) return false;
    }
    return true;
}

bool LocalJobHistorySrc::QueryAll(std::string& out, bool incrementOnly) {
    std::string whole;
    bool written = WriteAll(
        incrementOnly,
        [&](uint64_t length) {
            whole.reserve(length);
            return true;
        },
        [&](const std::string& piece) {
            whole += piece;
            return true;
        });
    if (!written) return false;
    out.swap(whole);
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
