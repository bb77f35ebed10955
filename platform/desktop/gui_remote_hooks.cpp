#include "platform/desktop/gui_remote_hooks.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/desktop/gui_desktop.h"
#include "platform/desktop/gui_test.h"
#include "platform/desktop/window_core.h"
#include "platform/kernel/descriptor.h"
#include "platform/kernel/host_names.h"

namespace tovel::platform::gui {
namespace {

std::string escaped(const std::wstring& text) {
    std::string out;
    for (char c : host_name_from_wide(text.data(), text.size())) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string handle_text(HWND window) {
    char text[32];
    std::snprintf(text, sizeof text, "%llx",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window)));
    return text;
}

HWND handle_of(const std::string& text) {
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(std::strtoull(text.c_str(), nullptr, 16)));
}

// Runs work on the thread of the process's first top-level window (or
// here, when there is none).
void on_gui_thread(const std::function<void()>& work) {
    auto windows = desk::broadcast_targets();
    if (!windows.empty() && run_on_window_thread(windows.front(), work)) return;
    work();
}

std::string listing(const std::vector<std::string>& lines) {
    std::string out = "ok " + std::to_string(lines.size());
    for (const auto& line : lines) out += "\n" + line;
    return out;
}

class HookServer {
public:
    std::string answer(const std::string& line) {
        std::istringstream in(line);
        std::string verb;
        in >> verb;
        if (verb == "ping") return "ok";
        if (verb == "move" || verb == "press" || verb == "release" || verb == "click") {
            int x = 0, y = 0;
            std::string side;
            if (!(in >> x >> y)) return "error arguments";
            in >> side;
            const bool right = side == "right";
            on_gui_thread([&] {
                if (verb == "move")
                    move_mouse(x, y);
                else if (verb == "press")
                    press(x, y, right);
                else if (verb == "release")
                    release(x, y, right);
                else
                    click(x, y, right);
            });
            return "ok";
        }
        if (verb == "icons") {
            std::vector<NotifyIcon> icons;
            on_gui_thread([&] { icons = notify_icons(); });
            std::vector<std::string> lines;
            for (const auto& icon : icons) {
                std::wstring file =
                    wide_from_host_name(icon.image_file.data(), icon.image_file.size());
                lines.push_back(handle_text(icon.window) + "\t" + std::to_string(icon.id) + "\t" +
                                std::to_string(icon.callback) + "\t" +
                                std::to_string(icon.version) + "\t" + std::to_string(icon.width) +
                                "\t" + std::to_string(icon.height) + "\t" + escaped(file) + "\t" +
                                escaped(icon.tooltip));
            }
            return listing(lines);
        }
        if (verb == "icon-click" || verb == "icon-rect") {
            std::string window, kind;
            UINT id = 0;
            if (!(in >> window >> id)) return "error arguments";
            in >> kind;
            if (verb == "icon-rect") {
                RECT r = notify_icon_rect(handle_of(window), id);
                return "ok " + std::to_string(r.left) + " " + std::to_string(r.top) + " " +
                       std::to_string(r.right) + " " + std::to_string(r.bottom);
            }
            IconClick click = kind == "right"    ? IconClick::right
                              : kind == "double" ? IconClick::left_double
                                                 : IconClick::left;
            bool done = false;
            on_gui_thread([&] { done = click_notify_icon(handle_of(window), id, click); });
            return done ? "ok" : "error no such icon";
        }
        if (verb == "record-launches") {
            std::lock_guard<std::mutex> guard(lock_);
            if (!recorder_) recorder_ = std::make_unique<LaunchRecorder>();
            return "ok";
        }
        if (verb == "record-texts") {
            // A fresh recording each time: what was drawn before is dropped.
            std::lock_guard<std::mutex> guard(lock_);
            texts_.reset();
            texts_ = std::make_unique<TextRecorder>();
            return "ok";
        }
        if (verb == "texts") {
            std::vector<std::string> lines;
            std::lock_guard<std::mutex> guard(lock_);
            if (texts_)
                for (const auto& text : texts_->texts())
                    lines.push_back(std::to_string(text.x) + "\t" + std::to_string(text.y) + "\t" +
                                    std::to_string(text.width) + "\t" + escaped(text.text));
            return listing(lines);
        }
        if (verb == "launches" || verb == "boxes") {
            std::vector<std::wstring> texts;
            std::lock_guard<std::mutex> guard(lock_);
            if (verb == "boxes")
                texts = message_boxes();
            else if (recorder_)
                texts = recorder_->launches();
            std::vector<std::string> lines;
            for (const auto& text : texts) lines.push_back(escaped(text));
            return listing(lines);
        }
        if (verb == "screen-png" || verb == "window-png") {
            std::string window;
            if (verb == "window-png" && !(in >> window)) return "error arguments";
            std::string path;
            std::getline(in >> std::ws, path);
            if (path.empty()) return "error arguments";
            if (verb == "window-png" && !IsWindow(handle_of(window))) return "error no such window";
            bool written = false;
            on_gui_thread([&] {
                Picture picture =
                    verb == "screen-png" ? screen_picture() : window_picture(handle_of(window));
                written = write_png(picture, path);
            });
            return written ? "ok" : "error not written";
        }
        if (verb == "windows") {
            std::vector<std::string> lines;
            for (const auto& w : desk::top_windows())
                lines.push_back(handle_text(w.handle) + "\t" + (w.visible ? "1" : "0") + "\t" +
                                std::to_string(w.rect.left) + "\t" + std::to_string(w.rect.top) +
                                "\t" + std::to_string(w.rect.right) + "\t" +
                                std::to_string(w.rect.bottom) + "\t" + escaped(w.class_name) +
                                "\t" + escaped(w.title));
            return listing(lines);
        }
        return "error unknown";
    }

