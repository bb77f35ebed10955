// Reads any bytes as a list of source records, as a run reads its "act\src"
// and a restore reads an offline catalogue: the reader record by record,
// with the offsets a run saves and continues from, and the local restore
// storage's catalogue load. No read may leave a record, and a list opened
// again at a saved offset goes on with the same records.
#include <ace/Log_Msg.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "job/sources/activity_source.h"
#include "job/storage/local_restore_storage.h"
#include "platform/win32.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

const wchar_t* const kList = L"C:\\list";
std::string g_host;  // the list's host file

struct Seen {
    uint32_t tag;
    std::vector<uint8_t> bytes;
    int64_t at;
    bool item;          // a well-formed "FILE" or "DIRB" record
    std::wstring path;  // its path
};

// Every record of the list from offset on, until next() gives 0.
std::vector<Seen> records_from(int64_t offset) {
    std::vector<Seen> out;
    JobActivitySourceReader reader;
    require(reader.open(kList, offset));
    for (;;) {
        int64_t at = reader.offset();
        require(at >= offset);
        uint32_t tag = reader.next();
        if (tag == 0) break;
        size_t length = reader.recordLength();
        require(length >= 6 && length <= kSourceRecordMax);
        require(reader.offset() == at + static_cast<int64_t>(length));
        const uint8_t* record = reader.record();
        JobActivitySourceItem item;
        bool isItem = reader.item(item);
        if (isItem) {
            require(tag == kSourceTagFile || tag == kSourceTagDirectory);
            require(item.path.size() * 2 + 2 <= length);
        }
        out.push_back({tag, std::vector<uint8_t>(record, record + length), at, isItem, item.path});
        std::wstring volume;
        if (reader.volume(volume)) require(tag == kSourceTagVolume);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A simulated machine of its own, removed at the end of the process.
    static std::string root = [] {
        char folder[] = "/tmp/tovel-fuzz-XXXXXX";
        require(::mkdtemp(folder) != nullptr);
        return std::string(folder);
    }();
    ::setenv("TOVEL_ROOT", root.c_str(), 1);
    ACE_LOG_MSG->priority_mask(0, ACE_Log_Msg::PROCESS);  // damaged lists log every read
    std::atexit([] {
        std::string command = "rm -rf '" + root + "'";
        if (std::system(command.c_str()) != 0) {
        }
    });
    std::string drive = root + "/drives/c";
    GetFileAttributesW(L"C:\\");  // lays the machine out
    g_host = drive + "/list";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd = ::open(g_host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    require(fd >= 0);
    require(::write(fd, data, size) == static_cast<ssize_t>(size));
    ::close(fd);

    std::vector<Seen> all = records_from(0);
    if (!all.empty()) {
        // A run that stopped after some record continues with the next.
        size_t middle = all.size() / 2;
        std::vector<Seen> rest = records_from(all[middle].at);
        require(rest.size() == all.size() - middle);
        for (size_t i = 0; i < rest.size(); ++i) {
            require(rest[i].tag == all[middle + i].tag);
            require(rest[i].bytes == all[middle + i].bytes);
        }
    }

    LocalRestoreCatalogue catalogue;
    require(catalogue.load(kList));
    for (const Seen& seen : all)
        if (seen.item) require(catalogue.find(seen.path) != nullptr);
    return 0;
}
