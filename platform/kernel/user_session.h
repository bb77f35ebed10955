// The simulated user's logon session on the machine: a folder of the user's
// own under the machine root that holds what belongs to the session, such as
// the named objects without the "Global\" prefix and the sockets through
// which the user's windows hear broadcasts. The user is the process's
// effective user id. Internal to the layer.
#pragma once

#include <string>

namespace tovel::platform {

// The session folder of the calling process's user, sessions/<uid> under the
// root (mode 0700, made on first use; sessions/ itself is sticky and open to
// every user, as /tmp is). Empty, with the last error set, when it cannot be
// made or is not the user's own. Thread-safe.
std::string user_session_folder();

// A folder for one kind of the session's things (made on first use, mode
// 0700); empty with the last error set on failure.
std::string user_session_subfolder(const char* name);

// The folder that holds the named object of this name, and the name's key in
// it (object_names.h): "Global\x" lives in the machine's objects/, every
// other name in the objects folder of the user's session. False, with the
// last error set, when that folder cannot be made.
bool named_object_place(const wchar_t* name, std::string& folder, std::string& key);

}  // namespace tovel::platform
