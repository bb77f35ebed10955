// The tray program beside a running service host: the agent runs in the
// console with its web server on a free port (the tray reaches it as port
// 8888 through the test's port mapping), the remote-service simulator serves
// its backups slowly, and the test defines, starts, pauses and stops jobs
// over HTTP as a browser would. The tray is driven and read from outside
// through its test hooks socket: its icon's frames, the pop-up of job cards
// and the menu, as screen pictures that python reads back. When the agent
// stops, the tray ends with it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/text_conv.h"
#include "platform/desktop/gui_test.h"
#include "starter/tests/http_probe.h"
#include "starter/tests/starter_process.h"
#include "tools/testkit/gui_remote.h"
#include "tools/testkit/machine_fixture.h"
#include "tools/testkit/remote_service.h"

using tovel::starter::testing::curl;
using tovel::starter::testing::header_of;
using tovel::starter::testing::listening_port;
using tovel::starter::testing::StarterProcess;
using tovel::starter::testing::status_of;
using tovel::testing::GuiRemote;
using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::RemoteService;
using tovel::testing::run_command;
using tovel::testing::shell_quote;
using tovel::testing::write_host_file;
namespace gui = tovel::platform::gui;

namespace {

template <class Done>
bool wait_until(Done done, int timeoutMs = 60000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Files of random bytes under C:\data: blocks of 128 KiB in all.
void make_tree(int blocks) {
    std::mt19937 random(20261209);
    std::filesystem::create_directories(host_of(L"C:\\data\\sub"));
    for (int i = 0; i < blocks / 4; ++i) {
        std::string bytes(4 * 131072 - 3, '\0');
        for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
        write_host_file(host_of(L"C:\\data\\" + std::wstring(i % 2 ? L"sub\\" : L"") + L"f" +
                                std::to_wstring(i) + L".bin"),
                        bytes);
    }
}

// Colours the pictures are read for.
const std::string kCardFill = "edefef";    // a job card (and the menu) in its normal look
const std::string kCardBorder = "dadada";  // a job card's border: the pop-up has none such
const std::string kTaskbar = "202020";

bool near(uint32_t pixel, uint32_t colour) {
    for (int shift = 0; shift < 24; shift += 8) {
        int a = (pixel >> shift) & 0xFF, b = (colour >> shift) & 0xFF;
        if (a - b > 8 || b - a > 8) return false;
    }
    return true;
}

// What tells painted cards from the pop-up's own fill (which is the cards'
// fill too): below the header, the cards' grey borders and
// their black text.
// A painted card has a top and a bottom edge: rows with a long run of the
// border's colour.
struct CardPaint {
    size_t edges = 0, ink = 0;
};
CardPaint card_paint(const gui::Picture& picture, const RECT& popup) {
    CardPaint paint;
    bool onEdge = false;
    for (int y = popup.top + 25; y < popup.bottom; ++y) {
        int run = 0, longest = 0;
        for (int x = popup.left; x < popup.right; ++x) {
            uint32_t pixel = picture.at(x, y);
            run = near(pixel, 0xDADADA) ? run + 1 : 0;
            longest = std::max(longest, run);
            paint.ink += (pixel & 0xFFFFFF) == 0;
        }
        bool edge = longest >= (popup.right - popup.left) / 2;
        paint.edges += edge && !onEdge;
        onEdge = edge;
    }
    return paint;
}

// A port of this machine that no one listens on now.
unsigned short free_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    unsigned short port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    if (fd >= 0) ::close(fd);
    return port;
}

std::string rect_text(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) +
           "," + std::to_string(r.bottom);
}

// python3's reading of the picture: the share of each colour in its rectangle.
std::vector<double> read_back(const std::string& png,
                              const std::vector<std::pair<RECT, std::string>>& probes) {
    std::string command =
        "python3 " + shell_quote(std::string(TOVEL_SOURCE) + "/tray/app/tests/picture_check.py") +
        " " + shell_quote(png);
    for (const auto& probe : probes) command += " " + rect_text(probe.first) + "=" + probe.second;
    std::string output;
    EXPECT_EQ(run_command(command, &output), 0) << command;
    std::vector<double> shares;
    size_t at = 0;
    while (at < output.size()) {
        size_t end = output.find('\n', at);
        if (end == std::string::npos) end = output.size();
        if (end > at) shares.push_back(std::stod(output.substr(at, end - at)));
        at = end + 1;
    }
    EXPECT_EQ(shares.size(), probes.size()) << output;
    shares.resize(probes.size(), 0.0);
    return shares;
}

