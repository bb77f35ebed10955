// Drawing as the tray's skinned windows do it, checked in PNG files that an
// independent reader (tools/testkit/png_probe.py: python3, zlib, struct)
// probes: round rectangles with exclusive right and bottom edges, stretching
// TransparentBlt with an exact key, window regions, children and layered
// alpha on the screen; text extents pinned for the DejaVu faces.
#include <gtest/gtest.h>

#include <cwchar>
#include <functional>
#include <string>

#include "platform/desktop/gui_test.h"
#include "platform/win32.h"
#include "tools/testkit/checkers.h"
#include "tools/testkit/machine_fixture.h"

namespace gui = tovel::platform::gui;
using tovel::testing::machine_root;
using tovel::testing::run_command;
using tovel::testing::shell_quote;

namespace {

using Paint = std::function<void(HWND, HDC)>;

LRESULT painter(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* paint = reinterpret_cast<Paint*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == WM_PAINT && paint) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        (*paint)(window, dc);
        EndPaint(window, &ps);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND make(Paint* paint, DWORD style, DWORD ex, RECT at, HWND parent = nullptr) {
    static const ATOM atom = [] {
        WNDCLASSEXW c = {};
        c.cbSize = sizeof c;
        c.lpfnWndProc = painter;
        c.lpszClassName = L"GdiTestWindow";
        return RegisterClassExW(&c);
    }();
    EXPECT_NE(atom, 0);
    HWND window =
        CreateWindowExW(ex, L"GdiTestWindow", nullptr, style, at.left, at.top, at.right - at.left,
                        at.bottom - at.top, parent, nullptr, nullptr, nullptr);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(paint));
    InvalidateRect(window, nullptr, TRUE);
    return window;
}

// The pixels at the probes of a PNG, as RRGGBBAA words, read by python3.
std::string probe(const std::string& png, const std::string& points) {
    std::string out;
    std::string script = std::string(TOVEL_SOURCE_ROOT) + "/tools/testkit/png_probe.py";
    EXPECT_EQ(
        run_command("python3 " + shell_quote(script) + " " + shell_quote(png) + " " + points, &out),
        0);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    for (auto& c : out)
        if (c == '\n') c = ' ';
    return out;
}

HBITMAP two_by_two(COLORREF a, COLORREF b, COLORREF c, COLORREF d) {
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, 2, 2);
    HGDIOBJ old = SelectObject(dc, bitmap);
    SetPixel(dc, 0, 0, a);
    SetPixel(dc, 1, 0, b);
    SetPixel(dc, 0, 1, c);
    SetPixel(dc, 1, 1, d);
    SelectObject(dc, old);
    DeleteDC(dc);
    return bitmap;
}

}  // namespace

