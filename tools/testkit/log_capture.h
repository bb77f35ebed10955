// A test fixture that points this thread's ACE log at a string stream for the
// test, and back afterwards.
#pragma once

#include <ace/Log_Msg.h>
#include <gtest/gtest.h>

#include <ostream>
#include <regex>
#include <sstream>
#include <string>

namespace tovel::testing {

class LoggedTest : public ::testing::Test {
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

}  // namespace tovel::testing