class TrayWithHost : public ::testing::Test {
protected:
    // The tray's one icon.
    GuiRemote::Icon icon() {
        auto icons = remote_->icons();
        return icons.empty() ? GuiRemote::Icon() : icons.front();
    }
    std::string image() { return to_utf8(icon().image_file); }
    bool shows(const std::string& file) {
        return wait_until([&] {
            std::string now = image();
            return now.size() >= file.size() &&
                   now.compare(now.size() - file.size(), file.size(), file) == 0;
        });
    }
    // The visible top-level window of that width (the menu is 154 wide),
    // or of any other width.
    GuiRemote::Window visible(bool menu) {
        for (const auto& window : remote_->windows())
            if (window.visible && (window.rect.right - window.rect.left == 154) == menu)
                return window;
        return GuiRemote::Window();
    }

    // Opens the pop-up and then the menu, writing the screen each time into
    // the pictures folder, and reads both back: the cards painted in the
    // pop-up (cards of them, whose titles are drawn), the menu's fill in the
    // menu, the icon on the taskbar. The card texts drawn go to drawn.
    void pictures(const std::string& state, const std::vector<std::wstring>& titles,
                  std::vector<std::wstring>* drawn = nullptr, bool withMenu = true) {
        const size_t cards = titles.size();
        GuiRemote::Icon now = icon();
        RECT iconAt = remote_->icon_rect(now.window, now.id);
        // The pop-up is what covers the desktop above the taskbar (40 high
        // at the bottom); once faded in, the cards show in their colour.
        std::string path = gui::pictures_folder() + "/tray-program-" + state + ".png";
        gui::Picture picture;
        RECT popup = {};
        auto shown = [&] {
            if (!remote_->write_screen_png(path) || !gui::read_png(path, picture)) return false;
            popup = {1280, 760, 0, 0};
            for (int y = 0; y < 760; ++y)
                for (int x = 0; x < 1280; ++x)
                    if ((picture.at(x, y) & 0xFFFFFF) != 0x3A6EA5) {
                        popup.left = std::min<LONG>(popup.left, x);
                        popup.top = std::min<LONG>(popup.top, y);
                        popup.right = std::max<LONG>(popup.right, x + 1);
                        popup.bottom = std::max<LONG>(popup.bottom, y + 1);
                    }
            if (popup.right <= popup.left) return false;
            size_t hits = 0;
            for (int y = popup.top; y < popup.bottom; ++y)
                for (int x = popup.left; x < popup.right; ++x)
                    hits += near(picture.at(x, y), 0xEDEFEF);
            // Faded in, and every card painted: its border and its text.
            CardPaint paint = card_paint(picture, popup);
            return hits * 2 > static_cast<size_t>((popup.right - popup.left) *
                                                  (popup.bottom - popup.top)) &&
                   paint.edges >= 2 * cards && paint.ink >= 150 * cards;
        };
        // A job's final event can come before its activity record holds the
        // final state; the cards read the record and catch up at the list's
        // next once-a-second look, which the picture waits for.
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        // A click as the pop-up of an earlier one fades out may be lost
        // with it: the user clicks again.
        bool seen = false;
        std::vector<std::wstring> texts;
        for (int click = 0; click < 3 && !seen; ++click) {
            ASSERT_TRUE(remote_->click_icon(now.window, now.id, gui::IconClick::left));
            seen = wait_until(shown, 5000);
        }
        CardPaint paint = card_paint(picture, popup);
        ASSERT_TRUE(seen) << state << ": " << paint.edges << " card edges and " << paint.ink
                          << " ink pixels\n"
                          << tray_->errors();
        EXPECT_GT(popup.right - popup.left, 100) << state;
        EXPECT_GT(popup.bottom - popup.top, 100) << state;
        // Each card's title was drawn whole (the lines drawn are recorded
        // from the tray's start on), and no time of 0 as a date.
        std::set<std::wstring> drawnTitles;
        for (const auto& text : remote_->texts()) {
            texts.push_back(text.text);
            drawnTitles.insert(text.text);
        }
        for (const std::wstring& title : titles)
            EXPECT_EQ(drawnTitles.count(title), 1u) << state << ": " << to_utf8(title);
        for (const std::wstring& text : texts)
            EXPECT_EQ(text.find(L"1601-"), std::wstring::npos) << state << ": " << to_utf8(text);
        if (drawn) *drawn = texts;
        std::vector<double> shares =
            read_back(path, {{popup, kCardFill}, {iconAt, kTaskbar}, {popup, kCardBorder}});
        EXPECT_GT(shares[0], 0.2) << state << ": the cards' fill in the pop-up";
        EXPECT_LT(shares[1], 0.5) << state << ": the icon on the taskbar";
        EXPECT_GT(shares[2], 0.004 * static_cast<double>(cards)) << state << ": the cards' borders";
        if (!withMenu) return;

        GuiRemote::Window menu;
        std::string menuPath = gui::pictures_folder() + "/tray-program-" + state + "-menu.png";
        auto painted = [&] {
            if (!remote_->write_screen_png(menuPath) || !gui::read_png(menuPath, picture))
                return false;
            size_t hits = 0, text = 0;
            for (int y = menu.rect.top; y < menu.rect.bottom; ++y)
                for (int x = menu.rect.left; x < menu.rect.right; ++x) {
                    hits += near(picture.at(x, y), 0xEDEFEF);
                    text += y < 760 && near(picture.at(x, y), 0x202020);
                }
            // Its items' captions too.
            return hits * 2 > static_cast<size_t>((menu.rect.right - menu.rect.left) *
                                                  (menu.rect.bottom - menu.rect.top)) &&
                   text > 20;
        };
        // The menu closes when it loses activation, as when the pop-up lays
        // itself out again and takes the foreground: the user opens it again.
        bool opened = false;
        for (int click = 0; click < 3 && !opened; ++click) {
            ASSERT_TRUE(remote_->click_icon(now.window, now.id, gui::IconClick::right));
            opened = wait_until([&] { return (menu = visible(true)).handle != nullptr; }, 5000) &&
                     wait_until(painted, 5000);
        }
        ASSERT_TRUE(opened) << state << ": " << window_list();
        shares = read_back(menuPath, {{menu.rect, kCardFill}, {iconAt, kTaskbar}});
        EXPECT_GT(shares[0], 0.3) << state << ": the menu's fill";
        EXPECT_LT(shares[1], 0.5) << state << ": the icon on the taskbar";
        // A press on the desktop closes the menu.
        ASSERT_TRUE(remote_->click(200, 200));
        EXPECT_TRUE(wait_until([&] { return visible(true).handle == nullptr; }));
    }

