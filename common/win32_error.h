// The message text of a Win32 or WinHTTP error code.
#pragma once

#include <ostream>

#include "platform/win32.h"

// Holds the system's narrow message text of a code: the system's table first,
// then the "winhttp" module's (loaded when needed, never freed), else an empty
// text. Never holds null; the text is freed with LocalFree. Not copyable.
class win32_error_text {
public:
    explicit win32_error_text(DWORD code);
    ~win32_error_text();
    win32_error_text(const win32_error_text&) = delete;
    win32_error_text& operator=(const win32_error_text&) = delete;

    const char* text() const { return text_; }
    operator const char*() const { return text_; }

private:
    char* text_;
    bool owned_;
};

// The same for the wide text.
class win32_error_wtext {
public:
    explicit win32_error_wtext(DWORD code);
    ~win32_error_wtext();
    win32_error_wtext(const win32_error_wtext&) = delete;
    win32_error_wtext& operator=(const win32_error_wtext&) = delete;

    const wchar_t* text() const { return text_; }
    operator const wchar_t*() const { return text_; }

private:
    wchar_t* text_;
    bool owned_;
};

// Writes "err=<code>, <text>" and returns os.
std::ostream& print_win32_error(std::ostream& os, DWORD code);
