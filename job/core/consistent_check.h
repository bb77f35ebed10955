// Removal of the web interface's consistent-check results, one sub-folder per
// check in the data folder's "consistentcheck" folder, when the job engine
// closes.
#pragma once

#include <string>

// out = the data folder + "\consistentcheck\" + tail (a leading back-slash of
// tail is not doubled). Only the application-data folder itself is looked up;
// nothing is created. False when it cannot be named.
bool consistentcheck_path(std::wstring& out, const wchar_t* tail);

// Removes the folder named by pattern (a folder path followed by "\*") with
// everything in it. Links are removed, never followed. A file that cannot be
// deleted stops the removal of its folder and of every folder above it; what
// was deleted stays deleted. 1 when the folder itself was removed, else 0 (a
// missing folder included).
int remove_folder_tree(const wchar_t* pattern);

// Removes the consistent-check folder with everything in it: 1 when the
// folder itself was removed, else 0.
int consistentcheckfreeall();
