// Shared by the job definition tests: the log captured per test, JSON from
// text, this machine's folders and python3 as an independent reader.
#pragma once

#include <ace/Log_Msg.h>
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>

#include "common/json.h"
#include "tools/testkit/log_capture.h"
#include "tools/testkit/machine_fixture.h"

namespace plandeck_tests {

inline const wchar_t kJobsFolder[] = L"C:\\ProgramData\\morvask\\Tovel\\job";

inline json_spirit::Value parse(const std::string& text) {
    json_spirit::Value value;
    EXPECT_NO_THROW(json_spirit::read_or_throw(text, value)) << text;
    return value;
}

// Runs a python3 program and gives what it printed, without the final line break.
inline std::string python(const std::string& program) {
    std::string output;
    EXPECT_EQ(
        tovel::testing::run_command("python3 -c " + tovel::testing::shell_quote(program), &output),
        0)
        << program;
    while (!output.empty() && output.back() == '\n') output.pop_back();
    return output;
}

using Logged = tovel::testing::LoggedTest;

}  // namespace plandeck_tests
