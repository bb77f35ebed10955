// The service host: one program that installs, removes and controls its
// service, edits a password file of the web server, runs the agent in the
// console ("-d"), or runs as the service.
#include <ace/Init_ACE.h>

#include "starter/exit_event.h"
#include "starter/service.h"
#include "starter/signal_thread.h"

int main(int argc, char** argv) {
    // Before any thread exists, so that every thread has them blocked and
    // only the agent's signal thread takes them.
    tovel::starter::block_termination_signals();
    ACE::init();
    int code = dispatch_command_line(argc, argv);
    tovel::starter::ExitEvent::instance().close();
    ACE::fini();
    return code;
}
