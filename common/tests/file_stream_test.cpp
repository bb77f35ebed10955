// Streams on Win32 file handles (common/file_stream.h), observed from the host side.
#include "common/file_stream.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstring>
#include <istream>
#include <string>

#include "platform/win32.h"
#include "tools/testkit/machine_fixture.h"

using tovel::testing::host_of;
using tovel::testing::read_host_file;
using tovel::testing::write_host_file;

namespace {

constexpr size_t kMiB = 1 << 20;

long long host_size(const wchar_t* path) {
    struct stat st;
    return ::stat(host_of(path).c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::string pattern(size_t length) {
    std::string out(length, '\0');
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return out;
}

// Answers as told and counts how often it was asked.
class counting_interrupter : public interrupter {
  public:
    explicit counting_interrupter(bool answer) : answer_(answer) {}
    bool interrupted() override {
        ++asked;
        return answer_;
    }
    int asked = 0;

  private:
    bool answer_;
};

// Reads unit by unit to the end; true when it ended with the interrupt exception.
template <class Char>
bool read_all(std::basic_streambuf<Char>* buffer, size_t& units) {
    using traits = std::char_traits<Char>;
    units = 0;
    try {
        while (!traits::eq_int_type(buffer->sbumpc(), traits::eof())) ++units;
    } catch (const char* text) {
        EXPECT_STREQ(text, "interrupt");
        return true;
    }
    return false;
}

}  // namespace

TEST(WriteStream, BytesWaitUntilTheBufferIsFull) {
    const wchar_t* path = L"C:\\out.bin";
    std::string data = pattern(3 * 8192);
    win32_file_tostream<char> out(path);
    ASSERT_TRUE(out.good());
    out.write(data.data(), 8191);
    EXPECT_EQ(host_size(path), 0);
    out.put(data[8191]);  // the 8192nd byte writes the whole buffer at once
    EXPECT_EQ(host_size(path), 8192);
    out.write(data.data() + 8192, 8191);
    EXPECT_EQ(host_size(path), 8192);
    out.flush();
    EXPECT_EQ(host_size(path), 8192 + 8191);
    out.write(data.data() + 8192 + 8191, 8193);
    EXPECT_EQ(host_size(path), 8192 + 8191 + 8192);
    EXPECT_TRUE(out.good());
    out.flush();
    EXPECT_EQ(read_host_file(host_of(path)), data);
}

TEST(WriteStream, ClosingWritesWhatIsPendingAndTruncates) {
    const wchar_t* path = L"C:\\out.txt";
    write_host_file(host_of(path), std::string(20000, 'o'));
    {
        win32_file_tostream<char> out(path);
        EXPECT_EQ(host_size(path), 0);
        out << "pending " << 42;
    }
    EXPECT_EQ(read_host_file(host_of(path)), "pending 42");
}

TEST(WriteStream, WideUnitsFillTheBufferByUnit) {
    const wchar_t* path = L"C:\\wide.bin";
    win32_file_tostream<wchar_t> out(path);
    std::wstring text(8191, L'\u00e9');
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    EXPECT_EQ(host_size(path), 0);
    out.put(L'x');
    EXPECT_EQ(host_size(path), static_cast<long long>(8192 * sizeof(wchar_t)));
}

TEST(WriteStream, MissingFolderFailsAtOnce) {
    SetLastError(0);
    win32_file_tostream<char> out(L"C:\\missing\\out.txt");
    EXPECT_TRUE(out.fail());
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    out << "nothing";
    EXPECT_EQ(host_size(L"C:\\missing"), -1);
}

TEST(WriteStream, FullDiskFailsOnFlush) {
    win32_file_tostream<char> out(L"Z:\\dev\\full");
    ASSERT_TRUE(out.good());
    out << "pending";
    EXPECT_TRUE(out.good());
    out.flush();
    EXPECT_TRUE(out.bad());
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);

    // More writes after the failure still fail, whether the buffer is full or not.
    std::string data = pattern(20000);
    for (int round = 0; round < 3; ++round) {
        out.clear();
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        EXPECT_TRUE(out.bad()) << round;
        out.clear();
        out.put('x');
        out.flush();
        EXPECT_TRUE(out.bad()) << round;
    }
    std::streambuf* buffer = out.rdbuf();
    EXPECT_EQ(buffer->sputc('y'), std::char_traits<char>::eof());
    EXPECT_EQ(buffer->sputn(data.data(), 100), 0);
    EXPECT_EQ(buffer->pubsync(), -1);
}

TEST(WriteStream, PartialWriteIsNotWrittenAgain) {
    // A file size limit makes the second buffer's write stop part way.
    const wchar_t* path = L"C:\\limited.bin";
    std::string data = pattern(3 * 8192);
    win32_file_tostream<char> out(path);
    ASSERT_TRUE(out.good());
    struct rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit limited = saved;
    limited.rlim_cur = 10000;
    auto saved_handler = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);

