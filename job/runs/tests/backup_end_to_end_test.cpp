// Backup runs from the job manager to what they leave behind, read back by
// independent readers: the offline catalogue by a Python reader of the record
// layout, every stored file by openssl (AES-128-CBC, PKCS#7) and python3's
// zlib, and the remote service's side through the simulator's inspection
// endpoints. The source is the test kit's sample tree.
#include "job/runs/backup_job.h"
//
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "common/text_conv.h"
#include "job/core/job_state.h"
#include "job/job_manager.h"
#include "job/storage/ahead_pool.h"
#include "job/storage/piece_deflate.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/options.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"
#include "tools/testkit/sample_tree.h"

using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::python;
using tovel::testing::python_with_input;
using tovel::testing::read_host_file;
using tovel::testing::RemoteService;
using tovel::testing::run_command;
using tovel::testing::SampleItem;
using tovel::testing::SampleTree;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

namespace {

const char* kCookie = "sid=00112233445566778899aabbccddeeff";
const char* kJobA = "5b1e0c2d-3f4a-4b5c-8d6e-7f8091a2b3c4";
const char* kJobB = "0c9d8e7f-6a5b-4c3d-9e2f-1a0b9c8d7e6f";

constexpr uint32_t kDirectory = 0x10;
constexpr uint32_t kArchive = 0x20;
constexpr uint32_t kReparsePoint = 0x400;

std::string source_dir() {
    const char* source = std::getenv("TOVEL_SOURCE_DIR");
    return source ? source : ".";
}

// UTF-8 of a wide text (UTF-32 here), written out for the test so that the
// comparisons do not go through the program's own conversions.
std::string utf8(const std::wstring& text) {
    std::string out;
    for (wchar_t unit : text) {
        auto c = static_cast<uint32_t>(unit);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | c >> 18);
            out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> out;
    std::string field;
    std::istringstream in(text);
    while (std::getline(in, field, separator)) out.push_back(field);
    if (!text.empty() && text.back() == separator) out.push_back("");
    return out;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out = split(text, '\n');
    while (!out.empty() && out.back().empty()) out.pop_back();
    return out;
}

// One record of a catalogue as tools/testkit/catalogue.py prints it; paths in
// UTF-8.
struct Record {
    std::string tag;
    std::string path;
    uint32_t index = 0;
    uint64_t size = 0;
    uint32_t attributes = 0;
    uint32_t flag = 0;
    uint64_t written = 0;
};

// The records of a catalogue file, read by the Python reader; a malformed
// file is a test failure.
std::vector<Record> read_catalogue(const std::string& host_file) {
    std::string output;
    EXPECT_EQ(run_command("python3 " + shell_quote(source_dir() + "/tools/testkit/catalogue.py") +
                              " " + shell_quote(host_file),
                          &output),
              0)
        << host_file;
    std::vector<Record> out;
    for (const std::string& line : lines_of(output)) {
        std::vector<std::string> fields = split(line, '\t');
        Record record;
        record.tag = fields[0];
        if (record.tag == "FILE" || record.tag == "DIRB") {
            EXPECT_EQ(fields.size(), 9u) << line;
            if (fields.size() != 9) continue;
            record.path = fields[1];
            record.index = static_cast<uint32_t>(std::stoul(fields[2]));
            record.size = std::stoull(fields[3]);
            record.attributes = static_cast<uint32_t>(std::stoul(fields[4], nullptr, 16));
            record.flag = static_cast<uint32_t>(std::stoul(fields[5]));
            record.written = std::stoull(fields[8]);
        } else if (fields.size() > 1) {
            record.path = fields[1];
        }
        out.push_back(record);
    }
    return out;
}

// The last-write times of host files as FILETIME counts, read by python3.
std::vector<uint64_t> host_write_times(const std::vector<std::string>& host_paths) {
    std::string input;
    for (const std::string& path : host_paths) input += path + "\n";
    std::string output = python_with_input(
        "import os, sys\n"
        "for p in sys.stdin.buffer.read().split(b'\\n')[:-1]:\n"
        "    print(os.stat(p, follow_symlinks=False).st_mtime_ns // 100 + 116444736000000000)\n",
        input);
    std::vector<uint64_t> out;
    for (const std::string& line : lines_of(output)) out.push_back(std::stoull(line));
    EXPECT_EQ(out.size(), host_paths.size());
    return out;
}

// The catalogue and description files of the runs in an offline folder, by
// instance id.
std::set<std::string> catalogued_instances(const std::string& folder) {
    std::set<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::string name = entry.path().filename().string();
        if (name.size() == 40 && name.substr(36) == ".cat") out.insert(name.substr(0, 36));
    }
    return out;
}

