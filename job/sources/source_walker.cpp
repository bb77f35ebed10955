#include "job/sources/source_walker.h"

#include <cwchar>
#include <functional>
#include <locale>
#include <stdexcept>

#include "common/ace_log_wrapper.h"
#include "common/appdata_path.h"
#include "common/text_conv.h"
#include "common/win32_error.h"
#include "job/core/job_volume.h"
#include "plandeck/backup_job_definition.h"

namespace {

bool is_walked_folder(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Why an entry that the walk found cannot be backed up, or 0: a name that
// holds no valid text (the host gives bytes that are not UTF-8 as lone
// surrogates) cannot be sent or catalogued; a special file (a FIFO, a
// device, a socket) holds no data to read.
DWORD unusable(const wchar_t* name, DWORD attributes) {
    for (const wchar_t* c = name; *c; ++c)
        if (*c >= 0xD800 && *c <= 0xDFFF) return ERROR_NO_UNICODE_TRANSLATION;
    if ((attributes & FILE_ATTRIBUTE_DEVICE) && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return ERROR_NOT_SUPPORTED;
    return 0;
}

WIN32_FILE_ATTRIBUTE_DATA attribute_data(const WIN32_FIND_DATAW& entry) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    data.dwFileAttributes = entry.dwFileAttributes;
    data.ftCreationTime = entry.ftCreationTime;
    data.ftLastAccessTime = entry.ftLastAccessTime;
    data.ftLastWriteTime = entry.ftLastWriteTime;
    data.nFileSizeHigh = entry.nFileSizeHigh;
    data.nFileSizeLow = entry.nFileSizeLow;
    return data;
}

// An entry that a listing names without its attributes, times and size
// (which the listing could not read) has no times at all.
bool out_of_reach(const WIN32_FILE_ATTRIBUTE_DATA& data) {
    auto zero = [](const FILETIME& time) {
        return time.dwLowDateTime == 0 && time.dwHighDateTime == 0;
    };
    return zero(data.ftCreationTime) && zero(data.ftLastAccessTime) && zero(data.ftLastWriteTime);
}

// Case folding for the extension filter: Unicode simple mappings where the
// run-time library has them, else the classic locale's (ASCII only).
const std::ctype<wchar_t>& folding() {
    static const std::locale locale = [] {
        try {
            return std::locale("C.UTF-8");
        } catch (const std::runtime_error&) {
            return std::locale::classic();
        }
    }();
    return std::use_facet<std::ctype<wchar_t>>(locale);
}

std::wstring folded(std::wstring text) {
    const auto& facet = folding();
    facet.tolower(text.data(), text.data() + text.size());
    return text;
}

}  // namespace

namespace {

// The walk below one source folder; entries go to report, which calls the
// walker's processFile.
class FolderWalk {
public:
    using Report = std::function<void(const wchar_t*, const WIN32_FILE_ATTRIBUTE_DATA&)>;
    using Failure = std::function<void(const wchar_t*, DWORD)>;

    FolderWalk(FilterPolicy* filter, Report report, Failure failure)
        : filter_(filter), report_(std::move(report)), failure_(std::move(failure)) {}

    void walk(const std::wstring& folder) {
        std::wstring pattern;
        path_join(folder.c_str(), L"*", pattern);
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE) {
            // No entry at all (an empty volume root) is an empty listing.
            DWORD code = GetLastError();
            if (code != ERROR_FILE_NOT_FOUND) failed(folder, code);
            return;
        }
        do {
            const wchar_t* name = entry.cFileName;
            if (!wcscmp(name, L".") || !wcscmp(name, L"..")) continue;
            bool descend = is_walked_folder(entry.dwFileAttributes);
            if (filter_ && !descend && !filter_->isInclude(name)) continue;
            std::wstring full;
            path_join(folder.c_str(), name, full);
            if (DWORD code = unusable(name, entry.dwFileAttributes)) {
                log_message(LM_ERROR, "Cannot back up '%s', err=%d, %s.\n", to_utf8(full).c_str(),
                            static_cast<int>(code), win32_error_text(code).text());
                failure_(full.c_str(), code);
                continue;
            }
            WIN32_FILE_ATTRIBUTE_DATA data = attribute_data(entry);
            if (out_of_reach(data)) {
                // Listed, but its attributes could not be read (a path too
                // long for the host, a folder that cannot be searched):
                // reading them again gives the reason, and the entry is no
                // item.
                if (!GetFileAttributesExW(full.c_str(), GetFileExInfoStandard, &data)) {
                    DWORD code = GetLastError();
                    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND)
                        failure_(full.c_str(), code);
                    continue;
                }
                descend = is_walked_folder(data.dwFileAttributes);
            }
            report_(full.c_str(), data);
            if (descend) walk(full);
        } while (FindNextFileW(search, &entry));
        DWORD code = GetLastError();
        FindClose(search);
        if (code != ERROR_NO_MORE_FILES) failed(folder, code);
    }

private:
    void failed(const std::wstring& folder, DWORD code) {
        log_message(LM_ERROR, "Failed to iterate '%s', err=%d, %s.\n", to_utf8(folder).c_str(),
                    static_cast<int>(code), win32_error_text(code).text());
        failure_(folder.c_str(), code);
    }

