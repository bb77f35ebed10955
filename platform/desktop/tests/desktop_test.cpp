// The shell side of the headless desktop as the tray relies on it: the
// notification area (its icons read and clicked by the test, "TaskbarCreated"),
// launches and message boxes recorded, languages from the locale; resource
// libraries (missing 126, malformed 193, strings as on Windows, icons beside
// them) and the tray's shipped library and skin, read back by python3.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "platform/desktop/atl_window.h"
#include "platform/desktop/gui_test.h"
#include "platform/win32.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/machine_fixture.h"

namespace gui = tovel::platform::gui;
using tovel::testing::host_of;
using tovel::testing::machine_root;
using tovel::testing::python;
using tovel::testing::read_host_file;
using tovel::testing::write_host_file;

namespace {

std::string tray_folder() { return std::string(TOVEL_SOURCE_ROOT) + "/tray"; }

// The Windows path of a host path (the host's files are on Z:).
std::wstring on_z(const std::string& host) {
    std::wstring path = L"Z:";
    for (char c : host) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return path;
}

LRESULT recording(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* seen = reinterpret_cast<std::vector<std::pair<UINT, LPARAM>>*>(
        GetWindowLongPtrW(window, GWLP_USERDATA));
    if (seen && message >= WM_USER) seen->push_back({message, lParam});
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

TEST(PlatformDesktop, TheNotificationAreaIsReadAndClickedByTests) {
    gui::VirtualClock clock;
    WNDCLASSEXW c = {};
    c.cbSize = sizeof c;
    c.lpfnWndProc = recording;
    c.lpszClassName = L"DesktopTestWindow";
    ASSERT_NE(RegisterClassExW(&c), 0);
    HWND window = CreateWindowExW(0, L"DesktopTestWindow", nullptr, WS_POPUP, 0, 0, 10, 10, nullptr,
                                  nullptr, nullptr, nullptr);
    std::vector<std::pair<UINT, LPARAM>> seen;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&seen));

    const std::string folder = tray_folder() + "/Skin/Tray/tray_ico/";
    HICON none = static_cast<HICON>(
        LoadImageW(nullptr, on_z(folder + "none.ico").c_str(), IMAGE_ICON, 0, 0, LR_LOADFROMFILE));
    HICON err = static_cast<HICON>(
        LoadImageW(nullptr, on_z(folder + "err.ico").c_str(), IMAGE_ICON, 0, 0, LR_LOADFROMFILE));
    ASSERT_NE(none, nullptr);
    ASSERT_NE(err, nullptr);
    NOTIFYICONDATAW data = {};
    data.cbSize = 952;
    data.hWnd = window;
    data.uID = 1000;
    data.uFlags = NIF_ICON;
    data.hIcon = none;
    EXPECT_TRUE(Shell_NotifyIconW(NIM_ADD, &data));
    EXPECT_FALSE(Shell_NotifyIconW(NIM_ADD, &data));  // there already
    DestroyIcon(none);                                // the area keeps its copy
    data.uVersion = 3;
    EXPECT_TRUE(Shell_NotifyIconW(NIM_SETVERSION, &data));
    data.uFlags = NIF_MESSAGE | NIF_TIP | NIF_ICON;
    data.uCallbackMessage = 38121;
    data.hIcon = err;
    std::wcsncpy(data.szTip, L"Tovel backup agent", 127);
    EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &data));
    auto icons = gui::notify_icons();
    ASSERT_EQ(icons.size(), 1u);
    EXPECT_EQ(icons[0].tooltip, L"Tovel backup agent");
    EXPECT_EQ(icons[0].version, 3u);
    EXPECT_EQ(icons[0].width, 32);
    EXPECT_EQ(icons[0].image_file, host_of(on_z(folder + "err.ico")));
    EXPECT_EQ(gui::notify_icon_history(window, 1000),
              (std::vector<std::string>{host_of(on_z(folder + "none.ico")),
                                        host_of(on_z(folder + "err.ico"))}));

    // Version 3: the mouse messages themselves; the cursor is on the icon.
    ASSERT_TRUE(gui::click_notify_icon(window, 1000, gui::IconClick::left_double));
    gui::pump();
    std::vector<LPARAM> events;
    for (auto& s : seen) events.push_back(s.second);
    EXPECT_EQ(events,
              (std::vector<LPARAM>{WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP}));
    POINT cursor;
    GetCursorPos(&cursor);
    RECT on = gui::notify_icon_rect(window, 1000);
    EXPECT_TRUE(PtInRect(&on, cursor));
    EXPECT_GE(on.top, 760);  // on the taskbar
    // Version 4: notifications with the id in the high word.
    data.uVersion = 4;
    Shell_NotifyIconW(NIM_SETVERSION, &data);
    seen.clear();
    gui::click_notify_icon(window, 1000, gui::IconClick::right);
    gui::pump();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(LOWORD(seen[2].second), WM_CONTEXTMENU);
    EXPECT_EQ(HIWORD(seen[2].second), 1000);

    // The shell restarts: the icon is gone and the window is told.
    seen.clear();
    gui::broadcast_taskbar_created();
    gui::pump();
    EXPECT_TRUE(gui::notify_icons().empty());
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, RegisterWindowMessageW(L"TaskbarCreated"));
    EXPECT_FALSE(Shell_NotifyIconW(NIM_DELETE, &data));
    DestroyIcon(err);
    DestroyWindow(window);
}

