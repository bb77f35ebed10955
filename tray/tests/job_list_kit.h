// What the job list's tests share: jobs made on disk as the service makes
// them (a definition in the job's folder, an activity record mapped by the
// test as the service maps it), observers that record what they are told,
// and a message loop of the test thread, which is the GUI thread.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "common/appdata_path.h"
#include "common/data_folder.h"
#include "common/text_conv.h"
#include "job/core/job_activity.h"
#include "job/core/notify_event.h"
#include "plandeck/backup_job_definition.h"
#include "tray/job_state_notify.h"

namespace tray_tests {

// Saves a backup definition with that id and name in the job's folder.
inline void make_job(const std::string& id, const std::string& name) {
    BackupJobDefinition definition;
    json_spirit::Value value;
    ASSERT_TRUE(json_spirit::read(R"({"type":"backup","id":")" + id +
                                      R"(","user":"alice","name":")" + name +
                                      R"(","source":["C:/data/"],"schedule":{"type":"manual"}})",
                                  value));
    ASSERT_TRUE(definition.fromJSON(value));
    std::wstring folder;
    ASSERT_TRUE(common_appdata_path(folder, (tovel::kJobSubFolderPrefix + from_utf8(id)).c_str()));
    ASSERT_TRUE(definition.save((folder + L"\\def").c_str()));
}

// A job's activity record as the service holds it: mapped while this lives.
class ServiceRecord {
public:
    ServiceRecord(const std::string& id, int state) {
        EXPECT_TRUE(handle_.open(id.c_str(), true));
        handle_.reset(state, true);
    }
    void state(int state) { handle_->state = state; }

private:
    JobActivityHandle handle_;
};

// One call of an observer.
struct Told {
    std::string id;
    int state;
    DWORD thread;
    bool operator==(const Told& other) const {
        return id == other.id && state == other.state && thread == other.thread;
    }
};

inline std::ostream& operator<<(std::ostream& out, const Told& told) {
    return out << "{" << told.id << ", " << told.state << ", thread " << told.thread << "}";
}

class Recorder : public IJobStateNotify {
public:
    virtual ~Recorder() = default;
    int onJobState(const std::string& id, int state) override {
        told.push_back({id, state, GetCurrentThreadId()});
        return 0;
    }
    std::vector<Told> told;
};

// The text of a state event as the web interface writes it.
inline std::string state_event(const std::string& id, int state) {
    return Event_State("alice", id.c_str(), L"a job", static_cast<unsigned>(state)).event();
}

// Runs the test thread's messages until done() or for seconds (false then).
template <class Done>
bool pump_until(Done done, int seconds = 30) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    // A thread timer of its own wakes the loop to look at done().
    UINT_PTR tick = SetTimer(nullptr, 0, 10, nullptr);
    bool reached = true;
    MSG msg;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            reached = false;
            break;
        }
        if (GetMessageW(&msg, nullptr, 0, 0) <= 0) break;
        DispatchMessageW(&msg);
    }
    KillTimer(nullptr, tick);
    return reached;
}

}  // namespace tray_tests
