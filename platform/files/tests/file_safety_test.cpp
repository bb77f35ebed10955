// Opening files that a caller names on someone else's behalf: access lists of
// new files from a security descriptor's text, opens that never follow a link
// at the path nor wait on a special file, and what a handle says about its
// file (kind, names, identity).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/tests/helpers.h"
#include "platform/win32.h"
#include "tools/testkit/machine_fixture.h"

using platform_tests::Handle;
using platform_tests::open_file;
using tovel::testing::host_of;
using tovel::testing::read_host_file;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

namespace {

// The permission bits of a host file as stat(1) prints them ("600").
std::string mode_of(const std::wstring& path) {
    std::string out;
    EXPECT_EQ(run_command("stat -c %a " + shell_quote(host_of(path)), &out), 0);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

// A descriptor made from its text, freed with the holder.
class Descriptor {
public:
    explicit Descriptor(const wchar_t* text) {
        ok_ = ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1,
                                                                   &descriptor_, &size_);
        error_ = GetLastError();
    }
    ~Descriptor() {
        if (descriptor_) {
            EXPECT_EQ(LocalFree(descriptor_), nullptr);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    bool ok() const { return ok_ == TRUE; }
    DWORD error() const { return error_; }
    ULONG size() const { return size_; }
    SECURITY_ATTRIBUTES* attributes() {
        attributes_ = {sizeof attributes_, descriptor_, FALSE};
        return &attributes_;
    }

private:
    PSECURITY_DESCRIPTOR descriptor_ = nullptr;
    ULONG size_ = 0;
    BOOL ok_ = FALSE;
    DWORD error_ = 0;
    SECURITY_ATTRIBUTES attributes_{};
};

HANDLE create_with(const std::wstring& path, SECURITY_ATTRIBUTES* security, DWORD disposition) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, 0, security, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

// Sets the process's file mode mask for the scope.
class ScopedMask {
public:
    explicit ScopedMask(mode_t mask) : old_(umask(mask)) {}
    ~ScopedMask() { umask(old_); }
    ScopedMask(const ScopedMask&) = delete;
    ScopedMask& operator=(const ScopedMask&) = delete;

private:
    mode_t old_;
};

void link_on_host(const std::wstring& target, const std::wstring& link) {
    std::filesystem::create_symlink(host_of(target), host_of(link));
}

constexpr DWORD kNoFollow = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;

BY_HANDLE_FILE_INFORMATION information_of(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    EXPECT_TRUE(GetFileInformationByHandle(file, &information));
    return information;
}

}  // namespace

TEST(PlatformSecurityDescriptor, NewFilesGetExactlyTheAccessOfTheText) {
    struct Case {
        const wchar_t* text;
        const char* mode;
    } cases[] = {
        {L"D:P(A;;FRFW;;;OW)", "600"},
        {L"D:(A;;FRFW;;;OW)(A;;FR;;;WD)", "644"},
        {L"D:PAI(A;;FA;;;OW)(A;;FA;;;SY)(A;;GA;;;BA)", "700"},
        {L"D:AR(A;;GRGW;;;CO)(A;;GX;;;WD)", "711"},
        {L"D:P", "0"},
        {L"D:NO_ACCESS_CONTROL", "666"},
    };
    for (mode_t mask : {0022, 0077, 0}) {
        ScopedMask scoped(mask);
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << "mask " << mask << ", case " << (&c - cases));
            std::wstring path =
                L"C:\\new-" + std::to_wstring(mask) + L"-" + std::to_wstring(&c - cases) + L".txt";
            Descriptor descriptor(c.text);
            ASSERT_TRUE(descriptor.ok());
            EXPECT_GT(descriptor.size(), 0u);
            Handle file(create_with(path, descriptor.attributes(), CREATE_NEW));
            ASSERT_TRUE(file.valid());
            EXPECT_EQ(mode_of(path), c.mode);
        }
    }
}

