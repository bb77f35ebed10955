#include "plandeck/job_definition_factory.h"

#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include <exception>
#include <iterator>
#include <memory>
#include <new>

#include "common/ace_log_wrapper.h"
#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "common/file_stream.h"
#include "common/text_conv.h"
#include "plandeck/backup_job_definition.h"
#include "plandeck/restore_job_definition.h"

namespace {

std::wstring jobs_folder() {
    std::wstring folder;
    if (!common_appdata_path(folder, tovel::kJobsSubFolder)) folder.clear();
    return folder;
}

// An empty definition of the kind the value's "type" names; null for none.
std::unique_ptr<JobDefinition> made_for(const json_spirit::Value& value) {
    std::string type;
    if (value.type() != json_spirit::obj_type ||
        !json_spirit::object_get(value.get_obj(), "type", type))
        return nullptr;
    if (type == "backup") return std::make_unique<BackupJobDefinition>();
    if (type == "restore") return std::make_unique<RestoreJobDefinition>();
    return nullptr;
}

}  // namespace

JobDefinition* JobDefinitionFactory::create(const json_spirit::Value& value) {
    std::unique_ptr<JobDefinition> definition = made_for(value);
    if (!definition || !definition->fromJSON(value)) return nullptr;
    return definition.release();
}

JobDefinition* JobDefinitionFactory::create(const wchar_t* path) {
    Failure ignored;
    return create(path, ignored);
}

JobDefinition* JobDefinitionFactory::create(const wchar_t* path, Failure& failure) {
    ACE_TRACE("JobDefinitionFactory::create");
    failure = Failure::Unreadable;
    if (!path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string name = to_utf8(path, -1);
    std::string text;
    {
        win32_file_tistream<char> stream(path, nullptr);
        if (!stream) {
            DWORD error = GetLastError();
            log_message(LM_ERROR, "Failed to open %s for creating job definition,error code = %d\n",
                        name.c_str(), static_cast<int>(error));
            SetLastError(error);
            return nullptr;
        }
        try {
            text.assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
        } catch (const win32_read_error& error) {
            log_message(LM_ERROR, "Failed to read job definition %s, error code = %d\n",
                        name.c_str(), static_cast<int>(error.code()));
            SetLastError(error.code());
            return nullptr;
        } catch (const std::bad_alloc&) {
            log_message(LM_ERROR, "Failed to read job definition %s: out of memory.\n",
                        name.c_str());
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
    }
    failure = Failure::NotADefinition;
    // The items, possibly many, are kept as texts until someone asks for them.
    json_spirit::Value value;
    json_spirit::String_block sources;
    try {
        json_spirit::read_or_throw(text, value, "source", sources);
    } catch (const json_spirit::Error_position& error) {
        log_message(LM_ERROR, "Failed to read job definition %s: line %d, column %d, %s.\n",
                    name.c_str(), static_cast<int>(error.line_), static_cast<int>(error.column_),
                    error.reason_.c_str());
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    } catch (const std::exception& error) {
        log_message(LM_ERROR, "Failed to read job definition %s: %s.\n", name.c_str(),
                    error.what());
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    text = std::string();  // freed before the definition is made
    std::unique_ptr<JobDefinition> definition = made_for(value);
    if (!definition || !definition->fromJSON(value, std::move(sources))) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    failure = Failure::None;
    return definition.release();
}

JobDefinition* JobDefinitionFactory::create(const char* jobId) {
    // The id names one folder of the jobs folder, in its lower-case spelling.
    std::string id;
    if (!jobId || !JobDefinition::normalisedId(jobId, id)) {
        log_message(LM_ERROR, "Invalid job id \"%s\" for creating job definition.\n",
                    jobId ? jobId : "");
        return nullptr;
    }
    std::wstring folder = jobs_folder();
    if (folder.empty()) return nullptr;
    std::wstring path = folder + L"\\" + from_utf8(id.c_str(), -1) + L"\\def";
    return create(path.c_str());
}

void JobDefinitionFactory::create(std::vector<JobDefinition*>& out) {
    std::wstring folder = jobs_folder();
    if (folder.empty()) return;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = entry.cFileName;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || name == L"." || name == L"..")
            continue;
        // Only a folder named by its job's id is a job folder: the job engine
        // gives every job one, and moves aside any other it finds.
        std::string folderId;
        if (!JobDefinition::normalisedId(to_utf8(name.c_str(), -1).c_str(), folderId)) continue;
        std::wstring path = folder + L"\\" + name + L"\\def";
        std::unique_ptr<JobDefinition> definition(create(path.c_str()));
        if (definition && folderId == definition->id()) out.push_back(definition.release());
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}
