// "/filesystem": the machine's drives and folders for the browser to walk, and the creation,
// renaming and deletion of folders. Works on the local file system only; the authorisation hook
// lets only logged-in users through.
#include "portvane/forwarding.h"
//
#include <cstdio>
#include <string>

#include "common/holders.h"
#include "common/text_conv.h"
#include "common/win32_error.h"
#include "job/core/file_helpers.h"
#include "portvane/local_paths.h"

using namespace tovel::web;
using portvane::reply;

namespace {

// The drive entries of c: to z:, those that do not answer left out.
json_spirit::Array listDrives() {
    static const char* const kTypes[] = {"unknown", "no_root_dir", "removable", "fixed",
                                         "remote",  "cdrom",       "ramdisk"};
    json_spirit::Array drives;
    for (wchar_t letter = L'c'; letter <= L'z'; ++letter) {
        std::wstring root = std::wstring(1, letter) + L":\\";
        wchar_t label[36] = {};
        wchar_t fileSystem[64] = {};
        bool haveLabel = GetVolumeInformationW(root.c_str(), label, 36, nullptr, nullptr, nullptr,
                                               fileSystem, 64) != FALSE;
        if (!haveLabel && GetLastError() == ERROR_NOT_READY) continue;
        DWORD sectors = 0, bytes = 0, freeClusters = 0, totalClusters = 0;
        if (!GetDiskFreeSpaceW(root.c_str(), &sectors, &bytes, &freeClusters, &totalClusters))
            continue;
        UINT type = GetDriveTypeW(root.c_str());
        json_spirit::Object drive;
        drive["vol"] = std::string(1, static_cast<char>(letter)) + ":";
        drive["type"] = type < 7 ? kTypes[type] : "unknown";
        if (haveLabel && label[0]) drive["label"] = to_utf8(std::wstring(label));
        uint64_t cluster = uint64_t{sectors} * bytes;
        drive["total"] = static_cast<int64_t>(uint64_t{totalClusters} * cluster);
        drive["free"] = static_cast<int64_t>(uint64_t{freeClusters} * cluster);
        drives.push_back(drive);
    }
    return drives;
}

// The entries of the folder at path ("C:\t", "C:"); false with the last error when it cannot
// be listed.
bool listFolder(const std::wstring& path, json_spirit::Array& out) {
    WIN32_FIND_DATAW data;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return false;
    last_error_restorer keep;
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        json_spirit::Object entry;
        SYSTEMTIME t{};
        FileTimeToSystemTime(&data.ftLastWriteTime, &t);
        char mtime[64];
        std::snprintf(mtime, sizeof mtime, "%u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay,
                      t.wHour, t.wMinute, t.wSecond);
        entry["mtime"] = std::string(mtime);
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            entry["dir"] = to_utf8(name);
        } else {
            entry["file"] = to_utf8(name);
            entry["size"] =
                static_cast<int64_t>((uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow);
        }
        out.push_back(entry);
    } while (FindNextFileW(search, &data));
    FindClose(search);
    return true;
}

void replyListFailure(mg_connection* conn, DWORD error) {
    win32_error_wtext text(error);
    std::string body = json_spirit::write(
        json_spirit::Value(json_spirit::Object{{"reason", to_utf8(std::wstring(text.text()))}}));
    mg_printf(conn,
              "HTTP/1.1 404 Not Found\r\nContent-Type: application/json\r\nContent-Length: "
              "%u\r\n\r\n",
              static_cast<unsigned>(body.size()));
    mg_write(conn, body.data(), body.size());
}

// Whether the browser's path names a place on a drive: a drive path, or a drive alone ("C:").
bool onDrive(const std::string& local) {
    if (local.size() == 2) return portvane::isDrivePath(local + "\\");
    return portvane::isDrivePath(local);
}

void handleGet(mg_connection* conn, const std::string& local) {
    json_spirit::Array entries;
    if (local.empty()) {
        entries = listDrives();
    } else if (!onDrive(local)) {
        replyListFailure(conn, ERROR_BAD_PATHNAME);
        return;
    } else if (!listFolder(portvane::windowsPath(local), entries)) {
        replyListFailure(conn, GetLastError());
        return;
    }
    portvane::replyJson(conn, json_spirit::write(json_spirit::Value(entries)));
}

