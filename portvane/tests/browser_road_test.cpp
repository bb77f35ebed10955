// A new user's road through the web interface's pages (pages/ as the document folder) in
// headless Chromium, against the service host run in the console and the simulator: open the
// address the agent prints, bind the simulator, log in, define a backup job of a folder chosen
// in the folder browser, run it, browse the run, restore a folder into another folder with the
// rename rule, change a file and find it with the consistent check, exclude it, export the key
// and log out (portvane/tests/pages_road.js walks it). The restored bytes, the exclusion and
// the key file are checked here, on the machine's disk; a picture of each screen is left in
// build/pictures.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "portvane/tests/console_agent.h"
#include "tools/testkit/browser_page.h"
#include "tools/testkit/http_script_server.h"
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
    // The pages' own files, everything the browser loads of them.
    uintmax_t size = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(source_dir() + "/pages"))
        if (entry.is_regular_file()) size += entry.file_size();
    std::printf("[ figure ] the pages' files hold %ju bytes, bound 307200\n", size);
    EXPECT_LT(size, 300u * 1024u);
    std::string missing = BrowserPage::missing();
    if (!missing.empty()) GTEST_SKIP() << "no browser tests here: " << missing;
    tovel::testing::RemoteService service({"--account", "alice:secret"});
    ASSERT_NE(service.port(), 0);
    // Every upload waits a little, so that the run's progress shows on the page.
    service.control("POST", "faults",
                    R"({"kind": "upload_data", "action": "delay", "seconds": 0.3, "times": 8})");

    std::string c = tovel::testing::machine_root() + "/drives/c";
    for (const char* folder : {"/data/docs/sub", "/data/other", "/restored/docs", "/keys", "/many"})
        std::filesystem::create_directories(c + folder);
    const std::map<std::string, std::string> docs = {
        {"a.txt", "alpha\n"}, {"sub/b.txt", "beta beta\n"}, {"big.bin", noise(3 << 20)}};
    for (const auto& [name, bytes] : docs) write_host_file(c + "/data/docs/" + name, bytes);
    write_host_file(c + "/data/other/c.txt", "gamma\n");
    // Already in the target folder: the rename rule keeps it and puts the restored file beside.
    write_host_file(c + "/restored/docs/a.txt", "there before\n");
    // A folder of 5 000 entries for the folder browser.
    for (int i = 0; i < 5000; ++i)
        std::filesystem::create_directory(c + "/many/" + std::to_string(i));

    ConsoleAgent agent("", "root " + source_dir() + "/pages\n");
    ASSERT_NE(agent.port(), 0);

    std::string settings = tovel::testing::machine_root() + "/road.json";
    std::ostringstream json;
    json << R"({"url": "http://127.0.0.1:)" << agent.port() << R"(/", "service": {"host": )"
         << R"("127.0.0.1", "port": )" << service.port()
         << R"(}, "user": "alice", "password": "secret", "pictures": ")" << pictures_dir()
         << R"(", "changed": ")" << c << R"(/data/other/c.txt", "changedName": "c.txt", )"
         << R"("changedPath": "C:/data/other/c.txt", "keyPath": "C:/keys/alice.key", )"
         << R"("manyName": "many", "manyCount": 5000})";
    write_host_file(settings, json.str());
    std::string output;
    int status = tovel::testing::run_command(
        "timeout 240 node " +
            tovel::testing::shell_quote(source_dir() + "/portvane/tests/pages_road.js") + " " +
            tovel::testing::shell_quote(settings) + " 2>&1",
        &output);
    std::printf("%s", output.c_str());
    // The speed figures against their goal of a second.
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("figure ", 0) != 0) continue;
        long ms = std::atol(line.substr(line.rfind(' ', line.size() - 4) + 1).c_str());
        std::printf("[ figure ] %s, goal 1000 ms, ratio %.2f\n", line.substr(7).c_str(),
                    ms / 1000.0);
    }
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

// The pages against a scripted agent that drops the job list's first requests, refuses a start
// and then ends the session: the page shows the lost agent and tries again, shows the refusal's
// status and reason, and goes back to the login form on the 401.
TEST(BrowserRoad, ALostAgentIsTriedAgainAndAnEndedSessionShowsTheLoginForm) {
    std::string missing = BrowserPage::missing();
    if (!missing.empty()) GTEST_SKIP() << "no browser tests here: " << missing;
    std::atomic<int> dropped{0};
    std::atomic<bool> refused{false};
    std::string pages = source_dir() + "/pages";
    auto reply = [](tovel::testing::HttpPeer& peer, const std::string& status,
                    const std::string& headers, const std::string& body) {
        peer.send("HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: " +
                  std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    };
    tovel::testing::HttpScriptServer agent([&](tovel::testing::HttpPeer& peer) {
        std::string head = peer.read_head();
        if (head.empty()) return;
        std::string target = head.substr(head.find(' ') + 1);
        target = target.substr(0, target.find_first_of(" ?"));
        if (target == "/jobnotify") {
            peer.send_chunked_head();
            peer.wait_closed();
        } else if (target == "/jobsview") {
            if (dropped.fetch_add(1) < 2)
                peer.reset();
            else if (refused)
                reply(peer, "401 Unauthorized", "", "");
            else
                reply(peer, "200 OK", "Content-Type: application/json\r\n",
                      R"([{"id": "j1", "name": "Trial", "type": "backup", "state": "idle"}])");
        } else if (target == "/jobs/j1/start") {
            refused = true;
            reply(peer, "403 Forbidden", "", "");
        } else if (target == "/login") {
            reply(peer, "200 OK", "Set-Cookie: s=1; HttpOnly; Path=/; SameSite=Strict\r\n", "");
        } else if (target == "/server") {
            reply(peer, "200 OK", "Content-Type: application/json\r\n",
                  R"({"name": "sim", "host": "127.0.0.1", "port": 1})");
        } else {
            std::string file = pages + target;
            bool js = file.size() > 3 && file.compare(file.size() - 3, 3, ".js") == 0;
            bool css = file.size() > 4 && file.compare(file.size() - 4, 4, ".css") == 0;
            std::string type = js ? "text/javascript" : css ? "text/css" : "text/html";
            if (target.find("..") != std::string::npos || !std::filesystem::is_regular_file(file))
                reply(peer, "404 Not Found", "", "");
            else
                reply(peer, "200 OK", "Content-Type: " + type + "\r\n", read_host_file(file));
        }
    });
    ASSERT_TRUE(agent.listening());
    std::string output;
    int status = tovel::testing::run_command(
        "timeout 120 node " +
            tovel::testing::shell_quote(source_dir() + "/portvane/tests/pages_lost.js") + " " +
            tovel::testing::shell_quote("http://127.0.0.1:" + std::to_string(agent.port()) +
                                        "/tovel.html?locale=xx_YY") +
            " 2>&1",
        &output);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("\ndone\n"), std::string::npos) << output;
    EXPECT_GE(dropped.load(), 3) << "the job list was asked again after the drops";
}
