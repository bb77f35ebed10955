#include "starter/agent.h"

#include <ace/Log_Msg.h>
#include <ace/Trace.h>
#include <signal.h>

#include <cstdio>
#include <memory>
#include <optional>

#include "common/ace_log_wrapper.h"
#include "job/core/iocp_dispatcher.h"
#include "job/core/job_cmd_queue.h"
#include "job/job_manager.h"
#include "scheduler/update_scheduler.h"
#include "starter/exit_event.h"
#include "starter/hidden_window.h"
#include "starter/logger_setup.h"
#include "starter/server_callbacks.h"
#include "starter/server_options.h"
#include "starter/signal_thread.h"

using namespace tovel::web;
using tovel::starter::ExitEvent;
using tovel::starter::host_state;
using tovel::starter::HostState;

namespace tovel::starter {

HostState& host_state() {
    static HostState state;
    return state;
}

void prepare_message_queue() {
    MSG message;
    PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    host_state().mainThreadId.store(GetCurrentThreadId());
}

}  // namespace tovel::starter

namespace {

constexpr char kCannotStart[] = "Cannot initialize Mongoose context";

// A signal taken by the signal thread: in the service SIGTERM is the stop
// request; anything else is the console's.
void take_signal(int signal) {
    void (*stop)() = host_state().serviceStop.load();
    if (signal == SIGTERM && stop)
        stop();
    else
        on_signal(signal);
}

// What the run has started, taken down in order on every return.
class AgentRun {
public:
    AgentRun() = default;
    AgentRun(const AgentRun&) = delete;
    AgentRun& operator=(const AgentRun&) = delete;

    // The end of a start that failed: whatever was started goes (the job
    // engine with the runs it restarted is closed) and the event is set.
    int fail(int result) {
        end(false);
        return result;
    }

    // The ordered shutdown: no new request reaches the plug-in while the job
    // engine closes, the trays learn of the end once it is closed, and the
    // web server stops after that.
    void end(bool report) {
        if (window_.m_hWnd) window_.DestroyWindow();
        if (scheduler_) scheduler_->unschedule();
        if (server_) mg_set_stopping(server_);
        if (jobsOpen_) JobManagerImpl::instance()->close();
        ExitEvent::instance().set();
        if (report) {
            std::printf("Exiting on signal %d, waiting for all threads to finish...",
                        host_state().lastSignal.load());
            std::fflush(stdout);
        }
        if (server_) mg_stop(server_);
        server_ = nullptr;
        if (network_) WSACleanup();
        network_ = false;
        // The dispatcher's thread ends before ACE does, which would otherwise
        // lose what the thread holds of it.
        if (jobsOpen_) {
            IocpDispatherWrapper::close();
            JobCmdQueueImpl::instance()->stop();
        }
        jobsOpen_ = false;
        if (report) {
            std::printf("%s", " done.\n");
            std::fflush(stdout);
        }
        scheduler_.reset();
        signals_.reset();
        close_ace_logger();
    }

    std::optional<tovel::starter::SignalThread> signals_;
    bool network_ = false;
    bool jobsOpen_ = false;
    mg_context* server_ = nullptr;
    std::unique_ptr<Update_Scheduler> scheduler_;
    HiddenWindow window_;
};

}  // namespace

int run_agent(int argc, char** argv) {
    setup_ace_logger("svc.conf", "agent.log");
    ACE_TRACE("Start to running.");
    HostState& state = host_state();
    // The loop's thread gets its queue before a stop request or a signal can
    // try to post its WM_QUIT there; one that comes during the start then
    // ends the loop as soon as it runs.
    if (state.mainThreadId.load() != GetCurrentThreadId()) tovel::starter::prepare_message_queue();
    ExitEvent::instance().create();

    AgentRun run;
    run.signals_.emplace(take_signal);

    WSADATA network;
    if (WSAStartup(MAKEWORD(2, 2), &network) != 0) return run.fail(-1);
    run.network_ = true;

    JobManagerImpl::instance()->open();
    run.jobsOpen_ = true;
    IocpDispatherWrapper::activate();

    mg_set_create_thread_callback(spawn_server_thread);
    run.server_ = mg_start();
    if (!run.server_) {
        std::printf("%s\n", kCannotStart);
        std::fflush(stdout);
        return run.fail(1);
    }
    mg_set_log_callback(run.server_, log_server_message);
    if (load_server_options(run.server_, argc, argv) != 0) return run.fail(1);
    if (set_default_ports(run.server_) != 1) return run.fail(1);
    if (place_document_folder(run.server_) != 1) return run.fail(1);
    if (mg_listen(run.server_) != 1) {
        std::printf("%s\n", kCannotStart);
        std::fflush(stdout);
        return run.fail(1);
    }
    const char* ports = mg_get_option(run.server_, "ports");
    const char* root = mg_get_option(run.server_, "root");
    std::printf("Mongoose %s started on port(s) [%s], serving directory [%s]\n", mg_version(),
                ports ? ports : "", root ? root : "");
    std::fflush(stdout);
    log_message(LM_DEBUG, "The web server listens on %s.\n", ports ? ports : "");

    run.scheduler_ = std::make_unique<Update_Scheduler>();
    run.scheduler_->schedule();
    run.window_.Create(nullptr, ATL::CWindow::rcDefault, nullptr, 0, 0);

    MSG message;
    for (;;) {
        BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0 || message.message == WM_QUIT || message.message == WM_CLOSE) break;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    log_message(LM_DEBUG, "The agent ends on signal %d.\n", state.lastSignal.load());
    run.end(true);
    return 0;
}

void on_signal(int signal) {
    HostState& state = host_state();
    state.lastSignal.store(signal);
    ExitEvent::instance().set();
    PostThreadMessageA(state.mainThreadId.load(), WM_QUIT, 0, 0);
}
