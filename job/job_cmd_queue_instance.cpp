// The process's command queue and the job manager calls its commands become.
#include "job/core/job_cmd_queue.h"
#include "job/job_manager.h"

namespace {

void execute(const std::string& command, const std::string& jobId) {
    JobManagerImpl* manager = JobManagerImpl::instance();
    const char* id = jobId.c_str();
    if (command == "start")
        manager->startJob(id);
    else if (command == "stop")
        manager->stopJob(id);
    else if (command == "pause")
        manager->pauseJob(id);
    else if (command == "resume")
        manager->resumeJob(id);
    else if (command == "do_schedule")
        manager->command(command, id);
}

}  // namespace

JobCmdQueueImpl* JobCmdQueueImpl::instance() {
    // The manager is made first, so that it outlives the queue's thread.
    static JobManagerImpl* const manager = JobManagerImpl::instance();
    (void)manager;
    static JobCmdQueueImpl queue(execute);
    return &queue;
}
