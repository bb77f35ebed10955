// The skin options file: UTF-16 JSON read into lookups that fill all of
// their outputs or none. Outputs start as sentinels, so that a lookup that
// fails is seen to leave them untouched.
#include "tray/tray_options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tools/testkit/machine_fixture.h"

using tovel::testing::host_of;
using tovel::testing::write_host_file;

namespace {

constexpr DWORD kSentinel = 0xDEADBEEF;
const std::wstring kFaceSentinel = L"sentinel";
constexpr int kSizeSentinel = -77;

// UTF-16LE bytes of a text, written here without the program's codec.
std::string utf16(const std::u16string& text) {
    std::string bytes;
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}
std::string utf16(const std::string& ascii) {
    return utf16(std::u16string(ascii.begin(), ascii.end()));
}

std::wstring options_path() {
    std::wstring path;
    EXPECT_TRUE(TrayOptions::path(path));
    return path;
}

void write_options(const std::string& bytes) { write_host_file(host_of(options_path()), bytes); }

// A full file: every section and lookup present with distinct values.
const char* const kFull = R"({
  "menu": {
    "frame": {"color": {"border": [1, 2, 3], "background": [300, -1, 0]}},
    "item": {
      "color": {"hover": {"border": [10, 20, 30], "background": [40, 50, 60]},
                "down": {"border": [1, 2, 3, 4], "background": [40, 50, 60]},
                "focus": {"border": [1, 2.0, 3], "background": [40, 50, 60]},
                "disable": {"border": [1, 2, 3], "background": [40, 50]},
                "normal": {"border": [1, 2, 3], "background": ["4", 5, 6]}},
      "fonts": {"content": {"color": [255, 0, 128], "size": 12,
                            "face": {"enu": "DejaVu Sans", "chs": "FACE_CHS"}},
                "nochs": {"color": [1, 1, 1], "size": 9, "face": {"enu": "Only English"}},
                "noenu": {"color": [1, 1, 1], "size": 9, "face": {"chs": "Only Chinese"}},
                "realsize": {"color": [1, 1, 1], "size": 9.5, "face": {"enu": "x"}},
                "bigsize": {"color": [1, 1, 1], "size": 4294967296, "face": {"enu": "x"}},
                "faceobject": {"color": [1, 1, 1], "size": 9, "face": {"enu": 5}},
                "smallest": {"color": [1, 1, 1], "size": 6, "face": {"enu": "x"}},
                "largest": {"color": [1, 1, 1], "size": 72, "face": {"enu": "x"}},
                "toosmall": {"color": [1, 1, 1], "size": 5, "face": {"enu": "x"}},
                "toolarge": {"color": [1, 1, 1], "size": 73, "face": {"enu": "x"}},
                "intmax": {"color": [1, 1, 1], "size": 2147483647, "face": {"enu": "x"}},
                "intmin": {"color": [1, 1, 1], "size": -2147483648, "face": {"enu": "x"}}}
    }
  },
  "jobpane": {
    "frame": {"color": {"border": [0, 0, 0], "background": [255, 255, 255]}},
    "item": {"color": {"normal": {"border": [7, 8, 9], "background": [9, 8, 7]}},
             "fonts": {"title": {"color": [0, 0, 1], "size": -3, "face": {"enu": "Title"}}}},
    "classifypane": {"color": {"hover": {"border": [256, 257, 511], "background": [1, 0, 0]}},
                     "fonts": {"title": {"color": [9, 9, 9], "size": 14, "face": {"enu": "Classify"}}}}
  }
})";

enum class Ask {
    MenuFrame,
    JobPaneFrame,
    MenuItem,
    JobPaneItem,
    Classify,
    MenuFont,
    JobPaneFont,
    ClassifyFont
};

struct Row {
    const char* what;
    Ask ask;
    const wchar_t* key;  // state or font name
    bool ok;
    DWORD border_or_color = 0;
    DWORD background = 0;
    const wchar_t* face = nullptr;
    int size = 0;
};

