// "/key": the state of the logged-in user's encryption key, and its export to and import from a
// file of this machine.
#include "portvane/forwarding.h"
//
#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>

#include "common/holders.h"
#include "job/stores/key_manager.h"
#include "portvane/local_paths.h"

using namespace tovel::web;
using portvane::reply;

namespace {

// The plug-in's own key store, made on first use; concurrent first requests share it. It lives
// until the plug-in is unloaded.
KeyManagerImpl& keyManager() {
    static std::mutex lock;
    static std::unique_ptr<KeyManagerImpl> instance;
    std::lock_guard<std::mutex> hold(lock);
    if (!instance) instance = std::make_unique<KeyManagerImpl>();
    return *instance;
}

const char* stateWord(int state) {
    switch (state) {
        case 0:
            return "error_registered";
        case 1:
            return "export_required";
        case 2:
            return "import_required";
        case 3:
            return "exported";
        default:
            return nullptr;
    }
}

// The path and overwrite flag of an export or import body: a bare JSON string, or an object with
// a string "path" and a boolean "overwriteexit". Anything else leaves path empty.
void readBody(const json_spirit::Value& body, std::string& path, bool& overwrite) {
    overwrite = false;
    if (body.type() == json_spirit::str_type) {
        path = body.get_str();
        return;
    }
    if (body.type() != json_spirit::obj_type) return;
    const json_spirit::Object& object = body.get_obj();
    auto p = object.find("path");
    if (p != object.end() && p->second.type() == json_spirit::str_type) path = p->second.get_str();
    auto o = object.find("overwriteexit");
    if (o != object.end() && o->second.type() == json_spirit::bool_type)
        overwrite = o->second.get_bool();
}

// Whether the file at path is itself an exported key: a plain file (no link, no folder, no
// device) whose text, blanks aside, is the Base64 form of a 32-byte key, as an export writes
// it. Only such a file may be replaced by an export.
bool holdsExportedKey(const std::wstring& path) {
    last_error_restorer keep;
    scoped_handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) return false;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file.get(), &information) ||
        (information.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) ||
        information.nFileSizeHigh != 0 || information.nFileSizeLow > 256)
        return false;
    char content[257];
    DWORD got = 0;
    if (!ReadFile(file.get(), content, sizeof content, &got, nullptr)) return false;
    std::string text;
    for (DWORD i = 0; i < got; ++i) {
        auto c = static_cast<unsigned char>(content[i]);
        if (!std::isspace(c)) text += static_cast<char>(c);
    }
    // 32 bytes: 43 digits and one '='.
    if (text.size() != 44 || text[43] != '=') return false;
    return std::all_of(text.begin(), text.end() - 1, [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
    });
}

// Why an export to path may not write there, or null when it may: a place inside the agent's
// own folders, a link on the way or at the path, or (with overwrite) an existing file that is
// no exported key.
const char* exportRefusal(const std::wstring& path, bool overwrite) {
    if (portvane::isInsideAgentFolders(path)) return "it is the agent's own";
    if (portvane::passesThroughLink(path)) return "it goes through a link";
    if (overwrite && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES &&
        !holdsExportedKey(path))
        return "the file there is no exported key";
    return nullptr;
}

}  // namespace

// "/key/state" (any method), "/key/export" and "/key/import" with the path in the body. A path
// must be absolute on a drive of this machine ("C:/k/key.txt") without a control character:
// anything else is refused with 400 before the key store sees it. An export never writes inside
// the agent's data or program folders nor through a link, and replaces only an exported key
// (403 otherwise, nothing touched).
extern "C" void key_callback(mg_connection* conn, const mg_request_info* request) {
    last_error_restorer keep;
    std::string user;
    if (portvane::userFromCookie(conn, user).empty()) {
        log_message(LM_ERROR, "Import/export key failed, unauthorized, no cookie.\n");
        reply(conn, portvane::kReply401);
        return;
    }
    std::vector<std::string> segments = portvane::splitUri(request->uri);
    if (segments.empty() || segments[0] != "key" || segments.size() < 2) {
        log_message(LM_ERROR, "Import/export key failed, bad request, url = %s.\n", request->uri);
        reply(conn,
              segments.empty() || segments[0] != "key" ? portvane::kReply404 : portvane::kReply400);
        return;
    }
    const std::string& operation = segments[1];
    if (operation == "state") {
        int state = keyManager().keyState(user.c_str());
        const char* word = stateWord(state);
        if (!word) {
            log_message(LM_ERROR, "Import/export key failed, unknown key state, state = %d.\n",
                        state);
            reply(conn, portvane::kReply500);
            return;
        }
        portvane::replyJson(conn, std::string("{\"state\":\"") + word + "\"}");
        return;
    }
    if (operation != "export" && operation != "import") {
        log_message(LM_ERROR, "Import/export key failed, bad request, unknown operation.\n");
        reply(conn, portvane::kReply400);
        return;
    }
    json_spirit::Value body;
    if (!json_spirit::read(
            std::string(request->post_data ? request->post_data : "", request->post_data_len),
            body)) {
        log_message(LM_ERROR,
                    "Import/export key failed, bad request, the import/export path is invalid.\n");
        reply(conn, portvane::kReply400);
        return;
    }
    std::string path;
    bool overwrite = false;
    readBody(body, path, overwrite);
    if (path.empty()) {
        log_message(LM_ERROR,
                    "Import/export key failed, bad request, the import/export path is empty.\n");
        reply(conn, portvane::kReply400);
        return;
    }
    std::wstring wide = portvane::plainDrivePath(path);
    if (wide.empty() || portvane::hasControlCharacter(path)) {
        log_message(LM_ERROR,
                    "Import/export key failed, bad request, the import/export path is not an "
                    "absolute path.\n");
        reply(conn, portvane::kReply400);
        return;
    }
    if (operation == "export") {
        if (const char* why = exportRefusal(wide, overwrite)) {
            log_message(LM_ERROR, "Import/export key failed, refused to write %s, %s.\n",
                        path.c_str(), why);
            reply(conn, portvane::kReply403);
            return;
        }
    }
    bool done = operation == "export"
                    ? keyManager().exportKey(user.c_str(), wide.c_str(), overwrite)
                    : keyManager().importKey(user.c_str(), wide.c_str());
    if (done) {
        reply(conn, portvane::kReply200);
        return;
    }
    DWORD error = GetLastError();
    if (operation == "export" && !overwrite && error == ERROR_FILE_EXISTS) {
        reply(conn, portvane::kReply409);
        return;
    }
    log_message(LM_ERROR, "Import/export key failed, error-code = %d.\n", static_cast<int>(error));
    reply(conn, portvane::kReply500);
}