TEST(PlatformGdi, SkinnedDrawingReachesThePngPixelForPixel) {
    gui::VirtualClock clock;
    HBITMAP source = two_by_two(RGB(255, 0, 0), RGB(255, 255, 255), RGB(0, 0, 255), RGB(0, 255, 0));
    Paint frame = [&](HWND window, HDC dc) {
        RECT client;
        GetClientRect(window, &client);
        HDC memory = CreateCompatibleDC(dc);
        HBITMAP back = CreateCompatibleBitmap(dc, client.right, client.bottom);
        HGDIOBJ old = SelectObject(memory, back);
        FillRect(memory, &client, reinterpret_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        HPEN pen = CreatePen(PS_SOLID, 1, RGB(100, 150, 130));
        HBRUSH fill = CreateSolidBrush(RGB(180, 220, 200));
        HGDIOBJ old_pen = SelectObject(memory, pen);
        HGDIOBJ old_brush = SelectObject(memory, fill);
        EXPECT_TRUE(RoundRect(memory, 0, 0, client.right, client.bottom, 4, 4));
        HDC picture = CreateCompatibleDC(dc);
        SelectObject(picture, source);
        // 2 x 2 stretched over 20 x 20, its white pixel left out.
        EXPECT_TRUE(
            TransparentBlt(memory, 10, 10, 20, 20, picture, 0, 0, 2, 2, RGB(255, 255, 255)));
        EXPECT_FALSE(TransparentBlt(memory, 0, 0, 4, 4, picture, 1, 1, 2, 2, 0));  // past its edge
        DeleteDC(picture);
        SelectObject(memory, old_pen);
        SelectObject(memory, old_brush);
        DeleteObject(pen);
        DeleteObject(reinterpret_cast<HGDIOBJ>(fill));
        // White is the window copy's key: the corners outside the outline stay unpainted.
        EXPECT_TRUE(TransparentBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0,
                                   client.right, client.bottom, RGB(255, 255, 255)));
        SelectObject(memory, old);
        DeleteObject(back);
        DeleteDC(memory);
        SetLayeredWindowAttributes(window, 0, 128, LWA_ALPHA);
    };
    Paint red = [](HWND window, HDC dc) {
        RECT client;
        GetClientRect(window, &client);
        HBRUSH brush = CreateSolidBrush(RGB(255, 0, 0));
        FillRect(dc, &client, brush);
        DeleteObject(reinterpret_cast<HGDIOBJ>(brush));
    };
    HWND window = make(&frame, WS_POPUP | WS_VISIBLE, WS_EX_LAYERED, {100, 100, 160, 140});
    HWND child = make(&red, WS_CHILD | WS_VISIBLE, 0, {40, 5, 55, 15}, window);
    SetWindowRgn(window, CreateRoundRectRgn(0, 0, 60, 40, 4, 4), TRUE);
    gui::pump();

    const std::string png = machine_root() + "/window.png";
    ASSERT_TRUE(gui::write_png(gui::window_picture(window), png));
    EXPECT_EQ(probe(png, "0,0 30,0 59,20 30,20 19,19 20,20 22,12 12,22 54,14 55,15 40,5"),
              "00000000 64968280 64968280 b4dcc880 ff000080 00ff0080 b4dcc880 0000ff80 "
              "ff000080 b4dcc880 ff000080");

    const std::string screen = machine_root() + "/screen.png";
    ASSERT_TRUE(gui::write_png(gui::screen_picture(), screen));
    // The half-transparent fill over the desktop's colour, the taskbar, the
    // desktop beside the window.
    EXPECT_EQ(probe(screen, "130,120 5,790 99,120"), "77a5b6ff 202020ff 3a6ea5ff");

    // Regions as the hit test sees them.
    EXPECT_EQ(WindowFromPoint({100, 100}), nullptr);  // the cut corner
    EXPECT_EQ(WindowFromPoint({130, 120}), window);
    EXPECT_EQ(WindowFromPoint({145, 110}), child);
    HRGN a = CreateRectRgn(0, 0, 10, 10), b = CreateRectRgn(5, 5, 20, 20),
         out = CreateRectRgn(0, 0, 0, 0);
    EXPECT_EQ(CombineRgn(out, a, b, RGN_DIFF), COMPLEXREGION);
    EXPECT_TRUE(PtInRegion(out, 4, 9));
    EXPECT_FALSE(PtInRegion(out, 5, 5));
    EXPECT_FALSE(PtInRegion(out, 10, 0));
    RECT box;
    EXPECT_EQ(CombineRgn(out, a, b, RGN_AND), SIMPLEREGION);
    GetRgnBox(out, &box);
    EXPECT_EQ(box.left, 5);
    EXPECT_EQ(box.right, 10);
    for (HRGN r : {a, b, out}) DeleteObject(reinterpret_cast<HGDIOBJ>(r));
    EXPECT_TRUE(DestroyWindow(window));
    DeleteObject(source);
}

TEST(PlatformGdi, TextExtentsArePinnedAndATrailingLineBreakMakesALine) {
    HDC dc = CreateCompatibleDC(nullptr);
    SIZE size;
    ASSERT_TRUE(GetTextExtentPoint32W(dc, L"Tovel backup", 12, &size));
    EXPECT_EQ(size.cx, 80);
    EXPECT_EQ(size.cy, 15);
    LOGFONTW logfont = {};
    GetObjectW(GetCurrentObject(dc, OBJ_FONT), sizeof logfont, &logfont);
    EXPECT_EQ(logfont.lfHeight, -12);
    logfont.lfWeight = FW_BOLD;
    logfont.lfUnderline = TRUE;
    HFONT bold = CreateFontIndirectW(&logfont);
    HGDIOBJ old = SelectObject(dc, bold);
    ASSERT_TRUE(GetTextExtentPoint32W(dc, L"Tovel backup", 12, &size));
    EXPECT_EQ(size.cx, 90);
    EXPECT_EQ(size.cy, 15);
    SelectObject(dc, old);
    const int line = 15;

    RECT r = {0, 0, 500, 0};
    EXPECT_EQ(DrawTextW(dc, L"a\nb\n", -1, &r, DT_CALCRECT), 3 * line);
    EXPECT_EQ(r.bottom, 3 * line);
    r = {0, 0, 500, 0};
    EXPECT_EQ(DrawTextW(dc, L"a\nb", -1, &r, DT_CALCRECT), 2 * line);
    r = {0, 0, 500, 0};
    EXPECT_EQ(DrawTextW(dc, L"a\nb\n", -1, &r, DT_CALCRECT | DT_SINGLELINE), line);
    SIZE one_two;
    GetTextExtentPoint32W(dc, L"one two", 7, &one_two);
    r = {0, 0, one_two.cx, 0};
    EXPECT_EQ(DrawTextW(dc, L"one two three", -1, &r, DT_CALCRECT | DT_WORDBREAK), 2 * line);
    EXPECT_EQ(r.right, one_two.cx);
    r = {0, 0, 40, 0};
    DrawTextW(dc, L"Backupjobsandmore", -1, &r, DT_CALCRECT | DT_WORD_ELLIPSIS);
    EXPECT_LE(r.right, 40);

    // Drawn text lands inside its rectangle and nowhere else.
    HBITMAP bitmap = CreateCompatibleBitmap(dc, 80, 30);
    SelectObject(dc, bitmap);
    RECT all = {0, 0, 80, 30};
    FillRect(dc, &all, reinterpret_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0, 0, 0));
    RECT box = {10, 0, 70, 30};
    DrawTextW(dc, L"Tovel", -1, &box, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    int dark = 0, outside = 0;
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 80; ++x)
            if (GetPixel(dc, x, y) != RGB(255, 255, 255)) {
                ++dark;
                if (x < 10 || x >= 70) ++outside;
            }
    EXPECT_GT(dark, 40);
    EXPECT_EQ(outside, 0);
    DeleteObject(bitmap);
    DeleteObject(bold);
    DeleteDC(dc);
}

