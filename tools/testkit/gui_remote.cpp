#include "tools/testkit/gui_remote.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "platform/kernel/host_names.h"

namespace tovel::testing {
namespace {

constexpr int kAnswerWaitMs = 60000;

std::wstring unescaped(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            char next = text[++i];
            out += next == 't' ? '\t' : next == 'n' ? '\n' : next;
        } else {
            out += text[i];
        }
    }
    return platform::wide_from_host_name(out.data(), out.size());
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    size_t start = 0, tab;
    while ((tab = line.find('\t', start)) != std::string::npos) {
        out.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    out.push_back(line.substr(start));
    return out;
}

HWND handle_of(const std::string& text) {
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(std::stoull(text, nullptr, 16)));
}

std::string handle_text(HWND window) {
    std::ostringstream out;
    out << std::hex << reinterpret_cast<uintptr_t>(window);
    return out.str();
}

}  // namespace

GuiRemote::GuiRemote(std::string socketPath) : path_(std::move(socketPath)) {}

GuiRemote::~GuiRemote() {
    if (fd_ >= 0) ::close(fd_);
}

bool GuiRemote::connect(int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) return false;
    std::strcpy(address.sun_path, path_.c_str());
    for (;;) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            if (fd_ >= 0) ::close(fd_);
            fd_ = fd;
            buffer_.clear();
            return ask("ping");
        }
        if (fd >= 0) ::close(fd);
        if (std::chrono::steady_clock::now() >= end) {
            error_ = "<no answer>";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool GuiRemote::read_line(std::string& line) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerWaitMs);
    for (;;) {
        size_t newline = buffer_.find('\n');
        if (newline != std::string::npos) {
            line = buffer_.substr(0, newline);
            buffer_.erase(0, newline + 1);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        pollfd fd = {fd_, POLLIN, 0};
        if (left <= 0 || ::poll(&fd, 1, static_cast<int>(left)) <= 0) return false;
        char chunk[4096];
        ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<size_t>(n));
    }
}

bool GuiRemote::ask(const std::string& request, std::string* head,
                    std::vector<std::string>* lines) {
    std::string text = request + "\n";
    std::string answer;
    if (fd_ < 0 ||
        ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()) ||
        !read_line(answer)) {
        error_ = "<no answer>";
        return false;
    }
    if (answer.rfind("ok", 0) != 0) {
        error_ = answer;
        return false;
    }
    std::string rest = answer.size() > 3 ? answer.substr(3) : std::string();
    if (head) *head = rest;
    if (lines) {
        lines->clear();
        size_t count = rest.empty() ? 0 : std::stoul(rest);
        for (size_t i = 0; i < count; ++i) {
            std::string line;
            if (!read_line(line)) {
                error_ = "<no answer>";
                return false;
            }
            lines->push_back(line);
        }
    }
    error_.clear();
    return true;
}

bool GuiRemote::move(int x, int y) {
    return ask("move " + std::to_string(x) + " " + std::to_string(y));
}

bool GuiRemote::press(int x, int y, bool right) {
    return ask("press " + std::to_string(x) + " " + std::to_string(y) + (right ? " right" : ""));
}

bool GuiRemote::release(int x, int y, bool right) {
    return ask("release " + std::to_string(x) + " " + std::to_string(y) + (right ? " right" : ""));
}

bool GuiRemote::click(int x, int y, bool right) {
    return ask("click " + std::to_string(x) + " " + std::to_string(y) + (right ? " right" : ""));
}

std::vector<GuiRemote::Icon> GuiRemote::icons() {
    std::vector<std::string> lines;
    std::vector<Icon> out;
    if (!ask("icons", nullptr, &lines)) return out;
    for (const auto& line : lines) {
        auto f = fields(line);
        if (f.size() < 8) continue;
        Icon icon;
        icon.window = handle_of(f[0]);
        icon.id = static_cast<UINT>(std::stoul(f[1]));
        icon.callback = static_cast<UINT>(std::stoul(f[2]));
        icon.version = static_cast<UINT>(std::stoul(f[3]));
        icon.width = std::stoi(f[4]);
        icon.height = std::stoi(f[5]);
        icon.image_file = unescaped(f[6]);
        icon.tooltip = unescaped(f[7]);
        out.push_back(icon);
    }
    return out;
}

bool GuiRemote::click_icon(HWND window, UINT id, platform::gui::IconClick kind) {
    const char* how = kind == platform::gui::IconClick::right         ? "right"
                      : kind == platform::gui::IconClick::left_double ? "double"
                                                                      : "left";
    return ask("icon-click " + handle_text(window) + " " + std::to_string(id) + " " + how);
}

RECT GuiRemote::icon_rect(HWND window, UINT id) {
    std::string head;
    RECT rect = {0, 0, 0, 0};
    if (!ask("icon-rect " + handle_text(window) + " " + std::to_string(id), &head)) return rect;
    std::istringstream in(head);
    in >> rect.left >> rect.top >> rect.right >> rect.bottom;
    return rect;
}

bool GuiRemote::record_launches() { return ask("record-launches"); }

std::vector<std::wstring> GuiRemote::launches() {
    std::vector<std::string> lines;
    std::vector<std::wstring> out;
    if (ask("launches", nullptr, &lines))
        for (const auto& line : lines) out.push_back(unescaped(line));
    return out;
}

std::vector<std::wstring> GuiRemote::message_boxes() {
    std::vector<std::string> lines;
    std::vector<std::wstring> out;
    if (ask("boxes", nullptr, &lines))
        for (const auto& line : lines) out.push_back(unescaped(line));
    return out;
}

bool GuiRemote::record_texts() { return ask("record-texts"); }

std::vector<platform::gui::DrawnText> GuiRemote::texts() {
    std::vector<std::string> lines;
    std::vector<platform::gui::DrawnText> out;
    if (!ask("texts", nullptr, &lines)) return out;
    for (const auto& line : lines) {
        auto f = fields(line);
        if (f.size() < 4) continue;
        platform::gui::DrawnText text;
        text.x = std::stoi(f[0]);
        text.y = std::stoi(f[1]);
        text.width = std::stoi(f[2]);
        text.text = unescaped(f[3]);
        out.push_back(text);
    }
    return out;
}

bool GuiRemote::write_screen_png(const std::string& path) { return ask("screen-png " + path); }

bool GuiRemote::write_window_png(HWND window, const std::string& path) {
    return ask("window-png " + handle_text(window) + " " + path);
}

std::vector<GuiRemote::Window> GuiRemote::windows() {
    std::vector<std::string> lines;
    std::vector<Window> out;
    if (!ask("windows", nullptr, &lines)) return out;
    for (const auto& line : lines) {
        auto f = fields(line);
        if (f.size() < 8) continue;
        Window window;
        window.handle = handle_of(f[0]);
        window.visible = f[1] == "1";
        window.rect = {std::stoi(f[2]), std::stoi(f[3]), std::stoi(f[4]), std::stoi(f[5])};
        window.class_name = unescaped(f[6]);
        window.title = unescaped(f[7]);
        out.push_back(window);
    }
    return out;
}

}  // namespace tovel::testing
