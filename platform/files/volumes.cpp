#include "platform/win/volumes.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdint>
#include <cwchar>
#include <string>

#include "platform/kernel/machine.h"
#include "platform/win/errors.h"

namespace {

using tovel::platform::host_path;

// File-system magic numbers of statfs (linux/magic.h).
constexpr long kTmpfs = 0x01021994;
constexpr long kRamfs = 0x858458f6;
constexpr long kIso9660 = 0x9660;
constexpr long kUdf = 0x15013346;
constexpr long kNfs = 0x6969;
constexpr long kSmb = 0x517B;
constexpr long kSmb2 = static_cast<long>(0xFE534D42u);
constexpr long kCifs = static_cast<long>(0xFF534D42u);
constexpr long kCoda = 0x73757245;
constexpr long kAfs = 0x5346414F;
constexpr long kNcp = 0x564c;
constexpr long kCeph = 0x00c36400;
constexpr long kFuse = 0x65735546;
constexpr long kExt = 0xEF53;
constexpr long kXfs = 0x58465342;
constexpr long kBtrfs = 0x9123683E;
constexpr long kOverlay = 0x794c7630;

// The host folder of a drive root ("X:\" or "X:"); false with 3 when root names no drive.
bool drive_folder(LPCWSTR root, std::string& out) {
    std::wstring text = root ? root : L"";
    bool is_root = text.size() >= 2 && text.size() <= 3 && text[1] == L':' &&
                   ((text[0] | 0x20) >= L'a' && (text[0] | 0x20) <= L'z') &&
                   (text.size() == 2 || text[2] == L'\\' || text[2] == L'/');
    if (!is_root) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    if (!host_path((text.substr(0, 2) + L"\\").c_str(), out)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    struct stat st;
    if (::stat(out.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    return true;
}

bool file_system_of(LPCWSTR root, struct statfs& out) {
    std::string folder;
    if (!drive_folder(root, folder)) return false;
    if (::statfs(folder.c_str(), &out) != 0) {
        tovel::platform::set_last_error_from_errno(errno, folder);
        return false;
    }
    return true;
}

const wchar_t* type_name(long magic) {
    switch (magic) {
        case kTmpfs:
            return L"tmpfs";
        case kRamfs:
            return L"ramfs";
        case kIso9660:
            return L"iso9660";
        case kUdf:
            return L"udf";
        case kNfs:
            return L"nfs";
        case kSmb:
        case kSmb2:
        case kCifs:
            return L"cifs";
        case kExt:
            return L"ext4";
        case kXfs:
            return L"xfs";
        case kBtrfs:
            return L"btrfs";
        case kOverlay:
            return L"overlay";
        default:
            return L"unknown";
    }
}

bool copy_text(const wchar_t* text, LPWSTR buffer, DWORD size) {
    if (!buffer) return true;
    size_t length = std::wcslen(text);
    if (length + 1 > size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    std::wmemcpy(buffer, text, length + 1);
    return true;
}

}  // namespace

UINT GetDriveTypeW(LPCWSTR root) {
    std::wstring given = root ? root : L"Z:\\";
    struct statfs fs;
    if (!file_system_of(given.c_str(), fs)) return DRIVE_NO_ROOT_DIR;
    switch (static_cast<long>(fs.f_type)) {
        case kTmpfs:
        case kRamfs:
            return DRIVE_RAMDISK;
        case kNfs:
        case kSmb:
        case kSmb2:
        case kCifs:
        case kCoda:
        case kAfs:
        case kNcp:
        case kCeph:
            return DRIVE_REMOTE;
        case kIso9660:
        case kUdf:
            return DRIVE_CDROM;
        case kFuse:
        default:
            return DRIVE_FIXED;
    }
}

BOOL GetVolumeInformationW(LPCWSTR root, LPWSTR label, DWORD labelSize, LPDWORD serialNumber,
                           LPDWORD maxComponentLength, LPDWORD fileSystemFlags,
                           LPWSTR fileSystemName, DWORD fileSystemNameSize) {
    std::string folder;
    if (!drive_folder(root, folder)) return FALSE;
    struct stat st;
    struct statfs fs;
    if (::stat(folder.c_str(), &st) != 0 || ::statfs(folder.c_str(), &fs) != 0) {
        tovel::platform::set_last_error_from_errno(errno, folder);
        return FALSE;
    }
    if (!copy_text(L"", label, labelSize)) return FALSE;
    if (!copy_text(type_name(static_cast<long>(fs.f_type)), fileSystemName, fileSystemNameSize))
        return FALSE;
    if (serialNumber) *serialNumber = static_cast<DWORD>(st.st_dev);
    if (maxComponentLength) *maxComponentLength = 255;
    // FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK
    if (fileSystemFlags) *fileSystemFlags = 0x2 | 0x4;
    return TRUE;
}

BOOL GetDiskFreeSpaceW(LPCWSTR root, LPDWORD sectorsPerCluster, LPDWORD bytesPerSector,
                       LPDWORD freeClusters, LPDWORD totalClusters) {
    std::string folder;
    if (!drive_folder(root, folder)) return FALSE;
    struct statvfs vfs;
    if (::statvfs(folder.c_str(), &vfs) != 0) {
        tovel::platform::set_last_error_from_errno(errno, folder);
        return FALSE;
    }
    constexpr uint64_t kSector = 512;
    uint64_t fragment = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    uint64_t sectors = fragment >= kSector ? fragment / kSector : 1;
    unsigned __int128 total = static_cast<unsigned __int128>(vfs.f_blocks) * fragment;
    unsigned __int128 available = static_cast<unsigned __int128>(vfs.f_bavail) * fragment;
    while (total / (sectors * kSector) > 0xFFFFFFFFu) sectors *= 2;
    uint64_t cluster = sectors * kSector;
    if (sectorsPerCluster) *sectorsPerCluster = static_cast<DWORD>(sectors);
    if (bytesPerSector) *bytesPerSector = static_cast<DWORD>(kSector);
    if (totalClusters) *totalClusters = static_cast<DWORD>(total / cluster);
    if (freeClusters) *freeClusters = static_cast<DWORD>(available / cluster);
    return TRUE;
}
