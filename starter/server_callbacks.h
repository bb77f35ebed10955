// The service host's callbacks of the embedded web server: the one through
// which the server would make its threads, and the one that receives its
// error messages.
#pragma once

#include "starter/webserver/mongoose.h"

// The create-thread callback: starts func(param) on a detached ACE thread
// (nobody joins the server's threads). 0 when the thread started, -1 when
// not. Any thread.
int spawn_server_thread(tovel::web::mg_thread_func_t func, void* param);

// The log callback: logs "client <a.b.c.d> <method> <uri>: <message>" at
// LM_ERROR, the address highest byte first ("client <a.b.c.d> : <message>"
// without a request method). Any of the server's threads.
void log_server_message(tovel::web::mg_connection* conn, const tovel::web::mg_request_info* request,
                        const char* message);
