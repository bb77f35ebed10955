// Paths below the machine-wide application-data folder, and path joiners.
// All paths are wide with back-slashes. Any thread.
#pragma once

#include <cstdint>
#include <string>

// out = the application-data folder + subPath (which starts with a
// back-slash), with every missing folder of it created. False only when the
// shell cannot name the folder; out is then untouched. A folder that cannot be
// made is not reported: the caller's next file operation fails instead.
bool common_appdata_path(std::wstring& out, const wchar_t* subPath);

// The folders of one job below "\morvask\Tovel\job\<id>" (a null id counts as
// empty), each created: "\act", "\act\vol", "\hist\<runName>", "\tmp".
bool job_activity_path(std::wstring& out, const char* jobId);
bool job_volume_path(std::wstring& out, const char* jobId);
bool job_history_path(std::wstring& out, const char* jobId, const char* runName);
bool job_temp_path(std::wstring& out, const char* jobId);
// Empty when the folder cannot be named.
std::wstring job_temp_path(const char* jobId);
// The activity folder + "\src", a file name: the activity folder is created, "src" is not.
std::wstring job_source_path(const char* jobId);

// dir + one back-slash unless dir ends in one (an empty dir does not) + name.
// out may be the string that holds dir or name.
std::wstring& path_join(const wchar_t* dir, const wchar_t* name, std::wstring& out);
// path_join of dir and the decimal text of number.
std::wstring& path_join_number(const wchar_t* dir, uint64_t number, std::wstring& out);
