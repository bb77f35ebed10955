// The agent's run: the body of the service host, run in the Windows service
// or in the console ("-d"). It starts the logger, the exit event, the job
// engine with its dispatcher, the embedded web server with its options and
// the update schedule, keeps a hidden window and a message loop until it is
// told to quit, and shuts all of it down in order.
#pragma once

#include <atomic>

#include "platform/win32.h"

namespace tovel::starter {

// What the service's control handler, the signal thread and the run share.
struct HostState {
    // The signal that ended the run (1 for a stop request), printed by the
    // shutdown message; 0 when the loop ended otherwise.
    std::atomic<int> lastSignal{0};
    // The thread of the message loop, once it has its message queue.
    std::atomic<DWORD> mainThreadId{0};
    // In the service, what a SIGTERM does (the stop control); null in the
    // console, where on_signal takes both signals.
    std::atomic<void (*)()> serviceStop{nullptr};
};

HostState& host_state();

// Gives the calling thread its message queue and records it as the loop's
// thread, so that a stop request or a signal that comes before the loop runs
// finds a queue for its WM_QUIT. Called on the loop's thread before anything
// that may post to it is set up.
void prepare_message_queue();

}  // namespace tovel::starter

// The agent's body. 0 after a normal shutdown; -1 when the network library
// cannot start; 1 when the web server cannot start (its context, its options
// or its listening ports). Every return sets the exit event, and every return
// after the job engine was opened closes it first. Runs on the thread that
// called prepare_message_queue (or prepares it itself).
int run_agent(int argc, char** argv);

// The console's handler of SIGTERM and SIGINT: records the signal, sets the
// exit event (so that the trays close at once) and ends the message loop.
// Runs on the signal thread.
void on_signal(int signal);
