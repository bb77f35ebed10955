#include "job/increment_check.h"
//
#include <ace/Log_Msg.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <numeric>

#include "common/ace_log_wrapper.h"
#include "common/text_conv.h"
#include "job/cookie_manager.h"
#include "job/error_codes.h"
#include "job/file_helpers.h"
#include "job/options.h"
#include "job/remote_exchange.h"

namespace {

constexpr DWORD kNoCandidates = 0x2001025A;

// The request body: {"id": job, "source": [{"mtimeHigh", "mtimeLow",
// "path"}, ...]} in compact JSON with the keys sorted, as the JSON writer
// gives it. listBytes receives the bytes of the paths as JSON strings.
std::string request_text(const char* jobId, const std::vector<JobActivitySourceItem>& items,
                         uint64_t& listBytes) {
    std::string text = "{\"id\":" + json_spirit::write(json_spirit::Value(jobId)) + ",\"source\":[";
    listBytes = 0;
    char times[64];
    for (size_t i = 0; i < items.size(); ++i) {
        const JobActivitySourceItem& item = items[i];
        std::string path = json_spirit::write(json_spirit::Value(to_utf8(item.path.c_str(), -1)));
        listBytes += path.size() + 1;
        std::snprintf(times, sizeof times, "{\"mtimeHigh\":%d,\"mtimeLow\":%d,\"path\":",
                      static_cast<int>(item.data.ftLastWriteTime.dwHighDateTime),
                      static_cast<int>(item.data.ftLastWriteTime.dwLowDateTime));
        if (i) text += ',';
        text += times;
        text += path;
        text += '}';
    }
    text += "]}";
    return text;
}

// Whether a path of the reply is one of the run's candidates: the service
// cannot add paths of its own. Looks the path up in an index of the items
// sorted by path, so that no second copy of the list is held.
class Candidates {
public:
    explicit Candidates(const std::vector<JobActivitySourceItem>& items) : items_(items) {
        order_.resize(items.size());
        std::iota(order_.begin(), order_.end(), 0u);
        std::sort(order_.begin(), order_.end(),
                  [this](uint32_t a, uint32_t b) { return items_[a].path < items_[b].path; });
    }
    // The item's index, or -1 for a path that is none of the items.
    int64_t find(const std::string& utf8) const {
        std::wstring path = from_utf8(utf8);
        auto found = std::lower_bound(
            order_.begin(), order_.end(), path,
            [this](uint32_t index, const std::wstring& p) { return items_[index].path < p; });
        return found != order_.end() && items_[*found].path == path ? *found : -1;
    }

private:
    const std::vector<JobActivitySourceItem>& items_;
    std::vector<uint32_t> order_;
};

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
    JobActivitySourceGenerator generator;
    {
        std::unique_ptr<FilterPolicy> filter(FilterPolicyFactory::create(*run.definition));
        if (!generator(*run.volumes, filter.get())) {
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
    if (generator.items().empty()) {
        SetLastError(kNoCandidates);
        return false;
    }

    // The items that the reply names, in its order; their paths are made
    // once the request and its reply are gone.
    std::vector<uint32_t> chosen;
    {
        Candidates candidates(generator.items());
        Web_Server_Invoker invoker;
        invoker.stopCheck(run.stop);
        Command_To_Server<Increament_Check_Request, Response_T<Path_List>> check("increment check");
        uint64_t listBytes = 0;
        std::string body = request_text(run.jobId, generator.items(), listBytes);
        check.request().build(cookie, std::move(body), listBytes);
        check.response().body().take = [&candidates, &chosen](const std::string& path) {
            int64_t index = candidates.find(path);
            if (index >= 0) chosen.push_back(static_cast<uint32_t>(index));
        };
        DWORD code = remote::exchange(invoker, check, cookie);
        if (code) return false;  // logged by the command layer; the last error is code
        if (!check.response().body().array) {
            SetLastError(kMalformedReply);
            return false;
        }
    }
    std::vector<std::string> paths;
    paths.reserve(chosen.size());
    for (uint32_t index : chosen)
        paths.push_back(to_utf8(generator.items()[index].path.c_str(), -1));
    chosen = std::vector<uint32_t>();
    generator.listSources(paths);
    paths = std::vector<std::string>();
    run.record->totalFiles = generator.fileCount();
    run.record->totalDirectories = generator.directoryCount();
    run.record->totalBytes = generator.fileSize();
    if (!generator.save(sourceFile.c_str())) return false;
    // What the walk and the list could not take is reported by the run.
    walkErrors.insert(walkErrors.end(), generator.walkErrors().begin(),
                      generator.walkErrors().end());
    log_message(LM_DEBUG, "Source list generated.\n");
    SetLastError(result);
    return true;
}
