// SIGINT and SIGTERM of the service host: blocked in every thread from the
// start of main, and taken by one thread that waits for them, so that their
// handling runs as ordinary code on a thread of its own instead of
// interrupting whatever thread the kernel picks.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace tovel::starter {

// Blocks SIGINT and SIGTERM in the calling thread, and so in every thread it
// starts afterwards, and gives them back their default action (which no
// thread meets while they are blocked). First thing in main, before any
// thread exists.
void block_termination_signals();

// The thread that takes SIGINT and SIGTERM (which must be blocked in every
// thread) and calls handler with each signal's number, one after another,
// on itself. A signal sent before the thread runs is taken then.
class SignalThread {
public:
    explicit SignalThread(std::function<void(int)> handler);
    // Ends the thread and waits for it; a signal arriving from then on stays
    // pending. Not from the handler.
    ~SignalThread();
    SignalThread(const SignalThread&) = delete;
    SignalThread& operator=(const SignalThread&) = delete;

private:
    void run();

    std::function<void(int)> handler_;
    std::atomic<bool> ending_{false};
    std::thread thread_;
};

}  // namespace tovel::starter
