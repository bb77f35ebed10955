#include "job/storage/restore_location_policy.h"

#include <algorithm>
#include <vector>

#include "job/core/file_helpers.h"
#include "plandeck/restore_job_definition.h"

namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The part of a path below the folder it is appended to, with "/" read as
// "\", empty and "." parts dropped and each ".." taking the part before it
// away; false when a ".." would climb above the folder, a part names a drive
// or a stream (a colon), or a part is made of dots and spaces only but for
// "." and ".." (Windows drops trailing dots and spaces from a name, so
// ".. " would climb too). out is joined with single back-slashes.
bool normalised_below(const std::wstring& remainder, std::wstring& out) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (start <= remainder.size()) {
        size_t end = start;
        while (end < remainder.size() && !is_separator(remainder[end])) ++end;
        std::wstring part = remainder.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == L".") continue;
        if (part.find(L':') != std::wstring::npos) return false;
        if (part != L".." && part.find_first_not_of(L". ") == std::wstring::npos) return false;
        if (part == L"..") {
            if (parts.empty()) return false;
            parts.pop_back();
            continue;
        }
        parts.push_back(std::move(part));
    }
    out.clear();
    for (const std::wstring& part : parts) {
        if (!out.empty()) out += L'\\';
        out += part;
    }
    return !out.empty();
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
    confinement_ = folder_;
    while (confinement_.size() > 1 && confinement_.back() == L'\\') confinement_.pop_back();
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
    std::wstring below;
    if (!normalised_below(remainder, below)) {
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    target = folder_;
    if (!target.empty() && target.back() != L'\\') target += L'\\';
    target += below;
    if (is_separator(remainder.back())) target += L'\\';  // a folder keeps its mark
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
