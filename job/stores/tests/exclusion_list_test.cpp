// The exclusion list file: each user's array as the web interface edits it,
// bad files, a failed save, and requests of several threads at once.
#include "job/stores/exclusion_list.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/json.h"
#include "platform/win32.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/log_capture.h"
#include "tools/testkit/machine_fixture.h"

using tovel::testing::host_of;
using tovel::testing::python;
using tovel::testing::read_host_file;
using tovel::testing::write_host_file;

namespace {

const wchar_t kFile[] = L"C:\\ProgramData\\morvask\\Tovel\\exclusions";

// The file's users and paths as Python reads them: "user=a|b;..." in key order.
std::string read_back() {
    return python(
        "import json\n"
        "d = json.load(open('" +
        host_of(kFile) +
        "', encoding='utf-8'))\n"
        "assert isinstance(d, dict)\n"
        "print(';'.join(k + '=' + ('|'.join(v) if isinstance(v, list) else repr(v))"
        " for k, v in sorted(d.items())))");
}

void write_file(const std::string& text) {
    std::filesystem::create_directories(host_of(L"C:\\ProgramData\\morvask\\Tovel"));
    write_host_file(host_of(kFile), text);
}

class ExclusionListFile : public tovel::testing::LoggedTest {};

}  // namespace

TEST_F(ExclusionListFile, EditsActOnEachUsersArrayAndTheDestructorSaves) {
    write_file(R"({"odd": {"x": 1}, "Ann": ["C:\\keep", "C:\\d", "C:\\d"]})");
    {
        ExclusionList list;
        list.addPath("bob", "C:\\a");
        list.addPath("bob", "C:\\b");
        list.addPath("bob", "C:\\a");
        list.addPath("odd", "C:\\never");
        list.addPath(nullptr, "C:\\x");
        list.addPath("bob", nullptr);
        list.removePath("bob", "C:\\a");  // kept once: excluded twice, removed once
        list.removePath("Ann", "C:\\d");  // a file's repeated path goes whole
        list.removePath("bob", "c:\\b");  // byte for byte: no match
        list.removePath("nobody", "C:\\b");
        list.removePath("odd", "C:\\never");
        list.removePath(nullptr, nullptr);

        json_spirit::Value out("untouched");
        EXPECT_FALSE(list.getList("ann", out));
        EXPECT_FALSE(list.getList("odd", out));
        EXPECT_FALSE(list.getList(nullptr, out));
        EXPECT_EQ(out, json_spirit::Value("untouched"));
        ASSERT_TRUE(list.getList("bob", out));
        EXPECT_EQ(out, json_spirit::Value(json_spirit::Array{json_spirit::Value("C:\\b")}));
    }
    EXPECT_EQ(read_back(), "Ann=C:\\keep;bob=C:\\b;odd={'x': 1}");
}

TEST_F(ExclusionListFile, BadFilesGiveAnEmptyListThatIsWrittenAnew) {
    for (const char* text : {"", "{\"a\": [", "[\"C:\\\\x\"]", "\"text\""}) {
        write_file(text);
        ExclusionList list;
        EXPECT_TRUE(list.get().empty()) << text;
        list.addPath("u", "p");
        EXPECT_TRUE(list.save());
        EXPECT_EQ(read_back(), "u=p") << text;
    }
    std::filesystem::remove(host_of(kFile));
    EXPECT_TRUE(ExclusionList().get().empty());
    // A list that was only read is never written back.
    EXPECT_FALSE(std::filesystem::exists(host_of(kFile)));
}

TEST_F(ExclusionListFile, SaveThatCannotWriteFails) {
    std::filesystem::create_directories(host_of(kFile));  // a folder where the file belongs
    ExclusionList list;
    list.addPath("u", "p");
    SetLastError(0);
    EXPECT_FALSE(list.save());
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_TRUE(std::filesystem::is_directory(host_of(kFile)));
}

// Every load and save of the instances of several threads goes through one
// lock, so the file is always one whole object of some request.
TEST_F(ExclusionListFile, RequestsOnSeveralThreadsLeaveOneWholeFile) {
    std::vector<std::thread> requests;
    for (int t = 0; t < 6; ++t)
        requests.emplace_back([t] {
            for (int i = 0; i < 15; ++i) {
                ExclusionList list;
                list.addPath(("user" + std::to_string(t)).c_str(), "C:\\p");
                json_spirit::Value out;
                EXPECT_TRUE(list.getList(("user" + std::to_string(t)).c_str(), out));
            }
        });
    for (auto& request : requests) request.join();
    std::string users = read_back();
    EXPECT_NE(users, "");
    EXPECT_EQ(users.find("user"), 0u) << users;
}