    std::streamsize taken = out.rdbuf()->sputn(data.data(), 2 * 8192);
    EXPECT_EQ(GetLastError(), ERROR_FILE_TOO_LARGE);
    long long reached = host_size(path);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    ::signal(SIGXFSZ, saved_handler);

    EXPECT_EQ(reached, 10000);
    EXPECT_EQ(taken, 2 * 8192 - 1);  // the byte that met the failure was not taken
    out.flush();
    EXPECT_TRUE(out.good());
    EXPECT_EQ(read_host_file(host_of(path)), data.substr(0, static_cast<size_t>(taken)));
    out.write(data.data() + taken, static_cast<std::streamsize>(data.size()) - taken);
    out.flush();
    EXPECT_TRUE(out.good());
    EXPECT_EQ(read_host_file(host_of(path)), data);
}

TEST(ReadStream, MissingFileFailsAtOnce) {
    SetLastError(0);
    win32_file_tistream<char> in(L"C:\\missing.txt", nullptr);
    EXPECT_TRUE(in.fail());
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(ReadStream, EmptyFileEndsWithoutAskingTheInterrupter) {
    write_host_file(host_of(L"C:\\empty"), "");
    counting_interrupter always(true);
    win32_file_tistream<char> in(L"C:\\empty", &always);
    ASSERT_TRUE(in.good());
    EXPECT_EQ(in.get(), std::char_traits<char>::eof());
    EXPECT_TRUE(in.eof());
    EXPECT_FALSE(in.bad());
    EXPECT_EQ(always.asked, 0);
}

TEST(ReadStream, ShorterThanTwoMiBReadsToTheEnd) {
    std::string data = pattern(2 * kMiB - 1);
    write_host_file(host_of(L"C:\\short"), data);
    counting_interrupter always(true);
    win32_file_tistream<char> in(L"C:\\short", &always);
    in.exceptions(std::ios::badbit);
    std::string read(data.size() + 10, '\0');
    in.read(read.data(), static_cast<std::streamsize>(read.size()));
    EXPECT_TRUE(in.eof());
    EXPECT_FALSE(in.bad());
    ASSERT_EQ(in.gcount(), static_cast<std::streamsize>(data.size()));
    read.resize(data.size());
    EXPECT_EQ(read, data);
    EXPECT_EQ(always.asked, 0);
}

TEST(ReadStream, ExactlyTwoMiBIsInterruptedInsteadOfTheEnd) {
    write_host_file(host_of(L"C:\\two"), pattern(2 * kMiB));
    counting_interrupter always(true);
    win32_file_tistream<char> in(L"C:\\two", &always);
    size_t units = 0;
    EXPECT_TRUE(read_all(in.rdbuf(), units));
    EXPECT_EQ(units, 2 * kMiB);
    EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
    EXPECT_EQ(always.asked, 1);
}

TEST(ReadStream, InterruptShowsThroughTheStream) {
    write_host_file(host_of(L"C:\\big"), pattern(2 * kMiB + 1));
    counting_interrupter always(true);
    std::string read(3 * kMiB, '\0');
    {
        win32_file_tistream<char> in(L"C:\\big", &always);
        in.exceptions(std::ios::badbit);
        try {
            in.read(read.data(), static_cast<std::streamsize>(read.size()));
            ADD_FAILURE() << "no interrupt";
        } catch (const char* text) {
            EXPECT_STREQ(text, "interrupt");
        }
        EXPECT_TRUE(in.bad());
        EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
    }
    {
        win32_file_tistream<char> in(L"C:\\big", &always);  // without exceptions: badbit
        in.read(read.data(), static_cast<std::streamsize>(read.size()));
        EXPECT_TRUE(in.bad());
        EXPECT_FALSE(in.eof());
    }
    EXPECT_EQ(always.asked, 2);
}

TEST(ReadStream, AskedOncePerTwoMiB) {
    std::string data = pattern(5 * kMiB + 3);
    write_host_file(host_of(L"C:\\five"), data);
    counting_interrupter never(false);
    win32_file_tistream<char> in(L"C:\\five", &never);
    size_t units = 0;
    EXPECT_FALSE(read_all(in.rdbuf(), units));
    EXPECT_EQ(units, data.size());
    EXPECT_EQ(never.asked, 2);
}

TEST(ReadStream, WideStreamIsAskedOncePerMiB) {
    write_host_file(host_of(L"C:\\three"), pattern(3 * kMiB));
    counting_interrupter never(false);
    {
        win32_file_tistream<wchar_t> in(L"C:\\three", &never);
        size_t units = 0;
        EXPECT_FALSE(read_all(in.rdbuf(), units));
        EXPECT_EQ(units, 3 * kMiB / sizeof(wchar_t));
    }
    EXPECT_EQ(never.asked, 3);  // the last time at the read that reports the end

    counting_interrupter always(true);
    win32_file_tistream<wchar_t> in(L"C:\\three", &always);
    size_t units = 0;
    EXPECT_TRUE(read_all(in.rdbuf(), units));
    EXPECT_EQ(units, kMiB / sizeof(wchar_t));
    EXPECT_EQ(always.asked, 1);
}

TEST(ReadStream, FailingReadIsAFailureNotAnEnd) {
    // A folder opens for its attributes, and reading it fails with 1.
    HANDLE folder = CreateFileW(L"C:\\ProgramData", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(folder, INVALID_HANDLE_VALUE);
    basic_read_handle_streambuf<char> buffer(folder, true, nullptr);
    std::istream in(&buffer);
    EXPECT_EQ(in.get(), std::char_traits<char>::eof());
    EXPECT_TRUE(in.bad());
    EXPECT_FALSE(in.eof());
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);

    in.clear();
    in.exceptions(std::ios::badbit);
    try {
        in.get();
        ADD_FAILURE() << "no read error";
    } catch (const win32_read_error& error) {
        EXPECT_EQ(error.code(), ERROR_INVALID_FUNCTION);
    }
    try {
        buffer.sgetc();
        ADD_FAILURE() << "no read error";
    } catch (const win32_read_error& error) {
        EXPECT_EQ(error.code(), ERROR_INVALID_FUNCTION);
    }
}

TEST(ReadStream, ReadErrorInMidFileIsAFailure) {
    std::string data = pattern(20000);
    write_host_file(host_of(L"C:\\mid"), data);
    HANDLE file = CreateFileW(L"C:\\mid", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    basic_read_handle_streambuf<char> buffer(file, false, nullptr);
    std::istream in(&buffer);
    std::string read(data.size(), '\0');
    in.read(read.data(), 100);
    ASSERT_TRUE(in.good());
    ASSERT_TRUE(CloseHandle(file));  // the next refill's ReadFile fails
    in.read(read.data() + 100, static_cast<std::streamsize>(data.size()) - 100);
    EXPECT_TRUE(in.bad());
    EXPECT_FALSE(in.eof());
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(read.substr(0, 8192), data.substr(0, 8192));  // the first buffer was delivered
}