std::string only_new(const std::set<std::string>& now, const std::set<std::string>& before) {
    std::vector<std::string> added;
    for (const std::string& instance : now)
        if (!before.count(instance)) added.push_back(instance);
    EXPECT_EQ(added.size(), 1u);
    return added.empty() ? std::string() : added.front();
}

// A source tree as a run must store it, taken when the run starts: the files
// with their bytes, the folders (and links, which come as folders) with their
// attributes, and the last-write time of each as the host has it.
struct Snapshot {
    struct File {
        std::string bytes;
        uint32_t attributes = kArchive;
    };
    std::map<std::string, File> files;
    std::map<std::string, uint32_t> folders;
    std::map<std::string, uint64_t> written;
};

Snapshot snapshot_of(const std::vector<SampleItem>& items, const SampleItem* link = nullptr) {
    Snapshot out;
    std::vector<std::string> paths, hosts;
    for (const SampleItem& item : items) {
        std::string path = utf8(item.windows_path);
        if (item.folder)
            out.folders[path] = kDirectory;
        else
            out.files[path] = {read_host_file(item.host_path), kArchive};
        paths.push_back(path);
        hosts.push_back(item.host_path);
    }
    if (link) {
        std::string path = utf8(link->windows_path);
        out.folders[path] = kDirectory | kReparsePoint;
        paths.push_back(path);
        hosts.push_back(link->host_path);
    }
    std::vector<uint64_t> times = host_write_times(hosts);
    for (size_t i = 0; i < paths.size() && i < times.size(); ++i) out.written[paths[i]] = times[i];
    return out;
}

Snapshot snapshot_of(const SampleTree& tree) { return snapshot_of(tree.items, &tree.link); }

// Checks one run of an offline folder: its description names the job, its
// catalogue is one set (a completed run: no end record) with every item of
// the snapshot once and nothing else, each with its size, attributes,
// last-write time and compression flag, and every file's data file,
// decrypted and inflated independently, gives the snapshot's bytes. The
// run's data folder holds exactly the data files of its files.
void check_offline_run(const std::string& folder, const std::string& instance, const char* job,
                       const Snapshot& expected, bool compressed) {
    SCOPED_TRACE("run " + instance + " of " + job);
    EXPECT_EQ(python("import json\nd = json.load(open('" + folder + "/" + instance +
                     ".bak.def', encoding='utf-8'))\nprint(sorted(d.items()))"),
              std::string("[('Id', '") + job + "'), ('Type', 'Backup'), ('User', 'alice')]");

    std::vector<Record> records = read_catalogue(folder + "/" + instance + ".cat");
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front().tag, "SSET");
    std::map<std::string, Record> items;
    for (size_t i = 1; i < records.size(); ++i) {
        const Record& record = records[i];
        EXPECT_TRUE(record.tag == "FILE" || record.tag == "DIRB") << record.tag;
        if (record.tag == "FILE" || record.tag == "DIRB") {
            EXPECT_TRUE(items.emplace(record.path, record).second) << "twice: " << record.path;
        }
    }
    std::set<std::string> wanted, found;
    for (const auto& entry : expected.files) wanted.insert(entry.first);
    for (const auto& entry : expected.folders) wanted.insert(entry.first);
    for (const auto& entry : items) found.insert(entry.first);
    EXPECT_EQ(found, wanted);

    for (const auto& [path, attributes] : expected.folders) {
        auto it = items.find(path);
        if (it == items.end()) continue;
        EXPECT_EQ(it->second.tag, "DIRB") << path;
        EXPECT_EQ(it->second.attributes, attributes) << path;
        EXPECT_EQ(it->second.size, 0u) << path;
        EXPECT_EQ(it->second.flag, 0u) << path;
    }
    std::set<std::string> data_names;
    for (const auto& [path, file] : expected.files) {
        auto it = items.find(path);
        if (it == items.end()) continue;
        const Record& record = it->second;
        EXPECT_EQ(record.tag, "FILE") << path;
        EXPECT_EQ(record.size, file.bytes.size()) << path;
        EXPECT_EQ(record.attributes, file.attributes) << path;
        EXPECT_EQ(record.flag, compressed ? 1u : 0u) << path;
        EXPECT_TRUE(data_names.insert(std::to_string(record.index)).second)
            << "a second file with index " << record.index << ": " << path;
        std::string data = folder + "/" + instance + "/" + std::to_string(record.index);
        std::string plain = tovel::testing::decode_stored(data, compressed);
        EXPECT_EQ(plain.size(), file.bytes.size()) << path;
        EXPECT_TRUE(plain == file.bytes) << path << " is stored as: " << plain.substr(0, 48);
        if (!compressed) {  // the plaintext padded to whole cipher blocks
            EXPECT_EQ(std::filesystem::file_size(data), (file.bytes.size() / 16 + 1) * 16) << path;
        }
    }
    for (const auto& [path, record] : items) {
        auto time = expected.written.find(path);
        EXPECT_NE(time, expected.written.end()) << path;
        if (time != expected.written.end()) {
            EXPECT_EQ(record.written, time->second) << path;
        }
    }

    std::set<std::string> present;
    for (const auto& entry : std::filesystem::directory_iterator(folder + "/" + instance))
        present.insert(entry.path().filename().string());
    EXPECT_EQ(present, data_names);
}

