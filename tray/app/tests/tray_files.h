// The tray program's files placed in the test's machine as an installation
// would place them: the program's own resources and its resource library
// (TrayLoc) in a folder of the machine, which GetModuleFileNameW then names
// as the program's (TOVEL_PROGRAM).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/text_conv.h"
#include "tools/testkit/machine_fixture.h"

namespace tray_app_tests {

// The program's path in the machine.
inline const std::wstring kProgram = L"C:\\Program Files\\Tovel\\tray.exe";

inline std::string source_dir() {
    const char* source = std::getenv("TOVEL_SOURCE_DIR");
    return source ? source : ".";
}

// Copies a file of the source tree into the machine.
inline void place(const std::string& from, const std::wstring& to) {
    std::string host = tovel::testing::host_of(to);
    std::filesystem::create_directories(std::filesystem::path(host).parent_path());
    std::filesystem::copy_file(source_dir() + "/" + from, host,
                               std::filesystem::copy_options::overwrite_existing);
}

// The program's own resources and the resource library in the language
// folders given ("ENU", "chs"...), and TOVEL_PROGRAM set to the program.
inline void install_tray(std::initializer_list<const wchar_t*> languages) {
    place("tray/tray.res", kProgram + L".res");
    place("tray/tray.ico", L"C:\\Program Files\\Tovel\\tray.ico");
    for (const wchar_t* language : languages) {
        std::wstring folder = L"C:\\Program Files\\Tovel\\TrayLoc\\" + std::wstring(language);
        place("tray/TrayLoc/enu/loc.dll", folder + L"\\loc.dll");
        place("tray/TrayLoc/enu/tray.ico", folder + L"\\tray.ico");
    }
    setenv("TOVEL_PROGRAM", to_utf8(kProgram).c_str(), 1);
}

}  // namespace tray_app_tests
