// Where the tray's per-language resource library lies: "TrayLoc\<language
// folder>\loc.dll" in the program's folder.
#pragma once

#include <string>

#include "platform/win32.h"

// The language folder of a Windows language id: "chs" for 2052, "enu" for
// 1033, "ENU" for every other language. Any thread.
std::wstring language_folder(LANGID language);

// The full path of the library for the language: the program's folder, a
// back-slash unless the folder ends in one (or in "/"), "TrayLoc\", the
// language's folder and "\loc.dll". Empty when the program's path cannot be
// had. Any thread.
std::wstring resource_library_path(LANGID language);
