// File mappings: named mappings shared by the processes of the machine, the
// holders that keep a name alive (a killed one does not), views and their
// bounds, and the backing file that follows the views.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/tests/helpers.h"
#include "platform/win32.h"
#include "tools/testkit/child_process.h"
#include "tools/testkit/machine_fixture.h"

extern char** environ;

using platform_tests::Handle;
using platform_tests::open_file;
using platform_tests::python;
using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::write_host_file;

namespace {

constexpr uint32_t kMagic = 0x4A4F4231;
const wchar_t* const kInfo = L"C:\\ProgramData\\info";

// A mapping handle (null when none), closed when the holder goes.
struct Mapping {
    explicit Mapping(HANDLE h) : h(h) {}
    ~Mapping() {
        if (h) CloseHandle(h);
    }
    HANDLE h;
};

HANDLE open_info() { return open_file(kInfo, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS); }

uint32_t* map_words(HANDLE mapping, DWORD access, SIZE_T bytes = 4096) {
    return static_cast<uint32_t*>(MapViewOfFile(mapping, access, 0, 0, bytes));
}

// The names of this machine's mapping files under objects/, the lock aside.
std::vector<std::string> mapping_files() {
    std::vector<std::string> out;
    // The machine's names, and the user's session's.
    const std::string session = machine_root() + "/sessions/" + std::to_string(geteuid());
    for (const std::string& folder : {machine_root() + "/objects", session + "/objects"}) {
        if (!std::filesystem::exists(folder)) continue;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            std::string name = entry.path().filename().string();
            if (name.rfind("mapping.", 0) == 0 && name != "mapping.lock") out.push_back(name);
        }
    }
    return out;
}

DWORD open_error(const wchar_t* name) {
    SetLastError(0);
    HANDLE h = OpenFileMappingW(FILE_MAP_READ, FALSE, name);
    if (h) CloseHandle(h);
    return h ? 0 : GetLastError();
}

// Another process that creates "Global\job_<id>" over C:\ProgramData\info as
// the job's process does, stores a pattern and then obeys its stdin.
class WriterProcess {
public:
    explicit WriterProcess(const std::string& name)
        : process_("PlatformMappingProcess.DISABLED_Writer",
                   {"TOVEL_MAPPING_WRITER_ROOT=" + machine_root(),
                    "TOVEL_MAPPING_WRITER_NAME=" + name}) {}
    // Waits (up to 30 s) for a line the writer prints; gtest's lines pass by.
    bool expect(const std::string& wanted) {
        return process_.next([&](const std::string& line) { return line == wanted; }, 30000) ==
               wanted;
    }
    void send(const std::string& line) { process_.send(line); }
    void kill_and_reap() {
        int status = process_.kill_and_reap();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    }

private:
    tovel::testing::ChildProcess process_;
};

}  // namespace

