// The updater program run for real in a fresh machine against the simulator:
// a fresh download that is checked and started, a resumed one, and every way
// a download can go wrong, none of which may ever start the installer. The
// installer is a shell script that appends a line to a marker file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/json.h"
#include "platform/win32.h"
#include "tools/testkit/host_processes.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"

using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;
using tovel::testing::RemoteService;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

namespace {

const wchar_t kUpdates[] = L"C:\\ProgramData\\morvask\\Tovel\\updates";
constexpr size_t kThreeMiB17 = 3 * 1024 * 1024 + 17;

class UpdaterRun : public ::testing::Test {
protected:
    void SetUp() override {
        served_ = machine_root() + "/served.exe";
        serve(installer("one", 300 * 1024 + 321));
        sim_ = std::make_unique<RemoteService>(std::vector<std::string>{"--installer", served_});
        ASSERT_NE(sim_->port(), 0);
        std::string data = host_of(L"C:\\ProgramData\\morvask\\Tovel");
        std::filesystem::create_directories(data);
        write_host_file(data + "/options",
                        "{\"webServerHost\": \"127.0.0.1\", \"webServerPort\": " +
                            std::to_string(sim_->port()) + "}");
        std::filesystem::create_directories(host_of(L"C:\\Program Files\\Tovel"));
        // As the updater makes it: its owner's only.
        std::filesystem::create_directories(host_of(kUpdates));
        std::filesystem::permissions(host_of(kUpdates), std::filesystem::perms::owner_all);
    }

    // A script that appends its version to the marker, padded to size bytes.
    std::string installer(const std::string& version, size_t size) {
        std::string text = "#!/bin/sh\necho " + version + " >> " + marker() + "\nexit 0\n";
        for (size_t i = 0; text.size() < size; ++i)
            text += static_cast<char>('!' + (i * 7919 + i / 251) % 90);
        return text;
    }
    void serve(const std::string& bytes) {
        write_host_file(served_, bytes);
        served_md5_ = md5_of(served_);
    }
    static std::string md5_of(const std::string& host) {
        std::string out;
        run_command("md5sum " + shell_quote(host) + " | cut -c1-32", &out);
        return out.substr(0, 32);
    }
    static std::string marker() { return machine_root() + "/marker"; }
    static std::string updates(const std::string& name) { return host_of(kUpdates) + "/" + name; }
    void installed(const std::string& text) {
        write_host_file(host_of(L"C:\\Program Files\\Tovel\\Tovel.exe.md5sum"), text);
    }
    void updates_switch(const std::string& json) {
        ASSERT_NE(sim_->control("POST", "updates", json).find("installer"), std::string::npos);
    }
    void fault(const std::string& json) {
        ASSERT_NE(sim_->control("POST", "faults", json).find("\"faults\""), std::string::npos);
    }
    // One run of the real program; what it logged.
    std::string run() {
        std::string out;
        int status = run_command(shell_quote(UPDATER_PROGRAM) + " 2>&1", &out);
        EXPECT_EQ(status, 0) << out;
        return out;
    }
    // The requests of a kind since the last clear: (method, Range or "").
    std::vector<std::pair<std::string, std::string>> requests(const std::string& kind) {
        json_spirit::Value value;
        EXPECT_TRUE(json_spirit::read(sim_->control("GET", "requests?kind=" + kind), value));
        std::vector<std::pair<std::string, std::string>> out;
        for (const auto& entry : value.get_obj().at("requests").get_array()) {
            const auto& object = entry.get_obj();
            std::string range;
            for (const auto& [name, text] : object.at("headers").get_obj())
                if (name == "Range" || name == "RANGE") range = text.get_str();
            out.emplace_back(object.at("method").get_str(), range);
        }
        return out;
    }
    // "updates\info" as python's json reads it: "md5sum offset size".
    static std::string info() {
        std::string out;
        run_command(
            "python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
            "assert sorted(d)==[\"md5sum\",\"offset\",\"size\"]; "
            "print(d[\"md5sum\"], d[\"offset\"], d[\"size\"], end=\"\")' " +
                shell_quote(updates("info")),
            &out);
        return out;
    }
    static void write_info(const std::string& md5, int64_t offset, int64_t size) {
        ASSERT_TRUE(std::filesystem::is_directory(host_of(kUpdates)));
        write_host_file(updates("info"), "{\"md5sum\":\"" + md5 +
                                             "\",\"offset\":" + std::to_string(offset) +
                                             ",\"size\":" + std::to_string(size) + "}");
    }
    // A download left by an earlier run: the updater makes it its owner's
    // only, and runnable.
    static void write_partial(const std::string& bytes) {
        write_host_file(updates("Tovel.exe"), bytes);
        std::filesystem::permissions(updates("Tovel.exe"), std::filesystem::perms::owner_all);
    }
    static size_t file_size(const std::string& host) {
        std::error_code error;
        auto size = std::filesystem::file_size(host, error);
        return error ? 0 : static_cast<size_t>(size);
    }
    // The markers written: waits for at least `expected` when it is above 0.
    static std::string markers(size_t expected) {
        if (expected == 0) return read_host_file(marker());
        return tovel::testing::wait_for_lines(marker(), expected);
    }
    std::string expected_info() const {
        return served_md5_ + " " + std::to_string(file_size(served_)) + " " +
               std::to_string(file_size(served_));
    }

