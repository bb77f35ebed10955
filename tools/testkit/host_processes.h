// Test support: the host's view of this process's children and of the
// descriptors that processes hold, read from /proc.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <map>
#include <string>

namespace tovel::testing {

// Whether pid is a child of this process that was not reaped yet (running,
// or ended and a zombie).
bool is_child(pid_t pid);
// Whether pid has ended and waits to be reaped.
bool is_zombie(pid_t pid);
// Polls until pid is no child of this process any more (it was reaped);
// false when it still is after timeoutMs.
bool wait_reaped(pid_t pid, int timeoutMs = 10000);

// The descriptors a process holds now: number -> what it refers to.
std::map<int, std::string> descriptors_of(pid_t pid);
// The same, as a child listed them with "ls -l /proc/self/fd" (the listing's
// own descriptor of that folder left out).
std::map<int, std::string> listed_descriptors(const std::string& listing);

// Polls until the host file holds at least lines lines; its text then, or
// what it holds after timeoutMs.
std::string wait_for_lines(const std::string& path, size_t lines, int timeoutMs = 10000);

}  // namespace tovel::testing