// A test machine with the simulator (which answers the increment check, and
// is the remote service of the online runs), the job manager and the
// dispatcher.
class BackupEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        service_ = std::make_unique<RemoteService>(std::vector<std::string>{
            "--account", "alice:secret", "--cookie", std::string("alice:") + kCookie});
        ASSERT_NE(service_->port(), 0);
        ASSERT_TRUE(OptionsImpl::instance()->setServerInfo("sim", "127.0.0.1", service_->port()));
        using Cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>;
        ASSERT_TRUE(Cookies::instance()->saveCookie("alice", kCookie));
        manager_ = JobManagerImpl::instance();
        ASSERT_TRUE(manager_->open());
        ASSERT_TRUE(Iocp_Dispatcher::instance()->activate());
    }

    void TearDown() override {
        if (manager_) manager_->close();
        Iocp_Dispatcher::instance()->stop();
        service_.reset();
    }

    // Submits a backup job of one source that runs once, now; offline ""
    // for the remote service.
    void submit(const char* id, const std::string& source, const std::string& offline,
                bool compression) {
        auto* definition = new BackupJobDefinition;
        json_spirit::Object object;
        object["type"] = "backup";
        object["id"] = id;
        object["user"] = "alice";
        object["name"] = std::string("End to end ") + id;
        object["source"] = json_spirit::Array{json_spirit::Value(source)};
        if (!offline.empty()) object["offline"] = offline;
        object["compression"] = compression;
        json_spirit::Object schedule;
        schedule["type"] = "once";
        object["schedule"] = schedule;
        ASSERT_TRUE(definition->fromJSON(json_spirit::Value(object)));
        ASSERT_TRUE(manager_->submitJob(definition));
    }

    // Waits until the job's run has ended: it has a last run state and no
    // worker (a run started by startJob has its worker on return). Gives the
    // state the job is left in.
    int wait_for_end(const char* id) {
        int state = 0;
        bool ended = false;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!ended && std::chrono::steady_clock::now() < deadline) {
            manager_->job(id, [&](const Job& job) {
                ended = job.lastRunState() != 0 && !job.running();
                state = job.state();
            });
            if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(ended) << id;
        return state;
    }

    // An offline run of the sample tree, checked through its catalogue and
    // data files.
    void offline_run_of_the_sample_tree(bool compression) {
        SampleTree tree = tovel::testing::make_sample_tree(L"C:\\data");
        Snapshot expected = snapshot_of(tree);
        std::string folder = host_of(L"C:\\backups");
        submit(kJobA, "C:\\data", "C:\\backups", compression);
        EXPECT_EQ(wait_for_end(kJobA), JS_COMPLETED);
        std::set<std::string> instances = catalogued_instances(folder);
        ASSERT_EQ(instances.size(), 1u);
        std::string instance = *instances.begin();
        check_offline_run(folder, instance, kJobA, expected, compression);
        // Nothing of what the link points at was walked or stored.
        std::string below_link = utf8(tree.link.windows_path) + "\\";
        for (const Record& record : read_catalogue(folder + "/" + instance + ".cat"))
            EXPECT_NE(record.path.rfind(below_link, 0), 0u) << record.path;
        // No item failed: the run wrote no error list.
        EXPECT_EQ(python("import glob\nprint(glob.glob('" + folder + "/*err*'))"), "[]");
        // The service saw the increment check and nothing of the run itself.
        EXPECT_EQ(python_with_input("import json, sys\nprint(sorted({r['kind'] for r in "
                                    "json.load(sys.stdin)['requests']}))",
                                    service_->control("GET", "requests")),
                  "['increment_check']\n");
    }

    std::unique_ptr<RemoteService> service_;
    JobManagerImpl* manager_ = nullptr;
};

