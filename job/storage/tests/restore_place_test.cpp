// Restores below a chosen folder of backups whose paths lead out of it, into
// a folder where links to another folder were put: offline from a catalogue
// and from the remote-service simulator, through the job manager. Nothing
// may be written outside the chosen folder, every refused item must be in
// the run's error list (an offline run's stays in the job's history folder
// after the run), and the other items come back.
// The web storage brings ACE, whose headers must come before the platform layer's.
#include "job/storage/web_backup_storage.h"
//
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "job/runs/restore_job.h"
#include "job/storage/local_backup_storage.h"
#include "job/storage/restore_place.h"
#include "job/tests/restore_checks.h"

using namespace restore_tests;

namespace {

constexpr unsigned kNoPlace = 161;  // ERROR_BAD_PATHNAME
constexpr unsigned kLink = 681;     // ERROR_STOPPED_ON_SYMLINK

// A backed-up item: the name it was stored under, the file it was read from
// (empty for a folder).
struct Stored {
    std::wstring name;
    std::wstring read;
};

const std::vector<Stored> kStored = {
    {L"C:\\data\\a.txt", L"C:\\src\\a.txt"},
    {L"C:\\data\\t.txt", L"C:\\src\\t.txt"},
    {L"C:\\data\\sub\\..\\..\\..\\x.txt", L"C:\\src\\x.txt"},  // climbs out
    {L"C:\\data\\in", L""},                                    // C:\r\data\in: a link
    {L"C:\\data\\in\\f.txt", L"C:\\src\\f.txt"},               // through that link
    {L"C:\\data\\g.txt", L"C:\\src\\g.txt"},                   // C:\r\data\g.txt: a link
    {L"C:\\data\\deep\\er\\h.txt", L"C:\\src\\h.txt"},         // C:\r\data\deep: a link
};

// What the run must refuse, by the path of its restore list.
const std::map<std::string, unsigned> kRefused = {
    {"C:\\data\\sub\\..\\..\\..\\x.txt", kNoPlace},
    {"C:\\data\\in\\", kLink},
    {"C:\\data\\in\\f.txt", kLink},
    {"C:\\data\\g.txt", kLink},
    {"C:\\data\\deep\\er\\h.txt", kLink},
};

void link(const std::wstring& target, const std::wstring& at) {
    ASSERT_EQ(::symlink(host_of(target).c_str(), host_of(at).c_str()), 0) << host_of(at);
}

std::set<std::string> names_in(const std::wstring& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(host_of(folder)))
        names.insert(entry.path().filename().string());
    return names;
}

class RestorePlace : public RestoreTest {
protected:
    void SetUp() override {
        RestoreTest::SetUp();
        std::filesystem::create_directories(host_of(L"C:\\src"));
        std::filesystem::create_directories(host_of(L"C:\\data\\in"));
        for (const Stored& item : kStored)
            if (!item.read.empty())
                write_host_file(host_of(item.read), "restored " + to_utf8(item.read));
        // Where the items go (below C:\r\data: the base of the restore list
        // is C:), links to C:\outside, which holds a file.
        std::filesystem::create_directories(host_of(L"C:\\outside"));
        write_host_file(host_of(L"C:\\outside\\g.txt"), "precious");
        std::filesystem::create_directories(host_of(L"C:\\r\\data"));
        link(L"C:\\outside", L"C:\\r\\data\\in");
        link(L"C:\\outside\\g.txt", L"C:\\r\\data\\g.txt");
        link(L"C:\\outside", L"C:\\r\\data\\deep");
        // Where a temporary file goes first.
        link(L"C:\\outside\\t.tmp", L"C:\\r\\data\\t.txt.~tovel0");
    }

