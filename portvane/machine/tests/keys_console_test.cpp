// The encryption key through the agent run in the console, with curl and the simulator: its
// state, its export to a file and its import on a second machine.
#include "portvane/tests/console_agent.h"
//
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tools/testkit/checkers.h"

namespace portvane::testing {
namespace {

using tovel::testing::python_with_input;
using tovel::testing::read_host_file;
using tovel::testing::write_host_file;

using KeysConsole = ConsoleHandlers;

std::string md5_of(const std::string& path) {
    std::string output;
    tovel::testing::run_command("md5sum " + tovel::testing::shell_quote(path), &output);
    return output.substr(0, 32);
}

TEST_F(KeysConsole, StateExportAndImportOnAnotherMachine) {
    for (const char* path : {"/key/state", "/key/export", "/key/import"})
        EXPECT_EQ(askWithout("POST", path, R"({"path": "C:/k/x.txt"})").status, 401) << path;

    WebReply state = ask("GET", "/key/state");
    EXPECT_EQ(state.status, 200);
    EXPECT_EQ(state.body, R"({"state":"export_required"})");
    EXPECT_EQ(ask("POST", "/key/state").body, R"({"state":"export_required"})");
    std::string checksum = python_with_input(
        "import json, sys\nprint(json.load(sys.stdin)"
        "['keys']['alice'], end='')",
        service_->control("GET", "keys"));
    ASSERT_EQ(checksum.size(), 32u);

    std::filesystem::create_directories(agent_->host("C:/k"));
    std::string keyFile = agent_->host("C:/k/key.txt");
    EXPECT_EQ(ask("POST", "/key/export", R"({"path": "C:/k/key.txt"})").status, 200);
    EXPECT_EQ(md5_of(keyFile), checksum);
    struct stat st;
    ASSERT_EQ(::stat(keyFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(ask("POST", "/key/export", R"({"path": "C:/k/key.txt"})").status, 409);
    EXPECT_EQ(
        ask("POST", "/key/export", R"({"path": "C:/k/key.txt", "overwriteexit": true})").status,
        200);
    EXPECT_EQ(ask("POST", "/key/export", R"("C:\\k\\bare.txt")").status, 200);
    EXPECT_EQ(read_host_file(agent_->host("C:/k/bare.txt")), read_host_file(keyFile));
    EXPECT_EQ(ask("POST", "/key/import", R"("C:/k/bare.txt")").status, 200);
    EXPECT_EQ(ask("GET", "/key/state").body, R"({"state":"exported"})");

    // Bodies without a usable path change nothing.
    EXPECT_EQ(ask("POST", "/key/export", "5").status, 400);
    EXPECT_EQ(ask("POST", "/key/export", R"({"path": "k.txt"})").status, 400);
    EXPECT_EQ(ask("POST", "/key/export", R"({"path": "C:k.txt"})").status, 400);
    EXPECT_EQ(ask("POST", "/key/import", R"("\\k\\key.txt")").status, 400);
    EXPECT_EQ(ask("POST", "/key/rotate", "{}").status, 400);
    EXPECT_FALSE(std::filesystem::exists(agent_->host("C:/k.txt")));

    // A link at the path is never written through.
    write_host_file(agent_->host("C:/k/target.txt"), "keep");
    ASSERT_EQ(
        ::symlink(agent_->host("C:/k/target.txt").c_str(), agent_->host("C:/k/link.txt").c_str()),
        0);
    EXPECT_EQ(
        ask("POST", "/key/export", R"({"path": "C:/k/link.txt", "overwriteexit": true})").status,
        403);
    EXPECT_EQ(read_host_file(agent_->host("C:/k/target.txt")), "keep");
    // A device is refused at once, not read.
    EXPECT_EQ(ask("POST", "/key/import", R"({"path": "Z:/dev/zero"})").status, 500);

    // A second machine with the same account takes the exported key.
    ConsoleAgent second(tovel::testing::machine_root() + "/second");
    ASSERT_NE(second.port(), 0);
    std::string cookie = second.bindAndLogin(service_->port(), "alice", "secret");
    EXPECT_EQ(second.ask("GET", "/key/state", cookie).body, R"({"state":"import_required"})");
    std::filesystem::create_directories(second.host("C:/in"));
    std::filesystem::copy_file(keyFile, second.host("C:/in/key.txt"));
    EXPECT_EQ(second.ask("POST", "/key/import", cookie, R"({"path": "C:/in/key.txt"})").status,
              200);
    EXPECT_EQ(second.ask("GET", "/key/state", cookie).body, R"({"state":"exported"})");
}

}  // namespace
}  // namespace portvane::testing