using BackupEndToEndOffline = BackupEndToEndTest;
using BackupEndToEndOnline = BackupEndToEndTest;

std::string noise(size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::string out(n, '\0');
    for (char& c : out) c = static_cast<char>(random());
    return out;
}

// Gives a changed file a last-write time well after the one it had, so that
// the change shows whatever the clock's grain.
void rewrite(const SampleItem& item, const std::string& bytes) {
    auto before = std::filesystem::last_write_time(item.host_path);
    write_host_file(item.host_path, bytes);
    std::filesystem::last_write_time(item.host_path, before + std::chrono::hours(1));
}

}  // namespace

TEST_F(BackupEndToEndOffline, CompressedRunStoresTheWholeTree) {
    offline_run_of_the_sample_tree(true);
}

TEST_F(BackupEndToEndOffline, UncompressedRunStoresTheWholeTree) {
    offline_run_of_the_sample_tree(false);
}

// Many files larger than the in-memory size, text and noise, with small ones
// between them: the storage transforms several at once (the larger ones on
// its lanes, their deflates in pieces on its pool) while the worker stores
// them in order. Every data file decodes with openssl and python's zlib to
// the file's bytes, as one zlib stream that holds the pieces' edges, and the
// catalogue lists the items in the order that a run on pools of one thread
// lists them.
TEST_F(BackupEndToEndOffline, ManyLargeFilesInFlightAreStoredInTheOrderOfOneThread) {
    std::filesystem::create_directories(host_of(L"C:\data"));
    std::map<std::string, std::string> files;
    std::mt19937 sizes(7);
    for (int i = 0; i < 14; ++i) {
        size_t size = (1u << 20) + 1 + sizes() % (3u << 20);
        std::string bytes;
        if (i % 3 == 1) {
            bytes = noise(size, static_cast<unsigned>(i));
        } else {
            std::mt19937 words(static_cast<unsigned>(i));
            while (bytes.size() < size)
                bytes += "line " + std::to_string(words() % 5000) + " of file " +
                         std::to_string(i) + "\n";
            bytes.resize(size);
            if (i % 3 == 2) bytes.replace(size / 3, size / 3, noise(size / 3, 100u + i));
        }
        char name[32];
        std::snprintf(name, sizeof name, "f%02d-large", i);
        files[std::string("C:\\data\\") + name] = bytes;
        std::snprintf(name, sizeof name, "f%02d-small", i);
        files[std::string("C:\\data\\") + name] = "small file " + std::to_string(i);
    }
    for (const auto& [path, bytes] : files)
        write_host_file(host_of(from_utf8(path.c_str())), bytes);

    // The items of a run's catalogue in order (tag, path, index).
    auto run = [&](const char* job, const char* offline, std::string& instance) {
        submit(job, "C:\\data", offline, true);
        EXPECT_EQ(wait_for_end(job), JS_COMPLETED);
        std::string folder = host_of(from_utf8(offline));
        std::set<std::string> instances = catalogued_instances(folder);
        EXPECT_EQ(instances.size(), 1u);
        instance = instances.empty() ? "" : *instances.begin();
        std::vector<std::string> order;
        for (const Record& record : read_catalogue(folder + "/" + instance + ".cat"))
            order.push_back(record.tag + " " + record.path + " " + std::to_string(record.index));
        return order;
    };
    std::string instance, alone;
    std::vector<std::string> order = run(kJobA, "C:\\backups", instance);
    AheadPool::limitThreads(1);
    std::vector<std::string> one_thread = run(kJobB, "C:\\one", alone);
    AheadPool::limitThreads(0);
    EXPECT_EQ(order, one_thread);
    ASSERT_EQ(order.size(), 2 + files.size());

    std::string folder = host_of(L"C:\\backups");
    for (const Record& record : read_catalogue(folder + "/" + instance + ".cat")) {
        if (record.tag != "FILE") continue;
        SCOPED_TRACE(record.path);
        const std::string& bytes = files[record.path];
        EXPECT_EQ(record.size, bytes.size());
        EXPECT_EQ(record.flag, 1u);
        std::string data = folder + "/" + instance + "/" + std::to_string(record.index);
        std::string plain = tovel::testing::decode_stored(data, true);
        EXPECT_TRUE(plain == bytes) << "stored as: " << plain.substr(0, 48);
        if (bytes.size() <= (1u << 20)) continue;
        // Made in pieces: each piece but the last ends with an empty stored
        // block; text keeps its ratio.
        std::string raw = read_host_file(machine_root() + "/decoded.raw");
        size_t edges = 0;
        for (size_t at = raw.find(std::string("\0\0\xff\xff", 4)); at != std::string::npos;
             at = raw.find(std::string("\0\0\xff\xff", 4), at + 1))
            ++edges;
        EXPECT_GE(edges, bytes.size() / PieceDeflate::kPieceBytes);
        if (record.path.find("f00") != std::string::npos) {
            EXPECT_LT(raw.size(), bytes.size() / 2);
        }
    }
}

