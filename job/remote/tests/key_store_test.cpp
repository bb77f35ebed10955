// The key store against the remote-service simulator: keys made and
// registered once, states reconciled with the server's checksum, look-up and
// export failures that never replace a user's key, key files exported and
// imported without following links, and the keys file as the openssl tool
// reads it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "common/json.h"
#include "job/stores/cookie_manager.h"
#include "job/stores/key_manager.h"
#include "job/stores/options.h"
#include "job/tests/key_checks.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/log_capture.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"

using tovel::testing::host_of;
using tovel::testing::python;
using tovel::testing::read_host_file;
using tovel::testing::RemoteService;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;

namespace {

const char* kCookie = "sid=0123456789abcdef0123456789abcdef";
const wchar_t kStore[] = L"C:\\ProgramData\\morvask\\Tovel\\keys";
const wchar_t kKeyFile[] = L"C:\\Users\\alice\\key.txt";
// A key of 32 bytes that is not the user's.
const char kOtherKey[] = "QUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUFBQUE=";

class TestKeys : public KeyManagerImpl {
public:
    using KeyManagerImpl::keys;
    std::string member(const std::string& name) {
        auto found = keys.find("alice");
        if (found == keys.end()) return "<none>";
        return found->second.get_obj().at(name).get_str();
    }
};

json_spirit::Value parse(const std::string& text) {
    json_spirit::Value value;
    EXPECT_TRUE(json_spirit::read(text, value)) << text;
    return value;
}

std::string md5_of_text(const std::string& text) {
    return python("import hashlib; print(hashlib.md5(b'" + text + "').hexdigest())");
}

class KeyManagerStore : public tovel::testing::LoggedTest {
protected:
    KeyManagerStore()
        : service_({"--account", "alice:secret", "--cookie", std::string("alice:") + kCookie}) {}

    void SetUp() override {
        LoggedTest::SetUp();
        ASSERT_TRUE(OptionsImpl::instance()->setServerInfo(nullptr, "127.0.0.1", service_.port()));
        using Cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>;
        ASSERT_TRUE(Cookies::instance()->saveCookie("alice", kCookie));
        std::filesystem::create_directories(host_of(L"C:\\Users\\alice"));
        keys_ = std::make_unique<TestKeys>();
        logged();
    }

    // A new object, which loads the keys file again.
    void reload() { keys_ = std::make_unique<TestKeys>(); }
    // Forgets the agent's keys altogether, as on another machine.
    void forget() {
        std::filesystem::remove(key_checks::data_file("keys"));
        reload();
    }
    std::string server_key() {
        json_spirit::Object all = parse(service_.control("GET", "keys")).get_obj();
        auto found = all["keys"].get_obj().find("alice");
        return found == all["keys"].get_obj().end() ? "" : found->second.get_str();
    }
    void set_server_key(const std::string& md5) {
        service_.control("POST", "keys", "{\"user\": \"alice\", \"md5\": \"" + md5 + "\"}");
    }
    size_t sent(const std::string& kind) {
        return parse(service_.control("GET", "requests?kind=" + kind))
            .get_obj()["requests"]
            .get_array()
            .size();
    }
    void fault(const std::string& json) { service_.control("POST", "faults", json); }
    // The keys file's record of alice, read through the text-file operation.
    json_spirit::Object stored_record() {
        std::string text;
        EXPECT_TRUE(store_key_manager().decryptStringFromTextFile(kStore, text));
        return parse(text).get_obj()["alice"].get_obj();
    }
    // Makes alice's key and gives its text.
    std::string made_key() {
        EXPECT_EQ(keys_->keyState("alice"), 1);
        return keys_->member("key");
    }

