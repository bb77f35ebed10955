// The UTF-8 conversions (common/text_conv.h) and the UTF-16LE codec
// (common/utf16le.h), with python3 as the independent encoder.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/tests/checkers.h"
#include "common/text_conv.h"
#include "common/utf16le.h"
#include "platform/win32.h"

using common_tests::from_hex;
using common_tests::python;
using common_tests::to_hex;

namespace {

// é (2 bytes), 中 and € (3 bytes), 😀 and 𝄞 (4 bytes), and ASCII between.
const wchar_t kMixed[] = L"a\u00e9b\u4e2d\u20ac\U0001F600c\U0001D11E";
const char kMixedPython[] = "a\\u00e9b\\u4e2d\\u20ac\\U0001F600c\\U0001D11E";

// python3's hexadecimal bytes of kMixed in an encoding.
std::string python_hex(const std::string& encoding) {
    return python(std::string("print(\"") + kMixedPython + "\".encode(\"" + encoding +
                  "\").hex())");
}

}  // namespace

TEST(ToUtf8, EmptyAndRefusedTexts) {
    std::string out = "stale";
    EXPECT_EQ(to_utf8(L"", -1, out), 1);  // the terminator alone
    EXPECT_TRUE(out.empty());
    out = "stale";
    EXPECT_EQ(to_utf8(L"abc", 0, out), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    out = "stale";
    EXPECT_EQ(to_utf8(nullptr, -1, out), 0);
    EXPECT_TRUE(out.empty());
}

TEST(ToUtf8, LengthWithoutTerminatorLosesTheLastCharacter) {
    std::string out;
    EXPECT_EQ(to_utf8(L"abc", 3, out), 3);
    EXPECT_EQ(out, "ab");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out.c_str()[2], '\0');  // the 'c' must not land in the terminator slot
    EXPECT_EQ(to_utf8(L"a", 1, out), 1);
    EXPECT_TRUE(out.empty());
}

TEST(ToUtf8, LengthWithTerminatorKeepsEverything) {
    std::string out;
    EXPECT_EQ(to_utf8(L"abc", 4, out), 4);
    EXPECT_EQ(out, "abc");
    EXPECT_EQ(out.size(), 3u);
    EXPECT_EQ(to_utf8(L"abc", -1, out), 4);
    EXPECT_EQ(out, "abc");
    EXPECT_EQ(to_utf8(std::wstring(L"abc")), "abc");
}

TEST(ToUtf8, NonAsciiBytesMatchPython) {
    std::string out;
    int count = to_utf8(kMixed, -1, out);
    std::string expected = python_hex("utf-8");
    EXPECT_EQ(to_hex(out), expected);
    EXPECT_EQ(count, static_cast<int>(expected.size() / 2) + 1);
    // 1 + 2 + 1 + 3 + 3 + 4 + 1 + 4 bytes.
    EXPECT_EQ(out.size(), 19u);
}

TEST(FromUtf8, PythonBytesDecodeToTheWideText) {
    std::string bytes = from_hex(python_hex("utf-8"));
    std::wstring out;
    EXPECT_EQ(from_utf8(bytes.c_str(), -1, out), 9);
    EXPECT_EQ(out, kMixed);
    EXPECT_EQ(from_utf8(bytes), kMixed);
    // A length without the terminator drops the last character, all 4 bytes of it.
    EXPECT_EQ(from_utf8(bytes.c_str(), static_cast<int>(bytes.size()), out), 8);
    EXPECT_EQ(out, std::wstring(kMixed, 7));
}

TEST(FromUtf8, EmptyRefusedAndCutTexts) {
    std::wstring out = L"stale";
    EXPECT_EQ(from_utf8("", -1, out), 1);
    EXPECT_TRUE(out.empty());
    out = L"stale";
    EXPECT_EQ(from_utf8(nullptr, -1, out), 0);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(from_utf8("abc", 0), L"");
    EXPECT_EQ(from_utf8("abc", 3, out), 3);
    EXPECT_EQ(out, L"ab");
    EXPECT_EQ(out.c_str()[2], L'\0');
    EXPECT_EQ(from_utf8("abc", 4, out), 4);
    EXPECT_EQ(out, L"abc");
}

