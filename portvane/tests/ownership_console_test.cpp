// Two accounts of the remote service on one agent run in the console: what the first makes (a
// job and its run, the run's cached tree, a consistent check's result, an exclusion list) is
// reached by no request of the second, who gets 404 (or the remote service's refusal) for every
// operation on it, and finds it all as it was afterwards.
#include "portvane/tests/console_agent.h"
//
#include <chrono>
#include <filesystem>
#include <thread>

#include "common/json.h"
#include "tools/testkit/checkers.h"

namespace portvane::testing {
namespace {

using tovel::testing::write_host_file;

const char kJob[] = "3c2b1a09-8f7e-4d6c-9b5a-4f3e2d1c0b9a";
const char kBobsJob[] = "9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c6d";
const char kBobsRestore[] = "0f1e2d3c-4b5a-4968-8776-a5b4c3d2e1f0";

json_spirit::Value parsed(const std::string& text) {
    json_spirit::Value value;
    EXPECT_TRUE(json_spirit::read(text, value)) << text;
    return value;
}

class OwnershipConsole : public ConsoleHandlers {
protected:
    void prepareMachine() override {
        std::filesystem::create_directories(host("C:/t/sub"));
        write_host_file(host("C:/t/keep.txt"), "kept");
        write_host_file(host("C:/t/gone.txt"), "deleted after the backup");
        write_host_file(host("C:/t/sub/deep.txt"), "deep");
    }
    static std::string host(const std::string& path) {
        std::string rest = path.substr(2);
        return tovel::testing::machine_root() + "/drives/c" + rest;
    }
    WebReply as(const std::string& cookie, const std::string& method, const std::string& path,
                const std::string& body = "") const {
        return agent_->ask(method, path, cookie, body);
    }
    std::string login(const std::string& user, const std::string& password) const {
        WebReply in = agent_->curl({"-X", "POST", "--data-binary",
                                    "username=" + user + "&userpassword=" + password, "/login"});
        EXPECT_EQ(in.status, 200) << in.body;
        return in.session();
    }
    // Waits (at most two minutes) until the job's last run has ended; its state text.
    std::string waitForRun(const std::string& id) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        while (std::chrono::steady_clock::now() < deadline) {
            WebReply last = ask("GET", "/jobs/" + id + "/lastruntime");
            json_spirit::Value value;
            if (last.status == 200 && json_spirit::read(last.body, value) &&
                value.type() == json_spirit::obj_type && value.get_obj().count("state"))
                return value.get_obj().at("state").get_str();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return "";
    }
};

std::string backup(const char* id, const std::string& name) {
    return std::string(R"({"type":"backup","id":")") + id + R"(","name":")" + name +
           R"(","source":["C:/t"],"schedule":{"type":"manual"}})";
}

