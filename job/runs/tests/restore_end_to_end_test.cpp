// Restore runs from the job manager to the files they leave, offline and
// from the remote-service simulator: the sample tree backed up, deleted and
// restored, compared by diff -r with a second tree of the same generator and
// by python3's reading of the last-write times; the existing-file policies;
// damaged stored data.
#include "job/runs/restore_job.h"
//
#include <ace/Log_Msg.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>

#include "job/tests/restore_checks.h"

using namespace restore_tests;

namespace {

constexpr unsigned kMalformedReply = 0x20010258;
constexpr unsigned kInvalidData = 13;

std::string data_of(const std::wstring& relative) {
    return read_host_file(host_of(std::wstring(kData) + L"\\" + relative));
}
std::string pristine_of(const std::wstring& relative) {
    return read_host_file(host_of(std::wstring(kPristine) + L"\\" + relative));
}
bool exists(const std::wstring& relative) {
    return std::filesystem::exists(host_of(std::wstring(kData) + L"\\" + relative));
}

// What every thread of the process logs for one scope: the log goes to the
// standard error (a process-wide setting of the log), whose descriptor is
// pointed at a file of the test machine.
class ProcessLog {
public:
    ProcessLog() : path_(machine_root() + "/process.log") {
        ACE_Log_Msg* log = ACE_Log_Msg::instance();
        flags_ = log->flags();
        log->set_flags(ACE_Log_Msg::STDERR);
        std::fflush(stderr);
        saved_ = dup(2);
        int file = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        EXPECT_GE(file, 0);
        dup2(file, 2);
        close(file);
    }
    ~ProcessLog() {
        ACE_Log_Msg* log = ACE_Log_Msg::instance();
        log->acquire();
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        log->release();
        log->clr_flags(~0ul);
        log->set_flags(flags_);
    }
    std::string text() {
        ACE_Log_Msg* log = ACE_Log_Msg::instance();
        log->acquire();
        std::fflush(stderr);
        std::string out = read_host_file(path_);
        log->release();
        return out;
    }

private:
    std::string path_;
    int saved_ = -1;
    unsigned long flags_ = 0;
};

class RestoreEndToEnd : public RestoreTest {
protected:
    // Every item back to its place after the tree was deleted, then below
    // D:\r: the same names and bytes as the pristine copy, and every file
    // and folder with the last-write time it had when it was backed up.
    void wholeTree(bool online) {
        Trees trees;
        std::map<std::string, uint64_t> times = write_times(host_of(kData));
        backUp(online);
        std::filesystem::remove_all(host_of(kData));

        Restore back = restoreOf(trees.items(), online);
        EXPECT_EQ(restore(back), JS_COMPLETED);
        EXPECT_EQ(differences(host_of(kData), host_of(kPristine)), "");
        EXPECT_EQ(time_differences(times, write_times(host_of(kData))), "");
        if (online) expectCleanRun();

        Restore elsewhere = back;
        elsewhere.location = L"D:\\r";
        EXPECT_EQ(restore(elsewhere), JS_COMPLETED);
        EXPECT_EQ(differences(host_of(L"D:\\r\\data"), host_of(kPristine)), "");
        EXPECT_EQ(time_differences(times, write_times(host_of(L"D:\\r\\data"))), "");
        std::set<std::string> below;
        for (const auto& entry : std::filesystem::directory_iterator(host_of(L"D:\\r")))
            below.insert(entry.path().filename().string());
        EXPECT_EQ(below, std::set<std::string>{"data"});
        if (online) expectCleanRun();
    }

    // The service's last restore run ended with its history and no errors.
    void expectCleanRun() {
        std::string run = lastInstance(kRestoreJob);
        ASSERT_FALSE(run.empty());
        json_spirit::Object record = instance(run);
        EXPECT_EQ(record.at("state").get_str(), "ended");
        EXPECT_EQ(errorPaths(run), std::vector<std::string>{});
    }

