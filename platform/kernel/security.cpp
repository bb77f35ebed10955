#include "platform/win/security.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/kernel/security_descriptor.h"
#include "platform/win/errors.h"
#include "platform/win/module.h"

namespace {

// The layer's descriptor: a tag, the permission bits of new files, and those of named kernel
// objects (read: may wait on it, write: may change its state).
struct Descriptor {
    uint32_t tag;
    uint32_t mode;
    uint32_t object_mode;
};
constexpr uint32_t kDescriptorTag = 0x31445354;  // "TSD1"
// An initialised descriptor without an access list; its mode is not used.
constexpr uint32_t kNoListTag = 0x30445354;  // "TSD0"
static_assert(sizeof(SECURITY_DESCRIPTOR) >= sizeof(Descriptor), "room for the layer's descriptor");

constexpr mode_t kOwner = S_IRWXU;
constexpr mode_t kOthers = S_IRWXG | S_IRWXO;
constexpr mode_t kRead = S_IRUSR | S_IRGRP | S_IROTH;
constexpr mode_t kWrite = S_IWUSR | S_IWGRP | S_IWOTH;
constexpr mode_t kExecute = S_IXUSR | S_IXGRP | S_IXOTH;

// SYNCHRONIZE and EVENT_MODIFY_STATE, the object rights a hexadecimal entry may give.
constexpr unsigned long kSynchronize = 0x00100000ul;
constexpr unsigned long kModifyState = 0x0002ul;

// The object rights of a file right mask: reading and executing let a holder wait, writing
// lets it change the state.
mode_t object_rights(mode_t rights) {
    mode_t out = 0;
    if (rights & (kRead | kExecute)) out |= kRead;
    if (rights & kWrite) out |= kWrite;
    return out;
}

// Reads the rights of one entry into a mask of read, write and execute bits
// of every class for files and one of read and write bits for named objects;
// false for a right the layer does not know. A hexadecimal mask ("0x100000")
// may hold SYNCHRONIZE (wait) and EVENT_MODIFY_STATE (change) only; it gives a
// file nothing.
bool parse_rights(const std::wstring& text, mode_t& rights, mode_t& objects) {
    if (text.compare(0, 2, L"0x") == 0 && text.size() > 2) {
        wchar_t* end = nullptr;
        unsigned long mask = std::wcstoul(text.c_str() + 2, &end, 16);
        if (*end != L'\0' || mask == 0 || (mask & ~(kSynchronize | kModifyState))) return false;
        rights = 0;
        objects = ((mask & kSynchronize) ? kRead : 0) | ((mask & kModifyState) ? kWrite : 0);
        return true;
    }
    if (text.empty() || text.size() % 2 != 0) return false;
    rights = 0;
    for (size_t i = 0; i < text.size(); i += 2) {
        std::wstring right = text.substr(i, 2);
        if (right == L"FA" || right == L"GA")
            rights |= kRead | kWrite | kExecute;
        else if (right == L"FR" || right == L"GR")
            rights |= kRead;
        else if (right == L"FW" || right == L"GW")
            rights |= kWrite;
        else if (right == L"FX" || right == L"GX")
            rights |= kExecute;
        else
            return false;
    }
    objects = object_rights(rights);
    return true;
}

// The classes of permission bits a trustee stands for; false for one the
// layer does not know.
bool parse_trustee(const std::wstring& text, mode_t& classes) {
    if (text == L"OW" || text == L"CO")
        classes = kOwner;
    else if (text == L"WD")
        classes = kOwner | kOthers;
    else if (text == L"SY" || text == L"BA")
        classes = 0;  // the machine's administrator, who has every access
    else
        return false;
    return true;
}

// One "(A;;rights;;;trustee)" entry at text[at]; at moves past it.
bool parse_entry(const std::wstring& text, size_t& at, mode_t& mode, mode_t& object_mode) {
    size_t end = text.find(L')', at);
    if (text[at] != L'(' || end == std::wstring::npos) return false;
    std::wstring fields[6];
    size_t field = 0;
    for (size_t i = at + 1; i < end; ++i) {
        if (text[i] == L';') {
            if (++field == 6) return false;
        } else {
            fields[field] += text[i];
        }
    }
    if (field != 5 || fields[0] != L"A" || !fields[1].empty() || !fields[3].empty() ||
        !fields[4].empty())
        return false;
    mode_t rights = 0, objects = 0, classes = 0;
    if (!parse_rights(fields[2], rights, objects) || !parse_trustee(fields[5], classes))
        return false;
    mode |= rights & classes;
    object_mode |= objects & classes;
    at = end + 1;
    return true;
}

bool parse_descriptor(const std::wstring& text, mode_t& mode, mode_t& object_mode) {
    if (text.compare(0, 2, L"D:") != 0) return false;
    if (text == L"D:NO_ACCESS_CONTROL") {
        mode = kRead | kWrite;  // a file's "everyone may": no execution
        object_mode = kRead | kWrite;
        return true;
    }
    size_t at = 2;
    while (at < text.size() && text[at] != L'(') {
        if (text[at] == L'P')
            at += 1;
        else if (text.compare(at, 2, L"AI") == 0 || text.compare(at, 2, L"AR") == 0)
            at += 2;
        else
            return false;
    }
    mode = 0;
    object_mode = 0;
    while (at < text.size())
        if (!parse_entry(text, at, mode, object_mode)) return false;
    return true;
}

}  // namespace

