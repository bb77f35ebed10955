// Broadcasts of registered messages between the processes of one user on
// the machine. Internal to the layer (message_queue.cpp, window.cpp).
//
// Each process that has made a top-level window listens on a Unix socket of
// its own, sessions/<uid>/windows/<pid> under the root (the folder is the
// user's alone, the socket mode 0600). A broadcast of a registered message
// (0xC000 and up) is handed to every other socket of the folder: the
// listener posts or sends it to its process's top-level windows. A socket
// whose process is gone is skipped and removed.
#pragma once

#include "platform/win/window.h"

namespace tovel::platform::broadcast {

// Starts listening for the broadcasts of other processes (for the machine
// root of the moment), once; called for each top-level window made. A
// failure leaves the process deaf to other processes, nothing more.
void listen();

// Hands a posted broadcast to every other process of the user; returns at
// once.
void post_to_others(UINT message, WPARAM wParam, LPARAM lParam);

// Sends a broadcast to every other process of the user and waits until
// each has run it in all its top-level windows, or for at most
// kAnswerWaitMs for a process that does not answer. Messages sent to the
// calling thread run meanwhile.
constexpr int kAnswerWaitMs = 5000;
void send_to_others(UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace tovel::platform::broadcast