TEST_F(OwnershipConsole, AnotherUserReachesNoneOfTheFirstUsersJobsRunsChecksOrExclusions) {
    // Alice: a job, its completed run, its browsed tree, a check of it, an exclusion list.
    ASSERT_EQ(ask("POST", "/jobs", backup(kJob, "Alice's")).status, 200);
    ASSERT_EQ(ask("GET", std::string("/jobs/") + kJob + "/start").status, 200);
    ASSERT_EQ(waitForRun(kJob), "completed");
    WebReply ids = ask("GET", std::string("/jobs/") + kJob + "/instanceids");
    ASSERT_EQ(ids.status, 200) << ids.body;
    const std::string run = parsed(ids.body).get_array().at(0).get_obj().at("id").get_str();
    const std::string tree = "/jobinstances/" + run + "/source/";
    ASSERT_EQ(ask("GET", tree + "%23all").status, 200);
    std::filesystem::remove(host("C:/t/gone.txt"));
    write_host_file(host("C:/t/new.txt"), "added after the backup");
    WebReply check = ask("POST", "/consistentcheck/submit", "{\"jobInstanceId\":\"" + run + "\"}");
    ASSERT_EQ(check.status, 200) << check.body;
    const std::string query = "{\"consistentcheck_id\":\"" + run + "\",\"path\":\"C:/t/\"}";
    const std::string selection = "{\"consistentcheck_id\":\"" + run + "\",\"source\":[\"C:/t/\"]}";
    ASSERT_EQ(ask("POST", "/exclusion/add", R"(["C:/t/keep.txt"])").status, 200);

    // What Alice sees, before and after.
    const std::vector<std::pair<std::string, std::string>> views = {
        {"GET", "/jobs"},
        {"GET", "/jobsview"},
        {"GET", std::string("/jobs/") + kJob},
        {"GET", std::string("/jobs/") + kJob + "/state"},
        {"GET", std::string("/jobs/") + kJob + "/instanceids"},
        {"GET", tree},
        {"GET", tree + "C:/t"},
        {"GET", tree + "%23all"},
        {"GET", tree + "%23increment"},
        {"GET", "/jobinstances/" + run},
        {"GET", "/jobinstances/" + run + "/history"},
        {"GET", "/exclusion"},
    };
    auto seenByAlice = [&] {
        std::vector<std::string> bodies;
        for (const auto& [method, path] : views) {
            WebReply r = ask(method, path);
            EXPECT_EQ(r.status, 200) << path << ": " << r.body;
            bodies.push_back(r.body);
        }
        WebReply rows = ask("POST", "/consistentcheck/query", query);
        EXPECT_EQ(rows.status, 200) << rows.body;
        bodies.push_back(rows.body);
        return bodies;
    };
    const std::vector<std::string> before = seenByAlice();
    EXPECT_NE(before[7].find("C:/t/gone.txt"), std::string::npos) << before[7];
    EXPECT_NE(before.back().find("\"deleted\""), std::string::npos) << before.back();
    EXPECT_EQ(before[11], R"(["C:/t/keep.txt"])");
    const int starts = seen("start_job");
    const int definitions = seen("create_job_definition") + seen("update_job_definition");

    // Bob, with a job of his own.
    const std::string bob = login("bob", "hunter2");
    ASSERT_FALSE(bob.empty());
    ASSERT_EQ(as(bob, "POST", "/jobs", backup(kBobsJob, "Bob's")).status, 200);
    EXPECT_EQ(as(bob, "GET", "/jobs").body.find(kJob), std::string::npos);

    // Every operation on Alice's job: as for a job that does not exist.
    const std::string job = std::string("/jobs/") + kJob;
    for (const std::string& path :
         {job, job + "/state", job + "/lastruntime", job + "/nextruntime", job + "/instanceids",
          job + "/start", job + "/pause", job + "/resume", job + "/stop",
          std::string("/jobsview/") + kJob}) {
        WebReply r = as(bob, "GET", path);
        EXPECT_EQ(r.status, 404) << path << ": " << r.body;
        EXPECT_EQ(r.body, "") << path;
    }
    EXPECT_EQ(as(bob, "POST", job, backup(kJob, "Bob's now")).status, 404);
    EXPECT_EQ(as(bob, "POST", "/jobs", backup(kJob, "Bob's now")).status, 404);
    EXPECT_EQ(as(bob, "DELETE", job).status, 404);
    // Removing all of his jobs removes his own only.
    EXPECT_EQ(as(bob, "DELETE", "/jobs").status, 200);
    EXPECT_EQ(as(bob, "GET", "/jobs").body, "[]");

    // Alice's run: its cached tree, history, errors and status are not shown, and it is not
    // deleted; a restore of it is not defined.
    for (const std::string& path : {tree, tree + "C:/t", tree + "%23all", tree + "%23increment",
                                    "/jobinstances/" + run + "/history",
                                    "/jobinstances/" + run + "/errors", "/jobinstances/" + run}) {
        WebReply r = as(bob, "GET", path);
        EXPECT_TRUE(r.status == 403 || r.status == 404) << path << ": " << r.status << r.body;
        EXPECT_EQ(r.body.find("keep.txt"), std::string::npos) << path;
    }
    EXPECT_EQ(as(bob, "DELETE", "/jobinstances/" + run).status, 403);
    EXPECT_EQ(as(bob, "DELETE", std::string("/jobinstances/%23all/") + kJob).status, 403);
    WebReply restore = as(bob, "POST", "/jobs",
                          std::string(R"({"type":"restore","id":")") + kBobsRestore +
                              R"(","name":"r","instanceId":")" + run +
                              R"(","location":"C:/bob","source":["C:/t/"]})");
    EXPECT_EQ(restore.status, 403) << restore.body;
    EXPECT_EQ(as(bob, "GET", std::string("/jobs/") + kBobsRestore).status, 404);
    EXPECT_FALSE(std::filesystem::exists(host("C:/bob")));

    // Alice's check result: neither read, nor acted on, nor removed, nor run again.
    for (const char* command : {"query", "exclude", "deletefiles", "backup", "restore"}) {
        WebReply r = as(bob, "POST", std::string("/consistentcheck/") + command,
                        std::string(command) == "query" ? query : selection);
        EXPECT_EQ(r.status, 404) << command << ": " << r.body;
    }
    EXPECT_EQ(
        as(bob, "POST", "/consistentcheck/deleteresult", "{\"consistentcheck_id\":\"" + run + "\"}")
            .status,
        404);
    EXPECT_EQ(
        as(bob, "POST", "/consistentcheck/submit", "{\"jobInstanceId\":\"" + run + "\"}").status,
        404);
    // His exclusion list is his own.
    EXPECT_EQ(as(bob, "GET", "/exclusion").body, "null");
    EXPECT_EQ(as(bob, "POST", "/exclusion/remove", R"(["C:/t/keep.txt"])").status, 200);
    EXPECT_EQ(as(bob, "GET", "/exclusion").body, "null");

    // Nothing of Alice's changed, nothing was started or defined for her.
    EXPECT_EQ(seenByAlice(), before);
    EXPECT_EQ(seen("start_job"), starts);
    EXPECT_EQ(seen("create_job_definition") + seen("update_job_definition"), definitions + 1);
    EXPECT_EQ(seen("delete_files"), 0);
    EXPECT_TRUE(std::filesystem::exists(agent_->host(
        "C:\\ProgramData\\morvask\\Tovel\\consistentcheck\\" + run + "\\checkresult.db")));
    EXPECT_TRUE(std::filesystem::exists(
        agent_->host("C:\\ProgramData\\morvask\\Tovel\\job\\" + std::string(kJob) + "\\def")));
}

TEST_F(OwnershipConsole, AnExcludedPathIsKeptOnce) {
    ASSERT_EQ(ask("POST", "/exclusion/add", R"(["C:/t/a", "C:/t/b"])").status, 200);
    ASSERT_EQ(ask("POST", "/exclusion/add", R"(["C:/t/a"])").status, 200);
    EXPECT_EQ(ask("GET", "/exclusion").body, R"(["C:/t/a","C:/t/b"])");
    ASSERT_EQ(ask("POST", "/exclusion/remove", R"(["C:/t/a"])").status, 200);
    EXPECT_EQ(ask("GET", "/exclusion").body, R"(["C:/t/b"])");
}

}  // namespace
}  // namespace portvane::testing
