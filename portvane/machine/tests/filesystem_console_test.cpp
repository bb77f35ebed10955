// The filesystem browser through the agent run in the console, with curl: the drives, a
// folder's entries, creating, renaming and deleting folders, and the folders it never removes.
#include "portvane/tests/console_agent.h"
//
#include <unistd.h>

#include <filesystem>

#include "tools/testkit/checkers.h"

namespace portvane::testing {
namespace {

using tovel::testing::python_with_input;
using tovel::testing::read_host_file;
using tovel::testing::write_host_file;

// Drive z: is a scratch folder of the test's machine (not the host's "/"), so that a deletion
// that got through would remove only that.
class FilesystemConsole : public ConsoleHandlers {
protected:
    void prepareMachine() override {
        std::string root = tovel::testing::machine_root();
        scratch_ = root + "/scratch";
        std::filesystem::create_directories(scratch_ + "/inside");
        std::filesystem::create_directories(root + "/drives/c");
        std::filesystem::remove(root + "/drives/z");
        std::filesystem::create_directory_symlink(scratch_, root + "/drives/z");
    }
    // The names of a JSON array of objects under key, sorted, joined by ",".
    static std::string names(const std::string& json, const std::string& key) {
        return python_with_input("import json, sys\nprint(','.join(sorted(e['" + key +
                                     "'] for e in json.load(sys.stdin) if '" + key +
                                     "' in e)), end='')",
                                 json);
    }
    std::string scratch_;
};

TEST_F(FilesystemConsole, WalkCreateRenameAndDelete) {
    for (const char* method : {"GET", "POST", "DELETE"})
        EXPECT_EQ(askWithout(method, "/filesystem/C:/", "{}").status, 401) << method;

    WebReply drives = ask("GET", "/filesystem");
    ASSERT_EQ(drives.status, 200);
    EXPECT_EQ(names(drives.body, "vol"), "c:,z:");
    EXPECT_EQ(python_with_input("import json, sys\nd = json.load(sys.stdin)[0]\n"
                                "print(d['type'], d['total'] >= d['free'] > 0, 'label' in d)",
                                drives.body),
              "fixed True False\n");
    EXPECT_EQ(names(ask("GET", "/filesystem/").body, "vol"), "c:,z:");

    EXPECT_EQ(ask("POST", "/filesystem", R"({"path": "C:/t/a/b"})").status, 200);
    EXPECT_TRUE(std::filesystem::is_directory(agent_->host("C:/t/a/b")));
    EXPECT_EQ(ask("POST", "/filesystem", R"({"path": "C:/t/a/b"})").status, 200);
    EXPECT_EQ(ask("POST", "/filesystem", R"({"path": "t/x"})").status, 403);
    EXPECT_EQ(ask("POST", "/filesystem", R"({"folder": "C:/t"})").status, 400);
    EXPECT_EQ(ask("POST", "/filesystem", R"(["C:/t"])").status, 400);
    write_host_file(agent_->host("C:/t/five.txt"), "12345");

    WebReply listing = ask("GET", "/filesystem/C:/t");
    ASSERT_EQ(listing.status, 200);
    EXPECT_EQ(
        python_with_input("import json, sys, re\nfor e in sorted(json.load(sys.stdin), key=str):\n"
                          "    print(sorted(e), e.get('size'), bool(re.fullmatch("
                          "r'\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d', e['mtime'])))",
                          listing.body),
        "['dir', 'mtime'] None True\n['file', 'mtime', 'size'] 5 True\n");
    EXPECT_EQ(names(listing.body, "dir") + "|" + names(listing.body, "file"), "a|five.txt");
    EXPECT_EQ(ask("GET", "/filesystem/C:/t/a/b").body, "[]");
    WebReply missing = ask("GET", "/filesystem/C:/t/none");
    EXPECT_EQ(missing.status, 404);
    EXPECT_NE(
        python_with_input("import json, sys\nprint(json.load(sys.stdin)['reason'])", missing.body),
        "\n");
    EXPECT_EQ(ask("GET", "/filesystem/t").status, 404);
    // ".." never leaves the drive.
    EXPECT_EQ(names(ask("GET", "/filesystem/C:/../../").body, "dir"),
              names(ask("GET", "/filesystem/C:").body, "dir"));

    // Renames: onto an existing folder, across drives and from a missing path are refused.
    EXPECT_EQ(ask("POST", "/filesystem/C:/t/a", R"({"path": "C:/t/c"})").status, 200);
    std::filesystem::create_directories(agent_->host("C:/t/d/keep"));
    EXPECT_EQ(ask("POST", "/filesystem/C:/t/c", R"({"path": "C:/t/d"})").status, 403);
    EXPECT_TRUE(std::filesystem::is_directory(agent_->host("C:/t/c/b")));
    EXPECT_TRUE(std::filesystem::is_directory(agent_->host("C:/t/d/keep")));
    EXPECT_EQ(ask("POST", "/filesystem/C:/t/five.txt", R"({"path": "Z:/five.txt"})").status, 403);
    EXPECT_EQ(read_host_file(agent_->host("C:/t/five.txt")), "12345");
    EXPECT_FALSE(std::filesystem::exists(scratch_ + "/five.txt"));
    EXPECT_EQ(ask("POST", "/filesystem/C:/t/none", R"({"path": "C:/t/e"})").status, 403);
    EXPECT_EQ(ask("POST", "/filesystem/C:/t/c", R"({"path": "e"})").status, 403);

    // A deletion removes a link inside, not what it points to.
    write_host_file(agent_->host("C:/outside.txt"), "kept");
    ASSERT_EQ(
        ::symlink(agent_->host("C:/outside.txt").c_str(), agent_->host("C:/t/c/link").c_str()), 0);
    EXPECT_EQ(ask("DELETE", "/filesystem/C:/t/c").status, 200);
    EXPECT_FALSE(std::filesystem::exists(agent_->host("C:/t/c")));
    EXPECT_EQ(read_host_file(agent_->host("C:/outside.txt")), "kept");
    EXPECT_EQ(ask("DELETE", "/filesystem/C:/t/c").status, 500);
    EXPECT_EQ(ask("DELETE", "/filesystem/t").status, 500);

    // Drives, the data folder and the folders above it are neither deleted nor moved.
    for (const char* path : {"/filesystem", "/filesystem/C:", "/filesystem/C:/", "/filesystem/Z:/",
                             "/filesystem/C:/t/..", "/filesystem/C:/ProgramData",
                             "/filesystem/C:/ProgramData/morvask/Tovel",
                             "/filesystem/c:/programdata/../ProgramData/morvask"}) {
        EXPECT_EQ(ask("DELETE", path).status, 403) << path;
    }
    EXPECT_EQ(ask("POST", "/filesystem/C:/ProgramData/morvask/Tovel", R"({"path": "C:/elsewhere"})")
                  .status,
              403);
    EXPECT_EQ(ask("POST", "/filesystem/Z:/", R"({"path": "Z:/y"})").status, 403);
    EXPECT_TRUE(std::filesystem::is_directory(scratch_ + "/inside"));
    EXPECT_TRUE(std::filesystem::exists(agent_->host("C:/ProgramData/morvask/Tovel/options")));
    EXPECT_TRUE(std::filesystem::is_directory(agent_->host("C:/t/d")));

    EXPECT_EQ(ask("PUT", "/filesystem/C:/t").status, 403);
}

}  // namespace
}  // namespace portvane::testing
