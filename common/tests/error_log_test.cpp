// Error texts (common/win32_error.h) and the logging call (common/ace_log_wrapper.h).
#include <ace/Log_Msg.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "common/ace_log_wrapper.h"
#include "common/win32_error.h"
#include "platform/win32.h"
#include "tools/testkit/log_capture.h"
#include "tools/testkit/machine_fixture.h"

namespace {

constexpr DWORD kUnknownCode = 4242;  // in neither the system's table nor the module's

// The layer's text of a code, asked directly, without a line break.
std::string format_message(DWORD flags, HMODULE module, DWORD code) {
    char text[512] = {};
    DWORD length = FormatMessageA(flags | FORMAT_MESSAGE_IGNORE_INSERTS | 0xFF, module, code, 0,
                                  text, sizeof text, nullptr);
    return std::string(text, length);
}

bool ends_with_line_break(const char* text) {
    size_t n = std::strlen(text);
    return n && (text[n - 1] == '\n' || text[n - 1] == '\r');
}

}  // namespace

TEST(ErrorText, KnownCodeHasTheSystemsTextWithoutLineBreak) {
    win32_error_text text(ERROR_ACCESS_DENIED);
    ASSERT_NE(text.text(), nullptr);
    EXPECT_EQ(std::string(text.text()),
              format_message(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED));
    EXPECT_NE(std::string(text), "");
    EXPECT_FALSE(ends_with_line_break(text));

    win32_error_wtext wide(ERROR_ACCESS_DENIED);
    ASSERT_NE(wide.text(), nullptr);
    std::string narrow(text.text());
    EXPECT_EQ(std::wstring(wide.text()), std::wstring(narrow.begin(), narrow.end()));
}

TEST(ErrorText, UnknownCodeGivesEmptyTextNeverNull) {
    win32_error_text text(kUnknownCode);
    ASSERT_NE(text.text(), nullptr);
    EXPECT_STREQ(text.text(), "");
    win32_error_wtext wide(kUnknownCode);
    ASSERT_NE(wide.text(), nullptr);
    EXPECT_STREQ(wide.text(), L"");
}

