// The test hooks of gui_test.h served to another process (tests only).
// Internal to the layer; the client is tools/testkit/gui_remote.h.
//
// When the environment variable TOVEL_GUI_SOCKET names a path, the process
// listens there on a Unix socket (mode 0600) from its first top-level window
// on, on a thread of its own (and one per client), and answers each request
// line with one answer.
// Work on windows runs on the thread of the process's first top-level
// window, handed over as a sent message is. The protocol, one line each way
// (texts UTF-8, with '\', tab and newline written as \\, \t, \n; window
// handles in hexadecimal):
//   ping                                  -> ok
//   move|press|release|click <x> <y> [right] -> ok
//   icons   -> ok <n>, then n lines: window id callback version width height
//              image-file tooltip (tab-separated)
//   icon-click <window> <id> left|right|double -> ok | error ...
//   icon-rect <window> <id>               -> ok <left> <top> <right> <bottom>
//   record-launches                       -> ok (launches recorded from now on)
//   launches | boxes                      -> ok <n>, then n lines
//   record-texts                          -> ok (the lines of text drawn are
//                                            recorded afresh from now on)
//   texts   -> ok <n>, then n lines: x y width text (tab-separated), as the
//              text recorder of gui_test.h keeps them
//   screen-png <path> | window-png <window> <path> -> ok | error ...
//   windows -> ok <n>, then n lines: window visible left top right bottom
//              class title (tab-separated)
// Anything else gets "error unknown". The clock is the real one.
#pragma once

namespace tovel::platform::gui {

// Starts serving the hooks once, when TOVEL_GUI_SOCKET is set; called for
// each top-level window made.
void serve_remote_hooks();

}  // namespace tovel::platform::gui
