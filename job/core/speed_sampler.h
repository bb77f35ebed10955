// Keeps a running job's elapsed time current: a timer on the dispatcher that
// wakes every 2 seconds and adds the time passed since its last sample to the
// activity record. A run makes one when it starts and destroys it when it
// ends, so only running time is counted.
#pragma once

#include <cstdint>

#include "job/core/iocp_dispatcher.h"
#include "job/core/job_activity.h"

class SpeedCalc final : public Io_Completion_Port_Ex::Timeout_Handler {
public:
    // The sample period in 100-ns units.
    static constexpr uint64_t kPeriod = 20000000;
    // Gives now as a local FILETIME count.
    using Clock = uint64_t (*)();

    // Takes the first sample and arms the timer. The record is not owned and
    // must outlive the sampler.
    explicit SpeedCalc(JobActivity* record, Io_Completion_Port_Ex* dispatcher = nullptr,
                       Clock clock = nullptr);
    // Disarms the timer (waiting for a timeout that runs at that moment), then
    // adds the time since the last sample.
    ~SpeedCalc();
    SpeedCalc(const SpeedCalc&) = delete;
    SpeedCalc& operator=(const SpeedCalc&) = delete;

    // due: all ones after a clock change. Adds the time since the last sample
    // (nothing when the clock went back) and re-arms for one period later.
    void handle_timeout(uint64_t due) override;

private:
    void sample();
    void rearm();

    JobActivity* record_;
    uint64_t lastSample_;
    Io_Completion_Port_Ex* dispatcher_;
    Clock clock_;
};