    // Stores every item under its name: offline into C:\backups, or to the
    // service (compressed both ways).
    template <class Storage>
    void store(Storage& storage) {
        uint32_t folders = 0, files = 0;
        for (const Stored& item : kStored) {
            std::wstring read = item.read.empty() ? L"C:\\data\\in" : item.read;
            WIN32_FILE_ATTRIBUTE_DATA data;
            ASSERT_TRUE(GetFileAttributesExW(read.c_str(), GetFileExInfoStandard, &data));
            uint32_t index = item.read.empty() ? ++folders : ++files;
            ASSERT_TRUE(storage.backupFile(item.name.c_str(), &data, index,
                                           item.read.empty() ? nullptr : item.read.c_str()))
                << to_utf8(item.name);
        }
        ASSERT_TRUE(storage.end());
    }
    void storeOffline() {
        BackupJobDefinition definition;
        ASSERT_TRUE(definition.fromJSON(
            parse(std::string(R"({"type":"backup","id":")") + kBackupJob +
                  R"(","user":"alice","name":"b","source":["C:\\data"],"offline":"C:\\backups",)"
                  R"("compression":true})")));
        JobActivity record{};
        for (int i = 0; i < 16; ++i) record.instanceId[i] = static_cast<uint8_t>(0x30 + i);
        LocalBackupStorage storage(&definition, nullptr);
        storage.init(&record, new BackupTransformation(true));
        ASSERT_TRUE(storage.start());
        store(storage);
        catalogue_ = L"C:\\backups\\33323130-3534-3736-3839-3a3b3c3d3e3f.cat";
    }
    void storeOnline() {
        service_->control("POST", "job",
                          std::string(R"({"id":")") + kBackupJob + R"(","compression":true})");
        BackupJobDefinition definition;
        ASSERT_TRUE(definition.fromJSON(
            parse(std::string(R"({"type":"backup","id":")") + kBackupJob +
                  R"(","user":"alice","name":"b","source":["C:\\data"],"compression":true})")));
        JobActivity record{};
        UUID instance;
        ASSERT_EQ(UuidCreate(&instance), RPC_S_OK);
        std::memcpy(record.instanceId, &instance, sizeof instance);
        WebBackupStorage storage(&definition, nullptr);
        ASSERT_TRUE(storage.init(&record, new BackupTransformation(true)));
        ASSERT_TRUE(storage.start());
        store(storage);
        backupInstance_ = storage.instanceId();
    }

    // Restores every item below C:\r and checks what the run left.
    void restoreBelowTheFolder(bool online) {
        std::vector<std::wstring> source;
        for (const Stored& item : kStored)
            source.push_back(item.name + (item.read.empty() ? L"\\" : L""));
        std::sort(source.begin(), source.end());
        Restore request = restoreOf(source, online);
        request.location = L"C:\\r";
        EXPECT_EQ(restore(request), JS_COMPLETED);

        EXPECT_EQ(read_host_file(host_of(L"C:\\r\\data\\a.txt")), "restored C:\\src\\a.txt");
        EXPECT_EQ(read_host_file(host_of(L"C:\\r\\data\\t.txt")), "restored C:\\src\\t.txt");
        // Nothing outside C:\r, no link replaced.
        EXPECT_EQ(names_in(L"C:\\outside"), std::set<std::string>{"g.txt"});
        EXPECT_EQ(read_host_file(host_of(L"C:\\outside\\g.txt")), "precious");
        EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\x.txt")));
        EXPECT_EQ(names_in(L"C:\\r"), std::set<std::string>{"data"});
        EXPECT_EQ(names_in(L"C:\\r\\data"), (std::set<std::string>{"a.txt", "deep", "g.txt", "in",
                                                                   "t.txt", "t.txt.~tovel0"}));
        for (const char* name : {"deep", "g.txt", "in", "t.txt.~tovel0"})
            EXPECT_TRUE(std::filesystem::is_symlink(host_of(L"C:\\r\\data\\" + from_utf8(name))))
                << name;
    }

    // The codes of an error list by path.
    static std::map<std::string, unsigned> codes(const json_spirit::Array& list) {
        std::map<std::string, unsigned> out;
        for (const json_spirit::Value& entry : list)
            out[entry.get_obj().at("path").get_str()] =
                static_cast<unsigned>(entry.get_obj().at("code").get_int64());
        return out;
    }
};

}  // namespace

TEST_F(RestorePlace, OfflineNothingLeadsOutOfTheChosenFolder) {
    storeOffline();
    restoreBelowTheFolder(false);
    // The run's error list stays in its history folder, the only thing there.
    std::wstring history =
        L"C:\\ProgramData\\morvask\\Tovel\\job\\" + from_utf8(kRestoreJob) + L"\\hist";
    std::set<std::string> runs = names_in(history);
    ASSERT_EQ(runs.size(), 1u);
    std::wstring run = history + L"\\" + from_utf8(*runs.begin());
    EXPECT_EQ(names_in(run), std::set<std::string>{"err"});
    EXPECT_EQ(codes(parse(read_host_file(host_of(run + L"\\err"))).get_array()), kRefused);
}

TEST_F(RestorePlace, OnlineNothingLeadsOutOfTheChosenFolder) {
    storeOnline();
    restoreBelowTheFolder(true);
    json_spirit::Object run = instance(lastInstance(kRestoreJob));
    EXPECT_EQ(run.at("state").get_str(), "ended");
    EXPECT_EQ(codes(run.at("errors").get_array()), kRefused);
}

// The checker of many places keeps the folders it found free of links until
// forget: a link put in a known folder's place is seen from then on, a link
// at the place itself at once, and a folder not there yet ends the look.
TEST_F(RestorePlace, KnownFoldersAreLookedAtAgainAfterForget) {
    std::filesystem::create_directories(host_of(L"C:\\r\\k\\l"));
    LinkCheck check;
    check.confine(L"C:\\r");
    DWORD found = 0;
    EXPECT_TRUE(check.freeOfLinks(L"C:\\r\\k\\l\\m.txt", &found));
    EXPECT_EQ(found, INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(check.freeOfLinks(L"C:\\r\\data\\deep\\er\\h.txt"));
    EXPECT_EQ(GetLastError(), kLink);
    EXPECT_TRUE(check.freeOfLinks(L"C:\\r\\data\\no\\such\\h.txt", &found));
    EXPECT_EQ(found, INVALID_FILE_ATTRIBUTES);

    std::filesystem::remove(host_of(L"C:\\r\\k\\l"));
    link(L"C:\\outside", L"C:\\r\\k\\l");
    EXPECT_TRUE(check.wayFreeOfLinks(L"C:\\r\\k\\l\\m.txt"));
    EXPECT_FALSE(check.freeOfLinks(L"C:\\r\\k\\l"));  // the place itself
    check.forget();
    EXPECT_FALSE(check.wayFreeOfLinks(L"C:\\r/k//l/m.txt"));
    EXPECT_EQ(GetLastError(), kLink);
    EXPECT_FALSE(check.freeOfLinks(L"C:\\r\\k\\l\\m.txt"));
    EXPECT_TRUE(check.freeOfLinks(L"C:\\r\\k\\m.txt", &found));
    EXPECT_FALSE(check.freeOfLinks(L"C:\\elsewhere\\m.txt"));
    EXPECT_EQ(GetLastError(), kNoPlace);
}
