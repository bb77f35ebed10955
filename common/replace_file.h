// Replacing a file's whole content so that a failure never leaves it
// truncated or half-written.
#pragma once

#include <string>

// Writes text to "<path>.new-<process id>-<thread id>" beside the file,
// flushes it to disk and renames it over path. False, with the last error set
// (112 for a short write) and the temporary file removed, on any failure; the
// old file is then intact. opened, when given, tells whether the temporary
// file could be made (so a failure came from writing, not from opening).
// Threads and processes replacing one path at once each write a file of
// their own, and the last rename wins: the file always holds one whole text.
// A private file (private_file true) is readable and writable by its owner
// only, whatever the mode of the file it replaces.
bool replace_file(const std::wstring& path, const std::string& text, bool* opened = nullptr,
                  bool private_file = false);
