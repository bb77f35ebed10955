// The agent's own files through the agent run in the console, with curl: no filesystem request
// and no key export changes anything in its data folder or its program folder, however the path
// is spelt or whatever link it goes through, and no path-taking handler acts on a path with a
// control character.
#include "portvane/tests/console_agent.h"
//
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "tools/testkit/checkers.h"

namespace portvane::testing {
namespace {

using tovel::testing::python_with_input;
using tovel::testing::write_host_file;

// Every file, folder and link below the folders given one a line: the name, then "d" for a
// folder, "l" and the target for a link, or the MD5 of the content (a log only as "log": the
// agent keeps writing it), read by an independent reader.
std::string snapshot(const std::vector<std::string>& folders) {
    std::string input;
    for (const std::string& folder : folders) input += folder + "\n";
    return python_with_input(
        "import hashlib, os, sys\n"
        "for top in sys.stdin.read().split():\n"
        "    for base, dirs, files in os.walk(top):\n"
        "        dirs.sort()\n"
        "        for name in sorted(dirs + files):\n"
        "            p = os.path.join(base, name)\n"
        "            if os.path.islink(p): print(p, 'l', os.readlink(p))\n"
        "            elif os.path.isdir(p): print(p, 'd')\n"
        "            elif name.endswith('.log'): print(p, 'log')\n"
        "            else: print(p, hashlib.md5(open(p, 'rb').read()).hexdigest())\n",
        input);
}

// The names below a host folder relative to it, "/" between parts, folders and files alike.
std::vector<std::string> entriesBelow(const std::string& folder) {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        out.push_back(std::filesystem::relative(entry.path(), folder).string());
    return out;
}

// The agent runs from a copy of the program in its own machine's C:\Program Files\Tovel, so that
// a request that got through would change only that copy.
class AgentStateConsole : public ConsoleHandlers {
protected:
    std::string program() override {
        std::string folder = tovel::testing::machine_root() + "/drives/c/Program Files/Tovel";
        std::filesystem::create_directories(folder);
        std::string built = tovel::starter::testing::starter_program();
        std::string builtFolder = std::filesystem::path(built).parent_path().string();
        std::filesystem::copy_file(built, folder + "/starter",
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::copy_file(builtFolder + "/libportvane.so", folder + "/libportvane.so",
                                   std::filesystem::copy_options::overwrite_existing);
        return folder + "/starter";
    }
    void prepareMachine() override {
        std::string root = tovel::testing::machine_root() + "/drives/c";
        std::filesystem::create_directories(root + "/k/src");
        std::filesystem::create_directories(root + "/t");
        std::filesystem::create_directories(root + "/x/y");
        write_host_file(root + "/t/a.txt", "a");
    }
    WebReply exportTo(const std::string& path, bool overwrite) {
        return ask("POST", "/key/export",
                   "{\"path\": \"" + path +
                       "\", \"overwriteexit\": " + (overwrite ? "true" : "false") + "}");
    }
};

TEST_F(AgentStateConsole, NothingOfTheAgentIsChangedThroughFilesystemOrKeyExport) {
    // The agent's state: a job definition, the key store (after one export that may be
    // replaced), options, the cookie and password stores, the web server's and the logger's
    // configuration.
    EXPECT_EQ(ask("POST", "/jobs",
                  R"({"type":"backup","id":"6e0b6cbe-3d2a-4f4e-9a51-0b7d5a3c2e11","name":"t",)"
                  R"("source":["C:/t"],"schedule":{"type":"manual"}})")
                  .status,
              200);
    ASSERT_EQ(ask("GET", "/key/state").body, R"({"state":"export_required"})");
    ASSERT_EQ(exportTo("C:/k/key.txt", false).status, 200);
    const std::string data = agent_->host("C:/ProgramData/morvask/Tovel");
    const std::string programs = agent_->host("C:/Program Files/Tovel");
    for (const char* name :
         {"job", "options", "mongoose.conf", "cookies", "passwords", "keys", "svc.conf"})
        EXPECT_TRUE(std::filesystem::exists(data + "/" + name)) << name;
    // Links in a folder of the user's that lead into the agent's folders.
    ASSERT_EQ(::symlink(data.c_str(), agent_->host("C:/k/data").c_str()), 0);
    ASSERT_EQ(::symlink(programs.c_str(), agent_->host("C:/k/programs").c_str()), 0);
    ASSERT_EQ(::symlink((data + "/options").c_str(), agent_->host("C:/k/options").c_str()), 0);
    ASSERT_EQ(::symlink((data + "/job").c_str(), agent_->host("C:/k/jobs").c_str()), 0);
    write_host_file(agent_->host("C:/k/notes.txt"), "my notes");
    const std::string before = snapshot({data, programs, agent_->host("C:/k")});

    // Every entry of both folders, as named and spelt otherwise.
    std::vector<std::string> targets;
    for (const auto& [windows, viaLink] :
         {std::pair{std::string("C:/ProgramData/morvask/Tovel"), std::string("C:/k/data")},
          std::pair{std::string("C:/Program Files/Tovel"), std::string("C:/k/programs")}}) {
        targets.push_back(windows);
        for (const std::string& entry : entriesBelow(agent_->host(windows))) {
            targets.push_back(windows + "/" + entry);
            targets.push_back(viaLink + "/" + entry);
        }
    }
    for (const char* other :
         {"c:/programdata/MORVASK/tovel/options", "C:\\\\ProgramData\\\\morvask\\\\Tovel\\\\keys",
          "C:/k/../ProgramData/./morvask//Tovel/cookies",
          "C:/ProgramData/morvask/Tovel/x/../svc.conf",
          "C:/k/jobs/6e0b6cbe-3d2a-4f4e-9a51-0b7d5a3c2e11/def"})
        targets.push_back(other);
    ASSERT_GT(targets.size(), 20u);

    int requests = 0;
    for (const std::string& target : targets) {
        std::string uriPath = target;
        for (size_t at = 0; (at = uriPath.find("\\\\")) != std::string::npos;)
            uriPath.replace(at, 2, "/");
        for (size_t at = 0; (at = uriPath.find(' ')) != std::string::npos;)
            uriPath.replace(at, 1, "%20");
        EXPECT_EQ(ask("DELETE", "/filesystem/" + uriPath).status, 403) << target;
        EXPECT_EQ(ask("POST", "/filesystem/" + uriPath, R"({"path": "C:/k/moved"})").status, 403)
            << target;
        EXPECT_EQ(ask("POST", "/filesystem", "{\"path\": \"" + target + "/made\"}").status, 403)
            << target;
        EXPECT_EQ(ask("POST", "/filesystem/C:/k/src", "{\"path\": \"" + target + "/src\"}").status,
                  403)
            << target;
        EXPECT_EQ(exportTo(target, true).status, 403) << target;
        EXPECT_EQ(exportTo(target, false).status, 403) << target;
        EXPECT_EQ(exportTo(target + "/new.key", false).status, 403) << target;
        requests += 7;
    }
    // Renaming over a name inside, and a link at the export path, are refused too.
    EXPECT_EQ(ask("POST", "/filesystem/C:/k/src", R"({"path": "C:/ProgramData/morvask/Tovel/new"})")
                  .status,
              403);
    EXPECT_EQ(exportTo("C:/k/options", false).status, 403);
    // An export replaces only an exported key: not another file of the user's either.
    EXPECT_EQ(exportTo("C:/k/notes.txt", true).status, 403);
    EXPECT_EQ(tovel::testing::read_host_file(agent_->host("C:/k/notes.txt")), "my notes");
    EXPECT_EQ(snapshot({data, programs, agent_->host("C:/k")}), before) << requests << " requests";

    // What is the user's stays usable: the links themselves go, a folder of the user's moves,
    // the exported key is replaced.
    const std::string agentBefore = snapshot({data, programs});
    for (const char* link : {"C:/k/data", "C:/k/programs", "C:/k/options", "C:/k/jobs"})
        EXPECT_EQ(ask("DELETE", std::string("/filesystem/") + link).status, 200) << link;
    EXPECT_EQ(ask("POST", "/filesystem/C:/k/src", R"({"path": "C:/k/src2"})").status, 200);
    EXPECT_EQ(snapshot({data, programs}), agentBefore);
    EXPECT_EQ(exportTo("C:/k/key.txt", true).status, 200);
}

TEST_F(AgentStateConsole, APathWithAControlCharacterIsRefusedByEveryHandler) {
    const std::string drive = agent_->host("C:/");
    const std::string before = snapshot({drive});
    auto remoteRequests = [this] {
        return python_with_input("import json, sys\nprint(len(json.load(sys.stdin)['requests']))",
                                 service_->control("GET", "requests"));
    };
    const std::string remoteBefore = remoteRequests();
    int refused = 0;
    for (int c = 0; c <= 0x7f; ++c) {
        if (c == 0x20) c = 0x7f;
        char escaped[8], json[8];
        std::snprintf(escaped, sizeof escaped, "%%%02X", c);
        std::snprintf(json, sizeof json, "\\u%04x", c);
        const std::string e = escaped, j = json;
        const std::pair<WebReply, const char*> replies[] = {
            {ask("DELETE", "/filesystem/C:/x" + e + "/y"), "delete"},
            {ask("GET", "/filesystem/C:/x" + e), "list"},
            {ask("POST", "/filesystem", "{\"path\": \"C:/x" + j + "/n\"}"), "make"},
            {ask("POST", "/filesystem/C:/x" + e, R"({"path": "C:/moved"})"), "move from"},
            {ask("POST", "/filesystem/C:/x", "{\"path\": \"C:/m" + j + "\"}"), "move to"},
            {ask("POST", "/key/export",
                 "{\"path\": \"C:/k/key" + j + ".txt\", \"overwriteexit\": true}"),
             "export"},
            {ask("POST", "/key/import", "\"C:/k/key" + j + ".txt\""), "import"},
            {ask("POST", "/source", "{\"source\": [\"C:/x" + j + "\"]}"), "source"},
            {ask("POST", "/jobs",
                 "{\"type\":\"backup\",\"id\":\"6e0b6cbe-3d2a-4f4e-9a51-0b7d5a3c2e12\","
                 "\"name\":\"t\",\"source\":[\"C:/t" +
                     j + "\"],\"schedule\":{\"type\":\"manual\"}}"),
             "job source"},
            {ask("POST", "/jobs",
                 "{\"type\":\"backup\",\"id\":\"6e0b6cbe-3d2a-4f4e-9a51-0b7d5a3c2e13\","
                 "\"name\":\"t\",\"source\":[\"C:/t\"],\"offline\":\"C:/o" +
                     j + "\",\"schedule\":{\"type\":\"manual\"}}"),
             "job location"},
            {ask("POST", "/consistentcheck/query",
                 "{\"consistentcheck_id\": \"1\", \"path\": \"C:/x" + j + "\"}"),
             "consistent check"},
            {ask("GET", "/machines/box" + e + "/jobids"), "machines"},
            {ask("POST", "/offlinejobs/info" + e, "{}"), "offline job uri"},
            {ask("POST", "/offlinejobs", "{\"location\": \"C:/x" + j + "\"}"), "offline job"},
        };
        for (const auto& [got, what] : replies) {
            EXPECT_EQ(got.status, 400) << what << " with " << e;
            ++refused;
        }
    }
    EXPECT_EQ(refused, 33 * 14);
    EXPECT_EQ(snapshot({drive}), before);
    EXPECT_EQ(remoteRequests(), remoteBefore);
    EXPECT_TRUE(std::filesystem::is_directory(agent_->host("C:/x/y")));
}

}  // namespace
}  // namespace portvane::testing
