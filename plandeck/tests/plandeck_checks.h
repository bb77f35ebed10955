// Shared by the job definition tests: the log captured per test, JSON from
// text, this machine's folders and python3 as an independent reader.
#pragma once

#include <ace/Log_Msg.h>
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>

#include "common/json.h"
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

// Points this thread's ACE log at a string stream for the test, and back afterwards.
class Logged : public ::testing::Test {
protected:
    void SetUp() override {
        ACE_Log_Msg* log = ACE_Log_Msg::instance();
        saved_stream_ = log->msg_ostream();
        saved_flags_ = log->flags();
        log->msg_ostream(&stream_, false);
        log->set_flags(ACE_Log_Msg::OSTREAM);
        log->clr_flags(ACE_Log_Msg::STDERR);
    }
    void TearDown() override {
        ACE_Log_Msg* log = ACE_Log_Msg::instance();
        log->clr_flags(~0ul);
        log->set_flags(saved_flags_);
        log->msg_ostream(saved_stream_, false);
    }

    // What was logged since the last call, without the lines' thread prefix.
    std::string logged() {
        static const std::regex kPrefix("(^|\n)@[0-9]+@");
        std::string text = std::regex_replace(stream_.str(), kPrefix, "$1");
        stream_.str("");
        return text;
    }

private:
    std::ostringstream stream_;
    std::ostream* saved_stream_ = nullptr;
    unsigned long saved_flags_ = 0;
};

}  // namespace plandeck_tests