    std::string served_;
    std::string served_md5_;
    std::unique_ptr<RemoteService> sim_;
};

}  // namespace

TEST_F(UpdaterRun, FreshRunDownloadsChecksAndStartsTheInstallerOnce) {
    std::string log = run();
    EXPECT_EQ(markers(1), "one\n") << log;
    EXPECT_EQ(md5_of(updates("Tovel.exe")), served_md5_);
    EXPECT_EQ(read_host_file(updates("info")),
              "{\"md5sum\":\"" + served_md5_ +
                  "\",\"offset\":" + std::to_string(file_size(served_)) +
                  ",\"size\":" + std::to_string(file_size(served_)) + "}");
    EXPECT_EQ(info(), expected_info());
    // Only the owner may touch what the service will start.
    auto perms = std::filesystem::status(updates("Tovel.exe")).permissions();
    EXPECT_EQ(perms & (std::filesystem::perms::group_all | std::filesystem::perms::others_all),
              std::filesystem::perms::none);

    // The installer left its md5 text with the file's name: nothing to do.
    installed(served_md5_ + "  Tovel.exe\n");
    updates_switch("{\"md5_crlf\": true, \"md5_upper\": true}");
    sim_->control("POST", "requests/clear");
    log = run();
    EXPECT_TRUE(requests("update_download").empty()) << log;
    EXPECT_EQ(markers(0), "one\n");
}

TEST_F(UpdaterRun, DropAfterThreeMiBResumesWithARangeNextRun) {
    serve(installer("one", 4 * 1024 * 1024 + 321));  // two full chunks and more
    std::string head;
    run_command("curl -s -D - -o /dev/null http://127.0.0.1:" + std::to_string(sim_->port()) +
                    "/tovel/updates/Tovel.exe",
                &head);
    ASSERT_FALSE(head.empty());
    fault("{\"kind\": \"update_download\", \"action\": \"drop\", \"after\": " +
          std::to_string(head.size() + kThreeMiB17) + ", \"times\": 1}");
    std::string log = run();
    EXPECT_EQ(markers(0), "") << log;
    std::string state = info();
    size_t offset = file_size(updates("Tovel.exe"));
    EXPECT_GT(offset, 0u) << log;
    EXPECT_EQ(state, served_md5_ + " " + std::to_string(offset) + " " +
                         std::to_string(file_size(served_)));

    sim_->control("POST", "requests/clear");
    log = run();
    EXPECT_EQ(markers(1), "one\n") << log;
    auto seen = requests("update_download");
    ASSERT_EQ(seen.size(), 1u) << log;
    EXPECT_EQ(seen[0].second, "bytes=" + std::to_string(offset) + "-");
    EXPECT_EQ(md5_of(updates("Tovel.exe")), served_md5_);
    EXPECT_EQ(info(), expected_info());
}

TEST_F(UpdaterRun, CorruptedDownloadsNeverStart) {
    // The server announces an md5 that its bytes do not have.
    fault(
        "{\"kind\": \"update_md5\", \"action\": \"body\", \"body\": "
        "\"0123456789abcdef0123456789abcdef\", \"times\": 1}");
    std::string log = run();
    EXPECT_NE(log.find("is not started"), std::string::npos) << log;
    EXPECT_FALSE(std::filesystem::exists(updates("Tovel.exe")));
    EXPECT_EQ(info(), " 0 0");

    // A complete download with one byte changed: the "already downloaded"
    // shortcut checks it too.
    ASSERT_EQ(run_command("cp " + shell_quote(served_) + " " + shell_quote(updates("Tovel.exe"))),
              0);
    std::string bytes = read_host_file(updates("Tovel.exe"));
    bytes[bytes.size() / 2] ^= 1;
    write_partial(bytes);
    write_info(served_md5_, bytes.size(), bytes.size());
    sim_->control("POST", "requests/clear");
    log = run();
    EXPECT_TRUE(requests("update_download").empty()) << log;
    EXPECT_NE(log.find("MD5 is not the one the server announced"), std::string::npos) << log;
    EXPECT_FALSE(std::filesystem::exists(updates("Tovel.exe")));
    EXPECT_EQ(info(), " 0 0");

    // A file that others may write fails however good its bytes.
    ASSERT_EQ(run_command("cp " + shell_quote(served_) + " " + shell_quote(updates("Tovel.exe")) +
                          " && chmod 722 " + shell_quote(updates("Tovel.exe"))),
              0);
    write_info(served_md5_, file_size(served_), file_size(served_));
    log = run();
    EXPECT_NE(log.find("may be changed by others"), std::string::npos) << log;
    EXPECT_EQ(markers(0), "");
}

