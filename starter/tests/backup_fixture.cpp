#include "starter/tests/backup_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "common/json.h"
#include "common/text_conv.h"
#include "job/core/iocp_dispatcher.h"
#include "job/core/job_state.h"
#include "job/job_manager.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "plandeck/backup_job_definition.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/machine_fixture.h"

namespace tovel::starter::testing {

using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;
using tovel::testing::RemoteService;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

const char* const kJobId = "0d9c3b52-6a71-4f0e-b2c8-5e4d3a291f60";

namespace {

const char* kCookie = "sid=00112233445566778899aabbccddeeff";

std::string record_path() {
    return host_of(L"C:\\ProgramData\\morvask\\Tovel\\job\\" + from_utf8(kJobId) + L"\\act\\info");
}

json_spirit::Value parse(const std::string& text) {
    json_spirit::Value value;
    EXPECT_TRUE(json_spirit::read(text, value)) << text;
    return value;
}

json_spirit::Array requests_of(const RemoteService& service, const std::string& kind) {
    json_spirit::Value value = parse(service.control("GET", "requests?kind=" + kind));
    if (value.type() != json_spirit::obj_type) return {};
    return value.get_obj()["requests"].get_array();
}

}  // namespace

std::vector<std::string> backup_service_arguments() {
    return {"--account", "alice:secret", "--cookie", std::string("alice:") + kCookie};
}

std::vector<TreeItem> prepare_interrupted_backup(const RemoteService& service) {
    std::mt19937 random(20260512);
    auto bytes = [&random](size_t size) {
        std::string out(size, '\0');
        for (char& c : out) c = static_cast<char>(random() & 0xFF);
        return out;
    };
    std::vector<TreeItem> tree = {
        {L"C:\\data", true, ""},
        {L"C:\\data\\a.bin", false, bytes(2 * 131072 + 5)},
        {L"C:\\data\\b.bin", false, bytes(6 * 131072)},
        {L"C:\\data\\sub", true, ""},
        {L"C:\\data\\sub\\c.bin", false, bytes(4 * 131072 + 1)},
        {L"C:\\data\\sub\\d.bin", false, bytes(3 * 131072 - 7)},
    };
    for (const TreeItem& item : tree) {
        if (item.folder)
            std::filesystem::create_directories(host_of(item.path));
        else
            write_host_file(host_of(item.path), item.bytes);
    }

    EXPECT_NE(service.port(), 0);
    EXPECT_TRUE(OptionsImpl::instance()->setServerInfo("sim", "127.0.0.1", service.port()));
    using Cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>;
    EXPECT_TRUE(Cookies::instance()->saveCookie("alice", kCookie));
    JobManagerImpl* manager = JobManagerImpl::instance();
    EXPECT_TRUE(manager->open());
    EXPECT_TRUE(Iocp_Dispatcher::instance()->activate());  // it delivers the job's events
    auto* definition = new BackupJobDefinition;
    json_spirit::Value value = parse(std::string(R"({"type":"backup","id":")") + kJobId +
                                     R"(","user":"alice","name":"Host test","source":["C:\\data"],)"
                                     R"("compression":true,"schedule":{"type":"manual"}})");
    EXPECT_TRUE(definition->fromJSON(value));
    EXPECT_TRUE(manager->submitJob(definition));
    manager->close();
    Iocp_Dispatcher::instance()->stop();

    // The record of a run that was under way when its agent ended: the next
    // agent's job engine starts it again.
    std::string record = read_host_file(record_path());
    EXPECT_EQ(record.size(), JobActivity::kSize);
    if (record.size() == JobActivity::kSize) {
        int32_t running = JS_RUNNING;
        std::memcpy(record.data() + offsetof(JobActivity, state), &running, sizeof running);
        write_host_file(record_path(), record);
    }
    return tree;
}

RecordView job_record() {
    RecordView view;
    std::string bytes = read_host_file(record_path());
    if (bytes.size() >= JobActivity::kSize) view.bytes = bytes.substr(0, JobActivity::kSize);
    return view;
}

size_t block_uploads(const RemoteService& service) {
    return requests_of(service, "upload_data").size();
}

void check_stored_once(const RemoteService& service, const std::vector<TreeItem>& tree) {
    json_spirit::Value all = parse(service.control("GET", "instances"));
    std::vector<std::string> ids;
    for (const json_spirit::Value& entry : all.get_obj()["instances"].get_array()) {
        json_spirit::Object object = entry.get_obj();
        if (object["job"].get_str() == kJobId) ids.push_back(object["id"].get_str());
    }
    ASSERT_EQ(ids.size(), 1u) << "one run, one instance";
    json_spirit::Object instance = parse(service.control("GET", "instance?id=" + ids[0])).get_obj();
    EXPECT_EQ(instance["state"].get_str(), "completed");
    std::map<std::string, int> described;
    for (const json_spirit::Value& file : instance["files"].get_array()) {
        json_spirit::Object object = file.get_obj();
        ++described[object["name"].get_str()];
        EXPECT_TRUE(object["complete"].get_bool()) << object["name"].get_str();
    }
    EXPECT_EQ(described.size(), tree.size());
    for (const TreeItem& item : tree) {
        std::string name = to_utf8(item.path);
        SCOPED_TRACE(name);
        EXPECT_EQ(described[name], 1) << "described once";
        if (item.folder) continue;
        std::string stored = machine_root() + "/check-stored";
        std::remove(stored.c_str());
        EXPECT_EQ(run_command("python3 -c " +
                              shell_quote("import sys, urllib.request\nopen(sys.argv[2], 'wb')"
                                          ".write(urllib.request.urlopen(sys.argv[1]).read())") +
                              " " +
                              shell_quote("http://127.0.0.1:" + std::to_string(service.port()) +
                                          "/_sim/file?instance=" + ids[0] +
                                          "&name=" + RemoteService::query_text(name)) +
                              " " + shell_quote(stored)),
                  0);
        EXPECT_TRUE(tovel::testing::decode_stored(stored, true) == item.bytes)
            << "the stored form does not give back the file's bytes";
    }
    std::map<std::pair<std::string, int>, int> blocks;
    for (json_spirit::Value& request : requests_of(service, "upload_data")) {
        json_spirit::Object& entry = request.get_obj();
        auto name = entry.find("sourcename");
        auto block = entry.find("block");
        auto status = entry.find("status");
        if (name == entry.end() || block == entry.end() || status == entry.end() ||
            status->second.type() != json_spirit::int_type || status->second.get_int() != 200)
            continue;
        ++blocks[{name->second.get_str(), block->second.get_int()}];
    }
    for (const auto& block : blocks)
        EXPECT_EQ(block.second, 1) << block.first.first << " block " << block.first.second;
}

bool eventually(const std::function<bool()>& condition, int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace tovel::starter::testing
