// The one spelling of the system's data folder below the machine-wide
// application-data folder, shared by every deliverable. File names are
// case-sensitive on this platform, so nothing may spell it another way.
#pragma once

namespace tovel {

inline constexpr wchar_t kDataSubFolder[] = L"\\morvask\\Tovel";
// The folder of all jobs, and the start of every per-job folder (19 characters).
inline constexpr wchar_t kJobsSubFolder[] = L"\\morvask\\Tovel\\job";
inline constexpr wchar_t kJobSubFolderPrefix[] = L"\\morvask\\Tovel\\job\\";
// Beside the jobs folder, on the same volume, so that a rename moves a whole
// job folder at once: a new job's folder is made and filled here before it is
// renamed into the jobs folder, and a removed job's folder is renamed here
// before it is deleted. Nothing in it is a job; the job engine empties it
// when it starts.
inline constexpr wchar_t kJobsStagingSubFolder[] = L"\\morvask\\Tovel\\job-staging";
// Beside the jobs folder: job folders that hold no job definition, moved
// aside whole ("<folder name>-<local FILETIME>") instead of being deleted.
// Nothing reads or deletes them.
inline constexpr wchar_t kJobsQuarantineSubFolder[] = L"\\morvask\\Tovel\\job-quarantine";

}  // namespace tovel