TEST(FromUtf8Buffer, EmptyRefusedAndFull) {
    wchar_t* buffer = nullptr;
    EXPECT_EQ(from_utf8_buffer("", -1, &buffer), 1);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer[0], L'\0');
    delete[] buffer;

    buffer = reinterpret_cast<wchar_t*>(&buffer);  // anything but null
    EXPECT_EQ(from_utf8_buffer("abc", 0, &buffer), 0);
    EXPECT_EQ(buffer, nullptr);
    buffer = reinterpret_cast<wchar_t*>(&buffer);
    EXPECT_EQ(from_utf8_buffer(nullptr, -1, &buffer), 0);
    EXPECT_EQ(buffer, nullptr);

    EXPECT_EQ(from_utf8_buffer("\xc3\xa9t\xc3\xa9", -1, &buffer), 4);
    std::unique_ptr<wchar_t[]> owned(buffer);
    EXPECT_EQ(std::wstring(buffer), L"\u00e9t\u00e9");
    EXPECT_EQ(buffer[3], L'\0');
}

TEST(ToUtf8Buffer, EmptyRefusedAndFull) {
    char* buffer = nullptr;
    EXPECT_EQ(to_utf8_buffer(L"", -1, &buffer), 1);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer[0], '\0');
    delete[] buffer;

    buffer = reinterpret_cast<char*>(&buffer);
    EXPECT_EQ(to_utf8_buffer(L"abc", 0, &buffer), 0);
    EXPECT_EQ(buffer, nullptr);
    buffer = reinterpret_cast<char*>(&buffer);
    EXPECT_EQ(to_utf8_buffer(nullptr, -1, &buffer), 0);
    EXPECT_EQ(buffer, nullptr);

    EXPECT_EQ(to_utf8_buffer(kMixed, -1, &buffer), 20);
    std::unique_ptr<char[]> owned(buffer);
    EXPECT_EQ(to_hex(buffer), python_hex("utf-8"));
    EXPECT_EQ(buffer[19], '\0');
}

TEST(Utf16le, EncodingMatchesPython) {
    EXPECT_EQ(to_hex(to_utf16le(kMixed)), python_hex("utf-16-le"));
    // The edges of the planes: U+FFFF is one unit, U+10000 and U+10FFFF are pairs.
    EXPECT_EQ(to_hex(to_utf16le(L"\uFFFF\U00010000\U0010FFFF")),
              python("print(\"\\uFFFF\\U00010000\\U0010FFFF\".encode(\"utf-16-le\").hex())"));
    EXPECT_EQ(to_utf16le(L""), "");
}

TEST(Utf16le, AppendKeepsWhatWasThere) {
    std::string out = "xy";
    append_utf16le(L"A\U0001F600", out);
    EXPECT_EQ(to_hex(out),
              "78794100"
              "3dd800de");
}

TEST(Utf16le, LengthCountsPairsAsTwo) {
    EXPECT_EQ(utf16_length(L""), 0u);
    EXPECT_EQ(utf16_length(L"abc"), 3u);
    EXPECT_EQ(utf16_length(kMixed), 10u);
    EXPECT_EQ(utf16_length(kMixed) * 2, to_utf16le(kMixed).size());
    EXPECT_EQ(utf16_length(L"\uFFFF\U00010000\U0010FFFF"), 5u);
}

TEST(Utf16le, DecodingCombinesPairsOfPythonBytes) {
    std::string bytes = from_hex(python_hex("utf-16-le"));
    ASSERT_EQ(bytes.size(), 20u);
    EXPECT_EQ(from_utf16le(bytes.data(), bytes.size() / 2), kMixed);
    EXPECT_EQ(from_utf16le(bytes.data(), 0), L"");
}

TEST(Utf16le, DecodingKeepsLoneSurrogates) {
    // A high surrogate before a letter, a low one alone, a pair reversed, a high one at the end.
    std::string bytes = from_hex(
        "00d841000ddc"
        "00dc00d8"
        "3dd8");
    std::wstring text = from_utf16le(bytes.data(), bytes.size() / 2);
    ASSERT_EQ(text.size(), 6u);
    EXPECT_EQ(text[0], static_cast<wchar_t>(0xD800));
    EXPECT_EQ(text[1], L'A');
    EXPECT_EQ(text[2], static_cast<wchar_t>(0xDC0D));
    EXPECT_EQ(text[3], static_cast<wchar_t>(0xDC00));
    EXPECT_EQ(text[4], static_cast<wchar_t>(0xD800));
    EXPECT_EQ(text[5], static_cast<wchar_t>(0xD83D));
    // A pair cut by the unit count stays a lone high surrogate.
    std::string pair = from_hex("3dd800de");
    EXPECT_EQ(from_utf16le(pair.data(), 1), std::wstring(1, static_cast<wchar_t>(0xD83D)));
    // Nothing is lost: the units encode back as they were.
    EXPECT_EQ(to_utf16le(text), bytes);
}
