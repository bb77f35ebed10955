// Test support: drives the headless desktop of another process, one that
// runs with TOVEL_GUI_SOCKET naming a socket path (platform/desktop/gui_remote_hooks.h
// serves it): the mouse, the notification icons, the recorded launches and
// message boxes, pictures as PNG files, and the list of top-level windows.
// One call per hook; each waits for the answer. Not thread-safe: one
// thread drives one GuiRemote.
#pragma once

#include <string>
#include <vector>

#include "platform/desktop/gui_test.h"
#include "platform/win32.h"

namespace tovel::testing {

class GuiRemote {
public:
    explicit GuiRemote(std::string socketPath);
    ~GuiRemote();
    GuiRemote(const GuiRemote&) = delete;
    GuiRemote& operator=(const GuiRemote&) = delete;

    // Waits until the socket appears and answers (the process made its first
    // top-level window); false after timeoutMs.
    bool connect(int timeoutMs = 60000);

    // The mouse, in screen coordinates. False when the process did not answer.
    bool move(int x, int y);
    bool press(int x, int y, bool right = false);
    bool release(int x, int y, bool right = false);
    bool click(int x, int y, bool right = false);

    struct Icon {
        HWND window = nullptr;  // the other process's handle
        UINT id = 0;
        UINT callback = 0;
        UINT version = 0;
        int width = 0, height = 0;
        std::wstring image_file;
        std::wstring tooltip;
    };
    std::vector<Icon> icons();
    bool click_icon(HWND window, UINT id, platform::gui::IconClick kind);
    RECT icon_rect(HWND window, UINT id);

    // Launches are recorded (not started) from record_launches() on.
    bool record_launches();
    std::vector<std::wstring> launches();
    std::vector<std::wstring> message_boxes();

    // The lines of text the process draws are recorded afresh from
    // record_texts() on (what was recorded before is dropped).
    bool record_texts();
    std::vector<platform::gui::DrawnText> texts();

    // Writes the picture as a PNG at path (a host path); false when not written.
    bool write_screen_png(const std::string& path);
    bool write_window_png(HWND window, const std::string& path);

    struct Window {
        HWND handle = nullptr;
        bool visible = false;
        RECT rect = {0, 0, 0, 0};
        std::wstring class_name;
        std::wstring title;
    };
    std::vector<Window> windows();

    // The last answer that was not "ok" ("" none; "<no answer>" when the
    // connection failed).
    const std::string& last_error() const { return error_; }

private:
    // Sends one request; the answer's first line (after "ok") and the lines
    // that follow it when it lists. False when the answer is no "ok".
    bool ask(const std::string& request, std::string* head = nullptr,
             std::vector<std::string>* lines = nullptr);
    bool read_line(std::string& line);

    std::string path_;
    int fd_ = -1;
    std::string buffer_;
    std::string error_;
};

}  // namespace tovel::testing
