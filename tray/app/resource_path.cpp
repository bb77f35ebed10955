#include "tray/app/resource_path.h"

#include <map>

namespace {

// Built on first use (the language's static initialisation is its lock),
// destroyed at exit.
const std::map<LANGID, std::wstring>& language_table() {
    static const std::map<LANGID, std::wstring> table = {{2052, L"chs"}, {1033, L"enu"}};
    return table;
}

}  // namespace

std::wstring language_folder(LANGID language) {
    const auto& table = language_table();
    auto it = table.find(language);
    return it == table.end() ? L"ENU" : it->second;
}

std::wstring resource_library_path(LANGID language) {
    wchar_t program[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    std::wstring folder(program, length);
    size_t cut = folder.find_last_of(L"\\/");
    folder = cut == std::wstring::npos ? std::wstring() : folder.substr(0, cut + 1);
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    return folder + L"TrayLoc\\" + language_folder(language) + L"\\loc.dll";
}
