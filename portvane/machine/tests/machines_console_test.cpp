// The restore catalogue's machines, this machine's name, a selection's size and offline jobs
// through the agent run in the console, with curl and the simulator.
#include "portvane/tests/console_agent.h"
//
#include <filesystem>

#include "tools/testkit/checkers.h"

namespace portvane::testing {
namespace {

using tovel::testing::python_with_input;
using tovel::testing::write_host_file;

using MachinesConsole = ConsoleHandlers;

// The source reply for the one folder C:\t at root, as python's walk counts it: the folder
// itself and every folder below, the files whose names end in suffix (without case) and their
// bytes.
std::string pythonCount(const std::string& root, const std::string& suffix) {
    return python_with_input(
        "import os, sys\nd, f, s = 1, 0, 0\n"
        "for top, dirs, files in os.walk(sys.stdin.read()):\n"
        "    d += len(dirs)\n"
        "    for n in files:\n"
        "        if n.lower().endswith('" +
            suffix +
            "'):\n"
            "            f += 1; s += os.path.getsize(os.path.join(top, n))\n"
            "print('{\"dirs\":%d,\"files\":%d,\"size\":%d,\"source\":[\"C:\\\\\\\\t\"]}' "
            "% (d, f, s), end='')",
        root);
}

TEST_F(MachinesConsole, MachinesDefinitionsAndSourceSize) {
    for (const char* path : {"/machines", "/machines/localmachine", "/machines/desk/jobids"})
        EXPECT_EQ(askWithout("GET", path).status, 401) << path;
    EXPECT_EQ(askWithout("POST", "/source", R"({"source": ["C:/"]})").status, 401);

    service_->control("POST", "definitions",
                      R"({"owner": "alice", "machine": "desk", "id": "j1", "name": "Photos"})");
    service_->control("POST", "definitions",
                      R"({"owner": "alice", "machine": "Laptop", "id": "j2", "name": "Mail"})");
    WebReply machines = ask("GET", "/machines");
    EXPECT_EQ(machines.status, 200);
    EXPECT_EQ(machines.body, R"(["Laptop","desk"])");

    WebReply local = ask("GET", "/machines/localmachine");
    EXPECT_EQ(local.status, 200);
    EXPECT_EQ(local.header("content-type"), "application/json");
    EXPECT_EQ(python_with_input("import json, sys, socket\n"
                                "print(json.load(sys.stdin)['localmachine'] == "
                                "socket.gethostname())",
                                local.body),
              "True\n");

    WebReply jobs = ask("GET", "/machines/DESK.example.org/jobids");
    EXPECT_EQ(jobs.status, 200);
    EXPECT_EQ(jobs.header("content-type"), "application/json");
    EXPECT_EQ(jobs.body, R"([{"id":"j1","machine":"desk","name":"Photos"}])");
    EXPECT_EQ(python_with_input("import json, sys\nprint(json.load(sys.stdin)['requests'][-1]"
                                "['machine'])",
                                service_->control("GET", "requests?kind=definitions_by_machine")),
              "DESK.example.org\n");
    EXPECT_EQ(ask("GET", "/machines/x").status, 400);
    EXPECT_EQ(ask("GET", "/machines/x/jobs").status, 400);
    EXPECT_EQ(ask("POST", "/machines").status, 403);

    // A tree of folders and files, counted by python's walk.
    std::string t = agent_->host("C:/t");
    std::filesystem::create_directories(t + "/a/b");
    std::filesystem::create_directories(t + "/e");
    write_host_file(t + "/one.txt", "12345");
    write_host_file(t + "/a/two.txt", std::string(1000, 'x'));
    write_host_file(t + "/a/b/three.bin", std::string(70000, 'y'));
    write_host_file(t + "/e/four.TXT", "4");
    std::string walk = pythonCount(t, "");
    WebReply all = ask("POST", "/source", R"({"source": ["C:/t"]})");
    EXPECT_EQ(all.status, 200);
    EXPECT_EQ(all.body, walk);
    std::string txt = pythonCount(t, ".txt");
    EXPECT_EQ(ask("POST", "/source", R"({"source": ["C:/t"], "inclusion": [".txt"]})").body, txt);
    EXPECT_EQ(ask("POST", "/source",
                  R"({"source": ["C:/t", "C:/none", "t", "C:t"], "exclusion": [".bin"],
                      "inclusion": [".txt"]})")
                  .body,
              txt);
    EXPECT_EQ(ask("POST", "/source", R"({"source": ["C:/none"]})").body,
              R"({"dirs":0,"files":0,"size":0,"source":[]})");
    EXPECT_EQ(ask("POST", "/source", R"({"source": []})").status, 400);
    EXPECT_EQ(ask("POST", "/source", R"({"source": "C:/t"})").status, 400);
    EXPECT_EQ(ask("POST", "/source", R"({"source": ["C:/t"], "inclusion": ".txt"})").status, 400);
    EXPECT_EQ(ask("POST", "/source", "{").status, 400);
    EXPECT_EQ(ask("GET", "/source").status, 403);
}

TEST_F(MachinesConsole, OfflineJobs) {
    EXPECT_EQ(askWithout("GET", "/offlinejobs").status, 401);
    EXPECT_EQ(askWithout("POST", "/offlinejobs", R"({"drive": "E:"})").status, 401);

    WebReply applied = ask("POST", "/offlinejobs", R"({"drive": "E:"})");
    EXPECT_EQ(applied.status, 200);
    std::string id = python_with_input(
        "import json, sys\nprint(json.load(sys.stdin)['id'], end='')", applied.body);
    ASSERT_FALSE(id.empty());
    std::string named = "{\"id\": \"" + id + "\"}";
    WebReply info = ask("POST", "/offlinejobs/info/extra", named);
    EXPECT_EQ(info.status, 200);
    EXPECT_EQ(python_with_input("import json, sys\nj = json.load(sys.stdin)\n"
                                "print(j['drive'], j['state'])",
                                info.body),
              "E: applied\n");
    EXPECT_EQ(ask("GET", "/offlinejobs/anything").body,
              "[{\"drive\":\"E:\",\"id\":\"" + id + "\",\"state\":\"applied\"}]");
    EXPECT_EQ(ask("POST", "/offlinejobs/delete", named).status, 200);
    EXPECT_EQ(ask("GET", "/offlinejobs").body,
              "[{\"drive\":\"E:\",\"id\":\"" + id + "\",\"state\":\"cancelled\"}]");
    EXPECT_EQ(ask("POST", "/offlinejobs/info", R"({"id": "nothing"})").status, 404);

    // Nothing is sent for an empty body, or for an unknown operation.
    int before = seen("offline_job_apply") + seen("offline_job_cancel");
    EXPECT_EQ(ask("POST", "/offlinejobs").status, 400);
    EXPECT_EQ(ask("POST", "/offlinejobs/delete").status, 400);
    EXPECT_EQ(ask("POST", "/offlinejobs/cancel", named).status, 404);
    EXPECT_EQ(ask("PUT", "/offlinejobs", named).status, 403);
    EXPECT_EQ(seen("offline_job_apply") + seen("offline_job_cancel"), before);

    // A remote refusal reaches the browser with its status, reason and body.
    service_->control("POST", "faults",
                      R"({"kind": "offline_job_list", "action": "status", "status": 401,
                          "body": "{\"error\":\"expired\"}", "times": 1})");
    WebReply refused = ask("GET", "/offlinejobs");
    EXPECT_EQ(refused.status, 401);
    EXPECT_EQ(refused.reason, "Unauthorized");
    EXPECT_EQ(refused.body, R"({"error":"expired"})");
}

}  // namespace
}  // namespace portvane::testing
