// Replacing a file's whole content so that a failure never leaves it
// truncated or half-written.
#pragma once

#include <string>

// Writes text to "<path>.new" beside the file, flushes it to disk and renames
// it over path. False, with the last error set (112 for a short write) and
// the temporary file removed, on any failure; the old file is then intact.
// opened, when given, tells whether the temporary file could be made (so a
// failure came from writing, not from opening). Concurrent replacements of
// one path must be serialised by the caller.
bool replace_file(const std::wstring& path, const std::string& text, bool* opened = nullptr);
