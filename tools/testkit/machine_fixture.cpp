#include "tools/testkit/machine_fixture.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/kernel/machine.h"

namespace tovel::testing {
namespace {

std::string g_root;

// Makes a fresh root before each test and removes it after (links inside,
// such as drive z, are removed as links, never followed).
class FreshMachine : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        char pattern[] = "/tmp/tovel-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        ASSERT_NE(made, nullptr);
        g_root = made;
        setenv("TOVEL_ROOT", g_root.c_str(), 1);
        // The running program lies in the machine too, so that nothing a
        // test does is written beside the test's executable.
        setenv("TOVEL_PROGRAM", "C:\\Program Files\\Tovel\\agent.exe", 1);
    }
    void OnTestEnd(const ::testing::TestInfo&) override {
        std::error_code ignored;
        // Give back write permission that a test may have taken away.
        run_command("chmod -R u+rwx " + shell_quote(g_root) + " 2>/dev/null");
        std::filesystem::remove_all(g_root, ignored);
        unsetenv("TOVEL_ROOT");
        unsetenv("TOVEL_PROGRAM");
    }
};

}  // namespace

std::string machine_root() { return g_root; }

std::string host_of(const std::wstring& windows_path) {
    std::string out;
    EXPECT_TRUE(tovel::platform::host_path(windows_path.c_str(), out));
    return out;
}

void write_host_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string read_host_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int run_command(const std::string& command, std::string* output) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::array<char, 4096> chunk;
    std::string text;
    size_t n;
    while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) text.append(chunk.data(), n);
    int status = pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string shell_quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

}  // namespace tovel::testing

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // "python3" of the tests and of what they start is the build's chosen
    // interpreter.
    const char* path = getenv("PATH");
    std::string search = std::string(TOVEL_TEST_PYTHON_DIR) + (path ? ":" + std::string(path) : "");
    setenv("PATH", search.c_str(), 1);
    ::testing::UnitTest::GetInstance()->listeners().Append(new tovel::testing::FreshMachine);
    return RUN_ALL_TESTS();
}