    std::string window_list() {
        std::string out;
        for (const auto& w : remote_->windows())
            out += to_utf8(w.class_name) + " '" + to_utf8(w.title) + "' " + rect_text(w.rect) +
                   (w.visible ? " visible\n" : " hidden\n");
        return out;
    }

    std::unique_ptr<GuiRemote> remote_;
    StarterProcess* tray_ = nullptr;
};

}  // namespace

TEST_F(TrayWithHost, JobsRunPauseAndFailAsTheTrayShowsThemAndItEndsWithTheAgent) {
    // Each block takes 0.5 s at the service: a run of 48 blocks lasts 24 s.
    RemoteService service({"--account", "alice:secret", "--fault",
                           R"({"kind": "upload_data", "action": "delay", "seconds": 0.5})"});
    ASSERT_NE(service.port(), 0);
    make_tree(48);
    std::string data = host_of(L"C:\\ProgramData\\morvask\\Tovel");
    std::filesystem::create_directories(data);
    write_host_file(data + "/mongoose.conf", "ports 127.0.0.1:0\n");

    StarterProcess agent({"-d"});
    ASSERT_NE(agent.waitFor("serving directory ["), std::string::npos) << agent.errors();
    unsigned short port = listening_port(agent.output());
    ASSERT_NE(port, 0);
    ASSERT_EQ(status_of(curl(port, "POST", "/server", "",
                             R"({"name": "simulator", "host": "127.0.0.1", "port": )" +
                                 std::to_string(service.port()) + "}")),
              200);
    std::string login = curl(port, "POST", "/login", "", "username=alice&userpassword=secret",
                             "application/x-www-form-urlencoded");
    ASSERT_EQ(status_of(login), 200) << login;
    std::string cookie = header_of(login, "Set-Cookie");
    cookie = cookie.substr(0, cookie.find(';'));
    auto define = [&](const std::string& name, const std::string& source,
                      const std::string& schedule) {
        std::string made = curl(port, "POST", "/jobs", cookie,
                                R"({"type":"backup","name":")" + name + R"(","source":[")" +
                                    source + R"("],"schedule":{"type":")" + schedule + "\"}}");
        EXPECT_EQ(status_of(made), 200) << made;
        std::smatch match;
        EXPECT_TRUE(std::regex_search(made, match, std::regex("\"id\":\"([^\"]+)\""))) << made;
        return match.size() > 1 ? match[1].str() : std::string();
    };
    const std::string photos = define("Photos", "C:/data", "manual");
    // Run once: its last run's end stays its state.
    const std::string papers = define("Papers", "C:/data/sub", "once");
    auto command = [&](const std::string& id, const std::string& what) {
        std::string reply = curl(port, "GET", "/jobs/" + id + "/" + what, cookie);
        EXPECT_EQ(status_of(reply), 200) << what << ": " << reply;
    };

    // The tray of the build's programs folder, its events from the agent.
    std::string socket = machine_root() + "/tray.sock";
    StarterProcess tray({"-nohome"},
                        {"TOVEL_PROGRAM=", "TOVEL_GUI_SOCKET=" + socket,
                         "TOVEL_SHELL_RECORD=" + machine_root() + "/shell.txt",
                         "TOVEL_WINHTTP_PORT_MAP=8888=" + std::to_string(port)},
                        TRAY_PROGRAM);
    tray_ = &tray;
    remote_ = std::make_unique<GuiRemote>(socket);
    ASSERT_TRUE(remote_->connect()) << tray.errors();
    ASSERT_TRUE(remote_->record_texts());
    ASSERT_TRUE(wait_until([&] { return icon().window != nullptr; })) << tray.errors();
    ASSERT_TRUE(shows("none.ico")) << image();
    pictures("idle", {L"Backup: Photos", L"Backup: Papers"});

    // Running: the five frames of status 16 in turn, every 200 ms.
    command(photos, "start");
    ASSERT_TRUE(shows("jobrunning1.ico") || shows("jobrunning2.ico")) << image();
    std::vector<std::string> frames;
    ASSERT_TRUE(wait_until(
        [&] {
            std::string now = image();
            if (now.find("jobrunning") != std::string::npos &&
                (frames.empty() || frames.back() != now))
                frames.push_back(now);
            return frames.size() >= 7;
        },
        10000));
    for (size_t i = 1; i < frames.size(); ++i) {
        auto number = [](const std::string& file) { return file[file.size() - 5] - '0'; };
        EXPECT_EQ(number(frames[i]), number(frames[i - 1]) % 5 + 1) << frames[i];
    }
    pictures("running", {L"Backup: Photos"});

    // Paused: no job runs, none failed.
    command(photos, "pause");
    ASSERT_TRUE(shows("none.ico")) << image();
    pictures("paused", {L"Backup: Photos", L"Backup: Papers"});

    // A run refused by the service ends in error while the other runs (20),
    // and stays in error once the other stops (4).
    // Resumed once the pause took hold.
    ASSERT_TRUE(wait_until([&] {
        return status_of(curl(port, "GET", "/jobs/" + photos + "/resume", cookie)) == 200;
    }));
    ASSERT_TRUE(wait_until([&] { return image().find("jobrunning") != std::string::npos; }));
    service.control("POST", "faults",
                    R"({"kind": "start_job", "action": "status", "status": 403, "times": 1})");
    command(papers, "start");
    ASSERT_TRUE(wait_until([&] { return image().find("jobrunning_err") != std::string::npos; }))
        << image() << tray.errors();
    command(photos, "stop");
    ASSERT_TRUE(shows("err.ico")) << image() << tray.errors();
    pictures("error", {L"Backup: Photos", L"Backup: Papers"});

    // The agent stops (Ctrl-C): the tray sees its exit event and ends.
    agent.signal(SIGINT);
    EXPECT_EQ(tray.wait(), 2) << tray.errors();
    EXPECT_NE(tray.errors().find("Agent exit event been set."), std::string::npos) << tray.errors();
    EXPECT_EQ(agent.wait(), 0);
}

