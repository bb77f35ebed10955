#include "portvane/check/consistencheck.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <istream>

#include "common/ace_log_wrapper.h"
#include "common/text_conv.h"
#include "common/text_istream.h"
#include "job/core/consistent_check.h"
#include "job/stores/exclusion_list.h"
#include "platform/win32.h"
#include "portvane/db/sqlite_helpers.h"
#include "portvane/db/transaction_guard.h"

namespace portvane {
namespace {

const char kCreate[] =
    "create table if not exists res(fullpath varchar(4096) primary key,parentpath "
    "varchar(4096),status varchar(10));";
// Listing a folder reads that folder's rows only.
const char kIndex[] = "create index if not exists res_parentpath on res(parentpath);";
// The user who ran the check (one row).
const char kOwner[] = "create table if not exists owner(user text not null);";

bool fileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void bindText(sqlite3_stmt* statement, int index, const std::string& text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
}

// "high-low" of a FILETIME, each half an unsigned 32-bit decimal; false for anything else.
bool parseTime(const std::string& text, unsigned long long& value) {
    unsigned long long halves[2] = {0, 0};
    size_t at = 0;
    for (int half = 0; half < 2; ++half) {
        if (half == 1) {
            if (at >= text.size() || text[at] != '-') return false;
            ++at;
        }
        size_t start = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            halves[half] = halves[half] * 10 + static_cast<unsigned>(text[at] - '0');
            if (halves[half] > 0xffffffffull) return false;
            ++at;
        }
        if (at == start) return false;
    }
    if (at != text.size()) return false;
    value = (halves[0] << 32) | halves[1];
    return true;
}

std::string timeText(const FILETIME& time) {
    char text[32];
    std::snprintf(text, sizeof text, "%u-%u", static_cast<unsigned>(time.dwHighDateTime),
                  static_cast<unsigned>(time.dwLowDateTime));
    return text;
}

// The name a query shows for a row: a file's last component, a folder's last component with its
// "/" ("C:/a/b/" gives "b/"), a top folder whole ("C:/").
std::string shownName(const std::string& fullpath) {
    size_t end = fullpath.size();
    if (end && fullpath[end - 1] == '/') --end;
    size_t slash = end ? fullpath.rfind('/', end - 1) : std::string::npos;
    return slash == std::string::npos ? fullpath : fullpath.substr(slash + 1);
}

}  // namespace

ConsistencheckImpl::ConsistencheckImpl(const std::string& id) {
    consistentcheck_path(folder_, from_utf8(id).c_str());
    dbPath_ = folder_ + L"\\checkresult.db";
}

int ConsistencheckImpl::insertRow(sqlite3_stmt* insert) {
    int rc = sqlite3_step(insert);
    sqlite3_reset(insert);
    return rc;
}

int ConsistencheckImpl::stepQuery(sqlite3_stmt* query) { return sqlite3_step(query); }

bool ConsistencheckImpl::consistentcheck(const std::string& selection,
                                         const std::string& lastBackup, const std::string& user) {
    log_message(LM_INFO,
                "ConsistencheckImpl::consistentcheck(), json_selection=%s,json_lastbackup=%s,"
                "user=%s\n",
                selection.substr(0, 512).c_str(), lastBackup.substr(0, 512).c_str(), user.c_str());
    if (!walkSelection(selection, user)) return false;
    TextIstream in(lastBackup);
    return compare(in);
}

