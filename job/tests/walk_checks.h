// Shared by the tests of the walk, the file helpers, the volume files and the
// consistent-check removal: the log captured per test and host-side builders
// of folder trees on the test machine.
#pragma once

#include <ace/Log_Msg.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>

#include "tools/testkit/log_capture.h"
#include "tools/testkit/machine_fixture.h"

namespace walk_checks {

using tovel::testing::host_of;

inline void make_folder(const std::wstring& path) {
    ASSERT_EQ(::mkdir(host_of(path).c_str(), 0755), 0) << host_of(path);
}

inline void make_file(const std::wstring& path, const std::string& bytes = "x") {
    tovel::testing::write_host_file(host_of(path), bytes);
}

// A symbolic link at link (a Windows path) to the host path of target.
inline void make_link(const std::wstring& target, const std::wstring& link) {
    ASSERT_EQ(::symlink(host_of(target).c_str(), host_of(link).c_str()), 0);
}

inline bool host_exists(const std::wstring& path) {
    struct stat st;
    return ::lstat(host_of(path).c_str(), &st) == 0;
}

inline mode_t host_mode(const std::wstring& path) {
    struct stat st;
    EXPECT_EQ(::lstat(host_of(path).c_str(), &st), 0);
    return st.st_mode & 07777;
}

// A host file whose name holds a back-slash: listed as one entry of the
// folder, but no Windows path reaches it, so that it can never be deleted
// (whoever runs the test, root included).
inline void make_undeletable(const std::wstring& folder, const std::string& name = "lock\\ed") {
    tovel::testing::write_host_file(host_of(folder) + "/" + name, "held");
}

inline bool undeletable_exists(const std::wstring& folder, const std::string& name = "lock\\ed") {
    struct stat st;
    return ::lstat((host_of(folder) + "/" + name).c_str(), &st) == 0;
}

using Logged = tovel::testing::LoggedTest;

}  // namespace walk_checks