    // Skip, rename (twice) and overwrite against files that exist at their
    // place, of three files one of which is missing there.
    void policies(bool online) {
        Trees trees;
        backUp(online);
        const std::wstring changed[] = {L"sixteen bytes.txt", L"nested\\large.txt"};
        const std::wstring gone = L"nested\\deeper\\noise.bin";
        for (const std::wstring& name : changed)
            write_host_file(host_of(std::wstring(kData) + L"\\" + name),
                            "changed " + to_utf8(name));
        std::filesystem::remove(host_of(std::wstring(kData) + L"\\" + gone));
        std::vector<std::wstring> source;
        for (const std::wstring& name : {changed[0], changed[1], gone})
            source.push_back(std::wstring(kData) + L"\\" + name);
        std::sort(source.begin(), source.end());

        // Skip: only the missing file is written. A run of skipped files
        // only is not a failed run.
        Restore request = restoreOf(source, online);
        request.existing = "skip";
        EXPECT_EQ(restore(request), JS_COMPLETED);
        for (const std::wstring& name : changed) {
            EXPECT_EQ(data_of(name), "changed " + to_utf8(name));
            EXPECT_FALSE(exists(name + L".0"));
        }
        EXPECT_EQ(data_of(gone), pristine_of(gone));
        Restore skipped = restoreOf({source[0], source[1]}, online);
        skipped.existing = "skip";
        EXPECT_EQ(restore(skipped), JS_COMPLETED);

        // Rename: X stays, the restored file is X.0, then X.0.1.
        request.existing = "rename";
        EXPECT_EQ(restore(request), JS_COMPLETED);
        EXPECT_EQ(restore(request), JS_COMPLETED);
        for (const std::wstring& name : {changed[0], changed[1], gone}) {
            EXPECT_EQ(data_of(name + L".0"), pristine_of(name)) << to_utf8(name);
            EXPECT_EQ(data_of(name + L".0.1"), pristine_of(name)) << to_utf8(name);
            EXPECT_FALSE(exists(name + L".0.1.2")) << to_utf8(name);
        }
        for (const std::wstring& name : changed)
            EXPECT_EQ(data_of(name), "changed " + to_utf8(name));

        // Overwrite: the file itself; the renamed copies stay.
        request.existing = "overwrite";
        EXPECT_EQ(restore(request), JS_COMPLETED);
        for (const std::wstring& name : {changed[0], changed[1], gone}) {
            EXPECT_TRUE(exists(name + L".0") && exists(name + L".0.1"));
            std::filesystem::remove(host_of(std::wstring(kData) + L"\\" + name + L".0"));
            std::filesystem::remove(host_of(std::wstring(kData) + L"\\" + name + L".0.1"));
        }
        std::string link = host_of(std::wstring(kData) + L"\\outside link");
        std::filesystem::remove(link);
        std::filesystem::create_directory(link);
        EXPECT_EQ(differences(host_of(kData), host_of(kPristine)), "");
    }
};

using RestoreEndToEndOffline = RestoreEndToEnd;
using RestoreEndToEndOnline = RestoreEndToEnd;

// The data file of a catalogued path, as tools/testkit/catalogue.py reads
// the catalogue.
std::string data_file(const std::wstring& catalogue, const std::wstring& path) {
    const char* source = std::getenv("TOVEL_SOURCE_DIR");
    std::string output;
    std::string cat = host_of(catalogue);
    EXPECT_EQ(run_command("python3 " +
                              shell_quote(std::string(source ? source : ".") +
                                          "/tools/testkit/catalogue.py") +
                              " " + shell_quote(cat),
                          &output),
              0);
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string tag, name, index;
        std::getline(fields, tag, '\t');
        std::getline(fields, name, '\t');
        std::getline(fields, index, '\t');
        if (tag == "FILE" && name == to_utf8(path))
            return cat.substr(0, cat.size() - 4) + "/" + index;
    }
    ADD_FAILURE() << "not catalogued: " << to_utf8(path);
    return std::string();
}

}  // namespace

TEST_F(RestoreEndToEndOffline, TheWholeTreeComesBackToItsPlaceAndBelowAnotherFolder) {
    wholeTree(false);
}

TEST_F(RestoreEndToEndOffline, ExistingFilesAreSkippedRenamedOrOverwritten) { policies(false); }

// A data file whose bytes were changed and one cut short: each of the two
// files fails alone, its existing copy stays as it was, nothing of it is
// left beside it, and the log counts the failures; a run of those two only
// ends in error.
TEST_F(RestoreEndToEndOffline, ADamagedDataFileKeepsTheExistingFileAndFailsTheItem) {
    Trees trees;
    backUp(false);
    const std::wstring changed = L"nested\\deeper\\noise.bin", cut = L"sixteen bytes.txt";
    std::string changed_data = data_file(catalogue_, std::wstring(kData) + L"\\" + changed);
    std::string cut_data = data_file(catalogue_, std::wstring(kData) + L"\\" + cut);
    std::string bytes = read_host_file(changed_data);
    ASSERT_GT(bytes.size(), 4096u);
    for (size_t i = 2000; i < 2064; ++i) bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
    write_host_file(changed_data, bytes);
    write_host_file(cut_data, read_host_file(cut_data).substr(0, 20));
    std::filesystem::remove_all(host_of(kData));
    std::filesystem::create_directories(host_of(std::wstring(kData) + L"\\nested\\deeper"));
    write_host_file(host_of(std::wstring(kData) + L"\\" + changed), "existing noise");
    write_host_file(host_of(std::wstring(kData) + L"\\" + cut), "existing sixteen");

    ProcessLog log;
    std::vector<std::wstring> items = trees.items();
    EXPECT_EQ(restore(restoreOf(items, false)), JS_COMPLETED);
    EXPECT_EQ(data_of(changed), "existing noise");
    EXPECT_EQ(data_of(cut), "existing sixteen");
    std::string differing = differences(host_of(kData), host_of(kPristine));
    EXPECT_EQ(std::count(differing.begin(), differing.end(), '\n'), 2) << differing;
    EXPECT_NE(differing.find("noise.bin"), std::string::npos) << differing;
    EXPECT_NE(differing.find("sixteen bytes.txt"), std::string::npos) << differing;
    EXPECT_NE(log.text().find(": 2 of " + std::to_string(items.size()) + " items failed."),
              std::string::npos)
        << log.text();

    EXPECT_EQ(
        restore(restoreOf(
            {std::wstring(kData) + L"\\" + changed, std::wstring(kData) + L"\\" + cut}, false)),
        JS_ERROR);
    EXPECT_EQ(data_of(changed), "existing noise");
    EXPECT_EQ(data_of(cut), "existing sixteen");
}

