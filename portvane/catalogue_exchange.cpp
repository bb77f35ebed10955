#include "portvane/catalogue_exchange.h"

#include <vector>

#include "job/core/job_state.h"
#include "job/job_manager.h"
#include "plandeck/restore_job_definition.h"

namespace portvane {

bool haveServer(mg_connection* conn, const ServerAddress& server, const char* message) {
    if (!server.host.empty() && server.port != 0) return true;
    log_message(LM_ERROR, message);
    reply(conn, kReply404);
    return false;
}

void replyJsonWithCookie(mg_connection* conn, const std::string& setCookie,
                         const std::string& body) {
    if (setCookie.empty()) {
        replyJson(conn, body);
    } else {
        replyRelayed(conn, 200, setCookie.c_str(), body);
    }
}

bool replyJsonHeadWithCookie(mg_connection* conn, const std::string& setCookie, uint64_t length) {
    // The heads of replyJson and replyRelayed, with the length given.
    std::string head = "HTTP/1.1 200 OK\r\n";
    if (setCookie.empty()) {
        head += "Content-Type: application/json\r\n";
    } else {
        head += "Set-Cookie: " + browserCookie(setCookie) + "\r\n";
        head += "Content-Type: application/json\r\nX-Content-Type-Options: nosniff\r\n";
    }
    head += "Content-Length: " + std::to_string(length) + "\r\n\r\n";
    return tovel::web::mg_write(conn, head.data(), head.size()) == static_cast<int>(head.size());
}

void releaseFreeMemory() {
    DWORD saved = GetLastError();
    HeapCompact(GetProcessHeap(), 0);
    SetLastError(saved);
}

bool isBusyState(int state) {
    switch (state) {
        case JS_STARTING:
        case JS_RUNNING:
        case JS_COMPLETING:
        case JS_PAUSING:
        case JS_PAUSED:
        case JS_CANCELING:
            return true;
        default:
            return false;
    }
}

void removeRestoreJobs(const std::string& runId) {
    std::vector<std::string> ids;
    JobManagerImpl* manager = JobManagerImpl::instance();
    manager->jobs([&](const Job& job) {
        const auto* restore = dynamic_cast<const RestoreJobDefinition*>(job.definition());
        if (restore && restore->type() == 2 && runId == restore->instanceId()) {
            ids.push_back(restore->id());
        }
    });
    for (auto it = ids.rbegin(); it != ids.rend(); ++it) manager->removeJob(it->c_str());
}

}  // namespace portvane