void handlePost(mg_connection* conn, const mg_request_info* request, const std::string& local) {
    json_spirit::Value body;
    std::string text(request->post_data ? request->post_data : "", request->post_data_len);
    if (!json_spirit::read(text, body) || body.type() != json_spirit::obj_type) {
        reply(conn, portvane::kReply400);
        return;
    }
    const json_spirit::Object& object = body.get_obj();
    auto p = object.find("path");
    if (p == object.end() || p->second.type() != json_spirit::str_type) {
        reply(conn, portvane::kReply400);
        return;
    }
    const std::string& target = p->second.get_str();
    if (portvane::hasControlCharacter(target)) {
        reply(conn, portvane::kReply400);
        return;
    }
    std::wstring to = portvane::plainDrivePath(target);
    if (to.empty()) {
        log_message(LM_ERROR, "Filesystem: refused the path %s, not an absolute drive path.\n",
                    target.c_str());
        reply(conn, portvane::kReply403);
        return;
    }
    if (portvane::isInsideAgentFolders(to)) {
        log_message(LM_ERROR, "Filesystem: refused to make %s, it is the agent's own.\n",
                    target.c_str());
        reply(conn, portvane::kReply403);
        return;
    }
    if (local.empty()) {
        int result = SHCreateDirectory(nullptr, to.c_str());
        reply(conn, result == 0 || result == ERROR_ALREADY_EXISTS ? portvane::kReply200
                                                                  : portvane::kReply403);
        return;
    }
    std::wstring from = portvane::plainDrivePath(local);
    if (from.empty() || portvane::isProtectedFolder(from) || portvane::isInsideAgentFolders(from)) {
        log_message(LM_ERROR, "Filesystem: refused to move %s.\n", local.c_str());
        reply(conn, portvane::kReply403);
        return;
    }
    if (!MoveFileW(from.c_str(), to.c_str())) {
        log_message(LM_ERROR, "Filesystem: failed to move %s to %s, error-code = %d.\n",
                    local.c_str(), target.c_str(), static_cast<int>(GetLastError()));
        reply(conn, portvane::kReply403);
        return;
    }
    reply(conn, portvane::kReply200);
}

void handleDelete(mg_connection* conn, const std::string& local) {
    if (local.empty()) {
        reply(conn, portvane::kReply403);
        return;
    }
    std::wstring path = portvane::plainDrivePath(local);
    if (path.empty()) {
        log_message(LM_ERROR, "Filesystem: refused to delete %s, not an absolute drive path.\n",
                    local.c_str());
        reply(conn, portvane::kReply500);
        return;
    }
    if (portvane::isProtectedFolder(path) || portvane::isInsideAgentFolders(path)) {
        log_message(LM_ERROR, "Filesystem: refused to delete %s.\n", local.c_str());
        reply(conn, portvane::kReply403);
        return;
    }
    DWORD result = rm_rf(path.c_str(), FALSE);
    if (result != 0) {
        log_message(LM_ERROR, "Filesystem: failed to delete %s, error-code = %d.\n", local.c_str(),
                    static_cast<int>(result));
        reply(conn, portvane::kReply500);
        return;
    }
    reply(conn, portvane::kReply200);
}

}  // namespace

// GET lists the drives ("/filesystem") or a folder ("/filesystem/C:/t"); POST creates the
// folder that the body's "path" names ("/filesystem") or moves the local path there; DELETE
// removes the local path and everything below it. Paths are drive paths with "/" or "\";
// anything else is refused: a listing with 404 and a reason, a POST with 403, a DELETE with 500.
// A drive root, the agent's data or program folder and the folders above them are never removed
// or moved, and nothing inside those two folders is removed, moved, renamed or made (403). A
// path with a control character is refused (400) whatever the method.
extern "C" void filesystem_list_callback(mg_connection* conn, const mg_request_info* request) {
    std::string uri = request->uri ? request->uri : "";
    if (uri.compare(0, 11, "/filesystem") != 0) {
        reply(conn, portvane::kReply404);
        return;
    }
    std::string local = uri.substr(11);
    if (!local.empty() && local[0] == '/') local.erase(0, 1);
    if (portvane::hasControlCharacter(local)) {
        log_message(LM_ERROR, "Filesystem: refused a path with a control character.\n");
        reply(conn, portvane::kReply400);
        return;
    }
    if (portvane::methodIs(request, "GET")) {
        handleGet(conn, local);
    } else if (portvane::methodIs(request, "POST")) {
        handlePost(conn, request, local);
    } else if (portvane::methodIs(request, "DELETE")) {
        handleDelete(conn, local);
    } else {
        reply(conn, portvane::kReply403);
    }
}
