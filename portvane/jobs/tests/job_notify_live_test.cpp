// The job event stream over the real web server: the job library's notification client (the
// tray's), curl with a python3 reader of the raw chunks, and raw sockets, one of which stops
// reading.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/json.h"
#include "job/core/job_state.h"
#include "job/remote/job_notify_client.h"
#include "portvane/jobs/job_notify.h"
#include "portvane/tests/live_stream.h"
#include "portvane/tests/notify_helpers.h"
#include "tools/testkit/machine_fixture.h"

using namespace portvane_tests;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;
using tovel::testing::run_command;
using tovel::testing::shell_quote;

namespace {

using Event = std::pair<std::string, int>;

// The tray's side: what OnJobStateChanged was handed, in order.
class TrayClient : public JobNotifyClient {
public:
    ~TrayClient() override { Close(); }
    void OnJobStateChanged(const char* id, int state) override {
        std::lock_guard<std::mutex> hold(lock_);
        events_.emplace_back(id, state);
        changed_.notify_all();
    }
    std::vector<Event> events() {
        std::lock_guard<std::mutex> hold(lock_);
        return events_;
    }
    bool wait_for(size_t count) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, kBound, [&] { return events_.size() >= count; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Event> events_;
};

// Posts probe events until seen() holds for every listener: then they are all registered.
bool wait_registered(const std::function<bool()>& seen) {
    auto until = std::chrono::steady_clock::now() + kBound;
    while (std::chrono::steady_clock::now() < until) {
        post_state("", "probe", JS_IDLE);
        for (int i = 0; i < 20; ++i) {
            if (seen()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return false;
}

// The events after the probes.
template <class T>
std::vector<T> after_probes(const std::vector<T>& all, const std::function<bool(const T&)>& probe) {
    size_t first = 0;
    while (first < all.size() && probe(all[first])) ++first;
    return std::vector<T>(all.begin() + first, all.end());
}

// The chunks of a stream as python3 reads them from curl's raw output: one line per chunk, the
// event's "id" and "state", "end" for the last chunk; any flaw is a line beginning with "bad".
const char kChunkReader[] = R"(
import json, re, sys
data = open(sys.argv[1], 'rb').read()
at = 0
while True:
    m = re.compile(rb'([0-9a-f]+)\r\n').match(data, at)
    if not m or (len(m.group(1)) > 1 and m.group(1).startswith(b'0')):
        print('bad size line at', at, data[at:at + 20]); break
    size = int(m.group(1), 16)
    body = data[m.end():m.end() + size]
    if data[m.end() + size:m.end() + size + 2] != b'\r\n':
        print('bad chunk end at', at); break
    at = m.end() + size + 2
    if size == 0:
        print('end' if at == len(data) else 'bad bytes after the end'); break
    event = json.loads(body.decode('utf-8'))
    print(event['id'], event['state'] if isinstance(event, dict) else 'bad')
)";

}  // namespace

using JobNotifyLive = LiveServer;

TEST_F(JobNotifyLive, TheTraysClientAndCurlGetEveryEventOnceInOrder) {
    TrayClient tray;
    ASSERT_EQ(tray.Open(L"127.0.0.1", static_cast<unsigned short>(port())), 0);
    std::string raw = machine_root() + "/stream.raw";
    int curl_status = -1;
    std::thread curl([&] {
        curl_status = run_command("curl -sN --raw -m 120 -o " + shell_quote(raw) + " " +
                                  shell_quote(url("/jobnotify")));
    });
    ASSERT_TRUE(wait_registered([&] {
        return !tray.events().empty() && read_host_file(raw).find("probe") != std::string::npos;
    }));

    std::vector<Event> posted;
    const std::wstring names[] = {L"plain", L"{\"}", L"a\\\"b", L"Grüße 日本", L"}}{{"};
    const int states[] = {JS_CREATED,    JS_STARTING,  JS_RUNNING, JS_PAUSED,  JS_RUNNING,
                          JS_COMPLETING, JS_COMPLETED, JS_ERROR,   JS_UPDATED, JS_DELETED};
    for (int i = 0; i < 50; ++i) {
        std::string id = "job-" + std::to_string(i);
        auto* event = new Event_State(i % 2 ? "alice" : "bob", id.c_str(), names[i % 5].c_str(),
                                      static_cast<unsigned>(states[i % 10]));
        ASSERT_TRUE(notify_manager()->post(event));
        posted.emplace_back(id, states[i % 10]);
    }
    ASSERT_TRUE(notify_manager()->post(
        new Event_Job_Error("alice", "failing", L"f", JS_ERROR, 5, "disk {full} \"x\"")));
    posted.emplace_back("failing", JS_ERROR);
    // The last chunk ends the streams: curl ends by itself.
    ASSERT_TRUE(notify_manager()->post(new Event_End));
    curl.join();
    EXPECT_EQ(curl_status, 0);

    ASSERT_TRUE(tray.wait_for(posted.size() + 1));
    auto is_probe = [](const Event& e) { return e.first == "probe"; };
    EXPECT_EQ(after_probes<Event>(tray.events(), is_probe), posted);

    std::string lines;
    ASSERT_EQ(
        run_command("python3 -c " + shell_quote(kChunkReader) + " " + shell_quote(raw), &lines), 0)
        << lines;
    std::vector<std::string> read;
    for (size_t at = 0; at < lines.size();) {
        size_t end = lines.find('\n', at);
        read.push_back(lines.substr(at, end - at));
        at = end + 1;
    }
    std::vector<std::string> expected;
    for (const auto& [id, state] : posted) expected.push_back(id + " " + jobStateToString(state));
    expected.push_back("end");
    EXPECT_EQ(after_probes<std::string>(
                  read, [](const std::string& line) { return line.rfind("probe ", 0) == 0; }),
              expected);
}

// While one reader has stopped reading, events keep reaching everyone else, the dispatcher's
// timers keep firing, and the stalled stream ends by itself with every chunk it got whole.
TEST_F(JobNotifyLive, AReaderThatStopsReadingHoldsUpNoOneElse) {
    RawClient stalled(port(), 4096);
    ASSERT_TRUE(stalled.send(request("/jobnotify")));
    std::string stalled_bytes;
    ASSERT_TRUE(stalled.read_until(stalled_bytes, sizeof kStreamHead - 1));
    ASSERT_EQ(stalled_bytes.substr(0, sizeof kStreamHead - 1), kStreamHead);

    RawClient healthy(port());
    ASSERT_TRUE(healthy.send(request("/jobnotify/x")));
    std::mutex lock;
    std::condition_variable changed;
    std::string healthy_bytes;
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        std::string got;
        while (reading && healthy.read_some(got)) {
            std::lock_guard<std::mutex> hold(lock);
            healthy_bytes = got;
            changed.notify_all();
        }
    });
    auto healthy_chunks = [&] {
        std::lock_guard<std::mutex> hold(lock);
        if (healthy_bytes.size() < sizeof kStreamHead - 1) return std::vector<std::string>{};
        return read_chunks(healthy_bytes.substr(sizeof kStreamHead - 1));
    };
    TrayClient tray;
    ASSERT_EQ(tray.Open(L"127.0.0.1", static_cast<unsigned short>(port())), 0);
    ASSERT_TRUE(
        wait_registered([&] { return !tray.events().empty() && !healthy_chunks().empty(); }));
    size_t tray_probes = tray.events().size();
    size_t healthy_probes = healthy_chunks().size();

