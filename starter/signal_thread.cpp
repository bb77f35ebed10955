#include "starter/signal_thread.h"

#include <pthread.h>
#include <signal.h>

#include <csignal>

namespace tovel::starter {

namespace {

sigset_t termination_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void block_termination_signals() {
    sigset_t set = termination_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // A parent may have left them ignored (a shell's background job): the
    // signal thread is to take them all the same.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

SignalThread::SignalThread(std::function<void(int)> handler)
    : handler_(std::move(handler)), thread_([this] { run(); }) {}

SignalThread::~SignalThread() {
    // A SIGTERM sent to the thread itself wakes its wait; it sees the flag
    // and ends without handling it.
    ending_.store(true);
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
}

void SignalThread::run() {
    sigset_t set = termination_signals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        if (ending_.load()) return;
        handler_(signal);
    }
}

}  // namespace tovel::starter