namespace tovel::platform {

bool file_mode_of_descriptor(const void* descriptor, mode_t& mode, bool& own) {
    if (!descriptor) return false;
    Descriptor held;
    std::memcpy(&held, descriptor, sizeof held);
    if (held.tag != kDescriptorTag && held.tag != kNoListTag) return false;
    own = held.tag == kDescriptorTag;
    if (own) mode = static_cast<mode_t>(held.mode);
    return true;
}

bool object_mode_of_descriptor(const void* descriptor, mode_t& mode, bool& own) {
    if (!descriptor) return false;
    Descriptor held;
    std::memcpy(&held, descriptor, sizeof held);
    if (held.tag != kDescriptorTag && held.tag != kNoListTag) return false;
    own = held.tag == kDescriptorTag;
    if (own) mode = static_cast<mode_t>(held.object_mode);
    return true;
}

}  // namespace tovel::platform

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR text, DWORD revision,
                                                          PSECURITY_DESCRIPTOR* descriptor,
                                                          PULONG size) {
    mode_t mode = 0, object_mode = 0;
    if (!text || !descriptor || revision != SDDL_REVISION_1 ||
        !parse_descriptor(text, mode, object_mode)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* made = static_cast<Descriptor*>(LocalAlloc(LPTR, sizeof(Descriptor)));
    if (!made) return FALSE;
    made->tag = kDescriptorTag;
    made->mode = static_cast<uint32_t>(mode);
    made->object_mode = static_cast<uint32_t>(object_mode);
    *descriptor = made;
    if (size) *size = sizeof(Descriptor);
    return TRUE;
}

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD revision) {
    if (!sd || revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::memset(sd, 0, sizeof(SECURITY_DESCRIPTOR));
    const Descriptor made{kNoListTag, 0, 0};
    std::memcpy(sd, &made, sizeof made);
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR sd, BOOL present, PACL dacl,
                               BOOL /*defaulted*/) {
    mode_t mode = 0;
    bool own = false;
    if (!sd || dacl || !tovel::platform::file_mode_of_descriptor(sd, mode, own)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A null list is what "D:NO_ACCESS_CONTROL" gives.
    const uint32_t all = present ? static_cast<uint32_t>(kRead | kWrite) : 0u;
    const Descriptor made{present ? kDescriptorTag : kNoListTag, all, all};
    std::memcpy(sd, &made, sizeof made);
    return TRUE;
}
