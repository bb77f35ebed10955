// What is told of job state changes: the tray controller and the job panes.
#pragma once

#include <string>

class IJobStateNotify {
public:
    // The job's state changed, or (for a job's pane) the running job made
    // progress. Called on the GUI thread. The result is the observer's own
    // (the controller gives its handler's, panes 0); the job list ignores it.
    virtual int onJobState(const std::string& id, int state) = 0;

protected:
    ~IJobStateNotify() = default;
};
