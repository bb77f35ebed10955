// Resource libraries of the project's own text format (platform/modules/resources.md)
// as the image and dialog calls read them. Internal to the layer.
#pragma once

#include <string>
#include <vector>

#include "platform/win/types.h"

namespace tovel::platform::res {

struct Control {
    int id = 0;
    std::wstring kind;  // "STATIC", "BUTTON", "ICON"
    int x = 0, y = 0, width = 0, height = 0;
    std::wstring text;
};
struct Dialog {
    int width = 0, height = 0;
    std::wstring caption;
    std::vector<Control> controls;
};

// The Windows path of icon id's ICO file of the module; false when it has none.
bool icon_file(HMODULE module, UINT id, std::wstring& path);
// Dialog template id of the module; false when it has none.
bool dialog(HMODULE module, UINT id, Dialog& out);
// Whether the handle is a resource library that LoadLibraryW loaded.
bool is_library(HMODULE module);

}  // namespace tovel::platform::res