    RemoteService service_;
    std::unique_ptr<TestKeys> keys_;
};

using KeyManagerState = KeyManagerStore;
using KeyManagerExport = KeyManagerStore;
using KeyManagerImport = KeyManagerStore;
using KeyManagerFindKey = KeyManagerStore;
using KeyManagerFile = KeyManagerStore;

TEST_F(KeyManagerState, FirstUseMakesAndRegistersOneKeyKeptInTheKeysFile) {
    EXPECT_EQ(keys_->keyState("alice"), 1);
    std::string key = keys_->member("key");
    EXPECT_EQ(python("import base64; print(len(base64.b64decode('" + key + "', validate=True)))"),
              "32");
    EXPECT_EQ(server_key(), md5_of_text(key));
    EXPECT_EQ(sent("export_key_md5"), 1u);
    SetLastError(1234);
    EXPECT_EQ(keys_->keyState("alice"), 1);
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(sent("export_key_md5"), 1u);

    // The file: formatted JSON of the three members, as the openssl tool reads it too.
    json_spirit::Object record = stored_record();
    EXPECT_EQ(record.size(), 3u);
    EXPECT_EQ(record["key"].get_str(), key);
    EXPECT_EQ(record["checksum"].get_str(), server_key());
    EXPECT_EQ(record["state"].get_str(), "export_required");
    std::string plain = key_checks::openssl_decrypt(key_checks::data_file("keys"));
    EXPECT_EQ(parse(plain).get_obj()["alice"], json_spirit::Value(record));
    EXPECT_LT(plain.find("\"checksum\""), plain.find("\"key\""));
    EXPECT_LT(plain.find("\"key\""), plain.find("\"state\""));
    reload();
    EXPECT_EQ(keys_->keyState("alice"), 1);
    EXPECT_EQ(sent("export_key_md5"), 1u);
}

TEST_F(KeyManagerState, ReconcilesWithTheServersChecksum) {
    set_server_key(std::string(32, 'a'));
    EXPECT_EQ(keys_->keyState("alice"), 2);  // the server knows a key the agent has not
    EXPECT_EQ(sent("export_key_md5"), 0u);
    EXPECT_FALSE(std::filesystem::exists(key_checks::data_file("keys")));

    set_server_key("");
    std::string first = made_key();
    set_server_key(std::string(32, 'b'));
    EXPECT_EQ(keys_->keyState("alice"), 2);  // another key registered meanwhile
    EXPECT_EQ(keys_->member("key"), first);
    // A checksum that vanished: the record is no key any more, and a new one takes its place.
    set_server_key("");
    EXPECT_EQ(keys_->keyState("alice"), 1);
    EXPECT_NE(keys_->member("key"), first);
    EXPECT_EQ(server_key(), md5_of_text(keys_->member("key")));
    EXPECT_EQ(sent("export_key_md5"), 2u);

    EXPECT_EQ(keys_->keyState(""), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(keys_->keyState(nullptr), 0);
}

TEST_F(KeyManagerState, FailedLookUpNeverReplacesTheKey) {
    std::string key = made_key();
    std::string sum = server_key();
    const char* faults[] = {
        R"({"kind": "get_key_md5", "action": "status", "status": 500})",
        R"({"kind": "get_key_md5", "action": "malformed_json"})",
        R"({"kind": "get_key_md5", "action": "body", "body": "{\"nomd5\": 1}"})",
        R"({"kind": "get_key_md5", "action": "drop"})",
    };
    for (const char* json : faults) {
        SCOPED_TRACE(json);
        fault(json);
        EXPECT_EQ(keys_->keyState("alice"), 0);
        service_.control("POST", "faults/clear", "{}");
    }
    EXPECT_NE(logged().find("Failed to get the md5 of the key from server, server reported error, "
                            "status-code = 500."),
              std::string::npos);
    // No server at all, and no session cookie.
    ASSERT_TRUE(OptionsImpl::instance()->setServerInfo(nullptr, "127.0.0.1", 1));
    EXPECT_EQ(keys_->keyState("alice"), 0);
    ASSERT_TRUE(OptionsImpl::instance()->setServerInfo(nullptr, "127.0.0.1", service_.port()));
    using Cookies = ATL::CComSingleton<CookieManagerImpl, ATL::CComAutoCriticalSection>;
    ASSERT_TRUE(Cookies::instance()->removeCookie(kCookie));
    EXPECT_EQ(keys_->keyState("alice"), 0);

    EXPECT_EQ(sent("export_key_md5"), 1u);
    EXPECT_EQ(server_key(), sum);
    EXPECT_EQ(keys_->member("key"), key);
    EXPECT_EQ(stored_record()["key"].get_str(), key);
}

TEST_F(KeyManagerState, KeyOfAStateItDoesNotKnowIsNotReplacedWhileTheServerHasOne) {
    std::string key = made_key();
    keys_->keys["alice"].get_obj()["state"] = "unheard-of";
    EXPECT_EQ(keys_->keyState("alice"), 0);
    EXPECT_EQ(sent("export_key_md5"), 1u);
    EXPECT_EQ(keys_->member("key"), key);
}

TEST_F(KeyManagerState, RefusedExportStoresNothing) {
    fault(R"({"kind": "export_key_md5", "action": "status", "status": 503})");
    EXPECT_EQ(keys_->keyState("alice"), 0);
    EXPECT_NE(logged().find("Failed to export the md5 to the key to server, server reported "
                            "error, status-code = 503."),
              std::string::npos);
    EXPECT_EQ(keys_->member("key"), "<none>");
    EXPECT_FALSE(std::filesystem::exists(key_checks::data_file("keys")));
    EXPECT_EQ(server_key(), "");
}

TEST_F(KeyManagerState, FailedSaveKeepsTheRecordAndReportsIt) {
    // A folder in the file's place cannot be replaced by it.
    std::filesystem::create_directories(key_checks::data_file("keys") + "/in-the-way");
    SetLastError(0);
    EXPECT_EQ(keys_->keyState("alice"), 1);
    EXPECT_NE(GetLastError(), 0u);
    std::string log = logged();
    EXPECT_NE(log.find("Failed to encode the key storage file."), std::string::npos);
    EXPECT_NE(log.find("The new key of the user \"alice\" is registered but kept in memory only"),
              std::string::npos);
    std::string key = keys_->member("key");
    EXPECT_EQ(server_key(), md5_of_text(key));
    EXPECT_EQ(keys_->keyState("alice"), 1);  // the record in memory matches
    EXPECT_EQ(sent("export_key_md5"), 1u);
    // Still exportable; written with the next change that can be written.
    EXPECT_FALSE(keys_->exportKey("alice", kKeyFile, false));
    EXPECT_EQ(read_host_file(host_of(kKeyFile)), key);
    std::filesystem::remove_all(key_checks::data_file("keys"));
    EXPECT_TRUE(keys_->exportKey("alice", kKeyFile, true));
    EXPECT_EQ(stored_record()["key"].get_str(), key);
}

TEST_F(KeyManagerState, OperationsOfOneObjectRunOneAtATime) {
    fault(R"({"kind": "get_key_md5", "action": "delay", "seconds": 0.5})");
    int results[2] = {};
    std::thread other([&] { results[1] = keys_->keyState("alice"); });
    results[0] = keys_->keyState("alice");
    other.join();
    EXPECT_EQ(results[0], 1);
    EXPECT_EQ(results[1], 1);
    EXPECT_EQ(sent("export_key_md5"), 1u);
    EXPECT_EQ(server_key(), md5_of_text(keys_->member("key")));
}

TEST_F(KeyManagerExport, WritesExactlyTheKeyTextForItsOwnerOnly) {
    std::string key = made_key();
    SetLastError(5);
    ASSERT_TRUE(keys_->exportKey("alice", kKeyFile, false));
    EXPECT_EQ(GetLastError(), 0u);
    std::string out;
    ASSERT_EQ(run_command("md5sum " + shell_quote(host_of(kKeyFile)), &out), 0);
    EXPECT_EQ(out.substr(0, 32), server_key());
    EXPECT_EQ(read_host_file(host_of(kKeyFile)), key);
    run_command("stat -c %a " + shell_quote(host_of(kKeyFile)), &out);
    EXPECT_EQ(out, "600\n");
    EXPECT_EQ(stored_record()["state"].get_str(), "exported");
    EXPECT_EQ(keys_->keyState("alice"), 3);

    // An existing file: refused without overwrite, replaced with it.
    write_host_file(host_of(kKeyFile), "old");
    ASSERT_EQ(chmod(host_of(kKeyFile).c_str(), 0644), 0);
    EXPECT_FALSE(keys_->exportKey("alice", kKeyFile, false));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(read_host_file(host_of(kKeyFile)), "old");
    EXPECT_TRUE(keys_->exportKey("alice", kKeyFile, true));
    EXPECT_EQ(read_host_file(host_of(kKeyFile)), key);
    run_command("stat -c %a " + shell_quote(host_of(kKeyFile)), &out);
    EXPECT_EQ(out, "600\n");
}

TEST_F(KeyManagerExport, NeverWritesThroughALinkOrIntoAnotherFile) {
    std::string key = made_key();
    const std::string victim = host_of(L"C:\\victim.txt");
    const std::string path = host_of(kKeyFile);
    write_host_file(victim, "precious");
    std::filesystem::create_symlink(victim, path);
    EXPECT_FALSE(keys_->exportKey("alice", kKeyFile, true));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(keys_->exportKey("alice", kKeyFile, false));
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_TRUE(std::filesystem::is_symlink(path));
    std::filesystem::remove(path);
    std::filesystem::create_symlink(host_of(L"C:\\made.txt"), path);  // dangling
    EXPECT_FALSE(keys_->exportKey("alice", kKeyFile, true));
    EXPECT_FALSE(std::filesystem::exists(host_of(L"C:\\made.txt")));
    std::filesystem::remove(path);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_FALSE(keys_->exportKey("alice", kKeyFile, true));
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    EXPECT_FALSE(keys_->exportKey("alice", kKeyFile, true));
    std::filesystem::remove(path);
    // A second name of another file: the name is replaced, the file left alone.
    ASSERT_EQ(link(victim.c_str(), path.c_str()), 0);
    EXPECT_TRUE(keys_->exportKey("alice", kKeyFile, true));
    EXPECT_EQ(read_host_file(path), key);
    EXPECT_EQ(read_host_file(victim), "precious");
}

TEST_F(KeyManagerExport, NeedsAKeyOfItsOwn) {
    set_server_key(std::string(32, 'a'));
    SetLastError(5);
    EXPECT_FALSE(keys_->exportKey("alice", kKeyFile, true));  // state 2
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
    EXPECT_FALSE(keys_->exportKey("alice", nullptr, true));
    EXPECT_FALSE(keys_->exportKey("", kKeyFile, true));
    EXPECT_FALSE(std::filesystem::exists(host_of(kKeyFile)));
}

TEST_F(KeyManagerImport, KeyFileTheServerKnowsIsTakenHoweverItIsWrapped) {
    std::string key = made_key();
    std::string wrapped[] = {
        key,
        key.substr(0, 10) + "  \n" + key.substr(10, 10) + "\t \r\n" + key.substr(20) + " \n",
        "\n\n   " + key.substr(0, 30) + "\r\n\r\n" + key.substr(30) + "\n\n",
    };
    for (const std::string& text : wrapped) {
        forget();
        EXPECT_EQ(keys_->keyState("alice"), 2);
        write_host_file(host_of(kKeyFile), text);
        size_t looked = sent("get_key_md5");
        SetLastError(1234);
        EXPECT_TRUE(keys_->importKey("alice", kKeyFile));
        EXPECT_EQ(GetLastError(), 1234u);
        EXPECT_EQ(sent("get_key_md5"), looked + 2);
        EXPECT_EQ(stored_record()["key"].get_str(), key);
        EXPECT_EQ(stored_record()["state"].get_str(), "exported");
        EXPECT_EQ(keys_->keyState("alice"), 3);
    }
    // In state 3 the same key is true without a change, another one false.
    std::string file = read_host_file(key_checks::data_file("keys"));
    EXPECT_TRUE(keys_->importKey("alice", kKeyFile));
    write_host_file(host_of(kKeyFile), kOtherKey);
    EXPECT_FALSE(keys_->importKey("alice", kKeyFile));
    EXPECT_EQ(read_host_file(key_checks::data_file("keys")), file);
    EXPECT_EQ(keys_->member("key"), key);
}

TEST_F(KeyManagerImport, KeyTheServerDoesNotKnowIsRefusedAndTheOldRecordKept) {
    std::string key = made_key();
    write_host_file(host_of(kKeyFile), kOtherKey);
    EXPECT_FALSE(keys_->importKey("alice", kKeyFile));  // state 1: its key stays
    EXPECT_EQ(keys_->member("key"), key);
    EXPECT_EQ(keys_->keyState("alice"), 1);
    forget();
    EXPECT_FALSE(keys_->importKey("alice", kKeyFile));  // state 2: no record is left
    EXPECT_EQ(keys_->member("key"), "<none>");
    EXPECT_FALSE(std::filesystem::exists(key_checks::data_file("keys")));
    // The confirming look-up fails: nothing is taken either.
    write_host_file(host_of(kKeyFile), key);
    fault(R"({"kind": "get_key_md5", "action": "status", "status": 500, "skip": 1})");
    EXPECT_FALSE(keys_->importKey("alice", kKeyFile));
    EXPECT_EQ(keys_->member("key"), "<none>");
}

TEST_F(KeyManagerImport, ReadsOnlyASmallRegularFile) {
    std::string key = made_key();
    forget();
    const std::string path = host_of(kKeyFile);
    write_host_file(path, key + std::string(KeyManagerImpl::kMaxKeyFile + 1 - key.size(), ' '));
    EXPECT_FALSE(keys_->importKey("alice", kKeyFile));
    EXPECT_NE(logged().find("is longer than 4096 bytes"), std::string::npos);
    std::filesystem::remove(path);
    write_host_file(host_of(L"C:\\real.txt"), key);
    std::filesystem::create_symlink(host_of(L"C:\\real.txt"), path);
    EXPECT_FALSE(keys_->importKey("alice", kKeyFile));
    std::filesystem::remove(path);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_FALSE(keys_->importKey("alice", kKeyFile));  // and does not wait for a writer
    std::filesystem::remove(path);
    EXPECT_FALSE(keys_->importKey("alice", kKeyFile));  // missing
    EXPECT_EQ(keys_->member("key"), "<none>");
    write_host_file(path, key + std::string(KeyManagerImpl::kMaxKeyFile - key.size(), '\n'));
    EXPECT_TRUE(keys_->importKey("alice", kKeyFile));

    SetLastError(0);
    EXPECT_FALSE(keys_->importKey("alice", L""));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(keys_->importKey(nullptr, kKeyFile));
}

TEST_F(KeyManagerFindKey, GivesTheBytesOfAWholeKeyOnly) {
    std::string key = made_key();
    unsigned char bytes[16], iv[16];
    ASSERT_TRUE(keys_->findKey("alice", bytes, 16, iv, 16));
    EXPECT_EQ(tovel::testing::to_hex(std::string(reinterpret_cast<char*>(bytes), 16) +
                                     std::string(reinterpret_cast<char*>(iv), 16)),
              python("import base64; print(base64.b64decode('" + key + "').hex())"));
    EXPECT_FALSE(keys_->findKey("alice", bytes, 32, iv, 16));
    EXPECT_NE(logged().find("Incorrect key or iv size."), std::string::npos);
    EXPECT_FALSE(keys_->findKey("alice", nullptr, 16, iv, 16));

    // Key texts that are not 32 bytes: the server knows them, but they are no key.
    for (std::string text : {std::string("c2hvcnQ="), std::string(64, 'A')}) {
        keys_->keys["alice"].get_obj()["key"] = text;
        keys_->keys["alice"].get_obj()["checksum"] = md5_of_text(text);
        set_server_key(md5_of_text(text));
        unsigned char untouched[16] = {7};
        EXPECT_FALSE(keys_->findKey("alice", untouched, 16, iv, 16));
        EXPECT_EQ(untouched[0], 7);
        EXPECT_NE(logged().find("Failed to decode the key of the user \"alice\" with Base64."),
                  std::string::npos);
    }
    set_server_key(std::string(32, 'c'));
    EXPECT_FALSE(keys_->findKey("alice", bytes, 16, iv, 16));  // state 2
}

TEST_F(KeyManagerFile, ThatCannotBeReadStartsEmptyAndIsWrittenAnew) {
    reload();
    EXPECT_EQ(logged(), "");  // no file yet: nothing to tell
    struct Case {
        std::string plain;
        const char* message;
    } cases[] = {
        {"{\"alice\": ", "Failed to parse key storage, Line 1, column"},
        {"[1, 2]", "Key storage is not JSON object."},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(store_key_manager().encryptStringToTextFile(kStore, c.plain));
        reload();
        EXPECT_NE(logged().find(c.message), std::string::npos);
        EXPECT_TRUE(keys_->keys.empty());
    }
    write_host_file(key_checks::data_file("keys"), "not an encryption");
    reload();
    EXPECT_NE(logged().find("Failed to decode the key storage file."), std::string::npos);
    EXPECT_EQ(keys_->keyState("alice"), 1);  // the first change writes a new file
    EXPECT_EQ(stored_record()["state"].get_str(), "export_required");
}

}  // namespace