TEST(PlatformDesktop, LaunchesMessageBoxesLanguagesAndTheVersion) {
    {
        gui::LaunchRecorder recorder;
        EXPECT_GT(reinterpret_cast<INT_PTR>(ShellExecuteW(
                      nullptr, L"open", L"http://127.0.0.1:8888", nullptr, nullptr, SW_SHOWNORMAL)),
                  32);
        SHELLEXECUTEINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = SEE_MASK_FLAG_NO_UI;
        info.lpVerb = L"open";
        info.lpFile = L"http://localhost:8888";
        info.nShow = SW_SHOW;
        EXPECT_TRUE(ShellExecuteExW(&info));
        info.lpFile = L"C:\\Windows\\notepad.exe";  // a program that is not there: not recorded
        EXPECT_FALSE(ShellExecuteExW(&info));
        EXPECT_EQ(recorder.launches(),
                  (std::vector<std::wstring>{L"http://127.0.0.1:8888", L"http://localhost:8888"}));
    }
    EXPECT_EQ(MessageBoxW(nullptr, L"Can't load resource dll(x).", L"Error!", MB_OK), IDOK);
    ASSERT_FALSE(gui::message_boxes().empty());
    EXPECT_EQ(gui::message_boxes().back(), L"Error!: Can't load resource dll(x).");

    const char* saved = getenv("LANG");
    std::string keep = saved ? saved : "";
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    const std::pair<const char*, LANGID> rows[] = {{"zh_CN.UTF-8", 2052},
                                                   {"de_DE.UTF-8", 1031},
                                                   {"en_GB.UTF-8", 1033},
                                                   {"C", 1033},
                                                   {"", 1033}};
    for (auto& row : rows) {
        setenv("LANG", row.first, 1);
        EXPECT_EQ(GetSystemDefaultLangID(), row.second) << row.first;
        EXPECT_EQ(GetUserDefaultLangID(), row.second) << row.first;
    }
    setenv("LANG", keep.c_str(), 1);

    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    EXPECT_TRUE(GetVersionExW(&version));
    EXPECT_GE(version.dwMajorVersion, 6u);
    wchar_t path[MAX_PATH] = L"C:\\Program Files\\Tovel\\tray.exe";
    EXPECT_TRUE(PathRemoveFileSpecW(path));
    EXPECT_STREQ(path, L"C:\\Program Files\\Tovel");
}

