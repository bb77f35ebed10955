#include "common/installer_check.h"

#include <cwctype>
#include <vector>

#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "common/json.h"
#include "common/md5.h"
#include "common/replace_file.h"
#include "common/text_conv.h"
#include "platform/files/file_owner.h"
#include "platform/win32.h"

namespace tovel {
namespace {

constexpr wchar_t kInstallerName[] = L"Tovel.exe";
// The largest record read: a whole one is well under a hundred bytes.
constexpr DWORD kMaxInfoBytes = 4096;

class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() {
        if (valid()) CloseHandle(handle_);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

bool same_md5(const std::string& digest, const std::wstring& text) {
    if (digest.size() != text.size()) return false;
    for (size_t i = 0; i < digest.size(); ++i)
        if (static_cast<wint_t>(digest[i]) != std::towlower(text[i])) return false;
    return true;
}

}  // namespace

std::wstring updates_folder() {
    std::wstring folder;
    if (!common_appdata_path(folder, kDataSubFolder)) return L"";
    folder += L"\\updates\\";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;OW)", SDDL_REVISION_1,
                                                             &descriptor, nullptr)) {
        SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
        CreateDirectoryW(folder.substr(0, folder.size() - 1).c_str(), &security);
        LocalFree(descriptor);
    }
    return folder;
}

bool is_md5_text(const std::wstring& text) {
    if (text.size() != 32) return false;
    for (wchar_t c : text)
        if (!std::iswxdigit(c) || c > 0x7F) return false;
    return true;
}

InfoRead read_installer_info(const std::wstring& path, InstallerInfo& info) {
    info = InstallerInfo();
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return InfoRead::kUnreadable;
    std::string text(kMaxInfoBytes + 1, '\0');
    DWORD total = 0;
    for (DWORD got = 1; got > 0 && total < text.size();) {
        if (!ReadFile(file.get(), text.data() + total, static_cast<DWORD>(text.size()) - total,
                      &got, nullptr))
            return InfoRead::kUnreadable;
        total += got;
    }
    if (total > kMaxInfoBytes) return InfoRead::kNotJson;
    text.resize(total);
    json_spirit::Value value;
    if (!json_spirit::read(text, value)) return InfoRead::kNotJson;
    if (value.type() != json_spirit::obj_type) return InfoRead::kNotObject;
    const json_spirit::Object& object = value.get_obj();
    auto size = object.find("size");
    auto md5 = object.find("md5sum");
    auto offset = object.find("offset");
    if (size == object.end() || md5 == object.end() || offset == object.end())
        return InfoRead::kMissingKey;
    if (size->second.type() != json_spirit::int_type ||
        offset->second.type() != json_spirit::int_type ||
        md5->second.type() != json_spirit::str_type || size->second.is_uint64() ||
        offset->second.is_uint64() || size->second.get_int64() < 0 ||
        offset->second.get_int64() < 0)
        return InfoRead::kBadType;
    info.size = size->second.get_int64();
    info.offset = offset->second.get_int64();
    info.md5sum = from_utf8(md5->second.get_str());
    return InfoRead::kOk;
}

bool write_installer_info(const std::wstring& path, const InstallerInfo& info) {
    json_spirit::Object object;
    object["md5sum"] = json_spirit::Value(info.md5sum);
    object["offset"] = json_spirit::Value(static_cast<long long>(info.offset));
    object["size"] = json_spirit::Value(static_cast<long long>(info.size));
    return replace_file(path, json_spirit::write(json_spirit::Value(object)), nullptr, true);
}

InstallerCheck check_installer(const std::wstring& folder, const InstallerInfo& info) {
    std::wstring path = folder + kInstallerName;
    std::wstring bare = folder;
    while (!bare.empty() && (bare.back() == L'\\' || bare.back() == L'/')) bare.pop_back();
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes &
         (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
        return InstallerCheck::kNotRegular;
    if (!tovel::platform::owned_privately(bare.c_str()) ||
        !tovel::platform::owned_privately(path.c_str()))
        return InstallerCheck::kNotPrivate;
    if (info.size <= 0 || info.offset != info.size || !is_md5_text(info.md5sum))
        return InstallerCheck::kIncomplete;
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) return InstallerCheck::kNotRegular;
    BY_HANDLE_FILE_INFORMATION about{};
    if (!GetFileInformationByHandle(file.get(), &about)) return InstallerCheck::kUnreadable;
    if ((about.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
        return InstallerCheck::kNotRegular;
    int64_t size = (static_cast<int64_t>(about.nFileSizeHigh) << 32) | about.nFileSizeLow;
    if (size != info.size) return InstallerCheck::kIncomplete;
    MD5 md5;
    std::vector<unsigned char> buffer(1 << 20);
    int64_t total = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
            return InstallerCheck::kUnreadable;
        if (got == 0) break;
        md5.update(buffer.data(), got);
        total += got;
    }
    if (total != info.size) return InstallerCheck::kIncomplete;
    return same_md5(md5.hexdigest(), info.md5sum) ? InstallerCheck::kOk
                                                  : InstallerCheck::kMd5Mismatch;
}

const char* installer_check_text(InstallerCheck result) {
    switch (result) {
        case InstallerCheck::kOk:
            return "the installer checks out";
        case InstallerCheck::kNotPrivate:
            return "the updates folder or the installer belongs to another user or may be "
                   "changed by others";
        case InstallerCheck::kNotRegular:
            return "the installer is missing or is not a regular file";
        case InstallerCheck::kIncomplete:
            return "the installer's size is not the size of the completed download";
        case InstallerCheck::kMd5Mismatch:
            return "the installer's MD5 is not the one the server announced";
        case InstallerCheck::kUnreadable:
            return "the installer could not be read";
    }
    return "";
}

}  // namespace tovel