    FilterPolicy* filter_;
    Report report_;
    Failure failure_;
};

}  // namespace

void walkSource(const std::vector<std::wstring>& sources, FilterPolicy* filter,
                SourceWalker* walker) {
    if (!walker) return;
    FolderWalk walk(
        filter,
        [walker](const wchar_t* path, const WIN32_FILE_ATTRIBUTE_DATA& data) {
            walker->processFile(path, data);
        },
        [walker](const wchar_t* path, DWORD code) { walker->processError(path, code); });
    for (const std::wstring& source : sources) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (source.empty()) continue;
        if (!GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &data)) {
            walker->processError(source.c_str(), GetLastError());
            continue;
        }
        bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (filter && !folder && !filter->isInclude(source.c_str())) continue;
        if (DWORD code = unusable(source.c_str(), data.dwFileAttributes)) {
            walker->processError(source.c_str(), code);
            continue;
        }
        walker->processFile(source.c_str(), data);
        if (is_walked_folder(data.dwFileAttributes)) walk.walk(source);
    }
}

SourceWalker::SourceWalker() = default;
SourceWalker::SourceWalker(const SourceWalker&) = default;
SourceWalker& SourceWalker::operator=(const SourceWalker&) = default;
SourceWalker::~SourceWalker() = default;
void SourceWalker::processError(const wchar_t*, DWORD) {}

void SourceClassifier::operator()(const std::vector<std::wstring>& sources, JobVolumeMap& volumes,
                                  std::vector<std::pair<std::wstring, DWORD>>* failures) const {
    volumes.clear();
    for (const std::wstring& source : sources) {
        wchar_t buffer[MAX_PATH];
        if (!GetVolumePathNameW(source.c_str(), buffer, MAX_PATH)) {
            DWORD code = GetLastError();
            log_message(LM_ERROR, "Failed to get volume path name from '%s', err=%d, %s\n",
                        to_utf8(source).c_str(), static_cast<int>(code),
                        win32_error_text(code).text());
            if (failures) failures->emplace_back(source, code);
            continue;
        }
        JobVolume*& volume = volumes[buffer];
        if (!volume) {
            volume = new JobVolume;
            volume->path = buffer;
            volume->index = static_cast<int>(volumes.size());
        }
        volume->sources.push_back(source);
    }
}

SourceCalculator::SourceCalculator() : directories_(0), files_(0), size_(0) {}
SourceCalculator::SourceCalculator(const SourceCalculator&) = default;
SourceCalculator& SourceCalculator::operator=(const SourceCalculator&) = default;
SourceCalculator::~SourceCalculator() = default;

void SourceCalculator::processFile(const wchar_t*, const WIN32_FILE_ATTRIBUTE_DATA& data) {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        ++directories_;
    } else {
        ++files_;
        size_ += (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
}

FilterPolicy::~FilterPolicy() = default;

ExtensitonsFilterPolicy::ExtensitonsFilterPolicy(bool include,
                                                 const std::vector<std::wstring>& extensions)
    : include_(include) {
    auto suffixes = std::make_shared<std::vector<std::wstring>>();
    for (const std::wstring& extension : extensions) {
        size_t start = extension.find_first_not_of(L"*.");
        if (start == std::wstring::npos) continue;
        suffixes->push_back(folded(extension.substr(start)));
    }
    suffixes_ = std::move(suffixes);
}

ExtensitonsFilterPolicy::ExtensitonsFilterPolicy(const ExtensitonsFilterPolicy&) = default;
ExtensitonsFilterPolicy& ExtensitonsFilterPolicy::operator=(const ExtensitonsFilterPolicy&) =
    default;
ExtensitonsFilterPolicy::~ExtensitonsFilterPolicy() = default;

bool ExtensitonsFilterPolicy::isInclude(const wchar_t* name) {
    if (suffixes_->empty()) return true;
    std::wstring text = folded(name ? name : L"");
    bool listed = false;
    for (const std::wstring& suffix : *suffixes_) {
        if (text.size() >= suffix.size() &&
            text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0) {
            listed = true;
            break;
        }
    }
    return include_ ? listed : !listed;
}

FilterPolicy* FilterPolicyFactory::create(int type, const std::vector<std::wstring>& extensions) {
    switch (type) {
        case 1:
            return new ExtensitonsFilterPolicy(true, extensions);
        case 2:
            return new ExtensitonsFilterPolicy(false, extensions);
        default:
            return nullptr;
    }
}

FilterPolicy* FilterPolicyFactory::create(const BackupJobDefinition& definition) {
    return create(definition.include(), definition.extensions());
}