    // Answers the lines of one client until it goes (a thread of its own
    // for each client).
    void serve(int fd) {
        Descriptor connection(fd);
        std::string buffer;
        char chunk[4096];
        for (;;) {
            size_t end;
            while ((end = buffer.find('\n')) != std::string::npos) {
                std::string reply = answer(buffer.substr(0, end)) + "\n";
                buffer.erase(0, end + 1);
                size_t at = 0;
                while (at < reply.size()) {
                    ssize_t n = ::send(fd, reply.data() + at, reply.size() - at, MSG_NOSIGNAL);
                    if (n < 0 && errno == EINTR) continue;
                    if (n <= 0) return;
                    at += static_cast<size_t>(n);
                }
            }
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            buffer.append(chunk, static_cast<size_t>(n));
        }
    }

    void run(int listening) {
        for (;;) {
            int fd = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                std::thread([this, fd] { serve(fd); }).detach();
            else if (errno != EINTR && errno != ECONNABORTED)
                return;
        }
    }

private:
    std::mutex lock_;
    std::unique_ptr<LaunchRecorder> recorder_;  // under lock_
    std::unique_ptr<TextRecorder> texts_;       // under lock_
};

}  // namespace

void serve_remote_hooks() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char* path = std::getenv("TOVEL_GUI_SOCKET");
        if (!path || !*path) return;
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        if (std::strlen(path) >= sizeof address.sun_path) return;
        std::strcpy(address.sun_path, path);
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return;
        // Bound under a temporary name and renamed, so that a client that
        // sees the path can connect at once.
        std::string temporary = std::string(path) + ".new";
        sockaddr_un bound = address;
        if (temporary.size() >= sizeof bound.sun_path) return;
        std::strcpy(bound.sun_path, temporary.c_str());
        ::unlink(temporary.c_str());
        if (::bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0 ||
            ::chmod(temporary.c_str(), 0600) != 0 || ::listen(fd, 8) != 0 ||
            ::rename(temporary.c_str(), path) != 0) {
            ::close(fd);
            return;
        }
        static auto* server = new HookServer;  // lives until the process ends
        std::thread([fd] { server->run(fd); }).detach();
    });
}

}  // namespace tovel::platform::gui
