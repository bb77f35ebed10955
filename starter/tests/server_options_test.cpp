// The web server's options as the service host reads them: the options file
// in the data folder or named on the command line, line by line, and the
// command line's "-name value" pairs, into a server context that does not
// listen yet.
#include "starter/server_options.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "starter/tests/captured_output.h"
#include "tools/testkit/machine_fixture.h"

using namespace tovel::web;
using tovel::starter::testing::CapturedOutput;
using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::write_host_file;

namespace {

struct Loaded {
    int result = -1;
    std::string out;
    std::string err;
};

class ServerOptions : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(ctx_ = mg_start(), nullptr); }
    void TearDown() override { mg_stop(ctx_); }

    Loaded load(std::vector<std::string> words) {
        words.insert(words.begin(), "starter");
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        Loaded loaded;
        CapturedOutput out(1);
        CapturedOutput err(2);
        loaded.result = load_server_options(ctx_, static_cast<int>(words.size()), argv.data());
        loaded.err = err.text();
        loaded.out = out.text();
        return loaded;
    }
    std::string option(const char* name) const {
        const char* value = mg_get_option(ctx_, name);
        return value ? value : "<unset>";
    }
    static std::string dataFile() {
        return host_of(L"C:\\ProgramData\\morvask\\Tovel\\mongoose.conf");
    }
    static void writeDataFile(const std::string& text) {
        std::filesystem::create_directories(host_of(L"C:\\ProgramData\\morvask\\Tovel"));
        write_host_file(dataFile(), text);
    }

    mg_context* ctx_ = nullptr;
};

// The file's lines as the reader takes them: Windows line ends stop the
// value before the CR, a comment after the value keeps the blanks before it,
// a line of only CR and LF does not scan (it does not begin with a line
// feed), a line longer than 511 characters is read in pieces that each count
// as a line, and each line that does not scan is named once and skipped.
TEST_F(ServerOptions, FileLinesInTheDataFolder) {
    std::string longComment = "#" + std::string(600, 'a') + "\n";  // lines 3 and 4
    writeDataFile(
        "# the service host's web server\n"
        "ports 127.0.0.1:0\r\n" +
        longComment +
        "\r\n"                                       // line 5
        "\n"                                         // line 6, skipped
        "document_root /srv/www   # three blanks\n"  // line 7
        "lonely\n"                                   // line 8
        "auth_realm  tovel.local\n");
    Loaded loaded = load({"-d"});
    EXPECT_EQ(loaded.result, 0);
    EXPECT_EQ(option("ports"), "127.0.0.1:0");
    EXPECT_EQ(option("root"), "/srv/www   ");
    EXPECT_EQ(option("auth_realm"), "tovel.local");
    EXPECT_EQ(loaded.out, "Loading config file " + dataFile() + "\n");
    EXPECT_EQ(loaded.err, dataFile() + ": line 4 is invalid\n" + dataFile() +
                              ": line 5 is invalid\n" + dataFile() + ": line 8 is invalid\n");
}

// Without "ports" in the file the default is this machine's port 8080; a
// "ports" line wins over it, and so does an empty value.
TEST_F(ServerOptions, DefaultPortsOnlyWhenUnset) {
    EXPECT_EQ(load({"-d"}).result, 0);  // no file at all: nothing to read, nothing said
    EXPECT_EQ(option("ports"), "<unset>");
    EXPECT_EQ(set_default_ports(ctx_), 1);
    EXPECT_EQ(option("ports"), "127.0.0.1:8080");

    mg_stop(ctx_);
    ASSERT_NE(ctx_ = mg_start(), nullptr);
    writeDataFile("ports 127.0.0.1:8888\n");
    EXPECT_EQ(load({}).result, 0);
    EXPECT_EQ(set_default_ports(ctx_), 1);
    EXPECT_EQ(option("ports"), "127.0.0.1:8888");

    mg_stop(ctx_);
    ASSERT_NE(ctx_ = mg_start(), nullptr);
    ASSERT_EQ(mg_set_option(ctx_, "ports", ""), 1);
    EXPECT_EQ(set_default_ports(ctx_), 1);
    EXPECT_EQ(option("ports"), "");
}

