// UTF-8 conversions with Windows' rules on lengths, buffers and ill-formed
// input, with python3 as the independent codec.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/tests/helpers.h"
#include "platform/win32.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/machine_fixture.h"

using platform_tests::python;
using platform_tests::to_hex;

namespace {

// "a", é (2 bytes), 中 and € (3 bytes), 😀 and 𝄞 (4 bytes), ASCII between.
const wchar_t kMixed[] = L"a\u00e9b\u4e2d\u20ac\U0001F600c\U0001D11E";
const char kMixedPython[] = "'a\\u00e9b\\u4e2d\\u20ac\\U0001F600c\\U0001D11E'";

std::string to_utf8(const std::wstring& wide, DWORD flags = 0) {
    int n = WideCharToMultiByte(CP_UTF8, flags, wide.data(), static_cast<int>(wide.size()), nullptr,
                                0, nullptr, nullptr);
    if (n <= 0) return "<failed " + std::to_string(GetLastError()) + ">";
    std::string out(static_cast<size_t>(n), '\0');
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, flags, wide.data(), static_cast<int>(wide.size()),
                                  out.data(), n, nullptr, nullptr),
              n);
    return out;
}

std::wstring from_utf8(const std::string& bytes, DWORD flags = 0) {
    int n = MultiByteToWideChar(CP_UTF8, flags, bytes.data(), static_cast<int>(bytes.size()),
                                nullptr, 0);
    if (n <= 0) return L"";
    std::wstring out(static_cast<size_t>(n), L'\0');
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, flags, bytes.data(), static_cast<int>(bytes.size()),
                                  out.data(), n),
              n);
    return out;
}

// Code points as lower-case hex separated by spaces, the form the python checks print.
std::string code_points(const std::wstring& text) {
    std::ostringstream out;
    for (size_t i = 0; i < text.size(); ++i)
        out << (i ? " " : "") << std::hex << static_cast<uint32_t>(text[i]);
    return out.str();
}

}  // namespace

TEST(PlatformUtf8, MixedTextMatchesPython) {
    std::string expected = python(std::string("print(") + kMixedPython + ".encode('utf-8').hex())");
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(to_hex(to_utf8(kMixed)), expected);

    // With -1 the count and the output hold the NUL as well.
    char buffer[64];
    std::fill(std::begin(buffer), std::end(buffer), '#');
    int n = WideCharToMultiByte(CP_UTF8, 0, kMixed, -1, buffer, sizeof buffer, nullptr, nullptr);
    ASSERT_EQ(n, static_cast<int>(expected.size() / 2 + 1));
    EXPECT_EQ(buffer[n - 1], '\0');
    EXPECT_EQ(buffer[n], '#');
    EXPECT_EQ(to_hex(std::string(buffer, n - 1)), expected);

    // And back: one wide unit per code point here.
    std::string bytes = python(std::string("import sys; sys.stdout.buffer.write(") + kMixedPython +
                               ".encode('utf-8'))");
    EXPECT_EQ(from_utf8(bytes), std::wstring(kMixed));
    wchar_t wide[16];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, bytes.c_str(), -1, wide, 16), 9);
    EXPECT_EQ(std::wstring(wide), kMixed);
}

TEST(PlatformUtf8, LengthsBuffersAndArguments) {
    char out[8];
    std::fill(std::begin(out), std::end(out), '#');
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"a\u00e9", -1, nullptr, 0, nullptr, nullptr), 4);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"a\u00e9", 2, nullptr, 0, nullptr, nullptr), 3);
    // An exact fit without the NUL writes no NUL.
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"a\u00e9", 2, out, 3, nullptr, nullptr), 3);
    EXPECT_EQ(out[3], '#');
    // One byte short, even inside a character, fails whole.
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"a\u00e9", -1, out, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"a\u00e9", 2, out, 2, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    // An embedded NUL is just a character when the length is given.
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"a\0b", 3, out, 8, nullptr, nullptr), 3);
    EXPECT_EQ(std::string(out, 3), std::string("a\0b", 3));

    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"abc", 0, out, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, nullptr, -1, out, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    BOOL used = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"abc", -1, out, 8, nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);  // UTF-8 has no default character
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0x400, L"abc", -1, out, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);

    wchar_t wide[4];
    std::fill(std::begin(wide), std::end(wide), L'#');
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xc3\xa9", -1, nullptr, 0), 3);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xc3\xa9", 3, nullptr, 0), 2);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xc3\xa9", 3, wide, 2), 2);
    EXPECT_EQ(wide[2], L'#');
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\xc3\xa9", -1, wide, 2), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wide, 4), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, -1, wide, 4), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0x1, "abc", -1, wide, 4), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FLAGS);
    // The empty text with its NUL is one unit.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "", -1, wide, 4), 1);
    EXPECT_EQ(wide[0], L'\0');
}

