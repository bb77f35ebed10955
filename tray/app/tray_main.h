// The tray program's entry and its message loop.
#pragma once

#include "platform/win32.h"

// Makes the main dialog and runs the thread's message loop until WM_QUIT;
// its code, or 0 when the dialog cannot be made. Neither argument is used.
int Run(LPWSTR lpCmdLine, int nCmdShow);

// The tray's entry: logging ("tray.conf", "tray.log"), the command line
// (tokens split on blanks: "-k" asks every running tray of the user to close
// and ends with 0; "-nohome" leaves the browser closed; others are ignored),
// the web interface in the browser, one tray per user, the resource library
// of the system's language, Run. Returns the process's exit code: Run's, or
// 0 when the tray leaves early. Main thread, before any other thread.
int _tWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow);

// The address _tWinMain opens (the tray menu opens tray::kWebInterface).
inline constexpr wchar_t kWebRootAddress[] = L"http://127.0.0.1:8888";