TEST(PlatformMappingNamed, CreateMapWriteThenOpenByNameAndReadLive) {
    Handle file(open_info());
    ASSERT_TRUE(file.valid());
    SetLastError(1234);
    Mapping writer(
        CreateFileMappingW(file.get(), nullptr, PAGE_READWRITE, 0, 4096, L"Global\\job_7"));
    ASSERT_NE(writer.h, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(std::filesystem::file_size(host_of(kInfo)), 4096u);  // the empty file grew
    EXPECT_EQ(mapping_files(), std::vector<std::string>{"mapping.Global%5Cjob_7"});
    uint32_t* out = map_words(writer.h, FILE_MAP_READ | FILE_MAP_WRITE);
    ASSERT_NE(out, nullptr);
    out[0] = kMagic;
    out[1023] = 5;

    Mapping reader(OpenFileMappingW(FILE_MAP_READ, FALSE, L"Global\\job_7"));
    ASSERT_NE(reader.h, nullptr);
    const uint32_t* in = map_words(reader.h, FILE_MAP_READ, 4096);
    ASSERT_NE(in, nullptr);
    EXPECT_NE(in, out);
    EXPECT_EQ(in[0], kMagic);
    EXPECT_EQ(in[1023], 5u);
    out[1023] = 6;  // no remapping: the stores show through
    EXPECT_EQ(in[1023], 6u);
    EXPECT_TRUE(UnmapViewOfFile(in));
    EXPECT_TRUE(UnmapViewOfFile(out));
}

TEST(PlatformMappingNamed, SecondCreateGivesTheLivingMappingWith183) {
    Handle file(open_info());
    Mapping first(CreateFileMappingW(file.get(), nullptr, PAGE_READWRITE, 0, 4096, L"Global\\m"));
    ASSERT_NE(first.h, nullptr);
    Handle other(open_file(L"C:\\other", GENERIC_READ | GENERIC_WRITE, CREATE_NEW));
    Mapping second(CreateFileMappingW(other.get(), nullptr, PAGE_READWRITE, 0, 8192, L"Global\\m"));
    ASSERT_NE(second.h, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_NE(second.h, first.h);
    EXPECT_EQ(std::filesystem::file_size(host_of(L"C:\\other")), 0u);        // its file is unused
    EXPECT_EQ(MapViewOfFile(second.h, FILE_MAP_READ, 0, 0, 8192), nullptr);  // size stays 4096
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    uint32_t* a = map_words(first.h, FILE_MAP_ALL_ACCESS);
    uint32_t* b = map_words(second.h, FILE_MAP_ALL_ACCESS);
    ASSERT_TRUE(a && b);
    b[3] = 33;
    EXPECT_EQ(a[3], 33u);
    Mapping memory(
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 65536, L"Global\\m"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    UnmapViewOfFile(a);
    UnmapViewOfFile(b);
}

TEST(PlatformMappingNamed, OpenFailsWith2BeforeCreationAndAfterTheLastHandleCloses) {
    EXPECT_EQ(open_error(L"Global\\job_1"), ERROR_FILE_NOT_FOUND);
    Handle file(open_info());
    HANDLE writer =
        CreateFileMappingW(file.get(), nullptr, PAGE_READWRITE, 0, 4096, L"Global\\job_1");
    ASSERT_NE(writer, nullptr);
    uint32_t* view = map_words(writer, FILE_MAP_ALL_ACCESS);
    ASSERT_NE(view, nullptr);
    view[0] = kMagic;
    HANDLE reader = OpenFileMappingW(FILE_MAP_READ, FALSE, L"Global\\job_1");
    ASSERT_NE(reader, nullptr);
    EXPECT_TRUE(CloseHandle(writer));
    EXPECT_EQ(open_error(L"Global\\job_1"), 0u);  // the reader still holds it
    EXPECT_TRUE(CloseHandle(reader));
    EXPECT_EQ(open_error(L"Global\\job_1"), ERROR_FILE_NOT_FOUND);  // a view keeps no name
    EXPECT_TRUE(mapping_files().empty());
    EXPECT_EQ(view[0], kMagic);
    EXPECT_TRUE(UnmapViewOfFile(view));
    Mapping again(
        CreateFileMappingW(file.get(), nullptr, PAGE_READWRITE, 0, 4096, L"Global\\job_1"));
    EXPECT_NE(again.h, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
}

TEST(PlatformMappingNamed, PlainNameIsLocalAndGlobalIsApart) {
    Mapping local(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"x"));
    ASSERT_NE(local.h, nullptr);
    EXPECT_EQ(open_error(L"Local\\x"), 0u);
    EXPECT_EQ(open_error(L"Global\\x"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(open_error(L"X"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenFileMappingW(FILE_MAP_READ, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(PlatformMappingNamed, RacingCreatorsMakeOneMapping) {
    std::vector<HANDLE> handles(8);
    std::vector<DWORD> errors(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < handles.size(); ++i)
        threads.emplace_back([&, i] {
            handles[i] = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                            L"Global\race");
            errors[i] = GetLastError();
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::count(errors.begin(), errors.end(), 0u), 1);
    EXPECT_EQ(std::count(errors.begin(), errors.end(), ERROR_ALREADY_EXISTS), 7);
    auto* first = static_cast<uint8_t*>(MapViewOfFile(handles[0], FILE_MAP_WRITE, 0, 0, 0));
    auto* last = static_cast<uint8_t*>(MapViewOfFile(handles[7], FILE_MAP_READ, 0, 0, 0));
    ASSERT_TRUE(first && last);
    first[9] = 9;
    EXPECT_EQ(last[9], 9);
    UnmapViewOfFile(first);
    UnmapViewOfFile(last);
    for (HANDLE h : handles) CloseHandle(h);
    EXPECT_TRUE(mapping_files().empty());
}

TEST(PlatformMappingNamed, LongNamesStayApart) {
    std::wstring a = L"Global\\" + std::wstring(250, L'\\') + L"a";
    std::wstring b = L"Global\\" + std::wstring(250, L'\\') + L"b";
    Mapping ma(
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, a.c_str()));
    ASSERT_NE(ma.h, nullptr);
    EXPECT_EQ(open_error(a.c_str()), 0u);
    EXPECT_EQ(open_error(b.c_str()), ERROR_FILE_NOT_FOUND);
    for (const auto& name : mapping_files()) EXPECT_LE(name.size(), 255u);
}

TEST(PlatformMappingNamed, NamedMemoryIsZeroedSharedAndGoesWithItsLastHandle) {
    HANDLE made = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 131072,
                                     L"Local\\pool");
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(mapping_files().size(), 2u);  // the entry and the memory file
    HANDLE opened = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, L"Local\\pool");
    ASSERT_NE(opened, nullptr);
    auto* a = static_cast<uint8_t*>(MapViewOfFile(made, FILE_MAP_WRITE, 0, 0, 0));
    auto* b = static_cast<uint8_t*>(MapViewOfFile(opened, FILE_MAP_WRITE, 0, 65536, 0));
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a[0] | a[131071] | b[0], 0);
    b[1] = 0xAB;
    EXPECT_EQ(a[65537], 0xAB);
    CloseHandle(made);
    CloseHandle(opened);
    EXPECT_TRUE(mapping_files().empty());
    EXPECT_EQ(a[65537], 0xAB);  // the views outlive the name and its memory file
    EXPECT_TRUE(UnmapViewOfFile(a));
    EXPECT_TRUE(UnmapViewOfFile(b));
}

TEST(PlatformMappingNamed, AccessOfTheHandleAndProtectionBoundTheViews) {
    Handle file(open_info());
    Mapping rw(CreateFileMappingW(file.get(), nullptr, PAGE_READWRITE, 0, 4096, L"Global\\a"));
    Mapping ro(OpenFileMappingW(FILE_MAP_READ, FALSE, L"Global\\a"));
    ASSERT_TRUE(rw.h && ro.h);
    for (DWORD access : {DWORD(FILE_MAP_WRITE), DWORD(FILE_MAP_ALL_ACCESS)}) {
        EXPECT_EQ(MapViewOfFile(ro.h, access, 0, 0, 0), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(MapViewOfFile(rw.h, 0, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    Mapping readonly(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, L"Global\\b"));
    ASSERT_NE(readonly.h, nullptr);
    EXPECT_EQ(MapViewOfFile(readonly.h, FILE_MAP_ALL_ACCESS, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    void* view = MapViewOfFile(readonly.h, FILE_MAP_READ, 0, 0, 0);
    EXPECT_NE(view, nullptr);
    UnmapViewOfFile(view);
}

TEST(PlatformMappingCreate, RefusesWhatWindowsRefuses) {
    auto fails = [](HANDLE file, DWORD protect, DWORD size) {
        SetLastError(0);
        HANDLE h = CreateFileMappingW(file, nullptr, protect, 0, size, nullptr);
        if (h) CloseHandle(h);
        return h ? 0u : GetLastError();
    };
    Handle empty(open_info());
    EXPECT_EQ(fails(empty.get(), 0x40, 4096), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(fails(INVALID_HANDLE_VALUE, PAGE_READWRITE, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(fails(empty.get(), PAGE_READWRITE, 0), ERROR_FILE_INVALID);
    EXPECT_EQ(fails(nullptr, PAGE_READWRITE, 4096), ERROR_INVALID_HANDLE);
    write_host_file(host_of(L"C:\\ro"), std::string(100, 'r'));
    Handle ro(open_file(L"C:\\ro", GENERIC_READ, OPEN_EXISTING));
    EXPECT_EQ(fails(ro.get(), PAGE_READWRITE, 100), ERROR_ACCESS_DENIED);
    EXPECT_EQ(fails(ro.get(), PAGE_READONLY, 4096), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(std::filesystem::file_size(host_of(L"C:\\ro")), 100u);
    EXPECT_EQ(fails(ro.get(), PAGE_READONLY, 0), 0u);
    EXPECT_TRUE(mapping_files().empty());  // unnamed mappings leave nothing under objects/
}

// A writable mapping takes its file's blocks when it is made, as Windows
// commits it: on a full disk the mapping is refused with 112, where a file
// grown without blocks would kill the process with SIGBUS at the first store
// into the view. That holds for a new file and for one left without blocks.
TEST(PlatformMappingCreate, AWritableMappingOnAFullDiskFailsWith112) {
    std::string drive = machine_root() + "/drives/d";
    std::filesystem::create_directories(drive);
    std::string why;
    if (tovel::testing::run_command(
            "mount -t tmpfs -o size=64k tmpfs " + tovel::testing::shell_quote(drive) + " 2>&1",
            &why) != 0)
        GTEST_SKIP() << "no small file system can be mounted here (needs root): " << why;
    struct Unmount {
        std::string at;
        ~Unmount() { tovel::testing::run_command("umount -l " + tovel::testing::shell_quote(at)); }
    } unmount{drive};
    write_host_file(drive + "/sparse", "");
    ASSERT_EQ(::truncate((drive + "/sparse").c_str(), 8192), 0);
    // Fill the disk: a file grows until the disk takes no more.
    int filler = ::open((drive + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(filler, 0);
    std::string block(4096, 'x');
    while (::write(filler, block.data(), block.size()) > 0) {
    }
    ::close(filler);

    Handle fresh(open_file(L"D:\\info", GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS));
    ASSERT_TRUE(fresh.valid());
    SetLastError(0);
    EXPECT_EQ(CreateFileMappingW(fresh.get(), nullptr, PAGE_READWRITE, 0, 4096, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(std::filesystem::file_size(drive + "/info"), 0u);  // not grown either

    Handle sparse(open_file(L"D:\\sparse", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING));
    ASSERT_TRUE(sparse.valid());
    SetLastError(0);
    EXPECT_EQ(CreateFileMappingW(sparse.get(), nullptr, PAGE_READWRITE, 0, 0, L"Local\\sparse"),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);

    // With room again, the same mapping is made and written.
    std::filesystem::remove(drive + "/filler");
    Mapping writable(CreateFileMappingW(fresh.get(), nullptr, PAGE_READWRITE, 0, 4096, nullptr));
    ASSERT_NE(writable.h, nullptr);
    uint32_t* words = map_words(writable.h, FILE_MAP_WRITE);
    ASSERT_NE(words, nullptr);
    words[1023] = kMagic;
    UnmapViewOfFile(words);
    EXPECT_EQ(std::filesystem::file_size(drive + "/info"), 4096u);
}

TEST(PlatformMappingView, OffsetsMustBeAlignedAndViewsFitTheMapping) {
    std::string bytes(3 * 65536, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i / 65536 + 'a');
    write_host_file(host_of(kInfo), bytes);
    Handle file(open_info());
    Mapping m(CreateFileMappingW(file.get(), nullptr, PAGE_READWRITE, 0, 0, nullptr));
    ASSERT_NE(m.h, nullptr);
    auto* middle = static_cast<const char*>(MapViewOfFile(m.h, FILE_MAP_READ, 0, 65536, 100));
    ASSERT_NE(middle, nullptr);
    EXPECT_EQ(middle[0], 'b');
    EXPECT_EQ(MapViewOfFile(m.h, FILE_MAP_READ, 0, 4096, 100), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MAPPED_ALIGNMENT);
    EXPECT_EQ(MapViewOfFile(m.h, FILE_MAP_READ, 0, 131072, 65537), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(MapViewOfFile(m.h, FILE_MAP_READ, 0, 196608, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(MapViewOfFile(m.h, FILE_MAP_READ, 1, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    auto* last = static_cast<const char*>(MapViewOfFile(m.h, FILE_MAP_READ, 0, 131072, 65536));
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last[65535], 'c');
    EXPECT_EQ(MapViewOfFile(file.get(), FILE_MAP_READ, 0, 0, 0), nullptr);  // not a mapping
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    UnmapViewOfFile(middle);
    UnmapViewOfFile(last);
}

TEST(PlatformMappingView, ViewOutlivesBothHandlesAndTheFileFollowsAfterFlush) {
    HANDLE file = open_info();
    HANDLE m = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 8192, nullptr);
    ASSERT_NE(m, nullptr);
    uint32_t* view = map_words(m, FILE_MAP_ALL_ACCESS, 8192);
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(CloseHandle(m));
    EXPECT_TRUE(CloseHandle(file));
    view[0] = kMagic;
    view[2047] = 0x01020304;
    EXPECT_TRUE(FlushViewOfFile(view + 2047, 4));  // not page-aligned
    EXPECT_TRUE(FlushViewOfFile(view, 0));
    EXPECT_EQ(python("import struct; d=open('" + host_of(kInfo) +
                     "','rb').read(); print(len(d), *struct.unpack_from('<I', d, 0), "
                     "*struct.unpack_from('<I', d, 8188))"),
              "8192 " + std::to_string(kMagic) + " 16909060");

    int local = 0;
    EXPECT_FALSE(FlushViewOfFile(&local, 4));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
    EXPECT_FALSE(FlushViewOfFile(view + 2048, 0));  // just past the end
    EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
    EXPECT_FALSE(UnmapViewOfFile(view + 1));  // inside, not the base
    EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
    EXPECT_FALSE(UnmapViewOfFile(nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_FALSE(UnmapViewOfFile(view));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_ADDRESS);
    EXPECT_FALSE(FlushViewOfFile(view, 0));
}

TEST(PlatformMappingView, DescriptorsAreCloseOnExec) {
    Handle file(open_info());
    Mapping named(CreateFileMappingW(file.get(), nullptr, PAGE_READWRITE, 0, 4096, L"Global\\c"));
    Mapping opened(OpenFileMappingW(FILE_MAP_READ, FALSE, L"Global\\c"));
    Mapping memory(
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"m"));
    Mapping anonymous(
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr));
    ASSERT_TRUE(named.h && opened.h && memory.h && anonymous.h);
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (error || target.rfind(machine_root(), 0) != 0) continue;
        int fd = std::stoi(entry.path().filename().string());
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << target;
        ++seen;
    }
    EXPECT_GE(seen, 8);  // the file, 2 entries and 2 backings, 2 memory files and 1 entry
}

// The writer of the cross-process tests, run in a child process of its own.
TEST(PlatformMappingProcess, DISABLED_Writer) {
    const char* root = getenv("TOVEL_MAPPING_WRITER_ROOT");
    const char* name = getenv("TOVEL_MAPPING_WRITER_NAME");
    if (!root || !name) GTEST_SKIP();
    rmdir(machine_root().c_str());  // this run's own fresh (empty) root is not used
    setenv("TOVEL_ROOT", root, 1);
    std::wstring wide(name, name + strlen(name));
    HANDLE file = open_info();
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READWRITE, 0, 4096, wide.c_str());
    uint32_t* view = mapping ? map_words(mapping, FILE_MAP_READ | FILE_MAP_WRITE) : nullptr;
    if (!view) _exit(3);
    view[0] = kMagic;
    view[1] = 1;
    FlushViewOfFile(view, 0);
    std::cout << "\nready" << std::endl;
    std::string command;
    while (std::getline(std::cin, command)) {
        if (command.rfind("store ", 0) == 0) {
            view[1] = static_cast<uint32_t>(std::stoul(command.substr(6)));
            FlushViewOfFile(view, 8);
            std::cout << "stored" << std::endl;
        } else if (command == "close") {
            UnmapViewOfFile(view);
            CloseHandle(mapping);
            CloseHandle(file);
            std::cout << "closed" << std::endl;
        }
    }
    _exit(0);  // the parent went away
}

TEST(PlatformMappingProcess, ReaderSeesTheWritersStoresAndTheFileFollows) {
    WriterProcess writer("Global\\job_42");
    ASSERT_TRUE(writer.expect("ready"));
    Mapping reader(OpenFileMappingW(FILE_MAP_READ, FALSE, L"Global\\job_42"));
    ASSERT_NE(reader.h, nullptr);
    const uint32_t* view = map_words(reader.h, FILE_MAP_READ, 4096);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view[0], kMagic);
    EXPECT_EQ(view[1], 1u);
    writer.send("store 77");
    ASSERT_TRUE(writer.expect("stored"));
    EXPECT_EQ(view[1], 77u);
    EXPECT_EQ(python("import struct; print(*struct.unpack('<II', open('" + host_of(kInfo) +
                     "','rb').read(8)))"),
              std::to_string(kMagic) + " 77");
    Mapping again(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                     L"Global\\job_42"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    UnmapViewOfFile(view);
}

TEST(PlatformMappingProcess, KilledWriterLeavesNoLivingName) {
    WriterProcess writer("Global\\job_9");
    ASSERT_TRUE(writer.expect("ready"));
    HANDLE reader = OpenFileMappingW(FILE_MAP_READ, FALSE, L"Global\\job_9");
    ASSERT_NE(reader, nullptr);
    const uint32_t* view = map_words(reader, FILE_MAP_READ, 4096);
    ASSERT_NE(view, nullptr);
    CloseHandle(reader);
    EXPECT_EQ(open_error(L"Global\\job_9"), 0u);  // the writer still holds it
    writer.kill_and_reap();
    EXPECT_EQ(mapping_files().size(), 1u);  // no clean-up ran: the entry is stale
    EXPECT_EQ(open_error(L"Global\\job_9"), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(mapping_files().empty());  // the failed open removed it
    EXPECT_EQ(view[0], kMagic);            // our view is still good
    UnmapViewOfFile(view);
    Mapping fresh(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                     L"Global\\job_9"));
    EXPECT_EQ(GetLastError(), 0u);
}

TEST(PlatformMappingProcess, WriterCloseFreesTheNameOnlyWithTheLastHolder) {
    WriterProcess writer("Global\\job_5");
    ASSERT_TRUE(writer.expect("ready"));
    HANDLE reader = OpenFileMappingW(FILE_MAP_READ, FALSE, L"Global\\job_5");
    ASSERT_NE(reader, nullptr);
    writer.send("close");
    ASSERT_TRUE(writer.expect("closed"));
    EXPECT_EQ(open_error(L"Global\\job_5"), 0u);  // we hold it still
    CloseHandle(reader);
    EXPECT_EQ(open_error(L"Global\\job_5"), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(mapping_files().empty());
}
