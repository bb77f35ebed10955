// A first backup of a tree whose increment check answers with more than 16
// MiB of paths: the check's reply is bounded by the list sent rather than by
// the client's general reply bound, and read as it arrives; the run ends
// completed with every item stored on the simulator.
//
// The tree is made of empty files and folders, so that the run's time goes
// into the check and the per-item requests alone. In CI it has about 2 100
// files ten folders deep, every name made of 60 characters outside the
// BMP: the service answers them escaped (12 bytes for 4), so the reply
// passes 16 MiB with few items (each costs the run two requests). Run
// with TOVEL_BIG_TREE_FILES=150000 (see the README's "make bench-increment")
// the names are plain ASCII long enough for an 18 MB reply, and the test
// prints the process's peak memory growth during the run and during the
// walk alone, whose difference is what the check itself took.
#include "job/runs/backup_job.h"
//
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "common/json.h"
#include "common/text_conv.h"
#include "job/core/iocp_dispatcher.h"
#include "job/core/job_state.h"
#include "job/core/job_volume.h"
#include "job/job_manager.h"
#include "job/sources/activity_source.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"

using tovel::testing::host_of;
using tovel::testing::RemoteService;

namespace {

const char* kJob = "8e4f3a5b-6c7d-4e8f-9a01-b2c3d4e5f607";
const char* kCookie = "sid=5566778899aabbccddeeff0011223344";
constexpr size_t kPerFolder = 500;

size_t tree_files() {
    const char* text = std::getenv("TOVEL_BIG_TREE_FILES");
    long value = text ? std::atol(text) : 0;
    return value > 0 ? static_cast<size_t>(value) : 2100;
}

// Kilobytes of the process's resident set, now or at its peak since the
// last reset.
long status_kb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
    return -1;
}
void reset_peak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// The tree under C:\big: folders of kPerFolder empty files. Returns the
// bytes the service's reply takes for the list (every path, as it escapes
// text: \u escapes outside ASCII, a surrogate pair for each character above
// the BMP, "\\" for each back-slash), with its quotes and commas.
uint64_t make_tree(size_t files, size_t& items) {
    const bool ascii = files >= 100000;
    // 60 characters of four UTF-8 bytes (U+1F600 on), or 52 ASCII letters.
    std::wstring stem;
    for (int i = 0; i < (ascii ? 52 : 60); ++i)
        stem += ascii ? static_cast<wchar_t>(L'a' + i % 26) : static_cast<wchar_t>(0x1F600 + i);
    auto reply_bytes = [](const std::wstring& path) {
        uint64_t n = 3;  // quotes and comma
        for (wchar_t c : path) n += c == L'\\' ? 2 : c < 0x80 ? 1 : c < 0x10000 ? 6 : 12;
        return n;
    };
    uint64_t reply = 0;
    items = 0;
    std::wstring root = L"C:\\big";
    std::filesystem::create_directories(host_of(root));
    reply += reply_bytes(root), ++items;
    if (!ascii) {
        for (int depth = 0; depth < 10; ++depth) {
            root += L"\\" + stem;
            std::filesystem::create_directories(host_of(root));
            reply += reply_bytes(root), ++items;
        }
    }
    for (size_t folder = 0; folder * kPerFolder < files; ++folder) {
        std::wstring dir = root + L"\\" + stem + std::to_wstring(folder);
        std::string host = host_of(dir);
        std::filesystem::create_directories(host);
        reply += reply_bytes(dir), ++items;
        for (size_t i = folder * kPerFolder; i < files && i < (folder + 1) * kPerFolder; ++i) {
            std::wstring name = stem + std::to_wstring(i);
            std::ofstream(host + "/" + to_utf8(name));
            reply += reply_bytes(dir + L"\\" + name), ++items;
        }
    }
    return reply;
}

json_spirit::Value parse(const std::string& text) {
    json_spirit::Value value;
    EXPECT_TRUE(json_spirit::read(text, value)) << text.substr(0, 200);
    return value;
}

}  // namespace

