// A new user's road through the web interface's pages (pages/ as the document folder) in
// headless Chromium, against the service host run in the console and the simulator: open the
// address the agent prints, bind the simulator, log in, define a backup job of a folder chosen
// in the folder browser, run it, browse the run, restore a folder into another folder with the
// rename rule, change a file and find it with the consistent check, exclude it, export the key
// and log out (portvane/tests/pages_road.js walks it). The restored bytes, the exclusion and
// the key file are checked here, on the machine's disk; a picture of each screen is left in
// build/pictures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "portvane/tests/console_agent.h"
#include "tools/testkit/browser_page.h"
#include "tools/testkit/machine_fixture.h"

using portvane::testing::ConsoleAgent;
using tovel::testing::BrowserPage;
using tovel::testing::read_host_file;
using tovel::testing::write_host_file;

namespace {

std::string source_dir() {
    const char* source = std::getenv("TOVEL_SOURCE_DIR");
    return source ? source : ".";
}

std::string pictures_dir() {
    const char* pictures = std::getenv("TOVEL_PICTURES");
    if (pictures && *pictures) return pictures;
    return source_dir() + "/build/pictures";
}

// A file of n bytes that compresses poorly, so that its backup takes a moment.
std::string noise(size_t n) {
    std::string out(n, '\0');
    uint32_t x = 2463534242u;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return out;
}

}  // namespace

TEST(BrowserRoad, ANewUserBacksUpBrowsesRestoresChecksAndExportsTheKey) {
    std::string missing = BrowserPage::missing();
    if (!missing.empty()) GTEST_SKIP() << "no browser tests here: " << missing;
    tovel::testing::RemoteService service({"--account", "alice:secret"});
    ASSERT_NE(service.port(), 0);
    // Every upload waits a little, so that the run's progress shows on the page.
    service.control("POST", "faults",
                    R"({"kind": "upload_data", "action": "delay", "seconds": 0.3, "times": 8})");

    std::string c = tovel::testing::machine_root() + "/drives/c";
    for (const char* folder : {"/data/docs/sub", "/data/other", "/restored/docs", "/keys"})
        std::filesystem::create_directories(c + folder);
    const std::map<std::string, std::string> docs = {
        {"a.txt", "alpha\n"}, {"sub/b.txt", "beta beta\n"}, {"big.bin", noise(3 << 20)}};
    for (const auto& [name, bytes] : docs) write_host_file(c + "/data/docs/" + name, bytes);
    write_host_file(c + "/data/other/c.txt", "gamma\n");
    // Already in the target folder: the rename rule keeps it and puts the restored file beside.
    write_host_file(c + "/restored/docs/a.txt", "there before\n");

    ConsoleAgent agent("", "root " + source_dir() + "/pages\n");
    ASSERT_NE(agent.port(), 0);

    std::string settings = tovel::testing::machine_root() + "/road.json";
    std::ostringstream json;
    json << R"({"url": "http://127.0.0.1:)" << agent.port() << R"(/", "service": {"host": )"
         << R"("127.0.0.1", "port": )" << service.port()
         << R"(}, "user": "alice", "password": "secret", "pictures": ")" << pictures_dir()
         << R"(", "changed": ")" << c << R"(/data/other/c.txt", "changedName": "c.txt", )"
         << R"("changedPath": "C:/data/other/c.txt", "keyPath": "C:/keys/alice.key"})";
    write_host_file(settings, json.str());
    std::string output;
    int status = tovel::testing::run_command(
        "timeout 240 node " +
            tovel::testing::shell_quote(source_dir() + "/portvane/tests/pages_road.js") + " " +
            tovel::testing::shell_quote(settings) + " 2>&1",
        &output);
    std::printf("%s", output.c_str());
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("\ndone\n"), std::string::npos) << output;
    EXPECT_EQ(output.find("\nerror "), std::string::npos) << "the pages logged errors";

    // The folder came back below the target with its bytes; the file that was there stays and
    // the restored one took the next free name.
    ASSERT_NE(output.find("\nrestored\n"), std::string::npos);
    std::string tree;
    tovel::testing::run_command("cd " + tovel::testing::shell_quote(c) +
                                    " && find restored -printf \"%p %s\\\\n\" | sort && od -c "
                                    "restored/docs/a.txt.0 | head -3",
                                &tree);
    SCOPED_TRACE("restored:\n" + tree);
    for (const auto& [name, bytes] : docs) {
        std::string restored = c + "/restored/docs/" + name + (name == "a.txt" ? ".0" : "");
        EXPECT_TRUE(read_host_file(restored) == bytes) << restored;
    }
    EXPECT_EQ(read_host_file(c + "/restored/docs/a.txt"), "there before\n");
    EXPECT_FALSE(std::filesystem::exists(c + "/restored/other"));
    EXPECT_GT(std::filesystem::file_size(c + "/keys/alice.key"), 0u);
}
