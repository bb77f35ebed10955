#include "job/restore_location_policy.h"

#include <algorithm>

#include "job/file_helpers.h"
#include "plandeck/restore_job_definition.h"

namespace {

// True when every component of a relative path stays below the folder it is
// appended to: no "..", no drive or stream colon.
bool staysBelow(const std::wstring& remainder) {
    if (remainder.find(L':') != std::wstring::npos) return false;
    for (const std::wstring& component : splitPath(remainder))
        if (component == L"..") return false;
    return true;
}

}  // namespace

bool RestoreLocationPolicy::targetPath(const wchar_t* source, bool isFolder, std::wstring& target) {
    if (!source || !*source) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (!place(source, target)) return false;
    SetLastError(0);
    if (isFolder) return true;
    if (overwrite_ == RestoreJobDefinition::Skip) return !fileExists(target);
    if (overwrite_ == RestoreJobDefinition::Rename && fileExists(target)) {
        target += L".0";
        for (unsigned n = 1; fileExists(target); ++n) target += L"." + std::to_wstring(n);
    }
    return true;
}

bool RestoreOriginalLocationPolicy::place(const std::wstring& source, std::wstring& target) {
    target = source;
    return true;
}

RestoreOtherLocationPolicy::RestoreOtherLocationPolicy(int overwrite, const std::wstring& folder,
                                                       const std::wstring& base)
    : RestoreLocationPolicy(overwrite), folder_(folder), base_(base) {
    std::replace(folder_.begin(), folder_.end(), L'/', L'\\');
}

bool RestoreOtherLocationPolicy::place(const std::wstring& source, std::wstring& target) {
    std::wstring remainder;
    if (base_.empty()) {
        if (source.size() > 2 && source[1] == L':')
            remainder = source.substr(0, 1) + source.substr(2);
        else
            remainder = source.substr(1);
    } else {
        if (source.size() <= base_.size() + 1 || source.compare(0, base_.size(), base_) != 0 ||
            (source[base_.size()] != L'\\' && source[base_.size()] != L'/')) {
            SetLastError(ERROR_BAD_PATHNAME);
            return false;
        }
        remainder = source.substr(base_.size() + 1);
    }
    remainder.erase(0, remainder.find_first_not_of(L"\\/"));
    if (remainder.empty() || !staysBelow(remainder)) {
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    target = folder_;
    if (!target.empty() && target.back() != L'\\') target += L'\\';
    target += remainder;
    return true;
}

std::unique_ptr<RestoreLocationPolicy> createRestoreLocationPolicy(
    const JobDefinition* definition) {
    const auto* restore = dynamic_cast<const RestoreJobDefinition*>(definition);
    if (!restore || restore->type() != JobDefinition::Restore) return nullptr;
    if (restore->location() && *restore->location())
        return std::make_unique<RestoreOtherLocationPolicy>(
            restore->overwrite(), restore->location(), commonBasePath(restore->source()));
    return std::make_unique<RestoreOriginalLocationPolicy>(restore->overwrite());
}