TEST_F(RestoreEndToEndOnline, TheWholeTreeComesBackToItsPlaceAndBelowAnotherFolder) {
    wholeTree(true);
}

TEST_F(RestoreEndToEndOnline, ExistingFilesAreSkippedRenamedOrOverwritten) { policies(true); }

// A block that does not have the digest sent with it, and a block changed in
// the service's state (whose digest the service computes afresh, so that the
// damage shows only when the data are decrypted and inflated): each of the
// two files fails, keeps its existing copy and is in the error list of the
// restore run on the service; the third file comes back.
TEST_F(RestoreEndToEndOnline, ACorruptBlockKeepsTheExistingFileAndIsAnErrorOfTheRun) {
    Trees trees;
    backUp(true);
    const std::wstring leaf = L"nested\\deeper\\deepest\\leaf.txt";
    const std::wstring wrong = L"nested\\deeper\\noise.bin", changed = L"nested\\large.txt";

    // The stored block of the changed file, found by its description.
    std::string files = machine_root() + "/remote-service/instances/" + backupInstance_ + "/files";
    std::string block;
    for (const auto& entry : std::filesystem::directory_iterator(files)) {
        json_spirit::Value meta = parse(read_host_file(entry.path().string() + "/meta.json"));
        if (meta.get_obj().at("name").get_str() == to_utf8(std::wstring(kData) + L"\\" + changed))
            block = entry.path().string() + "/1.blk";
    }
    ASSERT_TRUE(std::filesystem::exists(block)) << block;
    std::string bytes = read_host_file(block);
    ASSERT_GT(bytes.size(), 1000u);
    for (size_t i = 500; i < 532; ++i) bytes[i] = static_cast<char>(bytes[i] ^ 0x33);
    write_host_file(block, bytes);

    std::filesystem::remove_all(host_of(kData));
    std::filesystem::create_directories(host_of(std::wstring(kData) + L"\\nested\\deeper"));
    write_host_file(host_of(std::wstring(kData) + L"\\" + wrong), "existing noise");
    write_host_file(host_of(std::wstring(kData) + L"\\" + changed), "existing large");

    // The downloads go leaf.txt (1 block), noise.bin (3), large.txt: the
    // third is noise.bin's second block.
    std::vector<std::wstring> source;
    for (const std::wstring& name : {leaf, wrong, changed})
        source.push_back(std::wstring(kData) + L"\\" + name);
    std::sort(source.begin(), source.end());
    fault(R"({"kind":"download_data","action":"body","skip":2,"times":1,)"
          R"("body":"0123456789abcdef0123456789abcdefnot the block"})");
    EXPECT_EQ(restore(restoreOf(source, true)), JS_COMPLETED);
    EXPECT_EQ(data_of(leaf), pristine_of(leaf));
    EXPECT_EQ(data_of(wrong), "existing noise");
    EXPECT_EQ(data_of(changed), "existing large");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(host_of(kData)))
        EXPECT_EQ(entry.path().string().find("~tovel"), std::string::npos) << entry.path();

    std::string run = lastInstance(kRestoreJob);
    json_spirit::Object record = instance(run);
    EXPECT_EQ(record.at("state").get_str(), "ended");
    std::map<std::string, unsigned> codes;
    ASSERT_EQ(record.at("errors").type(), json_spirit::array_type);
    for (const json_spirit::Value& entry : record.at("errors").get_array())
        codes[entry.get_obj().at("path").get_str()] =
            static_cast<unsigned>(entry.get_obj().at("code").get_uint64());
    EXPECT_EQ(codes, (std::map<std::string, unsigned>{
                         {to_utf8(std::wstring(kData) + L"\\" + wrong), kMalformedReply},
                         {to_utf8(std::wstring(kData) + L"\\" + changed), kInvalidData}}));
}
