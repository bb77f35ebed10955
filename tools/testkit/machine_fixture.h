// Test support: every test runs in a fresh simulated machine (its own
// TOVEL_ROOT in a temporary folder, removed afterwards), and helpers to look
// at the host side or to run an independent checker.
#pragma once

#include <string>

namespace tovel::testing {

// The current test's machine root.
std::string machine_root();
// The host path of a Windows path of the test machine.
std::string host_of(const std::wstring& windows_path);
// Writes or reads a host file whole; reading a missing file gives "".
void write_host_file(const std::string& path, const std::string& bytes);
std::string read_host_file(const std::string& path);
// Runs a shell command, returns its exit status and what it printed on stdout.
int run_command(const std::string& command, std::string* output = nullptr);
// Quotes a text for the shell.
std::string shell_quote(const std::string& text);

}  // namespace tovel::testing