// DT_WORD_ELLIPSIS ends a line that does not fit after its last whole word
// that leaves room for "..."; a word alone too long is cut at a character,
// as DT_END_ELLIPSIS cuts every line. The recorder reads back what was drawn.
TEST(PlatformGdi, WordEllipsisCutsAfterAWholeWord) {
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, 300, 20);
    HGDIOBJ old = SelectObject(dc, bitmap);
    auto extent = [&](const wchar_t* text) {
        SIZE size = {};
        GetTextExtentPoint32W(dc, text, static_cast<int>(std::wcslen(text)), &size);
        return static_cast<int>(size.cx);
    };
    auto drawn = [&](const wchar_t* text, int width, UINT format) {
        gui::TextRecorder recorder;
        RECT box = {0, 0, width, 20};
        DrawTextW(dc, text, -1, &box, format);
        auto texts = recorder.texts();
        EXPECT_EQ(texts.size(), 1u);
        if (texts.empty()) return std::wstring();
        EXPECT_LE(texts[0].width, width) << texts[0].width;
        return texts[0].text;
    };
    const wchar_t* label = L"Backup jobs of  this computer";
    const int room = extent(L"Backup jobs of...");
    EXPECT_EQ(drawn(label, room, DT_WORD_ELLIPSIS), L"Backup jobs of...");
    EXPECT_EQ(drawn(label, room - 1, DT_WORD_ELLIPSIS), L"Backup jobs...");
    EXPECT_EQ(drawn(label, extent(L"Backup jobs of  this c..."), DT_WORD_ELLIPSIS),
              L"Backup jobs of  this...");
    EXPECT_EQ(drawn(label, extent(label), DT_WORD_ELLIPSIS | DT_SINGLELINE), label);
    // A first word that does not fit, and the end ellipsis: cut at a character.
    EXPECT_EQ(drawn(label, extent(L"Backu..."), DT_WORD_ELLIPSIS), L"Backu...");
    EXPECT_EQ(drawn(L"Backupjobsandmore", extent(L"Backupj..."), DT_WORD_ELLIPSIS), L"Backupj...");
    EXPECT_EQ(drawn(label, extent(L"Backup jobs of  th..."), DT_END_ELLIPSIS),
              L"Backup jobs of  th...");
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
}

TEST(PlatformGdi, PicturesReadBackAndCompareWithTheirGoldenCopy) {
    gui::Picture picture;
    picture.width = 20;
    picture.height = 10;
    for (int i = 0; i < 200; ++i) picture.pixels.push_back(0xFF000000u | (i * 0x010305u));
    picture.pixels[3] = 0x80123456u;
    const std::string path = machine_root() + "/golden.png";
    ASSERT_TRUE(gui::write_png(picture, path));
    gui::Picture back;
    ASSERT_TRUE(gui::read_png(path, back));
    EXPECT_EQ(back.pixels, picture.pixels);
    gui::Picture near = picture;
    near.pixels[0] += 8;  // within the threshold
    EXPECT_TRUE(gui::matches_golden(near, path));
    near.pixels[1] += 9;  // one pixel in 200 beyond it: 0.5 %
    EXPECT_TRUE(gui::matches_golden(near, path));
    near.pixels[2] ^= 0xFF;
    EXPECT_FALSE(gui::matches_golden(near, path));
    EXPECT_DOUBLE_EQ(gui::differing_share(near, picture, 8), 0.01);
}
