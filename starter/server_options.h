// The web server's options: the options file "mongoose.conf" in the data
// folder (or a file named on the command line) and the command line's
// "-name value" pairs, read into a server context before it listens.
#pragma once

#include <cstddef>

#include "starter/webserver/mongoose.h"

// Writes the Windows path of a file in the data folder (the application-data
// folder + "\morvask\Tovel\" + name) into buffer, which holds MAX_PATH
// characters; the folder is made when missing. False, with the buffer empty, when the
// application-data folder cannot be named or the path does not fit.
bool data_file_path(char* buffer, const char* name);

// Reads the options into ctx, in this order: the options file, then the
// command line's "-name value" pairs. The options file is the one argument
// left after the leading options (each "-x", with the argument after it when
// that one does not begin with '-'); without one it is the data folder's
// "mongoose.conf", which may be missing. The file's lines are "name value":
// a line that begins with '#' or is empty is skipped, the value runs to a CR,
// a line feed or a '#' (trailing blanks kept), and lines are read 511
// characters at a time. A line that does not scan is reported on standard
// error and skipped; "Loading config file <path>" goes to standard output.
//
// Returns 0 when every option was taken, 1 after a failure, reported on
// standard error: two or more arguments left (the web server's usage), an
// options file named on the command line that cannot be opened, or an option
// that the server refuses (named with its value). The caller owns ctx.
int load_server_options(tovel::web::mg_context* ctx, int argc, char** argv);

// The listening ports when the options leave them unset: this machine only,
// port 8080 (an option set to an empty text counts as set). 1 when "ports" is
// set afterwards, 0 when the server refused the default.
int set_default_ports(tovel::web::mg_context* ctx);

// A relative document folder ("root") is taken beside the program: the folder of the running
// program's file, as the machine names it on the host, followed by the option's text. An
// absolute or unset one stays as it is. 1 when "root" is as wanted afterwards, 0 when the
// program's folder cannot be named or the server refused the value.
int place_document_folder(tovel::web::mg_context* ctx);
