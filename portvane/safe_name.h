// Identifiers that the web interface turns into a folder or file name of the data folder (run
// ids, check ids): one safe file-name component, so that no request can name a path outside the
// folder it is meant for. Any thread.
#pragma once

#include <string_view>

namespace portvane {

// The longest component taken, in characters.
inline constexpr size_t kMaxSafeNameLength = 128;

// True for valid UTF-8 text of 1 to kMaxSafeNameLength characters, none of them a control
// character or one of \ / : * ? " < > |, that is neither "." nor "..".
bool isSafeFileName(std::string_view name);

}  // namespace portvane