void check(const TrayOptions& options, const Row& row) {
    SCOPED_TRACE(row.what);
    DWORD a = kSentinel;
    DWORD b = kSentinel;
    std::wstring face = kFaceSentinel;
    int size = kSizeSentinel;
    bool ok = false;
    switch (row.ask) {
        case Ask::MenuFrame:
            ok = options.menuFrameColors(a, b);
            break;
        case Ask::JobPaneFrame:
            ok = options.jobPaneFrameColors(a, b);
            break;
        case Ask::MenuItem:
            ok = options.menuItemColors(row.key, a, b);
            break;
        case Ask::JobPaneItem:
            ok = options.jobPaneItemColors(row.key, a, b);
            break;
        case Ask::Classify:
            ok = options.classifyPaneColors(row.key, a, b);
            break;
        case Ask::MenuFont:
            ok = options.menuItemFont(row.key, a, face, size);
            break;
        case Ask::JobPaneFont:
            ok = options.jobPaneItemFont(row.key, a, face, size);
            break;
        case Ask::ClassifyFont:
            ok = options.classifyPaneFont(row.key, a, face, size);
            break;
    }
    EXPECT_EQ(ok, row.ok);
    bool font =
        row.ask == Ask::MenuFont || row.ask == Ask::JobPaneFont || row.ask == Ask::ClassifyFont;
    if (!row.ok) {
        EXPECT_EQ(a, kSentinel);
        EXPECT_EQ(b, kSentinel);
        EXPECT_EQ(face, kFaceSentinel);
        EXPECT_EQ(size, kSizeSentinel);
        return;
    }
    EXPECT_EQ(a, row.border_or_color);
    if (font) {
        EXPECT_EQ(b, kSentinel);
        EXPECT_EQ(face, row.face);
        EXPECT_EQ(size, row.size);
    } else {
        EXPECT_EQ(b, row.background);
        EXPECT_EQ(face, kFaceSentinel);
        EXPECT_EQ(size, kSizeSentinel);
    }
}

// Every lookup of kFull, for a user whose language gives "enu".
const Row kRows[] = {
    {"packed as a COLORREF; 300 gives 44, -1 gives 255", Ask::MenuFrame, L"", true, 0x030201,
     0x00FF2C, nullptr, 0},
    {"jobpane frame", Ask::JobPaneFrame, L"", true, 0, 0xFFFFFF, nullptr, 0},
    {"item state", Ask::MenuItem, L"hover", true, 0x1E140A, 0x3C3228, nullptr, 0},
    {"four elements: the pair falls back", Ask::MenuItem, L"down", false},
    {"a real among them", Ask::MenuItem, L"focus", false},
    {"valid border, short background", Ask::MenuItem, L"disable", false},
    {"a string part", Ask::MenuItem, L"normal", false},
    {"a missing state", Ask::MenuItem, L"pressed", false},
    {"keys are case-sensitive", Ask::MenuItem, L"Hover", false},
    {"jobpane item", Ask::JobPaneItem, L"normal", true, 0x090807, 0x070809, nullptr, 0},
    {"jobpane item missing", Ask::JobPaneItem, L"hover", false},
    {"classify: low 8 bits", Ask::Classify, L"hover", true, 0xFF0100, 0x000001, nullptr, 0},
    {"classify missing", Ask::Classify, L"normal", false},
    {"font", Ask::MenuFont, L"content", true, 0x8000FF, 0, L"DejaVu Sans", 12},
    {"font without this language's face", Ask::MenuFont, L"noenu", false},
    {"font size real", Ask::MenuFont, L"realsize", false},
    {"font size beyond int", Ask::MenuFont, L"bigsize", false},
    {"font face not text", Ask::MenuFont, L"faceobject", false},
    {"sizes from 6", Ask::MenuFont, L"smallest", true, 0x010101, 0, L"x", 6},
    {"up to 72 points", Ask::MenuFont, L"largest", true, 0x010101, 0, L"x", 72},
    {"5 points: the font falls back", Ask::MenuFont, L"toosmall", false},
    {"73 points", Ask::MenuFont, L"toolarge", false},
    {"the largest int", Ask::MenuFont, L"intmax", false},
    {"the smallest int", Ask::MenuFont, L"intmin", false},
    {"a negative size", Ask::JobPaneFont, L"title", false},
    {"jobpane content font missing", Ask::JobPaneFont, L"content", false},
    {"classify font", Ask::ClassifyFont, L"title", true, 0x090909, 0, L"Classify", 14},
};

