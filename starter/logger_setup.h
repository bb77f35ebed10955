// The logger set-up that every program of the system runs first: it makes
// sure that the program's ACE service configuration file exists in the data
// folder, writing the default one when it is missing, and opens ACE's service
// configurator with it. The default configuration loads ACE's logging
// strategy, so that log_message then writes into the program's own rotating
// log file (and to standard error). Each program passes its own two file
// names; the tray and the updater compile this same source.
#pragma once

// Runs once per process, on the main thread, before any other thread exists.
// configName and logName are plain file names in the data folder ("svc.conf"
// and "agent.log" for the service host). An existing configuration file is
// used as it stands. The data folder is made when it is missing. Failures are
// reported through OutputDebugStringA only, since no log exists yet: a
// configuration file that cannot be written leaves the program without the
// logging strategy (log lines go to ACE's default output), and the program
// always goes on.
//
// When the strategy is loaded, a logger thread runs ACE's reactor, whose
// timer checks the log's size and rotates it; lines of every thread of the
// process go to the log file.
void setup_ace_logger(const char* configName, const char* logName);

// Ends the logger thread and waits for it; the log stays open until ACE is
// finalised. Call on the main thread before the program ends; harmless when
// setup_ace_logger was not called or failed.
void close_ace_logger();

// Formats into buffer, which holds 256 bytes: at most 255 characters and the
// terminator; longer text is cut there. The count that the formatting asked
// for, or a negative number for a bad format.
int format_debug_text(char* buffer, const char* format, ...) __attribute__((format(printf, 2, 3)));