TEST(IncrementCheckBigTree, AFirstBackupWithAReplyOver16MiBCompletes) {
    const size_t files = tree_files();
    size_t items = 0;
    const uint64_t reply = make_tree(files, items);
    ASSERT_GT(reply, uint64_t{16} << 20) << "the tree is too small to test the bound";

    // The walk alone, as the run makes it: its peak memory growth.
    long walkGrowth = 0;
    {
        JobVolume volume;
        volume.index = 0;
        volume.path = L"C:\\";
        volume.sources = {L"C:\\big"};
        JobVolumeMap volumes{{volume.path, &volume}};
        long before = status_kb("VmRSS:");
        reset_peak();
        {
            JobActivitySourceGenerator generator;
            ASSERT_TRUE(generator(volumes, nullptr));
            ASSERT_EQ(generator.items().size(), items);
            walkGrowth = status_kb("VmHWM:") - before;
        }
    }

    RemoteService service(
        {"--account", "alice:secret", "--cookie", std::string("alice:") + kCookie});
    ASSERT_NE(service.port(), 0);
    ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("sim", "127.0.0.1", service.port()));
    using Cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>;
    ASSERT_TRUE(Cookies::instance()->saveCookie("alice", kCookie));
    JobManagerImpl* manager = JobManagerImpl::instance();
    ASSERT_TRUE(manager->open());
    ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());

    auto* definition = new BackupJobDefinition;
    ASSERT_TRUE(definition->fromJSON(
        parse(std::string(R"({"type":"backup","id":")") + kJob +
              R"(","user":"alice","name":"Big","source":["C:\\big"],"compression":true,)"
              R"("schedule":{"type":"once"}})")));
    auto begun = std::chrono::steady_clock::now();
    long before = status_kb("VmRSS:");
    reset_peak();
    ASSERT_TRUE(manager->submitJob(definition));
    int state = 0;
    bool ended = false;
    while (!ended && std::chrono::steady_clock::now() - begun < std::chrono::minutes(30)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        manager->job(kJob, [&](const Job& job) {
            state = job.state();
            ended = (state == JS_COMPLETED || state == JS_ERROR || state == JS_PAUSED ||
                     state == JS_CANCELLED) &&
                    job.wait(0);
        });
    }
    long runGrowth = status_kb("VmHWM:") - before;
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    manager->close();
    Iocp_Dispatcher::instance()->stop();
    std::printf(
        "increment check: %zu items, reply %.1f MiB, run %.1f s; peak memory growth: "
        "run %.1f MiB, walk alone %.1f MiB\n",
        items, static_cast<double>(reply) / (1 << 20), seconds, runGrowth / 1024.0,
        walkGrowth / 1024.0);
    std::fflush(stdout);
    ASSERT_TRUE(ended);
    EXPECT_EQ(state, JS_COMPLETED);

    // The service's view: one check that offered every item and was answered
    // with every path, one completed instance that holds every item whole.
    json_spirit::Value checks = parse(service.control("GET", "requests?kind=increment_check"));
    json_spirit::Array& list = checks.get_obj()["requests"].get_array();
    ASSERT_EQ(list.size(), 1u) << "the check was sent again";
    EXPECT_EQ(list[0].get_obj()["status"].get_int(), 200);
    EXPECT_EQ(list[0].get_obj()["changed"].get_int(), static_cast<int>(items));
    json_spirit::Value all = parse(service.control("GET", "instances"));
    ASSERT_EQ(all.get_obj()["instances"].get_array().size(), 1u);
    json_spirit::Object& instance = all.get_obj()["instances"].get_array()[0].get_obj();
    EXPECT_EQ(instance["state"].get_str(), "completed");
    EXPECT_EQ(instance["files"].get_int(), static_cast<int>(items));
    EXPECT_EQ(instance["complete"].get_int(), static_cast<int>(items));
}
