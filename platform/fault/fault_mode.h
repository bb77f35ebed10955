// The fault mode of the layer, for sweeps that interrupt a process at every
// step it takes on the file system. Internal to the layer; tests set it
// through the environment of the process they start:
//
//   TOVEL_FAULT=count      only count the steps
//   TOVEL_FAULT=kill:N     kill the process (SIGKILL of itself) just before
//                          step N (the first step is 1)
//   TOVEL_FAULT=power:N    cut the power at step N: put the files back as a
//                          machine that lost its power then would show them
//                          (below), then kill the process, before step N
//   TOVEL_FAULT=power-keep:N  the same with the second model of the cut
//                          (below): every rename kept, only data go back
//   TOVEL_FAULT_REPORT=F   the process keeps its count of the steps it took
//                          in the host file F (decimal text), so that a
//                          counting run tells a sweep how many steps there
//                          are (the step where a fault hit is not counted)
//   TOVEL_FAULT_TRACE=F    the process writes one line per step it took to
//                          the host file F: its kind and the host path it
//                          is about, "create P", "change P" (a write or a
//                          truncation), "flush P", "rename P" (P the new
//                          name), "delete P", "view " (a view's flush) and
//                          "other " (folders, times, attributes), so that a
//                          sweep can tell which steps write one file
//
// A step is one call that may change the file system: CreateFileW that
// creates or truncates, WriteFile, SetEndOfFile, FlushFileBuffers,
// MoveFileExW, DeleteFileW, CreateDirectoryW, RemoveDirectoryW,
// SHCreateDirectoryExW (one step for the whole path), SetFileAttributesW,
// SetFileTime, FlushViewOfFile and CreateFileMappingW when the mapping grows
// its file. Each counts one, failed or not. Reads, opens of existing files,
// stores into a mapped view (they are no calls) and the named objects'
// bookkeeping are not steps. In fault mode the steps of a process are taken
// one at a time (a lock held across each call); without it the mode costs
// one test of a flag per call.
//
// The power cut. The model keeps, for every file the process changed since
// it was last flushed, the content the disk holds for sure:
// - A file's content is what it was at its last FlushFileBuffers (through any
//   handle of it); a file that had not been changed since the process first
//   touched it keeps the content it had then.
// - A file created and never flushed comes back empty: its name survives (the
//   metadata of a journalling file system is committed in order) but none of
//   its data does. This is the pessimistic outcome that real systems do show
//   (a zero-length file after a crash), and the one that hurts a reader most:
//   the file exists yet holds nothing.
// - A mapped file (the job's activity record) goes back to its content at its
//   last FlushViewOfFile, or at its mapping when it was never flushed since:
//   stores into the view are not calls, so the model copies the view at each
//   flush.
// - A rename (MoveFileExW) is undone unless the folder of its new name was
//   flushed afterwards; MOVEFILE_WRITE_THROUGH flushes it at once. The file
//   that a rename replaced comes back under its name.
// - FlushFileBuffers of a volume's handle ("\\.\C:") flushes every file and
//   every rename on that drive, but the views of mapped files.
// - Creations and removals of folders, deletions of files, times and
//   attributes are taken as durable at once: the model questions the order of
//   data against metadata, which is where a run's files can disagree.
// The second model (power-keep) questions the other order: a rename (and a
// creation) reaches the disk at once, before the data of the file it names,
// as a file system with delayed allocation may write them. Every rename is
// kept as made, MOVEFILE_WRITE_THROUGH or not, and the file it replaced is
// gone; every file's data go back as above. So a file written, renamed onto
// its final name and never flushed comes back under that name, empty: the
// outcome where a reader finds the file in place and trusts it.
//
// The cut itself is made by this process while it holds the step lock, so no
// other step of it runs meanwhile; the files are put back with plain host
// calls that are not steps, and the process then kills itself.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace tovel::platform::fault {

// Whether the fault mode is on; fixed when the layer is loaded.
extern bool g_active;
inline bool active() { return g_active; }

// Held across one step; an empty lock when the mode is off.
using Step = std::unique_lock<std::mutex>;

// Each of these counts one step (which may end the process there), takes
// the model's note of what the call is about to change, and returns the lock
// that the caller holds until the call and its after_ note are done.
//
// A CreateFileW that may create or truncate: host path, whether the file
// existed before and whether the open truncates it.
Step before_create(const std::string& host, bool existed, bool truncates);
// A new file was made by that call: its descriptor.
void after_create(int fd, const std::string& host);
// A write or truncation through a descriptor of a file.
Step before_change(int fd, const std::string& host);
// A flush of the file behind fd (content durable now).
Step before_flush(int fd);
void after_flush(int fd);
// A flush of a whole volume (after before_flush of its handle): the files
// below its host folder have their content now as the durable one (but a
// mapped file, which goes back to its last flushed view), and every rename
// into a folder below it is durable.
void after_volume_flush(const std::string& folder);
// A rename; replacing: the target may be replaced.
Step before_rename(const std::string& from, const std::string& to);
void after_rename(const std::string& from, const std::string& to, bool succeeded,
                  bool write_through);
// The deletion of the file at host.
Step before_delete(const std::string& host);
// Any other step (folders, times, attributes).
Step before_other();
// A view of the file behind fd was mapped writable at address view (not a
// step): the model copies the file now.
void mapped(int fd, const void* view, size_t length);
void unmapped(const void* view);
// FlushViewOfFile of a view (a step): the model copies the view's bytes.
Step before_view_flush(const void* address);
void after_view_flush(const void* address);

}  // namespace tovel::platform::fault
