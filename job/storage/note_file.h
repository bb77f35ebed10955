// Small note files of a job's own (in its work folder): one text each,
// written whole without forcing it to disk (a note only has to outlive the
// process, not the machine) and read back whole. Any thread; the callers
// serialise the writers of one note.
#pragma once

#include <string>

// Creates or truncates path and writes text; with durable, also has the
// system put it on its disk (a note that must outlive a power cut). False
// with the last error on failure.
bool write_note(const std::wstring& path, const std::string& text, bool durable = false);
// The note's text (at most its first 64 KiB); empty when there is none.
std::string read_note(const std::wstring& path);
