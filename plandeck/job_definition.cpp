#include "plandeck/job_definition.h"

#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

#include "common/ace_log_wrapper.h"
#include "common/holders.h"
#include "common/replace_file.h"
#include "common/text_conv.h"
#include "plandeck/json_paths.h"

namespace {

std::string new_id() {
    UUID uuid;
    if (UuidCreate(&uuid) != RPC_S_OK) return std::string();
    rpc_string_holder text;
    if (UuidToStringA(&uuid, text.out()) != RPC_S_OK || text.empty()) return std::string();
    std::string id;
    return JobDefinition::normalisedId(text.c_str(), id) ? id : std::string();
}

std::wstring computer_name() {
    wchar_t buffer[16];
    DWORD size = 16;
    if (!GetComputerNameW(buffer, &size)) return L"localhost";
    return std::wstring(buffer, size);
}

}  // namespace

JobDefinition::JobDefinition() : JobDefinition(None) {}

JobDefinition::JobDefinition(int type) : id_(new_id()), type_(type), creationTime_{0, 0} {}

JobDefinition::~JobDefinition() = default;

void JobDefinition::user(const char* name) {
    if (name && *name) user_ = name;
}

bool JobDefinition::isSafeId(const std::string& id) {
    if (id.empty() || id.find("..") != std::string::npos) return false;
    return std::none_of(id.begin(), id.end(), [](char c) {
        return c == '\\' || c == '/' || c == ':' || static_cast<unsigned char>(c) < 0x20;
    });
}

bool JobDefinition::isUuidText(const char* id) {
    if (!id || std::strlen(id) != 36) return false;
    for (int i = 0; i < 36; ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? id[i] != '-' : !std::isxdigit(static_cast<unsigned char>(id[i]))) return false;
    }
    return true;
}

bool JobDefinition::normalisedId(const char* id, std::string& out) {
    if (!isUuidText(id)) return false;
    out = id;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return true;
}

bool JobDefinition::fromJSON(const json_spirit::Value& value) {
    ACE_TRACE("JobDefinition::fromJSON");
    try {
        if (value.type() != json_spirit::obj_type) {
            log_message(LM_ERROR, "The job definition is not a JSON object.\n");
            return false;
        }
        const json_spirit::Object& object = value.get_obj();
        json_spirit::object_get(object, "id", id_);
        // The id names the job's folder, its record and its timers: only UUID
        // text is taken, in lower case, so that two spellings of one id can
        // never make two folders or two timers of one job.
        std::string normalised;
        if (!normalisedId(id_.c_str(), normalised)) {
            log_message(LM_ERROR, "Invalid job id of job definition: \"%s\".\n", id_.c_str());
            return false;
        }
        id_ = std::move(normalised);
        json_spirit::object_get(object, "user", user_);

        SYSTEMTIME time = {};
        std::string created;
        if (json_spirit::object_get(object, "creationTime", created)) {
            std::sscanf(created.c_str(), "%hu-%hu-%hu %hu:%hu:%hu", &time.wYear, &time.wMonth,
                        &time.wDay, &time.wHour, &time.wMinute, &time.wSecond);
        } else {
            GetLocalTime(&time);
        }
        FILETIME converted;
        if (SystemTimeToFileTime(&time, &converted)) creationTime_ = converted;

        const std::string& type = json_spirit::object_get_str_or_throw(object, "type");
        if (type == "backup") {
            type_ = Backup;
        } else if (type == "restore") {
            type_ = Restore;
        } else {
            log_message(LM_ERROR, "The type of job definition is neither backup nor restore.\n");
            return false;
        }

        machine_ = computer_name();

        std::string offline;
        if (json_spirit::object_get(object, "offline", offline)) {
            offlineLocation_ = plandeck::path_from_json(offline);
        } else {
            offlineLocation_.clear();
        }

        source_ = plandeck::DefinitionItems();
        auto sources = object.find("source");
        if (sources != object.end() && sources->second.type() == json_spirit::array_type) {
            if (apart_) {
                source_ = plandeck::DefinitionItems(std::move(*apart_));
            } else {
                const json_spirit::Array& list = sources->second.get_array();
                std::vector<std::wstring> paths;
                paths.reserve(list.size());
                for (const auto& element : list)
                    if (element.type() == json_spirit::str_type)
                        paths.push_back(plandeck::path_from_json(element.get_str()));
                source_ = plandeck::DefinitionItems(std::move(paths));
            }
        }
        if (source_.empty()) {
            log_message(LM_ERROR, "Invalid or lack of source of job definition.\n");
            return false;
        }

        name_ = from_utf8(json_spirit::object_get_str_or_throw(object, "name"));
        return true;
    } catch (const std::exception& error) {
        log_message(LM_ERROR, "Invalid job definition: %s\n", error.what());
        return false;
    }
}

bool JobDefinition::fromJSON(const json_spirit::Value& value, json_spirit::String_block&& sources) {
    apart_ = &sources;
    bool read = fromJSON(value);
    apart_ = nullptr;
    return read;
}

bool JobDefinition::toJSON(json_spirit::Value& value) const {
    ACE_TRACE("JobDefinition::toJSON");
    json_spirit::Object object;
    if (type_ == Backup) {
        object["type"] = "backup";
    } else if (type_ == Restore) {
        object["type"] = "restore";
    } else {
        return false;
    }
    if (!id_.empty()) object["id"] = id_;
    if (!user_.empty()) object["user"] = user_;
    object["machine"] = to_utf8(machine_);
    SYSTEMTIME time = {};
    FileTimeToSystemTime(&creationTime_, &time);
    char created[32];
    std::snprintf(created, sizeof created, "%hu-%hu-%hu %hu:%hu:%hu", time.wYear, time.wMonth,
                  time.wDay, time.wHour, time.wMinute, time.wSecond);
    object["creationTime"] = created;
    if (!offlineLocation_.empty()) object["offline"] = plandeck::path_to_json(offlineLocation_);
    json_spirit::Array sources;
    sources.reserve(source_.size());
    for (const auto& path : source_.paths()) sources.push_back(plandeck::path_to_json(path));
    object["source"] = std::move(sources);
    object["name"] = to_utf8(name_);
    value = std::move(object);
    return true;
}

bool JobDefinition::save(const wchar_t* path) const {
    ACE_TRACE("JobDefinition::save");
    json_spirit::Value value;
    if (!toJSON(value)) return false;
    std::string text = json_spirit::write_formatted(value);

    // A definition that cannot be read at the next start would cost the job,
    // so the old file stays until the new one is wholly on disk.
    std::wstring target = path ? path : L"";
    bool opened = false;
    if (!replace_file(target, text, &opened)) {
        DWORD error = GetLastError();
        if (opened)
            log_message(LM_ERROR, "Failed to write job definition %s, %m.\n",
                        to_utf8(target).c_str());
        else
            log_message(LM_ERROR, "Failed to open job definition %s for writing\n",
                        to_utf8(target).c_str());
        SetLastError(error);
        return false;
    }
    return true;
}