class TrayOptionsFile : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("LC_ALL");
        saved_ = old ? old : "";
        had_ = old != nullptr;
        setenv("LC_ALL", "en_US.UTF-8", 1);
    }
    void TearDown() override {
        if (had_)
            setenv("LC_ALL", saved_.c_str(), 1);
        else
            unsetenv("LC_ALL");
    }
    std::string saved_;
    bool had_ = false;
};

}  // namespace

TEST_F(TrayOptionsFile, EveryLookupFillsAllOrNone) {
    const std::string text = kFull;
    // With and without a byte-order mark, with the mark as either unit, and
    // with an odd trailing byte: all read the same.
    const std::string bodies[] = {utf16(text), utf16(u"\uFEFF") + utf16(text),
                                  utf16(u"\uFFFE") + utf16(text), utf16(text) + "\x7b"};
    for (const std::string& body : bodies) {
        write_options(body);
        TrayOptions options;
        ASSERT_TRUE(options.load());
        for (const Row& row : kRows) check(options, row);
    }
}

TEST_F(TrayOptionsFile, FaceFollowsTheUserLanguage) {
    std::u16string text =
        uR"({"menu": {"item": {"fonts": {"content": {"color": [1, 2, 3], "size": 8,
        "face": {"enu": "Sans", "chs": "宋体"}}, "nochs": {"color": [1, 1, 1], "size": 9,
        "face": {"enu": "Only English"}}}}}})";
    write_options(utf16(text));
    TrayOptions options;
    ASSERT_TRUE(options.load());
    const struct {
        const char* locale;
        const wchar_t* content;  // null: no face
        const wchar_t* nochs;
    } kLanguages[] = {{"zh_CN.UTF-8", L"\u5B8B\u4F53", nullptr},
                      {"en_US.UTF-8", L"Sans", L"Only English"},
                      {"de_DE.UTF-8", L"Sans", L"Only English"},
                      {"C", L"Sans", L"Only English"}};
    for (const auto& language : kLanguages) {
        setenv("LC_ALL", language.locale, 1);
        check(options,
              {language.locale, Ask::MenuFont, L"content", true, 0x030201, 0, language.content, 8});
        if (language.nochs)
            check(options,
                  {language.locale, Ask::MenuFont, L"nochs", true, 0x010101, 0, language.nochs, 9});
        else
            check(options, {language.locale, Ask::MenuFont, L"nochs", false});
    }
}

TEST_F(TrayOptionsFile, UnusableFilesLeaveEveryDefault) {
    const std::string full = utf16(std::string(kFull));
    const struct {
        const char* what;
        std::string bytes;
    } kFiles[] = {
        {"empty", ""},
        {"one byte", "{"},
        {"truncated", full.substr(0, full.size() / 2)},
        {"UTF-8, not UTF-16", kFull},
        {"big-endian",
         std::string("\xFE\xFF") + std::string(1, '\0') + full.substr(0, full.size() - 1)},
        {"not JSON", utf16(std::string("menu = red"))},
        {"JSON and more", full + utf16(std::string("{}"))},
        {"a root that is no object", utf16(std::string("[1, 2, 3]"))},
        {"oversized", full + std::string(TrayOptions::kMaxFileBytes, '\0')},
        {"oversized white space",
         utf16(std::string(TrayOptions::kMaxFileBytes / 2 + 8, ' ')) + full},
        {"nesting too deep", utf16(std::string(100000, '['))},
    };
    for (const auto& file : kFiles) {
        SCOPED_TRACE(file.what);
        write_options(file.bytes);
        TrayOptions options;
        // A root that is no object reads but serves nothing.
        options.load();
        for (const Row& row : kRows) check(options, {row.what, row.ask, row.key, false});
    }
    std::wstring missing = options_path() + L".none";
    TrayOptions options;
    EXPECT_FALSE(options.load(missing.c_str()));
    EXPECT_FALSE(options.load(nullptr));
    EXPECT_TRUE(options.value().is_null());
}

TEST_F(TrayOptionsFile, AFailedReadDropsWhatAnEarlierOneGave) {
    write_options(utf16(std::string(kFull)));
    TrayOptions* options = TrayOptions::instance();
    ASSERT_TRUE(options->load());
    check(*options, kRows[0]);
    write_options(utf16(std::string("{")));
    EXPECT_FALSE(options->load());
    check(*options, {"after a bad read", Ask::MenuFrame, L"", false});
    EXPECT_EQ(TrayOptions::instance(), options);
}
