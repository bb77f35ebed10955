// The one spelling of the system's data folder below the machine-wide
// application-data folder, shared by every deliverable. File names are
// case-sensitive on this platform, so nothing may spell it another way.
#pragma once

namespace tovel {

inline constexpr wchar_t kDataSubFolder[] = L"\\morvask\\Tovel";
// The folder of all jobs, and the start of every per-job folder (19 characters).
inline constexpr wchar_t kJobsSubFolder[] = L"\\morvask\\Tovel\\job";
inline constexpr wchar_t kJobSubFolderPrefix[] = L"\\morvask\\Tovel\\job\\";

}  // namespace tovel