TEST(PlatformSecurityDescriptor, ExistingFileKeepsItsOwnAccess) {
    write_host_file(host_of(L"C:\\old.txt"), "old text");
    ASSERT_EQ(chmod(host_of(L"C:\\old.txt").c_str(), 0644), 0);
    Descriptor descriptor(L"D:P(A;;FRFW;;;OW)");
    ASSERT_TRUE(descriptor.ok());
    {
        Handle file(create_with(L"C:\\old.txt", descriptor.attributes(), CREATE_ALWAYS));
        ASSERT_TRUE(file.valid());
        EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    }
    EXPECT_EQ(mode_of(L"C:\\old.txt"), "644");
    EXPECT_EQ(read_host_file(host_of(L"C:\\old.txt")), "");
    // Without a descriptor a new file gets the process's default.
    ScopedMask scoped(0022);
    Handle plain(create_with(L"C:\\plain.txt", nullptr, CREATE_NEW));
    ASSERT_TRUE(plain.valid());
    EXPECT_EQ(mode_of(L"C:\\plain.txt"), "644");
}

TEST(PlatformSecurityDescriptor, AnInitialisedDescriptorGivesTheDefaultOrWithANullListAll) {
    ScopedMask scoped(0022);
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &sd, FALSE};
    Handle plain(create_with(L"C:\\plain.txt", &attributes, CREATE_NEW));
    EXPECT_EQ(mode_of(L"C:\\plain.txt"), "644");  // no access list: the default
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
    Handle open(create_with(L"C:\\open.txt", &attributes, CREATE_NEW));
    EXPECT_EQ(mode_of(L"C:\\open.txt"), "666");  // a null list: everyone
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, FALSE, nullptr, FALSE));
    Handle again(create_with(L"C:\\again.txt", &attributes, CREATE_NEW));
    EXPECT_EQ(mode_of(L"C:\\again.txt"), "644");
    SECURITY_DESCRIPTOR never = {};
    EXPECT_FALSE(SetSecurityDescriptorDacl(&never, TRUE, nullptr, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(PlatformSecurityDescriptor, TextsBeyondWhatTheLayerKnowsAreRefusedWith87) {
    const wchar_t* refused[] = {
        L"",
        L"O:BAD:P(A;;FA;;;OW)",       // an owner part
        L"D:(D;;FA;;;WD)",            // a deny entry
        L"D:(A;OICI;FA;;;OW)",        // entry flags
        L"D:(A;;0x1f01ff;;;OW)",      // rights as a number
        L"D:(A;;FA;;;S-1-5-32-544)",  // a trustee as a number
        L"D:(A;;FA;;;AU)",            // a trustee the layer does not know
        L"D:(A;;FA;;;OW",             // unclosed
        L"D:(A;;FA;;;OW)x",           // something after the entries
        L"D:Q(A;;FA;;;OW)",           // an unknown flag
        L"D:(A;;;;;OW)",              // no rights
        L"D:(A;;FA;;;OW;)",           // a field too many
        L"S:(AU;SA;FA;;;WD)",         // an audit list
    };
    for (size_t i = 0; i < sizeof refused / sizeof refused[0]; ++i) {
        SCOPED_TRACE(testing::Message() << "text " << i);
        SetLastError(0);
        Descriptor descriptor(refused[i]);
        EXPECT_FALSE(descriptor.ok());
        EXPECT_EQ(descriptor.error(), ERROR_INVALID_PARAMETER);
    }
    PSECURITY_DESCRIPTOR out = nullptr;
    SetLastError(0);
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P", 2, &out, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(nullptr, SDDL_REVISION_1,
                                                                      &out, nullptr));
    EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P", SDDL_REVISION_1,
                                                                      nullptr, nullptr));
    EXPECT_EQ(out, nullptr);

    // A pointer that is no descriptor of the layer creates nothing.
    char foreign[64] = {};
    SECURITY_ATTRIBUTES attributes{sizeof attributes, foreign, FALSE};
    SetLastError(0);
    EXPECT_EQ(create_with(L"C:\\never.txt", &attributes, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\never.txt")));
}

TEST(PlatformNoFollowOpen, LinkAtThePathIsRefusedAndItsTargetLeftAlone) {
    write_host_file(host_of(L"C:\\target.txt"), "secret");
    link_on_host(L"C:\\target.txt", L"C:\\link.txt");
    struct Case {
        DWORD access;
        DWORD disposition;
        DWORD code;
    } cases[] = {
        {GENERIC_READ, OPEN_EXISTING, ERROR_CANT_RESOLVE_FILENAME},
        {GENERIC_WRITE, CREATE_ALWAYS, ERROR_CANT_RESOLVE_FILENAME},
        {GENERIC_WRITE, OPEN_ALWAYS, ERROR_CANT_RESOLVE_FILENAME},
        {GENERIC_WRITE, TRUNCATE_EXISTING, ERROR_CANT_RESOLVE_FILENAME},
        {GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, ERROR_CANT_RESOLVE_FILENAME},
        {GENERIC_WRITE, CREATE_NEW, ERROR_FILE_EXISTS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        SetLastError(0);
        EXPECT_EQ(open_file(L"C:\\link.txt", c.access, c.disposition, kNoFollow),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.code);
        EXPECT_EQ(read_host_file(host_of(L"C:\\target.txt")), "secret");
    }
    EXPECT_TRUE(std::filesystem::is_symlink(host_of(L"C:\\link.txt")));

    // A dangling link creates nothing where it points.
    link_on_host(L"C:\\nowhere.txt", L"C:\\dangling.txt");
    EXPECT_EQ(open_file(L"C:\\dangling.txt", GENERIC_WRITE, CREATE_ALWAYS, kNoFollow),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_CANT_RESOLVE_FILENAME);
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\nowhere.txt")));
    // Without the flag the link is followed, as before.
    Handle followed(open_file(L"C:\\dangling.txt", GENERIC_WRITE, CREATE_ALWAYS));
    EXPECT_TRUE(followed.valid());
    EXPECT_TRUE(std::filesystem::exists(host_of(L"C:\\nowhere.txt")));

    // Nor is a link to a folder taken for the folder.
    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", nullptr));
    link_on_host(L"C:\\dir", L"C:\\dirlink");
    EXPECT_EQ(open_file(L"C:\\dirlink", GENERIC_READ, OPEN_EXISTING,
                        kNoFollow | FILE_FLAG_BACKUP_SEMANTICS),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_CANT_RESOLVE_FILENAME);
}

TEST(PlatformNoFollowOpen, FilesFoldersAndLinksOnTheWayOpenAsUsual) {
    ASSERT_TRUE(CreateDirectoryW(L"C:\\real", nullptr));
    write_host_file(host_of(L"C:\\real\\file.txt"), "inside");
    link_on_host(L"C:\\real", L"C:\\via");
    Handle through(open_file(L"C:\\via\\file.txt", GENERIC_READ, OPEN_EXISTING, kNoFollow));
    ASSERT_TRUE(through.valid());
    char buffer[16];
    DWORD got = 0;
    ASSERT_TRUE(ReadFile(through.get(), buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(std::string(buffer, got), "inside");

    Handle created(open_file(L"C:\\real\\new.txt", GENERIC_WRITE, CREATE_NEW, kNoFollow));
    ASSERT_TRUE(created.valid());
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(created.get(), "abc", 3, &written, nullptr));
    EXPECT_EQ(read_host_file(host_of(L"C:\\real\\new.txt")), "abc");

    Handle folder(open_file(L"C:\\real", GENERIC_READ, OPEN_EXISTING,
                            kNoFollow | FILE_FLAG_BACKUP_SEMANTICS));
    EXPECT_TRUE(folder.valid());
    // A drive is its folder, though drive Z is a link on the host.
    Handle drive(
        open_file(L"Z:\\", GENERIC_READ, OPEN_EXISTING, kNoFollow | FILE_FLAG_BACKUP_SEMANTICS));
    EXPECT_TRUE(drive.valid());
}

TEST(PlatformNoFollowOpen, SpecialFileOpensWithoutWaitingAndShowsAsADevice) {
    ASSERT_EQ(mkfifo(host_of(L"C:\\pipe").c_str(), 0600), 0);
    // Nobody writes to it and nobody reads it: neither open waits.
    {
        Handle reader(open_file(L"C:\\pipe", GENERIC_READ, OPEN_EXISTING, kNoFollow));
        ASSERT_TRUE(reader.valid());
        EXPECT_EQ(information_of(reader.get()).dwFileAttributes, FILE_ATTRIBUTE_DEVICE);
        EXPECT_EQ(information_of(reader.get()).nFileSizeLow, 0u);
    }
    EXPECT_EQ(open_file(L"C:\\pipe", GENERIC_WRITE, OPEN_EXISTING, kNoFollow),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    Handle device(open_file(L"Z:\\dev\\null", GENERIC_WRITE, OPEN_EXISTING, kNoFollow));
    ASSERT_TRUE(device.valid());
    EXPECT_EQ(information_of(device.get()).dwFileAttributes, FILE_ATTRIBUTE_DEVICE);

    // Plain opens, as a file's reader or writer makes them, do not wait
    // either, nor does a read while a writer holds the pipe and sends nothing.
    EXPECT_EQ(open_file(L"C:\\pipe", GENERIC_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    Handle reader(open_file(L"C:\\pipe", GENERIC_READ, OPEN_EXISTING));
    ASSERT_TRUE(reader.valid());
    int writer = ::open(host_of(L"C:\\pipe").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    char byte;
    DWORD got = 7;
    EXPECT_FALSE(ReadFile(reader.get(), &byte, 1, &got, nullptr));
    EXPECT_EQ(got, 0u);
    ASSERT_EQ(::write(writer, "x", 1), 1);
    EXPECT_TRUE(ReadFile(reader.get(), &byte, 1, &got, nullptr));
    EXPECT_EQ(got, 1u);
    ::close(writer);
}

TEST(PlatformFileInformation, TellsKindSizeNamesAndIdentity) {
    write_host_file(host_of(L"C:\\a.txt"), "12345");
    write_host_file(host_of(L"C:\\b.txt"), "x");
    Handle a(open_file(L"C:\\a.txt", GENERIC_READ, OPEN_EXISTING));
    Handle b(open_file(L"C:\\b.txt", GENERIC_READ, OPEN_EXISTING));
    ASSERT_TRUE(a.valid() && b.valid());
    BY_HANDLE_FILE_INFORMATION first = information_of(a.get());
    EXPECT_EQ(first.dwFileAttributes, FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_EQ(first.nFileSizeHigh, 0u);
    EXPECT_EQ(first.nFileSizeLow, 5u);
    EXPECT_EQ(first.nNumberOfLinks, 1u);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(L"C:\\a.txt", GetFileExInfoStandard, &data));
    EXPECT_EQ(first.ftLastWriteTime.dwLowDateTime, data.ftLastWriteTime.dwLowDateTime);
    EXPECT_EQ(first.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwHighDateTime);

    // A second name of the same file: two names, one identity.
    ASSERT_EQ(link(host_of(L"C:\\a.txt").c_str(), host_of(L"C:\\second.txt").c_str()), 0);
    Handle second(open_file(L"C:\\second.txt", GENERIC_READ, OPEN_EXISTING));
    ASSERT_TRUE(second.valid());
    BY_HANDLE_FILE_INFORMATION again = information_of(second.get());
    EXPECT_EQ(again.nNumberOfLinks, 2u);
    EXPECT_EQ(information_of(a.get()).nNumberOfLinks, 2u);
    EXPECT_EQ(again.dwVolumeSerialNumber, first.dwVolumeSerialNumber);
    EXPECT_EQ(again.nFileIndexLow, first.nFileIndexLow);
    EXPECT_EQ(again.nFileIndexHigh, first.nFileIndexHigh);
    BY_HANDLE_FILE_INFORMATION other = information_of(b.get());
    EXPECT_FALSE(other.nFileIndexLow == first.nFileIndexLow &&
                 other.nFileIndexHigh == first.nFileIndexHigh);

    ASSERT_EQ(chmod(host_of(L"C:\\b.txt").c_str(), 0444), 0);
    EXPECT_EQ(information_of(b.get()).dwFileAttributes,
              FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", nullptr));
    Handle folder(open_file(L"C:\\dir", GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
    ASSERT_TRUE(folder.valid());
    EXPECT_EQ(information_of(folder.get()).dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);

    SetLastError(0);
    EXPECT_FALSE(GetFileInformationByHandle(a.get(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    BY_HANDLE_FILE_INFORMATION none{};
    HANDLE closed = a.release();
    ASSERT_TRUE(CloseHandle(closed));
    EXPECT_FALSE(GetFileInformationByHandle(closed, &none));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}
