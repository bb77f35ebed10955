// SQLite on the simulated machine. On Windows SQLite opens a database by its Windows path in
// UTF-8 with its default file layer; here the layer registers a file layer of its own that
// takes the same paths and translates them to the machine's host paths, and otherwise does what
// the host's default one does (locking, journals, temporary files).
#pragma once

namespace tovel::platform {

// The name to pass to sqlite3_open_v2 as its file layer, registered on the first call (any
// thread). Null when it could not be registered: SQLite's default then applies, and Windows paths
// do not open.
const char* sqlite_vfs_name();

}  // namespace tovel::platform
