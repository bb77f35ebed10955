// The candidate list of the increment check: the request body made from its
// work file against the system's JSON writer, the choice of the reply's
// paths, and the source list written from it.
#include "job/sources/candidate_list.h"
//
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/json.h"
#include "common/text_conv.h"
#include "job/core/job_volume.h"
#include "job/tests/walk_checks.h"

using tovel::testing::host_of;
using walk_checks::make_file;
using walk_checks::make_folder;

namespace {

const wchar_t kList[] = L"C:\\ProgramData\\src";
const wchar_t kWork[] = L"C:\\ProgramData\\src.walk";

// Sets a file's last-write time to the FILETIME count given.
void set_write_time(const std::wstring& path, uint64_t filetime) {
    uint64_t since_epoch = filetime - 116444736000000000ull;
    struct timespec times[2];
    times[0] = {0, UTIME_OMIT};
    times[1].tv_sec = static_cast<time_t>(since_epoch / 10000000);
    times[1].tv_nsec = static_cast<long>(since_epoch % 10000000 * 100);
    ASSERT_EQ(::utimensat(AT_FDCWD, host_of(path).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

// The volume C:\ with the one source given.
struct OneVolume {
    explicit OneVolume(const std::wstring& source) {
        volume.path = L"C:\\";
        volume.index = 1;
        volume.sources = {source};
        map[volume.path] = &volume;
    }
    JobVolume volume;
    JobVolumeMap map;
};

// The whole text of a body, made twice over (as a retried exchange sends
// it), which must agree.
std::string text_of(Body_Source& body) {
    std::string whole;
    for (int round = 0; round < 2; ++round) {
        std::string text, piece;
        EXPECT_TRUE(body.rewind());
        for (;;) {
            EXPECT_TRUE(body.next(piece));
            if (piece.empty()) break;
            text += piece;
        }
        if (round == 1) EXPECT_EQ(text, whole);
        whole = text;
    }
    return whole;
}

class CandidateListTest : public tovel::testing::LoggedTest {};

}  // namespace

// Every character below 0x80 and text outside ASCII come out as the writer
// makes them.
TEST_F(CandidateListTest, JsonStringsAreTheWritersOwn) {
    std::string every;
    for (int c = 1; c < 0x80; ++c) every += static_cast<char>(c);
    for (const std::string& text :
         {std::string(), every, std::string("\xe6\x97\xa5\xf0\x9f\x98\x80"),
          std::string("a\"b\\c\x1f")}) {
        std::string mine;
        append_json_string(mine, text);
        EXPECT_EQ(mine, json_spirit::write(json_spirit::Value(text)));
    }
}

// The body of a walk over awkward names, made from the work file piece by
// piece, is the JSON text of the request as the writer makes it: every item
// in walk order, the last-write time's halves as signed numbers. Its
// announced length is its length, and the list's bytes are those of the
// paths as JSON strings with a separator each.
TEST_F(CandidateListTest, TheRequestBodyIsEveryItemInWalkOrder) {
    make_folder(L"C:\\in");
    make_folder(L"C:\\in\\sub");
    const std::vector<std::wstring> files = {L"C:\\in\\plain.txt", L"C:\\in\\quote\"d",
                                             L"C:\\in\\tab\tand\x01", L"C:\\in\\sub\\\u65e5\u672c",
                                             L"C:\\in\\sub\\\U0001F600"};
    for (const std::wstring& file : files) make_file(file, "bytes");
    // A low half of 2^31 and above goes out negative.
    set_write_time(L"C:\\in\\plain.txt", 0x01d9aaaaf0000001ull);
    // Enough items for several pieces.
    for (int i = 0; i < 1500; ++i) make_file(L"C:\\in\\sub\\n" + std::to_wstring(i), "");

    OneVolume volume(L"C:\\in");
    JobActivitySourceGenerator reference;  // the items held in memory, as the walk finds them
    ASSERT_TRUE(reference(volume.map, nullptr));
    json_spirit::Array source;
    uint64_t list_bytes = 0;
    for (const JobActivitySourceItem& item : reference.items()) {
        json_spirit::Object element;
        element["path"] = to_utf8(item.path);
        element["mtimeHigh"] = static_cast<int>(item.data.ftLastWriteTime.dwHighDateTime);
        element["mtimeLow"] = static_cast<int>(item.data.ftLastWriteTime.dwLowDateTime);
        list_bytes += json_spirit::write(json_spirit::Value(to_utf8(item.path))).size() + 1;
        source.push_back(element);
    }
    json_spirit::Object request;
    request["id"] = "job \"one\"";
    request["source"] = source;
    std::string expected = json_spirit::write(json_spirit::Value(request));
    EXPECT_NE(expected.find("\"mtimeLow\":-268435455"), std::string::npos);

    CandidateList candidates(kWork);
    ASSERT_TRUE(candidates.walk(volume.map, nullptr));
    EXPECT_EQ(candidates.size(), reference.items().size());
    EXPECT_TRUE(std::filesystem::exists(host_of(kWork)));
    Body_Source body = candidates.requestBody("job \"one\"");
    std::string text = text_of(body);
    EXPECT_EQ(body.length, text.size());
    EXPECT_TRUE(text == expected) << text.substr(0, 300) << "\n" << expected.substr(0, 300);
    EXPECT_EQ(candidates.listBytes(), list_bytes);
}

// Only paths that the walk found are chosen, exactly as they were found and
// once each; the source list holds them in the reply's order with the walk's
// attributes and ordinals counted anew, folders and files apart. The work
// file goes with the list.
TEST_F(CandidateListTest, TheReplyChoosesWalkedItemsOnceInItsOrder) {
    make_folder(L"C:\\in");
    make_folder(L"C:\\in\\sub");
    make_file(L"C:\\in\\a", "12345");
    make_file(L"C:\\in\\b", "123");
    make_file(L"C:\\in\\sub\\c", "1234567");
    OneVolume volume(L"C:\\in");
    {
        CandidateList candidates(kWork);
        ASSERT_TRUE(candidates.walk(volume.map, nullptr));
        ASSERT_EQ(candidates.size(), 5u);
        for (const char* path : {"C:\\in\\sub\\c", "C:\\in", "C:\\not\\walked", "C:\\IN\\a",
                                 "C:\\in\\sub\\c", "C:\\in\\b", "C:\\in\\b\\"})
            candidates.choose(path);
        EXPECT_EQ(candidates.chosen(), 3u);
        ASSERT_TRUE(candidates.save(kList));
        EXPECT_EQ(candidates.fileCount(), 2u);
        EXPECT_EQ(candidates.directoryCount(), 1u);
        EXPECT_EQ(candidates.fileSize(), 10u);
    }
    EXPECT_FALSE(std::filesystem::exists(host_of(kWork)));
    EXPECT_FALSE(std::filesystem::exists(host_of(candidate_body_path(kWork))));
    EXPECT_TRUE(source_list_complete(kList));

    JobActivitySourceReader reader;
    ASSERT_TRUE(reader.open(kList, 0));
    EXPECT_EQ(reader.next(), kSourceTagStartSet);
    struct Expected {
        uint32_t tag;
        const wchar_t* path;
        uint32_t ordinal;
        DWORD size;
    };
    for (const Expected& expected : {Expected{kSourceTagFile, L"C:\\in\\sub\\c", 1, 7},
                                     Expected{kSourceTagDirectory, L"C:\\in", 1, 0},
                                     Expected{kSourceTagFile, L"C:\\in\\b", 2, 3}}) {
        SCOPED_TRACE(to_utf8(expected.path));
        ASSERT_EQ(reader.next(), expected.tag);
        JobActivitySourceItem item;
        ASSERT_TRUE(reader.item(item));
        EXPECT_EQ(item.path, expected.path);
        EXPECT_EQ(item.ordinal, expected.ordinal);
        EXPECT_EQ(item.flag, 0u);
        EXPECT_EQ(item.data.nFileSizeLow, expected.size);
        WIN32_FILE_ATTRIBUTE_DATA now;
        ASSERT_TRUE(GetFileAttributesExW(expected.path, GetFileExInfoStandard, &now));
        EXPECT_EQ(item.data.ftLastWriteTime.dwLowDateTime, now.ftLastWriteTime.dwLowDateTime);
        EXPECT_EQ(item.data.dwFileAttributes, now.dwFileAttributes);
    }
    EXPECT_EQ(reader.next(), kSourceTagEndSet);
    EXPECT_EQ(reader.next(), 0u);
}