// Job A, then job B, then job A again after changes, into one folder: every
// run keeps its own description, catalogue and data, so that each run's data
// read by its own catalogue gives that run's contents. The simulator's
// increment check knows only what online runs ended, so every run of an
// offline job stores its whole source.
TEST_F(BackupEndToEndOffline, RunsOfTwoJobsInOneFolderKeepTheirOwnData) {
    SampleTree a = tovel::testing::make_sample_tree(L"C:\\a data");
    std::vector<SampleItem> b;
    for (const wchar_t* name : {L"C:\\b", L"C:\\b\\sub"}) {
        SampleItem folder{name, host_of(name), true, 0};
        std::filesystem::create_directories(folder.host_path);
        b.push_back(folder);
    }
    const std::pair<const wchar_t*, std::string> b_files[] = {
        {L"C:\\b\\one.txt", "the first file of job B\n"},
        {L"C:\\b\\sub\\two.bin", noise(70000, 2)},
        {L"C:\\b\\sub\\three.txt", std::string(100, 'b')}};
    for (const auto& [name, bytes] : b_files) {
        SampleItem file{name, host_of(name), false, bytes.size()};
        write_host_file(file.host_path, bytes);
        b.push_back(file);
    }
    std::string folder = host_of(L"C:\\backups");

    Snapshot a1 = snapshot_of(a);
    submit(kJobA, "C:\\a data", "C:\\backups", true);
    ASSERT_EQ(wait_for_end(kJobA), JS_COMPLETED);
    std::string a1_instance = only_new(catalogued_instances(folder), {});

    Snapshot b1 = snapshot_of(b);
    submit(kJobB, "C:\\b", "C:\\backups", false);
    ASSERT_EQ(wait_for_end(kJobB), JS_COMPLETED);
    std::string b1_instance = only_new(catalogued_instances(folder), {a1_instance});

    // Same size, other bytes; longer; gone; new (which moves the indexes of
    // the files after it).
    const SampleItem* noise_file = find_item(a, L"C:\\a data\\nested\\deeper\\noise.bin");
    const SampleItem* leaf = find_item(a, L"C:\\a data\\nested\\deeper\\deepest\\leaf.txt");
    const SampleItem* zero = find_item(a, L"C:\\a data\\zero.bin");
    ASSERT_TRUE(noise_file && leaf && zero);
    rewrite(*noise_file, noise(noise_file->size, 99));
    rewrite(*leaf, read_host_file(leaf->host_path) + "and one line more\n");
    std::filesystem::remove(zero->host_path);
    std::vector<SampleItem> a_now;
    for (const SampleItem& item : a.items)
        if (item.windows_path != zero->windows_path) a_now.push_back(item);
    const std::string added_bytes = "added before the second run\n";
    SampleItem added{L"C:\\a data\\added.txt", host_of(L"C:\\a data\\added.txt"), false,
                     added_bytes.size()};
    write_host_file(added.host_path, added_bytes);
    a_now.push_back(added);

    Snapshot a2 = snapshot_of(a_now, &a.link);
    ASSERT_TRUE(manager_->startJob(kJobA));
    ASSERT_EQ(wait_for_end(kJobA), JS_COMPLETED);
    std::string a2_instance = only_new(catalogued_instances(folder), {a1_instance, b1_instance});
    ASSERT_NE(a1.files.at(utf8(noise_file->windows_path)).bytes,
              a2.files.at(utf8(noise_file->windows_path)).bytes);

    check_offline_run(folder, a1_instance, kJobA, a1, true);
    check_offline_run(folder, b1_instance, kJobB, b1, false);
    check_offline_run(folder, a2_instance, kJobA, a2, true);
    EXPECT_EQ(python("import glob\nprint(glob.glob('" + folder + "/*err*'))"), "[]");
}