bool ConsistencheckImpl::walkSelection(const std::string& selection, const std::string& user) {
    json_spirit::Value parsed;
    if (!json_spirit::read(selection, parsed)) {
        log_message(LM_ERROR,
                    "Consistent check failed, read the selected files/directories failed, "
                    "selection = %s\n",
                    selection.c_str());
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (parsed.type() != json_spirit::obj_type) {
        log_message(LM_ERROR,
                    "Consistent check failed, invalid selected files/directories selection "
                    "format, selection = %s\n",
                    selection.c_str());
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const json_spirit::Object& object = parsed.get_obj();
    auto source = object.find("source");
    if (source == object.end() || source->second.type() != json_spirit::obj_type) {
        log_message(LM_ERROR,
                    "Consistent check failed, can't get sources of selected files/directories "
                    "selection, selection = \n");
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    disk_.clear();
    owner_ = user;
    for (const auto& member : source->second.get_obj()) {
        if (member.second.type() != json_spirit::int_type) {
            log_message(LM_ERROR, "Consistent check: source path type is invalid.\n");
            continue;
        }
        std::wstring path = from_utf8(member.first);
        if (member.second.is_uint64() || member.second.get_int64() != 1) {
            walk(path);
            continue;
        }
        // A selected folder that is itself a link is left alone, as every link below it.
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            log_message(LM_WARNING, "Consistent check: %s is a link, not followed.\n",
                        member.first.c_str());
            continue;
        }
        walk(path + L"/*");
    }

    exclusions_.clear();
    {
        ExclusionList list;
        json_spirit::Value paths;
        if (list.getList(user.c_str(), paths) && paths.type() == json_spirit::array_type)
            exclusions_ = paths.get_array();
    }

    return true;
}

bool ConsistencheckImpl::compare(std::istream& lastBackup) {
    // Each member of the listing is compared as it is read: a path of the disk keeps the time
    // the backup holds for it (the last one of a repeated key), any other path is a deletion.
    for (auto& entry : disk_) {
        entry.second.backed = json_spirit::Value();
        entry.second.inBackup = false;
    }
    deleted_.clear();
    std::string reason;
    int kind = json_spirit::read_object_members(
        lastBackup,
        [this](const std::string& path, const json_spirit::Value& time) {
            auto found = disk_.find(path);
            if (found == disk_.end()) {
                deleted_.push_back(path);
            } else {
                found->second.backed = time;
                found->second.inBackup = true;
            }
            return true;
        },
        &reason);
    if (kind < 0) {
        log_message(LM_ERROR,
                    "Consistent check failed, read the last backup selection failed, "
                    "last-back-selection: %s\n",
                    reason.c_str());
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (kind == 0) {
        log_message(LM_ERROR,
                    "Consistent check failed, invalid last backup selection format, "
                    "last-back-selection: %s\n",
                    "(not an object)");
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // The deletions in the order of their paths, each once.
    std::sort(deleted_.begin(), deleted_.end());
    deleted_.erase(std::unique(deleted_.begin(), deleted_.end()), deleted_.end());
    return check_file();
}

void ConsistencheckImpl::walk(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(path.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) {
        log_message(LM_WARNING,
                    "Consistent check: find all files of %s failed, call FindFirstFile failed, "
                    "error-code = %d, %m.\n",
                    to_utf8(path).c_str(), static_cast<int>(GetLastError()));
        return;
    }
    if (path.empty() || path.back() != L'*') {
        disk_[to_utf8(path)].written = timeText(entry.ftLastWriteTime);
        FindClose(search);
        return;
    }
    std::wstring base = path.substr(0, path.size() - 1);
    do {
        const wchar_t* name = entry.cFileName;
        if (!wcscmp(name, L".") || !wcscmp(name, L"..")) continue;
        // Links and junctions are not followed: one that leads back into its own tree would
        // never end, and what one points to is not part of the selection.
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
        std::wstring full = base + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            walk(full + L"/*");
        else
            disk_[to_utf8(full)].written = timeText(entry.ftLastWriteTime);
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

bool ConsistencheckImpl::prepare_db(sqlite3* db) {
    int rc = sqlite3_direct_exec(db, kCreate);
    if (rc == SQLITE_OK) rc = sqlite3_direct_exec(db, kIndex);
    if (rc == SQLITE_OK) rc = sqlite3_direct_exec(db, kOwner);
    if (rc != SQLITE_OK) {
        log_message(LM_WARNING,
                    "Consistent check: build consistent check DB failed, failed to create "
                    "table, Sqlite3 error-code = %d, Sqlite3 error-msg = %s\n",
                    rc, sqlite3_errmsg(db));
        return false;
    }
    if ((rc = sqlite3_direct_exec(db, "delete from res;")) != SQLITE_OK ||
        (rc = sqlite3_direct_exec(db, "delete from owner;")) != SQLITE_OK) {
        log_message(LM_WARNING,
                    "Consistent check: clear consistent check DB failed, Sqlite3 error-code = "
                    "%d, Sqlite3 error-msg = %s\n",
                    rc, sqlite3_errmsg(db));
        return false;
    }
    if ((rc = sqlite3_direct_exec(db, "insert into res values('','','');")) != SQLITE_OK) {
        log_message(LM_ERROR,
                    "Consistent check: insert values to res table failed, Sqlite3 error-code "
                    "= %d, Sqlite3 error-msg = %s.\n",
                    rc, sqlite3_errmsg(db));
        return false;
    }
    if ((rc = sqlite3_script_exec(db, "PRAGMA journal_mode=MEMORY; PRAGMA synchronous=OFF;")) !=
        SQLITE_OK) {
        log_message(LM_ERROR,
                    "Consistent check: set consistent check DB failed, Sqlite3 error-code = %d, "
                    "Sqlite3 error-msg = %s.\n",
                    rc, sqlite3_errmsg(db));
        return false;
    }
    return true;
}

// The file's row, then a row for each folder above it up to the first that is there already.
bool ConsistencheckImpl::insertDifference(sqlite3* db, sqlite3_stmt* insert,
                                          const std::string& path, const char* status) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return true;  // no folder to show it in
    std::string current = path;
    std::string parent = path.substr(0, slash + 1);
    bindText(insert, 1, current);
    bindText(insert, 2, parent);
    bindText(insert, 3, status);
    int rc = insertRow(insert);
    if (rc == SQLITE_CONSTRAINT) return true;  // a repeated key of the listing
    while (rc == SQLITE_DONE) {
        current = parent;
        slash = current.size() >= 2 ? current.rfind('/', current.size() - 2) : std::string::npos;
        parent = slash == std::string::npos ? std::string() : current.substr(0, slash + 1);
        bindText(insert, 1, current);
        bindText(insert, 2, parent);
        bindText(insert, 3, std::string());
        rc = insertRow(insert);
        if (rc == SQLITE_CONSTRAINT) return true;  // the folder's row and those above exist
        if (rc == SQLITE_DONE && parent.empty()) return true;
    }
    log_message(LM_ERROR,
                "Consistent check: insert of %s failed, Sqlite3 error-code = %d, Sqlite3 "
                "error-msg = %s\n",
                current.c_str(), rc, sqlite3_errmsg(db));
    return false;
}

bool ConsistencheckImpl::check_file() {
    std::string dbPath = to_utf8(dbPath_);
    // The folder with every missing parent (a machine where nothing was kept yet).
    for (size_t at = folder_.find(L'\\', 3); at != std::wstring::npos;
         at = folder_.find(L'\\', at + 1))
        CreateDirectoryW(folder_.substr(0, at).c_str(), nullptr);
    CreateDirectoryW(folder_.c_str(), nullptr);
    Sqlite3Connection db;
    int rc = sqlite_open(dbPath.c_str(), SqliteOpen::create, db.out());
    if (rc != SQLITE_OK) {
        log_message(LM_WARNING,
                    "Consistent check: open DataBase failed, dbpath = %s, Sqlite3 error-code = "
                    "%d\n",
                    dbPath.c_str(), rc);
        return false;
    }
    if (!prepare_db(db.get())) return false;
    Sqlite3Transactor transactor(db.get());
    if (transactor.state() != Sqlite3Transactor::open) {
        log_message(LM_ERROR,
                    "Consistent check: create sqlite3 transactor failed, DataBase path = "
                    "%s,Sqlite3 error-code = %d, Sqlite3 error-msg = %s\n",
                    dbPath.c_str(), transactor.result(), sqlite3_errmsg(db.get()));
        return false;
    }
    transactor.setAbort(true);  // until every row is in
    Sqlite3Statement insert;
    if ((rc = sqlite3_preparef(db.get(), insert.out(), "insert into res values(?1,?2,?3);")) !=
        SQLITE_OK) {
        log_message(LM_ERROR, "Consistent check: prepare insert failed, Sqlite3 error-code = %d\n",
                    rc);
        return false;
    }
    auto excluded = [this](const std::string& path) {
        for (const json_spirit::Value& value : exclusions_)
            if (value.type() == json_spirit::str_type && value.get_str() == path) return true;
        return false;
    };
    auto write = [&](const std::string& path, const char* status) {
        return excluded(path) || insertDifference(db.get(), insert.get(), path, status);
    };

    for (const auto& [path, file] : disk_) {
        const std::string& diskTime = file.written;
        if (!file.inBackup) {
            if (!write(path, "added")) return false;
            continue;
        }
        const json_spirit::Value& backedTime = file.backed;
        unsigned long long disk = 0, backed = 0;
        if (!parseTime(diskTime, disk)) {
            log_message(LM_ERROR,
                        "Consistent check: last-write-time is invalid formatted within sqlite3 "
                        "DataBase, path = %s, last-write-time format type:%d\n",
                        path.c_str(), static_cast<int>(json_spirit::str_type));
            continue;
        }
        if (backedTime.type() != json_spirit::str_type ||
            !parseTime(backedTime.get_str(), backed)) {
            log_message(LM_ERROR,
                        "Consistent check: last-backup-time is invalid formatted within sqlite3 "
                        "DataBase, path = %s, last-backup-time format type:%d\n",
                        path.c_str(), static_cast<int>(backedTime.type()));
            continue;
        }
        if (disk > backed && !write(path, "modified")) return false;
    }
    for (const std::string& path : deleted_) {
        if (!write(path, "deleted")) return false;
    }
    insert.finalize();
    if ((rc = sqlite3_direct_execf(db.get(), "insert into owner values(%Q);", owner_.c_str())) !=
        SQLITE_OK) {
        log_message(LM_ERROR,
                    "Consistent check: insert the owner failed, Sqlite3 error-code = %d, Sqlite3 "
                    "error-msg = %s\n",
                    rc, sqlite3_errmsg(db.get()));
        return false;
    }
    transactor.setAbort(false);
    if (!transactor.commit()) {
        log_message(LM_ERROR,
                    "Consistent check: transcation commit failed, path = %s,Sqlite3 error-code "
                    "= %d, Sqlite3 error-msg = %s\n",
                    dbPath.c_str(), transactor.result(), sqlite3_errmsg(db.get()));
        return false;
    }
    return true;
}

bool ConsistencheckImpl::exists() const { return fileExists(dbPath_); }

bool ConsistencheckImpl::ownedBy(const std::string& user) const {
    return exists() && sqlite_owned_by(to_utf8(dbPath_).c_str(), user);
}

bool ConsistencheckImpl::openResult(sqlite3** db, const std::string& what) {
    int rc = SQLITE_CANTOPEN;
    if (fileExists(dbPath_)) rc = sqlite_open(to_utf8(dbPath_).c_str(), SqliteOpen::read, db);
    if (rc == SQLITE_OK) return true;
    log_message(LM_ERROR,
                "Consistent check: open consistent check result DB failed, query-path = %s, "
                "Sqlite3 error-code = %d.\n",
                what.c_str(), rc);
    return false;
}

bool ConsistencheckImpl::query_resultdb(const std::string& path, json_spirit::Array& out) {
    Sqlite3Connection db;
    if (!openResult(db.out(), path)) return false;
    std::string parent = path;
    if (!parent.empty() && parent.back() != '/') parent += '/';
    Sqlite3Statement query;
    int rc = sqlite3_preparef(db.get(), query.out(),
                              "select fullpath,status from res where parentpath =?1 order by "
                              "status,fullpath;");
    if (rc == SQLITE_OK) {
        bindText(query.get(), 1, parent);
        while ((rc = stepQuery(query.get())) == SQLITE_ROW) {
            std::string fullpath = sqlite_text(query.get(), 0);
            if (fullpath.empty() || sqlite3_column_type(query.get(), 1) == SQLITE_NULL) continue;
            json_spirit::Object row;
            row["path"] = shownName(fullpath);
            row["state"] = std::string(sqlite_text(query.get(), 1));
            out.push_back(row);
        }
        if (rc == SQLITE_DONE) return true;
    }
    log_message(LM_ERROR,
                "Consistent check: query consistent check result failed, query-path = %s, "
                "Sqlite3 error-code = %d, Sqlite3 error-msg = %s\n",
                path.c_str(), rc, sqlite3_errmsg(db.get()));
    return false;
}

bool ConsistencheckImpl::get_leafnode(const json_spirit::Array& paths, const char* status,
                                      json_spirit::Array& out) {
    Sqlite3Connection db;
    if (!openResult(db.out(), status)) return false;
    // Below a folder: the key range that starts with its bytes (UTF-8 never holds 0xff), then
    // an exact byte-wise prefix test, so that neither "_" nor "%" nor letter case widens it.
    Sqlite3Statement below, file;
    int rc = sqlite3_preparef(db.get(), below.out(),
                              "select fullpath from res where fullpath >= ?1 and fullpath < ?2 "
                              "and substr(CAST(fullpath AS BLOB),1,length(CAST(?1 AS BLOB)))="
                              "CAST(?1 AS BLOB) and status =?3;");
    if (rc == SQLITE_OK)
        rc = sqlite3_preparef(db.get(), file.out(),
                              "select fullpath from res where fullpath =?1 and status =?3;");
    for (size_t i = 0; rc == SQLITE_OK && i < paths.size(); ++i) {
        if (paths[i].type() != json_spirit::str_type) {
            log_message(LM_WARNING, "a element is not str_type in selectionarry\n");
            continue;
        }
        const std::string& path = paths[i].get_str();
        sqlite3_stmt* statement = file.get();
        if (!path.empty() && path.back() == '/') {
            statement = below.get();
            bindText(statement, 2, path + '\xff');
        }
        bindText(statement, 1, path);
        bindText(statement, 3, status);
        while ((rc = stepQuery(statement)) == SQLITE_ROW) {
            std::string fullpath = sqlite_text(statement, 0);
            if (!fullpath.empty()) out.push_back(fullpath);
        }
        sqlite3_reset(statement);
        if (rc == SQLITE_DONE) rc = SQLITE_OK;
    }
    if (rc == SQLITE_OK) return true;
    log_message(LM_ERROR,
                "Consistent check: query consistent check result failed, query-path = %s, "
                "Sqlite3 error-code = %d, Sqlite3 error-msg = %s\n",
                status, rc, sqlite3_errmsg(db.get()));
    return false;
}

bool ConsistencheckImpl::free_db() {
    if (fileExists(dbPath_) && !DeleteFileW(dbPath_.c_str())) {
        log_message(LM_ERROR,
                    "Consistent check: delte consistent check result failed, path = %s, "
                    "error-code = %d, %m.\n",
                    to_utf8(dbPath_).c_str(), static_cast<int>(GetLastError()));
        return false;
    }
    if (!RemoveDirectoryW(folder_.c_str())) {
        log_message(LM_ERROR,
                    "Consistent check: remove direcotry of consistent check result failed, path "
                    "= %s, error-code = %d, %m.\n",
                    to_utf8(folder_).c_str(), static_cast<int>(GetLastError()));
        return false;
    }
    return true;
}

}  // namespace portvane
