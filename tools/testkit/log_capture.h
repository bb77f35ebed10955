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
        return std::regex_replace(take_log(), kPrefix, "$1");
    }
    // What was logged since the last call, as it stands. The log's own lock,
    // which every thread's logging call holds while it writes, is held here,
    // so other threads may log meanwhile.
    std::string take_log() {
        LogLock hold;
        std::string text = stream_.str();
        stream_.str("");
        return text;
    }
    // What was logged since the last call, left in place.
    std::string peek_log() const {
        LogLock hold;
        return stream_.str();
    }
    // The stream the log goes to (for pointing another thread's log at it).
    std::ostream& log_stream() { return stream_; }

private:
    struct LogLock {
        LogLock() { ACE_Log_Msg::instance()->acquire(); }
        ~LogLock() { ACE_Log_Msg::instance()->release(); }
    };
    std::ostringstream stream_;
    std::ostream* saved_stream_ = nullptr;
    unsigned long saved_flags_ = 0;
};

}  // namespace tovel::testing
