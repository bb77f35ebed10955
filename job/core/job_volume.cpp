#include "job/core/job_volume.h"

#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include <algorithm>
#include <cstdio>
#include <exception>

#include "common/ace_log_wrapper.h"
#include "common/appdata_path.h"
#include "common/holders.h"
#include "common/json.h"
#include "common/replace_file.h"
#include "common/text_conv.h"

namespace {

std::string slashed(const std::wstring& path) {
    std::string text = to_utf8(path);
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

std::wstring back_slashed(const std::string& text) {
    std::wstring path = from_utf8(text);
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

std::string uuid_text(const GUID& id) {
    rpc_string_holder text;
    if (UuidToStringA(&id, text.out()) != RPC_S_OK || text.empty()) return std::string();
    return text.c_str();
}

bool uuid_from(const std::string& text, GUID& id) {
    return UuidFromStringA(reinterpret_cast<RPC_CSTR>(const_cast<char*>(text.c_str())), &id) ==
           RPC_S_OK;
}

// Reads a whole file; false when it cannot be opened or read.
bool read_whole(const std::wstring& path, std::string& out) {
    scoped_handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    char buffer[4096];
    DWORD got = 0;
    out.clear();
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) {
        if (got == 0) return true;
        out.append(buffer, got);
    }
    return false;
}

}  // namespace

JobVolume::JobVolume() : index(0), state(0), snapshotSetId(), snapshotId(), creationTimestamp(0) {}

bool job_volume_file_path(std::wstring& out, const char* jobId, int index) {
    std::wstring folder;
    if (!job_volume_path(folder, jobId)) return false;
    wchar_t name[16];
    std::swprintf(name, 16, L"\\%d", index);
    out = folder + name;
    return true;
}

bool JobVolume::save(const char* jobId) {
    ACE_TRACE("JobVolume::save");
    if (!jobId || !*jobId) return false;
    json_spirit::Object object;
    object["creationTimestamp"] = static_cast<long long>(creationTimestamp);
    object["path"] = slashed(path);
    object["shadowPath"] = to_utf8(shadowPath);
    object["snapshotId"] = uuid_text(snapshotId);
    object["snapshotSetId"] = uuid_text(snapshotSetId);
    json_spirit::Array list;
    for (const std::wstring& source : sources) list.push_back(slashed(source));
    object["source"] = list;
    object["state"] = static_cast<int>(state);

    std::wstring file_path;
    // Replaced whole (written beside, flushed, renamed into place): a run
    // stopped while it saves finds the earlier file or this one, never half.
    if (!job_volume_file_path(file_path, jobId, index) ||
        !replace_file(file_path, json_spirit::write_formatted(json_spirit::Value(object)))) {
        log_message(LM_ERROR, "Failed to open job {%s} volume file %d for writing.\n", jobId,
                    index);
        return false;
    }
    return true;
}

bool JobVolume::load(const char* jobId) {
    ACE_TRACE("JobVolume::load");
    std::wstring file_path;
    std::string text;
    // No id names no job: its folder is not made for the look-up.
    if (!jobId || !*jobId || !job_volume_file_path(file_path, jobId, index) ||
        !read_whole(file_path, text)) {
        log_message(LM_ERROR, "Failed to open job {%s} volume file %d for reading.\n",
                    jobId ? jobId : "", index);
        return false;
    }
    try {
        json_spirit::Value value;
        json_spirit::read_or_throw(text, value);
        if (value.type() != json_spirit::obj_type) {
            log_message(LM_ERROR, "Job {%s} volume file %d is not JSON object.\n",
                        jobId ? jobId : "", index);
            return false;
        }
        const json_spirit::Object& object = value.get_obj();
        state = json_spirit::object_get_int_or_throw(object, "state");
        if (!uuid_from(json_spirit::object_get_str_or_throw(object, "snapshotSetId"),
                       snapshotSetId) ||
            !uuid_from(json_spirit::object_get_str_or_throw(object, "snapshotId"), snapshotId))
            return false;
        path = back_slashed(json_spirit::object_get_str_or_throw(object, "path"));
        shadowPath = from_utf8(json_spirit::object_get_str_or_throw(object, "shadowPath"));
        creationTimestamp = json_spirit::object_get_int64_or_throw(object, "creationTimestamp");
        sources.clear();
        auto list = object.find("source");
        if (list != object.end() && list->second.type() == json_spirit::array_type) {
            for (const json_spirit::Value& source : list->second.get_array())
                if (source.type() == json_spirit::str_type)
                    sources.push_back(back_slashed(source.get_str()));
        }
        return !sources.empty();
    } catch (const json_spirit::Error_position& error) {
        log_message(LM_ERROR, "Failed to parse job {%s} volume file %d, Line %d, column %d,%s.\n",
                    jobId ? jobId : "", index, static_cast<int>(error.line_),
                    static_cast<int>(error.column_), error.reason_.c_str());
    } catch (const std::exception& error) {
        log_message(LM_ERROR, "%s.\n", error.what());
    }
    return false;
}

bool JobVolume::remove(const char* jobId) {
    std::wstring file_path;
    return jobId && *jobId && job_volume_file_path(file_path, jobId, index) &&
           DeleteFileW(file_path.c_str());
}