TEST(PlatformResources, LibrariesLoadAsOnWindowsAndBadFilesGiveNull) {
    EXPECT_EQ(LoadLibraryW(L"C:\\Tovel\\TrayLoc\\enu\\loc.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    const std::wstring bad[] = {L"C:\\bad1.dll", L"C:\\bad2.dll", L"C:\\bad3.dll", L"C:\\bad4.dll"};
    write_host_file(host_of(bad[0]), "MZ\x90\x00binary");
    write_host_file(host_of(bad[1]), "tovel-resources 1\nstring 12 a\nstring 12 b\n");  // twice
    write_host_file(host_of(bad[2]), "tovel-resources 1\nstring 70000 far\n");
    write_host_file(host_of(bad[3]), "tovel-resources 1\n" + std::string(1 << 20, '#'));
    for (auto& name : bad) {
        EXPECT_EQ(LoadLibraryW(name.c_str()), nullptr);
        EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
    }
    write_host_file(host_of(L"C:\\loc.dll"),
                    "tovel-resources 1\nstring 1 Hello\\sthere\nstring 2 \nicon 128 x.ico\n");
    HMODULE module = LoadLibraryW(L"C:\\loc.dll");
    ASSERT_NE(module, nullptr);
    wchar_t buffer[6];
    EXPECT_EQ(LoadStringW(module, 1, buffer, 6), 5);  // cut to the buffer
    EXPECT_STREQ(buffer, L"Hello");
    const wchar_t* direct = nullptr;
    EXPECT_EQ(LoadStringW(module, 1, reinterpret_cast<LPWSTR>(&direct), 0), 11);
    EXPECT_EQ(std::wstring(direct, 11), L"Hello there");
    EXPECT_EQ(LoadStringW(module, 2, buffer, 6), 0);  // empty
    EXPECT_EQ(LoadStringW(module, 3, buffer, 6), 0);  // missing
    EXPECT_STREQ(buffer, L"");
    EXPECT_EQ(LoadIconW(module, MAKEINTRESOURCEW(128)), nullptr);  // its file is missing
    // Unreadable images: missing, truncated, not an image.
    std::string icon = read_host_file(tray_folder() + "/tray.ico");
    write_host_file(host_of(L"C:\\cut.ico"), icon.substr(0, icon.size() / 2));
    write_host_file(host_of(L"C:\\text.bmp"), "BM not really");
    for (const wchar_t* name : {L"C:\\none.ico", L"C:\\cut.ico", L"C:\\text.bmp"})
        EXPECT_EQ(LoadImageW(nullptr, name, IMAGE_ICON, 0, 0, LR_LOADFROMFILE), nullptr) << name;
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(PlatformResources, TheShippedLibraryAndSkinAreCompleteAndReadable) {
    // Every text id the tray names, in every language folder.
    std::vector<UINT> ids = {12288, 12289, 12290, 16385, 16386, 16387, 16432, 16433, 16434,
                             16435, 16448, 16449, 16450, 16451, 16452, 16454, 16455, 16456,
                             16457, 16464, 16465, 16466, 16467, 16468, 16480, 16400};
    for (UINT id = 16401; id <= 16421; ++id) ids.push_back(id);
    const char* saved = getenv("LANG");
    std::string keep = saved ? saved : "";
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    for (const char* lang : {"zh_CN.UTF-8", "de_DE.UTF-8", "en_US.UTF-8"}) {
        setenv("LANG", lang, 1);
        const LANGID id = GetSystemDefaultLangID();
        const char* folder = id == 2052 ? "chs" : id == 1033 ? "enu" : "ENU";
        HMODULE module =
            LoadLibraryW(on_z(tray_folder() + "/TrayLoc/" + folder + "/loc.dll").c_str());
        ASSERT_NE(module, nullptr) << lang;
        for (UINT each : ids) {
            const wchar_t* text = nullptr;
            EXPECT_GT(LoadStringW(module, each, reinterpret_cast<LPWSTR>(&text), 0), 0) << each;
        }
        wchar_t format[64];
        LoadStringW(module, 12290, format, 64);
        std::wstring about(format);
        EXPECT_NE(about.find(L"%s"), std::wstring::npos);
        EXPECT_EQ(about.find(L"%s"), about.rfind(L"%"));  // exactly one directive
        HICON icon = LoadIconW(module, MAKEINTRESOURCEW(128));
        EXPECT_NE(icon, nullptr);
        DestroyIcon(icon);
    }
    setenv("LANG", keep.c_str(), 1);

    // Every image loads here, and python3 reads each one independently.
    const std::string skin = tray_folder() + "/Skin/Tray/";
    std::vector<std::string> icons = {"none", "notify", "warning", "err"};
    for (const char* group :
         {"jobrunning", "jobrunning_notify", "jobrunning_warning", "jobrunning_err"})
        for (int i = 1; i <= 5; ++i) icons.push_back(group + std::to_string(i));
    for (auto& name : icons) {
        HANDLE icon = LoadImageW(nullptr, on_z(skin + "tray_ico/" + name + ".ico").c_str(),
                                 IMAGE_ICON, 0, 0, LR_LOADFROMFILE);
        EXPECT_NE(icon, nullptr) << name;
        DestroyIcon(static_cast<HICON>(icon));
    }
    const char* bitmaps[] = {"closenormal",          "closehover",          "closedown",
                             "closefocus",           "closedisable",        "StickBtnUnstickNormal",
                             "StickBtnUnstickHover", "StickBtnStickNormal", "StickBtnStickHover",
                             "StickBtnDisable"};
    for (const char* name : bitmaps) {
        HANDLE bitmap = LoadImageW(nullptr, on_z(skin + name + ".bmp").c_str(), IMAGE_BITMAP, 0, 0,
                                   LR_LOADFROMFILE);
        EXPECT_NE(bitmap, nullptr) << name;
        DeleteObject(bitmap);
    }
    const std::string report = python(R"(
import glob, os, struct, sys
skin = ')" + skin + R"('
def ico(path):
    data = open(path, 'rb').read()
    zero, kind, count = struct.unpack('<HHH', data[:6])
    assert zero == 0 and kind == 1 and count >= 1, path
    images = []
    for i in range(count):
        w, h, _, _, planes, bits, size, offset = struct.unpack('<BBBBHHII', data[6 + 16 * i:22 + 16 * i])
        w = w or 256
        head = struct.unpack('<IiiHH', data[offset:offset + 16])
        assert head[0] == 40 and head[1] == w and head[2] == 2 * w and head[4] == 32, path
        px = data[offset + 40:offset + 40 + 4 * w * w]
        opaque = [px[j:j + 4] for j in range(0, len(px), 4) if px[j + 3] == 255]
        for p in opaque:
            assert (p[2], p[1], p[0]) not in ((255, 255, 255), (255, 0, 0)), path
        images.append(px)
    return images
def bmp(path):
    data = open(path, 'rb').read()
    assert data[:2] == b'BM'
    w, h = struct.unpack('<ii', data[18:26])
    bits = struct.unpack('<H', data[28:30])[0]
    assert (w, h, bits) == (20, 20, 24), path
    return data
names = sorted(os.path.basename(p) for p in glob.glob(skin + 'tray_ico/*.ico'))
frames = [ico(skin + 'tray_ico/jobrunning%d.ico' % i)[-1] for i in range(1, 6)]
differ = all(sum(a != b for a, b in zip(frames[i], frames[j])) > 40
             for i in range(5) for j in range(i + 1, 5))
for n in names: ico(skin + 'tray_ico/' + n)
bmps = sorted(os.path.basename(p) for p in glob.glob(skin + '*.bmp'))
for b in bmps: bmp(skin + b)
print(len(names), len(bmps), differ)
)");
    EXPECT_EQ(report, "24 10 True");
}

namespace {

class AboutBox : public ATL::CDialogImpl<AboutBox> {
public:
    enum { IDD = 100 };
    BEGIN_MSG_MAP(AboutBox)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInit)
    MESSAGE_HANDLER(WM_TIMER, OnTimer)
    COMMAND_ID_HANDLER(IDOK, OnEnd)
    COMMAND_ID_HANDLER(IDCANCEL, OnEnd)
    END_MSG_MAP()

    LRESULT OnInit(UINT, WPARAM, LPARAM, BOOL&) {
        icon = LoadIconW(ATL::_AtlBaseModule.GetResourceInstance(), MAKEINTRESOURCEW(128));
        SendDlgItemMessageW(m_hWnd, 5001, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
        SetTimer(1, 10);
        return TRUE;
    }
    // Once shown, the user clicks OK (or closes the box).
    LRESULT OnTimer(UINT, WPARAM, LPARAM, BOOL&) {
        KillTimer(1);
        RECT frame, client, button;
        ::GetWindowRect(m_hWnd, &frame);
        ::GetClientRect(m_hWnd, &client);
        outer = {frame.right - frame.left, frame.bottom - frame.top};
        inner = {client.right, client.bottom};
        const std::string png = machine_root() + "/about.png";
        gui::write_png(gui::window_picture(m_hWnd), png);
        picture = png;
        if (close) {
            PostMessage(WM_CLOSE);
            return 0;
        }
        ::GetWindowRect(GetDlgItem(IDOK), &button);
        gui::click((button.left + button.right) / 2, (button.top + button.bottom) / 2);
        return 0;
    }
    LRESULT OnEnd(WORD, WORD id, HWND, BOOL&) {
        EndDialog(id);
        return 0;
    }

    bool close = false;
    HICON icon = nullptr;
    SIZE outer = {}, inner = {};
    std::string picture;
};

}  // namespace

TEST(PlatformResources, DialogsComeFromTemplatesWithAPlainFrame) {
    const std::string icon = read_host_file(tray_folder() + "/tray.ico");
    write_host_file(host_of(L"C:\\tray.ico"), icon);
    write_host_file(host_of(L"C:\\loc.dll"),
                    "tovel-resources 1\nicon 128 tray.ico\ndialog 100 260 140 About\n"
                    "control 100 5001 ICON 114 16 32 32\ncontrol 100 1 BUTTON 95 104 70 24 OK\n");
    HMODULE library = LoadLibraryW(L"C:\\loc.dll");
    ASSERT_NE(library, nullptr);
    HINSTANCE old = ATL::_AtlBaseModule.SetResourceInstance(library);
    for (bool close : {false, true}) {
        AboutBox box;
        box.close = close;
        EXPECT_EQ(box.DoModal(nullptr), close ? IDCANCEL : IDOK);
        EXPECT_EQ(box.m_hWnd, nullptr);
        EXPECT_EQ(box.outer.cx, 262);
        EXPECT_EQ(box.outer.cy, 162);
        EXPECT_EQ(box.inner.cx, 260);
        EXPECT_EQ(box.inner.cy, 140);
        ASSERT_NE(box.icon, nullptr);
        DestroyIcon(box.icon);
        // Border, caption, the dialog's face, the button's face.
        EXPECT_EQ(
            tovel::testing::python("import subprocess; print(subprocess.run(['python3', '" +
                                   std::string(TOVEL_SOURCE_ROOT) +
                                   "/tools/testkit/png_probe.py', '" + box.picture +
                                   "', '0,0', '10,10', '5,150', '100,129'], capture_output=True, "
                                   "text=True).stdout.split())"),
            "['1e3c5aff', '2d5f8bff', 'f0f0f0ff', 'e1e6ebff']");
    }
    ATL::_AtlBaseModule.SetResourceInstance(old);
    EXPECT_EQ(CreateDialogParamW(library, MAKEINTRESOURCEW(129), nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), 1812u);
}
