#include "tray/app/tray_main.h"

#include <ace/Log_Msg.h>

#include <cwchar>
#include <string>
#include <vector>

#include "common/ace_log_wrapper.h"
#include "common/text_conv.h"
#include "starter/logger_setup.h"
#include "tray/app/fill_text.h"
#include "tray/app/main_dialog.h"
#include "tray/app/resource_path.h"
#include "tray/app/single_instance.h"
#include "tray/tray_resources.h"

namespace {

// The blank-separated tokens of the command line, in order.
std::vector<std::wstring> tokens_of(LPCWSTR commandLine) {
    std::vector<std::wstring> tokens;
    if (!commandLine) return tokens;
    std::wstring text(commandLine);
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(L' ', at);
        if (end == std::wstring::npos) end = text.size();
        if (end > at) tokens.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return tokens;
}

// What the command line asks: -1 to go on, else the exit code.
int read_command_line(LPCWSTR commandLine, bool& noHome) {
    noHome = false;
    for (const std::wstring& token : tokens_of(commandLine)) {
        if (token == L"-k") {
            UINT message = RegisterWindowMessageW(kProgramUpdateMessageName);
            if (message) SendMessageW(HWND_BROADCAST, message, 0, 0);
            return 0;
        }
        if (token == L"-nohome") noHome = true;
    }
    return -1;
}

// Loads the resource library of the system's language and makes it the
// module's resources. False, logged and shown, when it cannot be loaded.
bool load_resources() {
    std::wstring path = resource_library_path(GetSystemDefaultLangID());
    HMODULE library = LoadLibraryW(path.c_str());
    if (!library) {
        log_message(LM_ERROR, "Failed load resource DLL, error-code = %d, %m\n",
                    static_cast<int>(GetLastError()));
        std::wstring text = fill_text(L"Can't load resource dll(%s).", path);
        MessageBoxW(nullptr, text.c_str(), L"Error!", MB_OK);
        return false;
    }
    _Module.SetResourceInstance(library);
    setTrayResources(library);
    return true;
}

}  // namespace

int Run(LPWSTR, int) {
    ACE_TRACE("Run...");
    WTL::CMessageLoop loop;
    _Module.AddMessageLoop(&loop);
    int code = 0;
    {
        CMainDlg dialog;
        if (!dialog.Create(nullptr)) {
            log_message(LM_ERROR, "Failed to create the main window. error-code = %d, %m.\n",
                        static_cast<int>(GetLastError()));
        } else {
            dialog.ShowWindow(SW_HIDE);
            code = loop.Run();
            // A loop ended by another way than the dialog's own leaves it.
            if (dialog.IsWindow()) dialog.DestroyWindow();
        }
    }
    _Module.RemoveMessageLoop();
    return code;
}

int _tWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR lpCmdLine, int nCmdShow) {
    setup_ace_logger("tray.conf", "tray.log");
    ACE_TRACE("Start tray...");
    int code = 0;
    bool noHome = false;
    int early = read_command_line(lpCmdLine, noHome);
    if (early >= 0) {
        close_ace_logger();
        return early;
    }
    if (!noHome) ShellExecuteW(nullptr, L"open", kWebRootAddress, nullptr, nullptr, SW_SHOWNORMAL);

    HANDLE instance = nullptr;
    if (claim_instance(instance) == InstanceClaim::first) {
        _Module.Init(nullptr, hInstance);
        if (load_resources()) code = Run(lpCmdLine, nCmdShow);
        _Module.Term();
        CloseHandle(instance);
    }
    close_ace_logger();
    return code;
}
