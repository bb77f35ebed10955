// One command of the remote service run to its end, and the log line of a
// failed one: the shared steps of the storages' requests. Used on the
// caller's thread with the caller's invoker.
#pragma once

#include <string>

// The command layer brings ACE, whose headers must come before the platform layer's.
#include "wirekit/server_command.h"
//
#include "common/ace_log_wrapper.h"
#include "wirekit/error_codes.h"
#include "wirekit/http_tables.h"

namespace remote {

// Runs command through invoker (with the command layer's one retry). 0 for a
// 200 reply; otherwise the failure's code (the exchange's own error, or
// kHttpErrorBase | status), also left as the last error. cookie follows
// whatever session cookie the exchange settled on.
template <class Request, class Response>
DWORD exchange(Invoker& invoker, Command_To_Server<Request, Response>& command,
               std::string& cookie) {
    int result = invoker.invokeWithRetry(command);
    DWORD code = GetLastError();
    const char* next = command.request().cookie();
    if (next && *next) cookie = next;
    if (result < 0) {
        if (code == 0) code = ERROR_GEN_FAILURE;
    } else if (command.response().status() == 200) {
        return 0;
    } else {
        code = http_error_code(command.response().status());
    }
    SetLastError(code);
    return code;
}

// Logs a failed request (LM_ERROR) in the form that fits its code: for a
// refusal statusFormat with the status and its phrase, otherwise
// errorFormat with the code (whose text "%m" prints). Both formats take the
// names first. The last error is code afterwards.
template <class... Names>
void log_failure(DWORD code, const char* errorFormat, const char* statusFormat, Names... names) {
    SetLastError(code);
    if (is_http_error_code(code)) {
        int status = http_status_of(code);
        const char* phrase = http_status_string(status);
        log_message(LM_ERROR, statusFormat, names..., status, phrase ? phrase : "");
    } else {
        log_message(LM_ERROR, errorFormat, names..., static_cast<int>(code));
    }
    SetLastError(code);
}

}  // namespace remote
