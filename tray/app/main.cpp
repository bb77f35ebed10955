// The tray program: runs in each user's session beside the service, shows
// the jobs' state in the notification area and closes when the service ends.
#include <ace/Init_ACE.h>

#include <string>

#include "common/text_conv.h"
#include "tray/app/tray_main.h"

int main(int argc, char** argv) {
    ACE::init();
    // The arguments, joined by single blanks, are the command line.
    std::wstring commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) commandLine += L' ';
        commandLine += from_utf8(argv[i]);
    }
    int code = _tWinMain(GetModuleHandleW(nullptr), nullptr, commandLine.data(), SW_SHOWNORMAL);
    ACE::fini();
    return code;
}
