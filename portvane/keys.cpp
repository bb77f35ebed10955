// "/key": the state of the logged-in user's encryption key, and its export to and import from a
// file of this machine.
#include "portvane/forwarding.h"
//
#include <memory>
#include <mutex>

#include "common/holders.h"
#include "job/key_manager.h"
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

}  // namespace

// "/key/state" (any method), "/key/export" and "/key/import" with the path in the body. A path
// must be absolute on a drive of this machine ("C:/k/key.txt"): anything else is refused with
// 400 before the key store sees it.
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
    if (!portvane::isDrivePath(path)) {
        log_message(LM_ERROR,
                    "Import/export key failed, bad request, the import/export path is not an "
                    "absolute path.\n");
        reply(conn, portvane::kReply400);
        return;
    }
    std::wstring wide = portvane::windowsPath(path);
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