TEST(PlatformUtf8, IllFormedBytesBecomeOneReplacementPerMaximalSubpart) {
    struct Case {
        std::string bytes;
        std::string code_points;
    } cases[] = {
        // The examples Unicode gives for its recommended practice.
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
         "61 fffd fffd fffd 62 fffd 63 fffd fffd 64"},
        {"\xE1\x80\xE2\xF0\x91\x92\xF1\xBF\x41", "fffd fffd fffd fffd 41"},
        {"\xC0\xAF", "fffd fffd"},                    // overlong: no valid prefix at all
        {"\xE0\x80\xAF", "fffd fffd fffd"},           // overlong three-byte form
        {"\xED\xA0\x80", "fffd fffd fffd"},           // an encoded surrogate
        {"\xF4\x90\x80\x80", "fffd fffd fffd fffd"},  // beyond U+10FFFF
        {"\xF0\x9F\x98", "fffd"},                     // a cut four-byte character
        {"x\xE2\x82", "78 fffd"},                     // cut at the end
        {"\xFE\xFF\xF5", "fffd fffd fffd"},
        {"\xEF\xBF\xBD", "fffd"},  // a real U+FFFD stays one
    };
    // python prints "ok|<code points>" for well-formed input, "bad|..." otherwise.
    std::string program =
        "import sys\n"
        "for line in sys.stdin.read().split():\n"
        "    b = bytes.fromhex(line)\n"
        "    try:\n"
        "        b.decode('utf-8'); state = 'ok'\n"
        "    except UnicodeDecodeError:\n"
        "        state = 'bad'\n"
        "    print(state + '|' + ' '.join('%x' % ord(c) for c in b.decode('utf-8', 'replace')))";
    std::string input;
    for (const auto& c : cases) input += to_hex(c.bytes) + "\n";

    // A deterministic batch of short texts from the bytes where the rules have edges.
    const unsigned char edges[] = {0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                   0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xED, 0xEE,
                                   0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF};
    std::mt19937 random(20240601);
    std::vector<std::string> batch;
    for (int i = 0; i < 400; ++i) {
        std::string text;
        size_t length = 1 + random() % 8;
        for (size_t j = 0; j < length; ++j)
            text += static_cast<char>(edges[random() % sizeof edges]);
        batch.push_back(text);
        input += to_hex(text) + "\n";
    }
    std::string output = tovel::testing::python_with_input(program, input);
    ASSERT_FALSE(output.empty());
    std::istringstream lines(output);
    std::string line;
    for (const auto& c : cases) {
        ASSERT_TRUE(std::getline(lines, line));
        EXPECT_EQ(line.substr(line.find('|') + 1), c.code_points) << to_hex(c.bytes);
        EXPECT_EQ(code_points(from_utf8(c.bytes)), c.code_points) << to_hex(c.bytes);
    }
    for (const auto& text : batch) {
        ASSERT_TRUE(std::getline(lines, line));
        size_t bar = line.find('|');
        ASSERT_NE(bar, std::string::npos);
        std::wstring decoded = from_utf8(text);
        EXPECT_EQ(code_points(decoded), line.substr(bar + 1)) << to_hex(text);
        // The strict form refuses exactly the texts python finds ill-formed.
        bool ill_formed = line.substr(0, bar) == "bad";
        int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                    static_cast<int>(text.size()), nullptr, 0);
        if (ill_formed) {
            EXPECT_EQ(n, 0) << to_hex(text);
            EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
        } else {
            EXPECT_EQ(n, static_cast<int>(decoded.size())) << to_hex(text);
        }
    }
}

TEST(PlatformUtf8, WideTextThatIsNoUnicodeIsReplacedOrRefused) {
    const std::wstring lone_high = {L'a', static_cast<wchar_t>(0xD800), L'b'};
    const std::wstring lone_low = {static_cast<wchar_t>(0xDFFF)};
    const std::wstring too_big = {static_cast<wchar_t>(0x110000), L'z'};
    EXPECT_EQ(to_hex(to_utf8(lone_high)), "61efbfbd62");
    EXPECT_EQ(to_hex(to_utf8(lone_low)), "efbfbd");
    EXPECT_EQ(to_hex(to_utf8(too_big)), "efbfbd7a");
    // A UTF-16 pair that arrives as two units is one character.
    const std::wstring pair = {static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};
    EXPECT_EQ(to_hex(to_utf8(pair)), python("print('\\U0001F600'.encode().hex())"));

    for (const auto& bad : {lone_high, lone_low, too_big}) {
        SetLastError(0);
        EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, bad.data(),
                                      static_cast<int>(bad.size()), nullptr, 0, nullptr, nullptr),
                  0);
        EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    }
    EXPECT_EQ(to_utf8(kMixed, WC_ERR_INVALID_CHARS), to_utf8(kMixed));
}