// A relative document folder lies beside the program (the shipped "root pages"); an absolute
// or unset one stays as it is.
TEST_F(ServerOptions, RelativeDocumentFolderBesideTheProgram) {
    EXPECT_EQ(place_document_folder(ctx_), 1);
    EXPECT_EQ(option("root"), "<unset>");
    writeDataFile("root pages\n");
    EXPECT_EQ(load({}).result, 0);
    EXPECT_EQ(place_document_folder(ctx_), 1);
    wchar_t program[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    ASSERT_GT(length, 0u);
    std::wstring folder(program, length);
    folder.resize(folder.find_last_of(L'\\'));
    EXPECT_EQ(option("root"), host_of(folder) + "/pages");

    ASSERT_EQ(mg_set_option(ctx_, "root", "/srv/pages"), 1);
    EXPECT_EQ(place_document_folder(ctx_), 1);
    EXPECT_EQ(option("root"), "/srv/pages");
}

// A file named on the command line (after the options) replaces the data
// folder's; the command line's pairs override the file, in order, and a name
// followed by another name has no value.
TEST_F(ServerOptions, NamedFileAndCommandLine) {
    writeDataFile("auth_realm from.data.folder\n");
    std::string named = machine_root() + "/named.conf";
    write_host_file(named, "ports 127.0.0.1:1\nauth_realm named\n");
    Loaded loaded = load({"-x", "-ports", "127.0.0.1:2", "-auth_realm", "-root", "/r", named});
    EXPECT_EQ(loaded.result, 0) << loaded.err;
    EXPECT_EQ(loaded.out, "Loading config file " + named + "\n");
    EXPECT_EQ(option("ports"), "127.0.0.1:2");
    EXPECT_EQ(option("auth_realm"), "named");
    EXPECT_EQ(option("root"), "/r");
}

// Every failure is reported and returned, where the process used to exit on
// the spot (leaving the jobs that the job engine had restarted to die
// mid-run): a named file that cannot be opened, two files, and an option
// that the server refuses, which is named.
TEST_F(ServerOptions, FailuresAreReturned) {
    Loaded missing = load({"/no/such/file.conf"});
    EXPECT_EQ(missing.result, 1);
    EXPECT_EQ(missing.err,
              "cannot open config file /no/such/file.conf: No such file or directory\n");

    Loaded two = load({"a.conf", "b.conf"});
    EXPECT_EQ(two.result, 1);
    EXPECT_NE(two.err.find("ports"), std::string::npos) << "the usage text names the options";

    writeDataFile("ports 127.0.0.1:0\nno_such_option 12\nroot /never\n");
    Loaded refused = load({});
    EXPECT_EQ(refused.result, 1);
    EXPECT_EQ(refused.err,
              dataFile() + ": line 2: the web server refused option no_such_option \"12\"\n");
    EXPECT_EQ(option("root"), "<unset>") << "nothing after the refused line is read";

    Loaded refusedArgument = load({"-no_such_option", "1"});
    EXPECT_EQ(refusedArgument.result, 1);
    EXPECT_NE(refusedArgument.err.find("no_such_option"), std::string::npos);
}

// The data folder's file path: the one data folder, made when missing.
TEST(DataFilePath, OneFolderMadeWhenMissing) {
    char path[MAX_PATH];
    ASSERT_TRUE(data_file_path(path, "mongoose.conf"));
    EXPECT_STREQ(path, "C:\\ProgramData\\morvask\\Tovel\\mongoose.conf");
    EXPECT_TRUE(std::filesystem::is_directory(host_of(L"C:\\ProgramData\\morvask\\Tovel")));
    std::string tooLong(MAX_PATH, 'n');
    EXPECT_FALSE(data_file_path(path, tooLong.c_str()));
    EXPECT_STREQ(path, "");
}

}  // namespace
