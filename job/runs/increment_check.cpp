#include "job/runs/increment_check.h"
//
#include <ace/Log_Msg.h>

#include <memory>

#include "common/ace_log_wrapper.h"
#include "common/text_conv.h"
#include "job/core/file_helpers.h"
#include "job/remote/remote_exchange.h"
#include "job/sources/candidate_list.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "wirekit/error_codes.h"

namespace {

constexpr DWORD kNoCandidates = 0x2001025A;

}  // namespace

template <>
int Response_T<Path_List>::read(std::istream& in) {
    DWORD saved = GetLastError();
    body_.paths.clear();
    body_.array = false;
    std::string reason;
    int read = json_spirit::read_string_array(
        in,
        [this](std::string& path) {
            if (body_.take)
                body_.take(path);
            else
                body_.paths.push_back(std::move(path));
        },
        &reason);
    if (in.bad()) {
        log_message(LM_ERROR, "Read response data failed. error = %d.\n",
                    static_cast<int>(GetLastError()));
        return -1;
    }
    if (read < 0) {
        body_.paths.clear();
        log_message(LM_WARNING, "Response data is not a json array: %s.\n", reason.c_str());
        SetLastError(saved);
        return 0;
    }
    body_.array = read == 1;
    SetLastError(saved);
    return 0;
}

bool build_source_list(const Source_List_Run& run, const std::wstring& sourceFile,
                       std::vector<std::pair<std::wstring, DWORD>>& walkErrors) {
    DWORD result = GetLastError();
    log_message(LM_DEBUG, "Generating source list.\n");
    if (run.record->resumeFlag && fileExists(sourceFile)) {
        SetLastError(result);
        return true;
    }
    CandidateList candidates(candidate_list_path(sourceFile));
    {
        std::unique_ptr<FilterPolicy> filter(FilterPolicyFactory::create(*run.definition));
        if (!candidates.walk(*run.volumes, filter.get())) {
            DWORD code = GetLastError();
            log_message(LM_ERROR, "Failed to generator the job activity source, %d, %m.\n",
                        static_cast<int>(code));
            SetLastError(code);
            return false;
        }
    }
    std::string host;
    unsigned short port = 0;
    OptionsImpl::instance()->getServerInfo(host, port);
    if (host.empty() || port == 0) {
        log_message(LM_ERROR,
                    "Failed to get the server information while doing increment check.\n");
        SetLastError(http_error_code(503));
        return false;
    }
    std::string cookie;
    if (!ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>::instance()
             ->findCookie(run.user, cookie) ||
        cookie.empty()) {
        log_message(LM_ERROR, "Failed to find cookie while doing increment check.\n");
        SetLastError(http_error_code(401));
        return false;
    }
    if (candidates.size() == 0) {
        SetLastError(kNoCandidates);
        return false;
    }

    {
        Web_Server_Invoker invoker;
        invoker.stopCheck(run.stop);
        Command_To_Server<Increament_Check_Request, Response_T<Path_List>> check("increment check");
        check.request().build(cookie, candidates.requestBody(run.jobId), candidates.listBytes());
        check.response().body().take = [&candidates](const std::string& path) {
            candidates.choose(path);
        };
        DWORD code = remote::exchange(invoker, check, cookie);
        if (code) return false;  // logged by the command layer; the last error is code
        if (!check.response().body().array) {
            SetLastError(kMalformedReply);
            return false;
        }
    }
    if (!candidates.save(sourceFile)) return false;
    run.record->totalFiles = candidates.fileCount();
    run.record->totalDirectories = candidates.directoryCount();
    run.record->totalBytes = candidates.fileSize();
    // What the walk could not take is reported by the run.
    walkErrors.insert(walkErrors.end(), candidates.walkErrors().begin(),
                      candidates.walkErrors().end());
    log_message(LM_DEBUG, "Source list generated.\n");
    SetLastError(result);
    return true;
}

std::wstring candidate_list_path(const std::wstring& sourceFile) { return sourceFile + L".walk"; }
