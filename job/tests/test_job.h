// A job kind of the tests' own: its run polls for commands in short steps and
// ends the way the real kinds do (final state written, then the completion
// posted), and it counts what happened to it across all its instances.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/json.h"
#include "job/core/job.h"
#include "job/core/job_notify_manager.h"
#include "job/core/job_state.h"
#include "plandeck/backup_job_definition.h"

namespace job_tests {

struct TestJobCounters {
    std::atomic<int> runs{0};       // runs begun
    std::atomic<int> active{0};     // workers inside run now
    std::atomic<int> maxActive{0};  // the most workers ever inside run at once, per job
    std::atomic<int> inits{0};
    std::atomic<int> schedules{0};  // "do_schedule" commands
    std::atomic<int> resumedRuns{0};
    // Steps of 5 ms that a run polls before it completes.
    std::atomic<int> steps{100000};
    // Milliseconds the worker lingers after writing its final state.
    std::atomic<int> lingerMs{0};
    // Milliseconds a run that took a pause spends winding down ("pausing")
    // before it writes "paused".
    std::atomic<int> pausingMs{0};
    // Ends of a paused run that a stop ran while a worker was still inside run.
    std::atomic<int> overlappingEnds{0};
    // A run that starts waits until this is false (the start event is set first).
    std::atomic<bool> holdStart{false};
};

inline TestJobCounters& counters() {
    static TestJobCounters all;
    return all;
}

class TestJob : public Job {
public:
    explicit TestJob(JobDefinition* definition) : Job(definition) {}
    ~TestJob() override { endRun(); }

    static Job* make(JobDefinition* definition) { return new TestJob(definition); }

    bool init() override {
        ++counters().inits;
        int current = state();
        if (current >= JS_STARTING && current <= JS_COMPLETING) {
            activity_->resumeFlag = 1;
            startTask();
        } else if (current == JS_PAUSING || current == JS_CANCELING) {
            activity_->resumeFlag = 1;
            setRequestedTransition(current);
            startTask();
        } else if (current == JS_PAUSED && !activity_->pausedManually) {
            activity_->resumeFlag = 1;
            startTask();
        } else if (current == JS_COMPLETED && !isRunOnce()) {
            setState(JS_IDLE);
        }
        return true;
    }

    // The end of a paused run happens on the stopping thread.
    bool stop() override {
        return stopRun([this] {
            if (counters().active > 0) ++counters().overlappingEnds;
            finish();
        });
    }

    JobActivity* record() { return activity_.get(); }

protected:
    void run() override {
        TestJobCounters& c = counters();
        ++c.runs;
        int now = ++c.active;
        int seen = c.maxActive.load();
        while (now > seen && !c.maxActive.compare_exchange_weak(seen, now)) {
        }
        if (activity_->resumeFlag) ++c.resumedRuns;
        // Events go out before the state they name is visible, so that the
        // tests see them in the order of the states.
        notify_state(JS_STARTING);
        setState(JS_STARTING);
        activity_.sync();
        if (!setStartEvent()) {
            --c.active;
            return;
        }
        while (c.holdStart) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (pollEvent(0)) {
            notify_state(JS_RUNNING);
            setState(JS_RUNNING);
            bool go = true;
            for (int i = 0, n = c.steps; go && i < n; ++i) go = pollEvent(5);
            if (go) setState(JS_COMPLETING);
        }
        if (int pausing = c.pausingMs; pausing && state() == JS_PAUSING)
            std::this_thread::sleep_for(std::chrono::milliseconds(pausing));
        finish();
        if (int linger = c.lingerMs) std::this_thread::sleep_for(std::chrono::milliseconds(linger));
        --c.active;
        postCompletion();
    }

    bool commandimpl(const std::string& command) override {
        if (command != "do_schedule") return false;
        ++counters().schedules;
        return true;
    }

private:
    // Writes the final state of a run as the real kinds do.
    void finish() {
        int current = state();
        int final = current == JS_COMPLETING  ? JS_COMPLETED
                    : current == JS_CANCELING ? JS_CANCELLED
                    : current == JS_PAUSING   ? JS_PAUSED
                                              : current;
        notify_state(final);
        if (final != JS_PAUSED) {
            activity_->lastRunState = final;
            if (!isRunOnce()) {
                notify_state(JS_IDLE);
                final = JS_IDLE;
            }
        }
        setState(final);
        setRequestedTransition(0);
        activity_.sync();
    }
};

// A backup definition with the given id and schedule (JSON text).
inline BackupJobDefinition* make_definition(const std::string& id,
                                            const std::string& schedule = R"({"type":"manual"})",
                                            const std::string& user = "alice") {
    auto* definition = new BackupJobDefinition;
    json_spirit::Value value;
    json_spirit::read(R"({"type":"backup","id":")" + id + R"(","user":")" + user +
                          R"(","name":"Test job","source":["C:/data/"],"schedule":)" + schedule +
                          "}",
                      value);
    definition->fromJSON(value);
    return definition;
}

// Collects the job events the notification manager delivers.
class EventLog : public JobNotifyObserver {
public:
    EventLog() : JobNotifyObserver(nullptr) {
        ATL::CComSingleton<JobNotifyManagerImpl, ATL::CComAutoCriticalSection>::instance()
            ->registerObserver(this);
    }
    ~EventLog() override {
        ATL::CComSingleton<JobNotifyManagerImpl, ATL::CComAutoCriticalSection>::instance()
            ->unregisterObserver(this);
    }

    bool Post(const std::string& event) override {
        std::lock_guard<std::mutex> guard(lock_);
        events_.push_back(event);
        return true;
    }

    // The states of the job's events so far, in order.
    std::vector<std::string> states(const std::string& id) {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<std::string> out;
        for (const std::string& text : events_) {
            json_spirit::Value value;
            if (!json_spirit::read(text, value) || value.type() != json_spirit::obj_type) continue;
            const json_spirit::Object& object = value.get_obj();
            auto found = object.find("id");
            auto state = object.find("state");
            if (found != object.end() && found->second.get_str() == id && state != object.end())
                out.push_back(state->second.get_str());
        }
        return out;
    }

    // Waits up to two seconds for the job's events to reach count.
    std::vector<std::string> await(const std::string& id, size_t count) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        std::vector<std::string> seen = states(id);
        while (seen.size() < count && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            seen = states(id);
        }
        return seen;
    }

private:
    std::mutex lock_;
    std::vector<std::string> events_;
};

// Polls until the condition holds, up to five seconds.
template <class Condition>
bool eventually(Condition condition) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace job_tests