    // 2000 events of 4000-byte names, 8 MB: far more than the socket buffers between the server
    // and the stalled reader (some 3 MB on the loopback) and its stream's queue hold.
    std::vector<std::string> posted;
    {
        TickingTimer timer;
        for (int batch = 0; batch < 20; ++batch) {
            int ticks = timer.ticks();
            for (int i = 0; i < 100; ++i)
                posted.push_back(
                    post_state("u", "job-" + std::to_string(posted.size()), JS_RUNNING, 4000));
            ASSERT_TRUE(tray.wait_for(tray_probes + posted.size())) << "batch " << batch;
            std::unique_lock<std::mutex> hold(lock);
            ASSERT_TRUE(changed.wait_for(
                hold, kBound,
                [&] {
                    return read_chunks(healthy_bytes.substr(sizeof kStreamHead - 1)).size() >=
                           healthy_probes + posted.size();
                }))
                << "batch " << batch;
            hold.unlock();
            auto until = std::chrono::steady_clock::now() + kBound;
            while (timer.ticks() < ticks + 2 && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ASSERT_GE(timer.ticks(), ticks + 2) << "batch " << batch;
        }
    }
    // A probe posted as the readers were found registered can come after
    // the ones counted then: every leading probe is left out.
    std::vector<std::string> healthy_events = after_probes<std::string>(
        healthy_chunks(),
        [](const std::string& event) { return event.find("\"probe\"") != std::string::npos; });
    EXPECT_EQ(healthy_events, posted);
    std::vector<Event> tray_events = after_probes<Event>(
        tray.events(), [](const Event& event) { return event.first == "probe"; });
    ASSERT_EQ(tray_events.size(), posted.size());
    for (size_t i = 0; i < posted.size(); ++i)
        ASSERT_EQ(tray_events[i], Event("job-" + std::to_string(i), JS_RUNNING)) << i;

    // The stalled stream has ended: reading it now finds its end, after whole chunks only, each
    // the next event, and no last chunk (its reader can tell that events were lost).
    ASSERT_TRUE(stalled.read_to_end(stalled_bytes));
    std::string rest;
    std::vector<std::string> got = read_chunks(stalled_bytes.substr(sizeof kStreamHead - 1), &rest);
    while (!got.empty() && got.front().find("\"probe\"") != std::string::npos)
        got.erase(got.begin());
    ASSERT_LT(got.size(), posted.size());
    EXPECT_EQ(got, std::vector<std::string>(posted.begin(), posted.begin() + got.size()));
    EXPECT_LT(rest.size(), chunk(posted.front()).size());  // at most a cut-off chunk
    reading = false;
    healthy.send("x");  // ends the healthy stream; its reader sees the end
    reader.join();
}
