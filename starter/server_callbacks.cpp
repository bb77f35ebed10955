#include "starter/server_callbacks.h"

#include <ace/Thread.h>

#include <string>

#include "common/ace_log_wrapper.h"

using namespace tovel::web;

int spawn_server_thread(mg_thread_func_t func, void* param) {
    return ACE_Thread::spawn(func, param, THR_NEW_LWP | THR_DETACHED) == 0 ? 0 : -1;
}

void log_server_message(mg_connection*, const mg_request_info* request, const char* message) {
    uint32_t address = request ? request->remote_ip : 0;
    std::string line =
        "client " + std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) +
        "." + std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF) + " ";
    if (request && request->request_method) {
        line += request->request_method;
        line += " ";
        line += request->uri ? request->uri : "";
    }
    line += ": ";
    line += message ? message : "";
    log_message(LM_ERROR, "%s\n", line.c_str());
}
