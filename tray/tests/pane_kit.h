// What the card and pop-up tests share: the shipped English texts, the job
// list of the process with jobs made on disk, and each job's activity record
// mapped by the test as the service maps it, its fields set at will.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "job/core/job_activity.h"
#include "platform/desktop/gui_test.h"
#include "tools/testkit/log_capture.h"
#include "tray/job_manager.h"
#include "tray/tests/job_list_kit.h"
#include "tray/tray_resources.h"

namespace pane_tests {

// The host's files are on Z:.
inline std::wstring on_z(const std::string& host) {
    std::wstring path = L"Z:";
    for (char c : host) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return path;
}

// A FILETIME of a local date, as the record keeps it.
inline uint64_t stamp(int year, int month, int day, int hour, int minute, int second) {
    SYSTEMTIME at = {};
    at.wYear = static_cast<WORD>(year);
    at.wMonth = static_cast<WORD>(month);
    at.wDay = static_cast<WORD>(day);
    at.wHour = static_cast<WORD>(hour);
    at.wMinute = static_cast<WORD>(minute);
    at.wSecond = static_cast<WORD>(second);
    FILETIME time = {};
    EXPECT_TRUE(SystemTimeToFileTime(&at, &time));
    return static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

// A backup job with its definition on disk, known to the job list, and its
// activity record mapped while this lives.
class Job {
public:
    Job(const std::string& id, const std::string& name, int state) : id_(id) {
        tray_tests::make_job(id, name);
        EXPECT_TRUE(record_.open(id.c_str(), true));
        record_.reset(state, true);
        EXPECT_TRUE(JobManager::instance()->addJob(id));
    }
    JobActivity* operator->() const { return record_.get(); }
    std::shared_ptr<JobRecord> record() const { return JobManager::instance()->find(id_); }
    const std::string& id() const { return id_; }

private:
    std::string id_;
    JobActivityHandle record_;
};

// A job id of the n-th test job.
inline std::string job_id(int n) {
    char text[40];
    std::snprintf(text, sizeof text, "%08x-1111-4111-8111-%012x", 0x0a0a0a00 + n, n);
    return text;
}

class PaneTest : public tovel::testing::LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        library_ =
            LoadLibraryW(on_z(std::string(TOVEL_SOURCE) + "/tray/TrayLoc/enu/loc.dll").c_str());
        ASSERT_NE(library_, nullptr);
        setTrayResources(library_);
    }
    void TearDown() override {
        JobManager::instance()->clearJobs();
        setTrayResources(nullptr);
        LoggedTest::TearDown();
    }

    HMODULE library_ = nullptr;
};

}  // namespace pane_tests