TEST(ErrorText, PrintWritesCodeAndText) {
    std::ostringstream unknown;
    EXPECT_EQ(&print_win32_error(unknown, kUnknownCode), &unknown);
    EXPECT_EQ(unknown.str(), "err=4242, ");

    std::ostringstream known;
    print_win32_error(known, ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(known.str(), "err=3, " + format_message(FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                                                      ERROR_PATH_NOT_FOUND));
}

TEST(ErrorText, TextWithInsertKeepsIt) {
    win32_error_text text(ERROR_BAD_EXE_FORMAT);
    std::string message(text.text());
    EXPECT_NE(message.find("%1"), std::string::npos) << message;
    EXPECT_EQ(message, format_message(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_BAD_EXE_FORMAT));
    EXPECT_FALSE(ends_with_line_break(text));
    win32_error_wtext wide(ERROR_BAD_EXE_FORMAT);
    EXPECT_NE(std::wstring(wide.text()).find(L"%1"), std::wstring::npos);
}

TEST(ErrorText, WinHttpTextLoadsTheModuleWhenNeeded) {
    if (GetModuleHandleW(L"winhttp")) {
        // An earlier case of this process loaded the module: look again in a fresh process.
        std::string self = std::filesystem::read_symlink("/proc/self/exe");
        std::string output;
        int status = tovel::testing::run_command(
            tovel::testing::shell_quote(self) +
                " --gtest_filter=ErrorText.WinHttpTextLoadsTheModuleWhenNeeded 2>&1",
            &output);
        EXPECT_EQ(status, 0) << output;
        return;
    }
    // Not in the system's table.
    EXPECT_EQ(format_message(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_WINHTTP_TIMEOUT), "");

    win32_error_text text(ERROR_WINHTTP_TIMEOUT);
    HMODULE module = GetModuleHandleW(L"winhttp");
    ASSERT_NE(module, nullptr);
    std::string expected =
        format_message(FORMAT_MESSAGE_FROM_HMODULE, module, ERROR_WINHTTP_TIMEOUT);
    ASSERT_NE(expected, "");
    EXPECT_EQ(std::string(text.text()), expected);
    EXPECT_FALSE(ends_with_line_break(text));
    win32_error_wtext wide(ERROR_WINHTTP_TIMEOUT);
    EXPECT_EQ(std::wstring(wide.text()), std::wstring(expected.begin(), expected.end()));
}

namespace {

// Logs into a string for the test; lines() checks and cuts each line's thread prefix.
class LogMessage : public tovel::testing::LoggedTest {
protected:
    std::string lines() {
        std::string text = take_log();
        std::string out;
        std::istringstream in(text);
        static const std::regex kPrefix("^@[0-9]+@");
        for (std::string line; std::getline(in, line);) {
            std::smatch prefix;
            EXPECT_TRUE(std::regex_search(line, prefix, kPrefix)) << line;
            out += line.substr(prefix.length()) + "\n";
        }
        return out;
    }
};

}  // namespace

TEST_F(LogMessage, LinesCarryTheThreadPrefix) {
    log_message(LM_INFO, "plain %d %s\n", 42, "text");
    std::string main_thread = "@" + std::to_string(gettid()) + "@";
    EXPECT_EQ(peek_log().rfind(main_thread, 0), 0u) << peek_log() << " expected " << main_thread;
    EXPECT_EQ(lines(), "plain 42 text\n");

    // Another thread's line names that thread (its own ACE log, pointed at the same stream).
    pid_t other = 0;
    std::thread([&] {
        other = gettid();
        ACE_Log_Msg* log = ACE_Log_Msg::instance();
        log->msg_ostream(&log_stream(), false);
        log_message(LM_INFO, "from the other thread\n");
        log->msg_ostream(nullptr, false);
    }).join();
    std::string text = peek_log();
    EXPECT_NE(other, gettid());
    EXPECT_EQ(text, "@" + std::to_string(other) + "@from the other thread\n");
    lines();
}

TEST_F(LogMessage, PercentMPrintsTheWin32TextOfTheLastError) {
    errno = ENOENT;  // a strerror text would show up instead of the Win32 one
    SetLastError(ERROR_ACCESS_DENIED);
    log_message(LM_ERROR, "open failed: %m (%d)\n", 7);
    std::string expected = win32_error_text(ERROR_ACCESS_DENIED).text();
    ASSERT_NE(expected, "");
    EXPECT_EQ(lines(), "open failed: " + expected + " (7)\n");
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(LogMessage, DoubledPercentKeepsLiteralM) {
    SetLastError(ERROR_ACCESS_DENIED);
    log_message(LM_DEBUG, "100%% done, %%m stays\n");
    EXPECT_EQ(lines(), "100% done, %m stays\n");
}

TEST_F(LogMessage, ErrorTextWithPercentDoesNotBreakFormatting) {
    SetLastError(ERROR_BAD_EXE_FORMAT);
    log_message(LM_WARNING, "[%m] %d %s %m\n", 5, "after");
    std::string text = win32_error_text(ERROR_BAD_EXE_FORMAT).text();
    ASSERT_NE(text.find('%'), std::string::npos);
    EXPECT_EQ(lines(), "[" + text + "] 5 after " + text + "\n");
    EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
}

TEST_F(LogMessage, UnknownErrorPrintsNothingAndKeepsTheLastError) {
    SetLastError(kUnknownCode);
    log_message(LM_ERROR, "<%m>\n");
    EXPECT_EQ(lines(), "<>\n");
    EXPECT_EQ(GetLastError(), kUnknownCode);
}

TEST_F(LogMessage, WideTextPrintsWhole) {
    log_message(LM_INFO, "name=%W.\n", L"Gr\u00fc\u00dfe \u65e5\u672c \U0001F600");
    EXPECT_EQ(lines(),
              "name=Gr\xc3\xbc\xc3\x9f"
              "e \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80.\n");
}

TEST_F(LogMessage, UnsignedSixtyFourBits) {
    log_message(LM_INFO, "%Q %Q\n", static_cast<ACE_UINT64>(UINT64_MAX),
                static_cast<ACE_UINT64>(0));
    EXPECT_EQ(lines(), "18446744073709551615 0\n");
}

TEST_F(LogMessage, NullFormatLogsNothing) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    log_message(LM_INFO, nullptr);
    EXPECT_EQ(peek_log(), "");
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}