// What the service logs as the tray's event stream starts.
const char kStreamStarts[] = "a job event stream starts.";

// How often text occurs in a log.
size_t count_of(const std::string& log, const std::string& text) {
    size_t count = 0;
    for (size_t at = 0; (at = log.find(text, at)) != std::string::npos; at += text.size()) ++count;
    return count;
}

// The state line drawn last on the card of that title: "" when none.
std::wstring last_state(const std::vector<std::wstring>& texts, const std::wstring& title) {
    std::wstring state;
    bool card = false;
    for (const std::wstring& text : texts) {
        if (text.rfind(L"Backup: ", 0) == 0) card = text == title;
        if (card && text.rfind(L"State: ", 0) == 0) state = text;
    }
    return state;
}

TEST_F(TrayWithHost, ATrayStartedBeforeTheServiceFollowsItThroughARestart) {
    RemoteService service({"--account", "alice:secret", "--fault",
                           R"({"kind": "upload_data", "action": "delay", "seconds": 0.5})"});
    ASSERT_NE(service.port(), 0);
    make_tree(48);
    std::string data = host_of(L"C:\\ProgramData\\morvask\\Tovel");
    std::filesystem::create_directories(data);
    // The service listens on the same port in each of its runs.
    const unsigned short port = free_port();
    ASSERT_NE(port, 0);
    write_host_file(data + "/mongoose.conf", "ports 127.0.0.1:" + std::to_string(port) + "\n");
    std::string cookie;
    auto start_agent = [&] {
        auto agent = std::make_unique<StarterProcess>(std::vector<std::string>{"-d"});
        EXPECT_NE(agent->waitFor("serving directory ["), std::string::npos) << agent->errors();
        EXPECT_EQ(listening_port(agent->output()), port);
        // The remote server is set once; the settings stay.
        if (cookie.empty())
            EXPECT_EQ(status_of(curl(port, "POST", "/server", "",
                                     R"({"name": "simulator", "host": "127.0.0.1", "port": )" +
                                         std::to_string(service.port()) + "}")),
                      200);
        std::string login = curl(port, "POST", "/login", "", "username=alice&userpassword=secret",
                                 "application/x-www-form-urlencoded");
        EXPECT_EQ(status_of(login), 200) << login;
        cookie = header_of(login, "Set-Cookie");
        cookie = cookie.substr(0, cookie.find(';'));
        return agent;
    };
    auto command = [&](const std::string& id, const std::string& what) {
        std::string reply = curl(port, "GET", "/jobs/" + id + "/" + what, cookie);
        EXPECT_EQ(status_of(reply), 200) << what << ": " << reply;
    };

    // A first run of the service defines two jobs run by hand, and ends.
    std::string photos, papers;
    {
        auto agent = start_agent();
        auto define = [&](const std::string& name, const std::string& source) {
            std::string made = curl(port, "POST", "/jobs", cookie,
                                    R"({"type":"backup","name":")" + name + R"(","source":[")" +
                                        source + R"("],"schedule":{"type":"manual"}})");
            EXPECT_EQ(status_of(made), 200) << made;
            std::smatch match;
            EXPECT_TRUE(std::regex_search(made, match, std::regex("\"id\":\"([^\"]+)\""))) << made;
            return match.size() > 1 ? match[1].str() : std::string();
        };
        photos = define("Photos", "C:/data");
        papers = define("Papers", "C:/data/sub");
        agent->signal(SIGINT);
        ASSERT_EQ(agent->wait(), 0);
    }

    // The user logs on before the service is up: the tray finds no exit
    // event, no activity records and no event stream yet.
    std::string socket = machine_root() + "/tray.sock";
    StarterProcess tray({"-nohome"},
                        {"TOVEL_PROGRAM=", "TOVEL_GUI_SOCKET=" + socket,
                         "TOVEL_SHELL_RECORD=" + machine_root() + "/shell.txt",
                         "TOVEL_WINHTTP_PORT_MAP=8888=" + std::to_string(port)},
                        TRAY_PROGRAM);
    tray_ = &tray;
    remote_ = std::make_unique<GuiRemote>(socket);
    ASSERT_TRUE(remote_->connect()) << tray.errors();
    ASSERT_TRUE(remote_->record_texts());
    ASSERT_TRUE(wait_until([&] {
        return tray.errors().find("Failed to open the agent monitor event") != std::string::npos;
    })) << tray.errors();
    ASSERT_TRUE(shows("none.ico")) << image();

    // The service comes: both idle jobs show without any event of theirs, a
    // job run by hand with no next run to tell.
    auto agent = start_agent();
    ASSERT_TRUE(wait_until([&] {
        return count_of(tray.errors(), "The agent monitor event is open.") == 1;
    })) << tray.errors();
    std::vector<std::wstring> texts;
    pictures("late-service", {L"Backup: Photos", L"Backup: Papers"}, &texts, false);
    EXPECT_EQ(last_state(texts, L"Backup: Photos"), L"State: Idle");
    EXPECT_EQ(last_state(texts, L"Backup: Papers"), L"State: Idle");
    EXPECT_NE(std::find(texts.begin(), texts.end(), L"Next run: unknown"), texts.end());

    // A job started: its card and the icon's animation, from the events of
    // the stream the tray opened while the service was away.
    ASSERT_TRUE(wait_until([&] { return count_of(agent->errors(), kStreamStarts) == 1; }))
        << agent->errors();
    command(papers, "start");
    ASSERT_TRUE(wait_until([&] { return image().find("jobrunning") != std::string::npos; }))
        << image() << tray.errors();
    command(papers, "stop");
    ASSERT_TRUE(shows("none.ico")) << image();
    // Its stop is complete (else the next service would resume the run).
    ASSERT_TRUE(wait_until([&] {
        return tray.errors().find("Job state notification: id = " + papers + ", state = 9.") !=
               std::string::npos;
    })) << tray.errors();

    // The service dies without a word (its exit event is not set) and
    // starts again: the tray opens its stream again and follows the new run.
    agent->signal(SIGKILL);
    EXPECT_EQ(agent->wait(), 1000 + SIGKILL);
    agent = start_agent();
    ASSERT_TRUE(wait_until([&] { return count_of(agent->errors(), kStreamStarts) == 1; }))
        << agent->errors() << tray.errors();
    command(photos, "start");
    ASSERT_TRUE(wait_until([&] { return image().find("jobrunning") != std::string::npos; }))
        << image() << tray.errors();
    std::vector<std::string> frames;
    ASSERT_TRUE(wait_until(
        [&] {
            std::string now = image();
            if (now.find("jobrunning") != std::string::npos &&
                (frames.empty() || frames.back() != now))
                frames.push_back(now);
            return frames.size() >= 3;
        },
        10000))
        << image();
    // A click shows the new run's card; the other job's card tells its
    // stop, not the run it had before the restart.
    pictures("restart", {L"Backup: Photos"}, &texts, false);
    EXPECT_EQ(last_state(texts, L"Backup: Photos"), L"State: Running");
    command(photos, "stop");
    ASSERT_TRUE(shows("none.ico")) << image();
    // A card keeps its look while its job is being stopped: until the stop
    // is complete.
    ASSERT_TRUE(wait_until([&] {
        return tray.errors().find("Job state notification: id = " + photos + ", state = 9.") !=
               std::string::npos;
    })) << tray.errors();
    pictures("restart-stopped", {L"Backup: Photos", L"Backup: Papers"}, &texts, false);
    EXPECT_NE(last_state(texts, L"Backup: Photos"), L"State: Running") << tray.errors();

    // The service ends: the tray, which found its exit event only once the
    // service had come, ends with it.
    agent->signal(SIGINT);
    EXPECT_EQ(tray.wait(), 2) << tray.errors();
    EXPECT_EQ(agent->wait(), 0);
}
