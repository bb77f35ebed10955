// Hands any bytes to the receiving side of the package heads, as packages
// of a connection: each package is one byte that picks the head (even: the
// file head, odd: the data head), its size (u16, little-endian; cut to what
// is left) and its bytes. Received names must stay below the receiving
// folder, and nothing may be read outside a package.
// The HTTP client brings ACE, whose headers must come before the platform layer's.
#include "job/storage/data_headers.h"
//
#include <ace/Log_Msg.h>
#include <dirent.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "job/core/file_helpers.h"
#include "platform/win32.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

const wchar_t* const kTarget = L"C:\\recv";
std::string g_drive;             // the host folder of drive C
std::set<std::string> g_before;  // what it held before any input

std::set<std::string> names_in(const std::string& folder) {
    std::set<std::string> out;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (struct dirent* entry = ::readdir(dir)) out.insert(entry->d_name);
        ::closedir(dir);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static std::string root = [] {
        char folder[] = "/tmp/tovel-fuzz-XXXXXX";
        require(::mkdtemp(folder) != nullptr);
        return std::string(folder);
    }();
    ::setenv("TOVEL_ROOT", root.c_str(), 1);
    ACE_LOG_MSG->priority_mask(0, ACE_Log_Msg::PROCESS);
    std::atexit([] {
        std::string command = "rm -rf '" + root + "'";
        if (std::system(command.c_str()) != 0) {
        }
    });
    GetFileAttributesW(L"C:\\");  // lays the machine out
    g_drive = root + "/drives/c";
    g_before = names_in(g_drive);
    g_before.insert("recv");
    chunkhead::set_target_folder(kTarget);
    require(datahead::set_key("0123456789abcdef", 16));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    require(mkdir_p(kTarget) == 0);
    filehead file;
    datahead block;
    for (size_t at = 0; at + 3 <= size;) {
        bool isData = data[at] & 1;
        size_t length = std::min<size_t>(data[at + 1] | data[at + 2] << 8, size - at - 3);
        at += 3;
        // A package of its own, so that a read past its end shows.
        std::unique_ptr<unsigned char[]> package(new unsigned char[length ? length : 1]);
        std::memcpy(package.get(), data + at, length);
        at += length;
        chunkhead& head = isData ? static_cast<chunkhead&>(block) : file;
        head.handle_package(package.get(), length);
    }
    chunkhead::close_received_file();
    // A received name never leaves the receiving folder.
    require(names_in(g_drive) == g_before);
    require(rm_rf(kTarget, TRUE) == 0);
    return 0;
}