TEST_F(UpdaterRun, RangeIgnoredAndOffsetPastTheFileStartOver) {
    // A partial download whose range the server ignores: written from 0.
    std::string bytes = read_host_file(served_);
    write_partial(bytes.substr(0, 1000) + std::string(500, 'x'));
    write_info(served_md5_, 1500, bytes.size());
    updates_switch("{\"ignore_range\": true}");
    std::string log = run();
    EXPECT_EQ(markers(1), "one\n") << log;
    EXPECT_EQ(md5_of(updates("Tovel.exe")), served_md5_);
    EXPECT_EQ(info(), expected_info());
}

TEST_F(UpdaterRun, RefusedRangeResetsWithoutWriting) {
    std::string bytes = read_host_file(served_);
    write_partial(bytes.substr(0, 4000));
    write_info(served_md5_, 4000, bytes.size());
    fault(
        "{\"kind\": \"update_download\", \"action\": \"status\", \"status\": 416, \"body\": "
        "\"never written\", \"times\": 1}");
    std::string log = run();
    EXPECT_EQ(info(), " 0 0") << log;
    EXPECT_TRUE(read_host_file(updates("Tovel.exe")) == bytes.substr(0, 4000)) << log;
    EXPECT_EQ(markers(0), "");

    // The offset beyond what the file holds: reset, and nothing asked.
    write_info(served_md5_, 9000, bytes.size());
    sim_->control("POST", "requests/clear");
    log = run();
    EXPECT_TRUE(requests("update_download").empty()) << log;
    EXPECT_EQ(info(), served_md5_ + " 0 " + std::to_string(bytes.size()));
    // The next run downloads from the start.
    log = run();
    EXPECT_EQ(markers(1), "one\n") << log;
    EXPECT_EQ(md5_of(updates("Tovel.exe")), served_md5_);
}

TEST_F(UpdaterRun, NewVersionOverALongerPartialFile) {
    std::string old = installer("old", 700 * 1024);
    write_partial(old);
    write_info("00000000000000000000000000000000", 400 * 1024, old.size());
    std::string log = run();
    EXPECT_EQ(markers(1), "one\n") << log;
    EXPECT_EQ(file_size(updates("Tovel.exe")), file_size(served_));
    EXPECT_EQ(md5_of(updates("Tovel.exe")), served_md5_);
}

TEST_F(UpdaterRun, BadAnnouncementsDownloadNothing) {
    // No length from HEAD.
    updates_switch("{\"head_without_length\": true}");
    std::string log = run();
    EXPECT_NE(log.find("invalid content length header field"), std::string::npos) << log;
    // A 64 MiB md5 body.
    updates_switch("{\"head_without_length\": false, \"md5_pad_to\": 67108864}");
    log = run();
    EXPECT_NE(log.find("invalid server response content"), std::string::npos) << log;
    EXPECT_TRUE(requests("update_size").size() == 1u);  // the first run's only
    // Another updater holds the instance lock.
    updates_switch("{\"md5_pad_to\": 0}");
    HANDLE held = CreateMutexW(nullptr, FALSE, L"{AEA38923-C032-4eb4-9972-5D1A94180604}");
    ASSERT_NE(held, nullptr);
    sim_->control("POST", "requests/clear");
    log = run();
    EXPECT_TRUE(requests("update_md5").empty()) << log;
    CloseHandle(held);
    EXPECT_TRUE(requests("update_download").empty());
    EXPECT_EQ(markers(0), "");
}

// A record whose offset passed its size is reset, and the server's size put back at once, so
// that a later run can resume from what it saves.
TEST_F(UpdaterRun, RecordWithOffsetPastSizeTakesTheServersSize) {
    write_info(served_md5_, 5000, 100);
    fault("{\"kind\": \"update_download\", \"action\": \"status\", \"status\": 500, \"times\": 1}");
    std::string log = run();
    EXPECT_NE(log.find("offset is larger than size"), std::string::npos) << log;
    EXPECT_EQ(info(), served_md5_ + " 0 " + std::to_string(file_size(served_)));
    EXPECT_EQ(markers(0), "");
}
