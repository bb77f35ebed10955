// "/source": what a proposed backup selection holds (its folders, files and bytes, counted by
// the job engine's own walk), and which of the selected paths exist.
#include "portvane/forwarding.h"
//
#include <memory>
#include <string>
#include <vector>

#include "common/text_conv.h"
#include "job/sources/source_walker.h"
#include "portvane/local_paths.h"

using namespace tovel::web;
using portvane::reply;

namespace {

// Counts the selection of the request's object; false (400 to answer) for a malformed one.
bool countSelection(const json_spirit::Object& request, json_spirit::Object& answer) {
    auto s = request.find("source");
    if (s == request.end() || s->second.type() != json_spirit::array_type) return false;
    std::vector<std::wstring> sources;
    for (const json_spirit::Value& element : s->second.get_array()) {
        if (element.type() != json_spirit::str_type) continue;
        if (portvane::hasControlCharacter(element.get_str())) return false;
        // Only drive paths are walked: anything else would be taken relative to the service's
        // working folder. Such a path counts as one that does not exist.
        if (!portvane::isDrivePath(element.get_str())) {
            sources.push_back(std::wstring());
            continue;
        }
        sources.push_back(portvane::windowsPath(element.get_str()));
    }
    if (sources.empty()) return false;

    std::unique_ptr<FilterPolicy> filter;
    auto inclusion = request.find("inclusion");
    auto exclusion = request.find("exclusion");
    auto taken = inclusion != request.end() ? inclusion : exclusion;
    if (taken != request.end()) {
        if (taken->second.type() != json_spirit::array_type) return false;
        std::vector<std::wstring> extensions;
        for (const json_spirit::Value& element : taken->second.get_array()) {
            if (element.type() == json_spirit::str_type)
                extensions.push_back(from_utf8(element.get_str()));
        }
        filter = std::make_unique<ExtensitonsFilterPolicy>(taken == inclusion, extensions);
    }

    std::vector<std::wstring> walked;
    for (const std::wstring& path : sources)
        if (!path.empty()) walked.push_back(path);
    SourceCalculator calculator;
    walkSource(walked, filter.get(), &calculator);

    json_spirit::Array listed;
    for (const std::wstring& path : walked) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) continue;
        bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                      !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
        if (!filter || folder || filter->isInclude(path.c_str())) listed.push_back(to_utf8(path));
    }
    answer["files"] = static_cast<int64_t>(calculator.fileCount());
    answer["dirs"] = static_cast<int64_t>(calculator.directoryCount());
    answer["size"] = calculator.fileSize();
    answer["source"] = listed;
    return true;
}

}  // namespace

// POST "/source" {"source": [paths], "inclusion" or "exclusion": [extensions]}: the counts of the
// selection and the selected paths that exist, with back-slashes. A path that is not a drive path
// ("C:/...") is neither counted nor listed.
extern "C" void source_callback(mg_connection* conn, const mg_request_info* request) {
    std::string uri = request->uri ? request->uri : "";
    if (uri.compare(0, 7, "/source") != 0) {
        reply(conn, portvane::kReply404);
        return;
    }
    if (!portvane::methodIs(request, "POST")) {
        reply(conn, portvane::kReply403);
        return;
    }
    json_spirit::Value body;
    try {
        json_spirit::read_or_throw(
            std::string(request->post_data ? request->post_data : "", request->post_data_len),
            body);
    } catch (const json_spirit::Error_position& error) {
        log_message(LM_ERROR,
                    "Calculating source failed, failed to parse the json object, line %d, column "
                    "%d, %s.\n",
                    static_cast<int>(error.line_), static_cast<int>(error.column_),
                    error.reason_.c_str());
        reply(conn, portvane::kReply400);
        return;
    } catch (const std::exception& error) {
        log_message(LM_ERROR, "Calculating source failed, %s.\n", error.what());
        reply(conn, portvane::kReply400);
        return;
    }
    json_spirit::Object answer;
    if (body.type() != json_spirit::obj_type || !countSelection(body.get_obj(), answer)) {
        reply(conn, portvane::kReply400);
        return;
    }
    portvane::replyJson(conn, json_spirit::write(json_spirit::Value(answer)));
}
