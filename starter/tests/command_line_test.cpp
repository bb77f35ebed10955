// The roles of the service host's command line as a user runs them, and the
// web server's password file as an independent reader checks it.
#include <gtest/gtest.h>

#include <filesystem>

#include "starter/tests/starter_process.h"
#include "tools/testkit/machine_fixture.h"

using namespace tovel::starter::testing;
using tovel::testing::machine_root;
using tovel::testing::read_host_file;
using tovel::testing::run_command;
using tovel::testing::shell_quote;

namespace {

struct Ended {
    int status;
    std::string output;
    std::string errors;
};

Ended run_starter(const std::vector<std::string>& arguments) {
    StarterProcess starter(arguments);
    Ended ended;
    ended.status = starter.wait();
    ended.output = starter.output();
    ended.errors = starter.errors();
    return ended;
}

// "-A file realm user password" sets the user's entry of the password file
// and exits 0 (it used to exit 1 on success); python3's MD5 of
// "user:realm:password" is the entry's digest. Only the first two characters
// of the switch count. A file that cannot be written gives 1.
TEST(CommandLine, PasswordFileEntries) {
    std::string file = machine_root() + "/passwords";
    Ended first = run_starter({"-A", file, "tovel.local", "alice", "s3cret:x"});
    EXPECT_EQ(first.status, 0) << first.errors;
    Ended second = run_starter({"-Ax", file, "tovel.local", "bob", "pw"});
    EXPECT_EQ(second.status, 0) << second.errors;
    std::string verdict;
    EXPECT_EQ(run_command("python3 -c " +
                              shell_quote("import hashlib, sys\n"
                                          "lines = open(sys.argv[1]).read().split()\n"
                                          "want = [u + ':tovel.local:' + hashlib.md5((u + "
                                          "':tovel.local:' + p).encode()).hexdigest()\n"
                                          "        for u, p in (('alice', 's3cret:x'), ('bob', "
                                          "'pw'))]\n"
                                          "print('same' if sorted(lines) == sorted(want) else "
                                          "lines)\n") +
                              " " + shell_quote(file),
                          &verdict),
              0);
    EXPECT_EQ(verdict, "same\n");

    Ended failed = run_starter({"-A", machine_root() + "/no/such/folder/passwords", "r", "u", "p"});
    EXPECT_EQ(failed.status, 1);
}

// The switches that are not roles: help prints the web server's usage and
// exits 1; any other argument list, a "-d" with a further argument and a
// "-A" with too few or too many included, goes to the service dispatcher,
// which a process not started as the service cannot reach (1063).
TEST(CommandLine, OtherArgumentsGoToTheServiceDispatcher) {
    for (const char* help : {"-h", "--help"}) {
        Ended ended = run_starter({help});
        EXPECT_EQ(ended.status, 1) << help;
        EXPECT_NE(ended.errors.find("ports"), std::string::npos) << ended.errors;
    }
    const std::vector<std::vector<std::string>> others = {
        {}, {"-x"}, {"-d", "again"}, {"-A", "f", "realm", "user"}, {"-A", "f", "r", "u", "p", "q"},
    };
    for (const auto& arguments : others) {
        Ended ended = run_starter(arguments);
        EXPECT_EQ(ended.status, 1);
        EXPECT_EQ(ended.errors, "Failed to start service ctrl dispatcher, err=1063.\n");
        EXPECT_EQ(ended.output, "");
    }
    EXPECT_FALSE(std::filesystem::exists(machine_root() + "/f"));
}

}  // namespace