// While it lives, the calling thread (and every thread it starts) is held
// to the permissions of files and folders even when it runs as root, whom
// they do not stop otherwise: the capabilities that override them are taken
// out of its effective set, and put back at the end.
class PermissionsApply {
public:
    PermissionsApply() {
        header_.version = _LINUX_CAPABILITY_VERSION_3;
        header_.pid = 0;
        if (syscall(SYS_capget, &header_, saved_) != 0) return;
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        changed_ = syscall(SYS_capset, &header_, reduced) == 0;
    }
    ~PermissionsApply() {
        if (changed_) syscall(SYS_capset, &header_, saved_);
    }
    PermissionsApply(const PermissionsApply&) = delete;
    PermissionsApply& operator=(const PermissionsApply&) = delete;

private:
    __user_cap_header_struct header_{};
    __user_cap_data_struct saved_[2]{};
    bool changed_ = false;
};

// Runs its clean-up when the scope ends, however it ends.
class AtEnd {
public:
    explicit AtEnd(std::function<void()> action) : action_(std::move(action)) {}
    ~AtEnd() { action_(); }
    AtEnd(const AtEnd&) = delete;
    AtEnd& operator=(const AtEnd&) = delete;

private:
    std::function<void()> action_;
};

// Makes a chain of folders below parent (a host path), each named name, by
// paths relative to the one before, until the chain's host path reaches the
// host's limit; the last folder also holds a file. Gives the host paths of
// the folders below that limit; *beyond is the first one past it.
std::vector<std::string> folders_past_the_host_limit(const std::string& parent,
                                                     const std::string& name, std::string* beyond) {
    std::vector<std::string> out;
    std::string path = parent;
    int fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << parent;
    while (fd >= 0) {
        path += "/" + name;
        EXPECT_EQ(::mkdirat(fd, name.c_str(), 0755), 0) << path;
        int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        fd = next;
        if (path.size() >= PATH_MAX) {
            *beyond = path;
            int file = ::openat(fd, "unseen.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            EXPECT_GE(file, 0);
            ::close(file);
            ::close(fd);
            break;
        }
        out.push_back(path);
    }
    return out;
}

// A tree that holds, beside the sample tree, everything that cannot be
// backed up: a FIFO (which once held the run in "running" for good, its open
// waiting for a writer), a name that is no UTF-8, paths too long for a source
// record and for the host, and a folder that cannot be listed; one more
// source lies on a drive that does not exist. The run completes, stores
// everything else byte-exact and lists each of those, with its code, in the
// offline folder's error list, read by python3's json.
TEST_F(BackupEndToEndOffline, WhatCannotBeStoredIsListedAsErrorsOfACompletedRun) {
    SampleTree tree = tovel::testing::make_sample_tree(L"C:\\data");
    std::vector<SampleItem> items = tree.items;
    auto add = [&items](const std::wstring& path, bool folder) {
        items.push_back(SampleItem{path, host_of(path), folder, 0});
    };
    using Error = std::pair<std::string, unsigned>;
    std::set<Error> errors = {{"Q:\\missing", 3}};

    ASSERT_EQ(::mkfifo(host_of(L"C:\\data\\pipe").c_str(), 0644), 0);
    errors.insert({"C:\\data\\pipe", 50});
    write_host_file(host_of(L"C:\\data") + "/bad\xff\xfe.txt", "a name that is no UTF-8\n");
    // The name's undecodable bytes stay in the entry, each as U+FFFD and its unit.
    errors.insert({"C:\\data\\bad\uFFFD{dcff}\uFFFD{dcfe}.txt", 1113});

    // Record paths: nine levels of 241 units below "C:\data\long" (12
    // units); the eighth ends at 1940, the ninth at 2181, past 2020.
    std::wstring level = L"C:\\data\\long";
    add(level, true);
    for (int i = 0; i < 9; ++i) {
        level += L"\\" + std::wstring(240, static_cast<wchar_t>(L'a' + i));
        std::filesystem::create_directories(host_of(level));
        if (i < 8) {
            add(level, true);
        } else {
            errors.insert({utf8(level), 206});
            errors.insert({utf8(level) + "\\f.txt", 206});
        }
        write_host_file(host_of(level + L"\\f.txt"), "at depth " + std::to_string(i) + "\n");
        if (i < 8) items.push_back(SampleItem{level + L"\\f.txt", host_of(level + L"\\f.txt")});
    }

    // Host paths: folders of 80 three-byte letters (81 units, 241 bytes).
    const std::wstring wide_name(80, L'\u6f22');
    add(L"C:\\data\\deep", true);
    std::filesystem::create_directories(host_of(L"C:\\data\\deep"));
    // The machine's own clean-up would stop at the host's limit; a
    // removal by relative paths does not.
    AtEnd remove_deep([] { run_command("rm -rf " + shell_quote(host_of(L"C:\\data\\deep"))); });
    std::string beyond;
    std::wstring deep = L"C:\\data\\deep";
    size_t reachable =
        folders_past_the_host_limit(host_of(L"C:\\data\\deep"), utf8(wide_name), &beyond).size();
    for (size_t i = 0; i < reachable; ++i) {
        deep += L"\\" + wide_name;
        add(deep, true);
    }
    ASSERT_FALSE(beyond.empty());
    errors.insert({utf8(deep + L"\\" + wide_name), 206});

    add(L"C:\\data\\locked", true);
    std::filesystem::create_directories(host_of(L"C:\\data\\locked"));
    write_host_file(host_of(L"C:\\data\\locked") + "/inside.txt", "behind a lock\n");
    errors.insert({"C:\\data\\locked", 5});

    Snapshot expected = snapshot_of(items, &tree.link);
    std::string locked = host_of(L"C:\\data\\locked");
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
    AtEnd unlock([&locked] { ::chmod(locked.c_str(), 0755); });
    {
        PermissionsApply permissions;
        DIR* probe = ::opendir(locked.c_str());
        if (probe) {
            ::closedir(probe);
            GTEST_SKIP() << "a folder without permissions can be listed here: this process "
                            "runs as root and cannot give up the capabilities that override "
                            "permissions";
        }
        auto* definition = new BackupJobDefinition;
        ASSERT_TRUE(definition->fromJSON(json_spirit::Value(
            json_spirit::Object{{"type", "backup"},
                                {"id", kJobA},
                                {"user", "alice"},
                                {"name", "Hostile tree"},
                                {"source", json_spirit::Array{"C:/data", "Q:/missing"}},
                                {"offline", "C:/backups"},
                                {"compression", true},
                                {"schedule", json_spirit::Object{{"type", "once"}}}})));
        ASSERT_TRUE(manager_->submitJob(definition));
        EXPECT_EQ(wait_for_end(kJobA), JS_COMPLETED);
    }

    std::string folder = host_of(L"C:\\backups");
    std::set<std::string> instances = catalogued_instances(folder);
    ASSERT_EQ(instances.size(), 1u);
    check_offline_run(folder, *instances.begin(), kJobA, expected, true);
    std::string listed = python(
        "import json\n"
        "for e in json.load(open('" +
        folder + "/" + *instances.begin() +
        ".err', encoding='utf-8')):\n"
        "    print('%d\\t%s' % (e['code'], e['path'].encode('utf-8').hex()))");
    std::set<Error> found;
    for (const std::string& line : lines_of(listed)) {
        std::vector<std::string> fields = split(line, '\t');
        ASSERT_EQ(fields.size(), 2u) << line;
        found.insert(
            {tovel::testing::from_hex(fields[1]), static_cast<unsigned>(std::stoul(fields[0]))});
    }
    EXPECT_EQ(found, errors);
}

// ---- online

// A run to the simulator: the instance is completed with every item of the
// tree described once (the link as a folder) and every file complete; each
// file fetched by its path from the inspection endpoint, decrypted and
// inflated independently, gives the file's bytes.
TEST_F(BackupEndToEndOnline, RunStoresTheWholeTreeOnTheService) {
    SampleTree tree = tovel::testing::make_sample_tree(L"C:\\data");
    Snapshot expected = snapshot_of(tree);
    submit(kJobA, "C:\\data", "", true);
    ASSERT_EQ(wait_for_end(kJobA), JS_COMPLETED);

    // The simulator's view: the job's run, its items, and the bytes of each
    // file fetched by its path. The first input line gives the port, the job
    // and the folder for the fetched files, then one "n<TAB>path" per file.
    static const char kInspect[] = R"(
import json, sys, urllib.parse, urllib.request
lines = sys.stdin.buffer.read().decode('utf-8').split('\n')[:-1]
port, job, folder = lines[0].split('\t')
base = 'http://127.0.0.1:%s/_sim/' % port
def get(path):
    return urllib.request.urlopen(base + path, timeout=30).read()
def out(*fields):
    sys.stdout.buffer.write('\t'.join(map(str, fields)).encode('utf-8') + b'\n')
runs = [i for i in json.loads(get('instances'))['instances'] if i['job'] == job]
assert len(runs) == 1, runs
iid = urllib.parse.quote(runs[0]['id'])
run = json.loads(get('instance?id=' + iid))
s = run['start']
out(run['kind'], run['state'], run['errors'], s['totaldirectories'], s['totalfiles'],
    s['totalsize'])
for f in run['files']:
    a = f['attri']
    size = (a['nFileSizeHigh'] & 0xffffffff) << 32 | (a['nFileSizeLow'] & 0xffffffff)
    out(f['type'], f['complete'], '%x' % a['dwFileAttributes'], size, f['name'])
for line in lines[1:]:
    n, name = line.split('\t')
    data = get('file?instance=' + iid + '&name=' + urllib.parse.quote(name, safe=''))
    open(folder + '/' + n, 'wb').write(data)
)";
    std::string fetched = machine_root() + "/fetched";
    std::filesystem::create_directories(fetched);
    std::vector<std::string> names;
    std::string input = std::to_string(service_->port()) + "\t" + kJobA + "\t" + fetched + "\n";
    for (const auto& entry : expected.files) {
        input += std::to_string(names.size()) + "\t" + entry.first + "\n";
        names.push_back(entry.first);
    }
    std::string output = python_with_input(kInspect, input);
    std::vector<std::string> lines = lines_of(output);
    ASSERT_FALSE(lines.empty());
    uint64_t total = 0;
    for (const auto& entry : expected.files) total += entry.second.bytes.size();
    EXPECT_EQ(lines[0], "backup\tcompleted\tNone\t" + std::to_string(expected.folders.size()) +
                            "\t" + std::to_string(expected.files.size()) + "\t" +
                            std::to_string(total));

    std::map<std::string, std::vector<std::string>> described;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string> fields = split(lines[i], '\t');
        ASSERT_EQ(fields.size(), 5u) << lines[i];
        EXPECT_TRUE(described.emplace(fields[4], fields).second) << "twice: " << fields[4];
    }
    std::set<std::string> wanted, found;
    for (const auto& entry : expected.files) wanted.insert(entry.first);
    for (const auto& entry : expected.folders) wanted.insert(entry.first);
    for (const auto& entry : described) found.insert(entry.first);
    EXPECT_EQ(found, wanted);
    auto hex = [](uint32_t value) {
        std::ostringstream text;
        text << std::hex << value;
        return text.str();
    };
    for (const auto& [path, attributes] : expected.folders) {
        auto it = described.find(path);
        if (it == described.end()) continue;
        EXPECT_EQ(it->second[0], "folder") << path;
        EXPECT_EQ(it->second[1], "True") << path;
        EXPECT_EQ(it->second[2], hex(attributes)) << path;
        EXPECT_EQ(it->second[3], "0") << path;
    }
    for (size_t n = 0; n < names.size(); ++n) {
        const std::string& path = names[n];
        const Snapshot::File& file = expected.files.at(path);
        auto it = described.find(path);
        if (it != described.end()) {
            EXPECT_EQ(it->second[0], "file") << path;
            EXPECT_EQ(it->second[1], "True") << path;
            EXPECT_EQ(it->second[2], hex(file.attributes)) << path;
            EXPECT_EQ(it->second[3], std::to_string(file.bytes.size())) << path;
        }
        std::string plain = tovel::testing::decode_stored(fetched + "/" + std::to_string(n), true);
        EXPECT_EQ(plain.size(), file.bytes.size()) << path;
        EXPECT_TRUE(plain == file.bytes) << path << " is stored as: " << plain.substr(0, 48);
    }
}
