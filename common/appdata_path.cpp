#include "common/appdata_path.h"

#include <cwchar>

#include "common/data_folder.h"
#include "common/text_conv.h"
#include "platform/win32.h"

namespace {

bool job_folder(std::wstring& out, const char* jobId, const wchar_t* tail,
                const char* runName = nullptr) {
    std::wstring path;
    path.reserve(MAX_PATH);
    path = tovel::kJobSubFolderPrefix;
    if (jobId) path += from_utf8(jobId, -1);
    path += tail;
    if (runName) path += from_utf8(runName, -1);
    return common_appdata_path(out, path.c_str());
}

}  // namespace

bool common_appdata_path(std::wstring& out, const wchar_t* subPath) {
    wchar_t folder[MAX_PATH];
    if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) !=
        S_OK)
        return false;
    out.reserve(MAX_PATH);
    out = folder;
    if (subPath) out += subPath;
    SHCreateDirectory(nullptr, out.c_str());  // an existing or unmakeable folder changes nothing
    return true;
}

bool job_activity_path(std::wstring& out, const char* jobId) {
    return job_folder(out, jobId, L"\\act");
}

bool job_volume_path(std::wstring& out, const char* jobId) {
    return job_folder(out, jobId, L"\\act\\vol");
}

bool job_history_path(std::wstring& out, const char* jobId, const char* runName) {
    return job_folder(out, jobId, L"\\hist\\", runName ? runName : "");
}

bool job_temp_path(std::wstring& out, const char* jobId) {
    return job_folder(out, jobId, L"\\tmp");
}

std::wstring job_temp_path(const char* jobId) {
    std::wstring out;
    if (!job_temp_path(out, jobId)) out.clear();
    return out;
}

std::wstring job_source_path(const char* jobId) {
    std::wstring out;
    if (!job_activity_path(out, jobId)) return std::wstring();
    return out + L"\\src";
}

std::wstring& path_join(const wchar_t* dir, const wchar_t* name, std::wstring& out) {
    // Built apart from out, which may hold dir or name itself.
    std::wstring path;
    path.reserve(MAX_PATH);
    path = dir ? dir : L"";
    if (path.empty() || path.back() != L'\\') path += L'\\';
    if (name) path += name;
    out.swap(path);
    return out;
}

std::wstring& path_join_number(const wchar_t* dir, uint64_t number, std::wstring& out) {
    wchar_t text[24];
    wchar_t* at = text + 23;
    *at = L'\0';
    do {
        *--at = static_cast<wchar_t>(L'0' + number % 10);
        number /= 10;
    } while (number != 0);
    return path_join(dir, at, out);
}
