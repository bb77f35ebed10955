// The skinned button and menu on the headless desktop, driven with the mouse
// in screen coordinates on the virtual clock; pictures of them are written
// as PNG files, read back with python3 and compared with golden copies.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/desktop/gui_test.h"
#include "tools/testkit/machine_fixture.h"
#include "tray/skin_menu.h"

namespace gui = tovel::platform::gui;
using tovel::testing::run_command;
using tovel::testing::shell_quote;

namespace {

// A top-level window that records the messages the controls send it.
class Owner
    : public ATL::CWindowImpl<Owner, ATL::CWindow, ATL::CWinTraits<WS_POPUP | WS_VISIBLE, 0>> {
public:
    BEGIN_MSG_MAP(Owner)
    MESSAGE_HANDLER(WM_COMMAND, OnMessage)
    MESSAGE_HANDLER(TRAY_MENU_CLOSED_MSG, OnMessage)
    MESSAGE_HANDLER(WM_CLOSE, OnMessage)
    END_MSG_MAP()

    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM, BOOL&) {
        got.emplace_back(message, wParam);
        return 0;
    }
    std::vector<std::pair<UINT, WPARAM>> got;
};

std::string pictures_dir() {
    std::filesystem::create_directories(TRAY_PICTURES_DIR);
    return TRAY_PICTURES_DIR;
}

std::string python() {
    return "python3 " + shell_quote(std::string(TOVEL_SOURCE) + "/tools/testkit/png_probe.py");
}

// A pixel of a PNG file as python3 reads it: "RRGGBBAA".
std::string probe(const std::string& file, int x, int y) {
    std::string out;
    run_command(
        python() + " " + shell_quote(file) + " " + std::to_string(x) + "," + std::to_string(y),
        &out);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::string rgba(COLORREF colour) {
    char text[16];
    std::snprintf(text, sizeof text, "%02x%02x%02xff", GetRValue(colour), GetGValue(colour),
                  GetBValue(colour));
    return text;
}

// Writes the picture and checks it against its golden copy (regenerated
// when TOVEL_REGENERATE is set): at most 0.5 % of the pixels may differ
// by more than 8 in a channel.
void check_golden(const gui::Picture& picture, const std::string& name) {
    std::string file = pictures_dir() + "/" + name;
    ASSERT_TRUE(gui::write_png(picture, file));
    std::string golden = std::string(TOVEL_SOURCE) + "/tray/tests/golden/" + name;
    if (std::getenv("TOVEL_REGENERATE")) {
        std::filesystem::create_directories(std::filesystem::path(golden).parent_path());
        std::filesystem::copy_file(file, golden, std::filesystem::copy_options::overwrite_existing);
    }
    std::string share;
    ASSERT_EQ(
        run_command(python() + " --compare " + shell_quote(file) + " " + shell_quote(golden) + " 8",
                    &share),
        0);
    EXPECT_LE(std::stod(share), 0.005) << file << " differs from " << golden;
}

RECT window_rect(HWND window) {
    RECT rect = {};
    GetWindowRect(window, &rect);
    return rect;
}

bool same(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

std::string text(const RECT& r) {
    return "(" + std::to_string(r.left) + ", " + std::to_string(r.top) + ", " +
           std::to_string(r.right) + ", " + std::to_string(r.bottom) + ")";
}

class TraySkin : public ::testing::Test {
protected:
    void SetUp() override {
        RECT at = {0, 0, 300, 200};
        ASSERT_TRUE(owner_.Create(nullptr, at));
        gui::pump();
    }
    void TearDown() override {
        if (owner_.IsWindow()) owner_.DestroyWindow();
    }

    gui::VirtualClock clock_;
    Owner owner_;
};

void fill_menu(SkinMenu& menu) {
    // Each is put on top, as the tray menu does.
    menu.addItem(L"Exit", 3, 0);
    menu.addItem(L"Open the web page", 2, 0);
    menu.addItem(L"Show jobs", 1, 0);
}

}  // namespace

TEST_F(TraySkin, AThreeItemMenuEndsAtThePointOrFlipsAtTheEdges) {
    SkinMenu menu;
    fill_menu(menu);
    ASSERT_EQ(menu.items().size(), 3u);
    EXPECT_EQ(menu.items()[0]->id(), 1u);
    EXPECT_EQ(menu.items()[2]->id(), 3u);
    const struct {
        int x, y;
        RECT expected;
    } kCases[] = {
        {600, 500, {446, 419, 600, 500}},  // above and left of the point
        {100, 500, {100, 419, 254, 500}},  // near the left edge: to the right
        {600, 50, {446, 50, 600, 131}},    // near the top: below
        {60, 40, {60, 40, 214, 121}},      // both
        {154, 81, {154, 0, 308, 81}},      // left edge reached: right; top edge not passed
    };
    for (const auto& c : kCases) {
        menu.popup(owner_, c.x, c.y);
        gui::pump();
        ASSERT_TRUE(menu.IsWindow());
        RECT got = window_rect(menu);
        EXPECT_TRUE(same(got, c.expected)) << c.x << "," << c.y << ": " << text(got);
        for (size_t i = 0; i < 3; ++i) {
            RECT item = window_rect(*menu.items()[i]);
            RECT want = {got.left + 2, got.top + 3 + 25 * static_cast<int>(i), got.left + 152,
                         got.top + 28 + 25 * static_cast<int>(i)};
            EXPECT_TRUE(same(item, want)) << i << ": " << text(item);
        }
    }
}

TEST_F(TraySkin, HoveringAndClickingTheMiddleItemChoosesIt) {
    SkinMenu menu;
    fill_menu(menu);
    menu.popup(owner_, 600, 500);
    gui::pump();
    // The middle item's centre, in screen coordinates.
    const int x = 446 + 2 + 75, y = 419 + 3 + 25 + 12;
    gui::move_mouse(x, y);
    gui::run_for(50);
    EXPECT_TRUE(menu.items()[1]->state() & CSkinButton::SKIN_STATE_HOVER);
    EXPECT_FALSE(menu.items()[0]->state() & CSkinButton::SKIN_STATE_HOVER);
    gui::Picture picture = gui::window_picture(menu);
    ASSERT_EQ(picture.width, 154);
    ASSERT_EQ(picture.height, 81);
    std::string file = pictures_dir() + "/menu_middle_hovered.png";
    ASSERT_TRUE(gui::write_png(picture, file));
    // Each item's fill beside its text, and the menu's frame, as python3 reads them.
    EXPECT_EQ(probe(file, 5, 3 + 12), rgba(RGB(237, 239, 239)));       // normal
    EXPECT_EQ(probe(file, 5, 3 + 25 + 12), rgba(RGB(211, 233, 233)));  // hovered
    EXPECT_EQ(probe(file, 5, 3 + 50 + 12), rgba(RGB(237, 239, 239)));
    EXPECT_EQ(probe(file, 0, 40), rgba(RGB(151, 212, 243)));  // the frame's border
    check_golden(picture, "menu_middle_hovered.png");

    gui::click(x, y);
    gui::pump();
    EXPECT_FALSE(menu.IsWindow());
    // The choice, then the loss of activation of the menu going away.
    ASSERT_FALSE(owner_.got.empty());
    EXPECT_EQ(owner_.got[0], (std::pair<UINT, WPARAM>(WM_COMMAND, 2)));
}

TEST_F(TraySkin, AClickElsewhereClosesTheMenuAndTellsItsOwner) {
    SkinMenu menu;
    fill_menu(menu);
    menu.popup(owner_, 600, 500);
    gui::pump();
    ASSERT_EQ(GetActiveWindow(), menu.m_hWnd);
    gui::click(100, 100);  // on the owner
    gui::pump();
    EXPECT_FALSE(menu.IsWindow());
    ASSERT_EQ(owner_.got.size(), 1u);
    EXPECT_EQ(owner_.got[0], (std::pair<UINT, WPARAM>(TRAY_MENU_CLOSED_MSG, 0)));
    // A release outside an item's own rectangle does nothing.
    menu.popup(owner_, 600, 500);
    gui::pump();
    gui::press(523, 459);
    gui::pump();
    gui::release(700, 700);
    gui::pump();
    EXPECT_TRUE(menu.IsWindow());
    EXPECT_EQ(owner_.got.size(), 1u);
}

TEST_F(TraySkin, ClearThenPopupDestroysTheItemsBeforeDeletingThem) {
    SkinMenu menu;
    fill_menu(menu);
    menu.popup(owner_, 600, 500);
    gui::pump();
    HWND first = menu.m_hWnd;
    menu.clear();
    EXPECT_FALSE(IsWindow(first));
    menu.addItem(L"Only", 9, 0);
    menu.popup(owner_, 600, 500);
    gui::pump();
    ASSERT_TRUE(menu.IsWindow());
    EXPECT_NE(menu.m_hWnd, first);
    EXPECT_TRUE(same(window_rect(menu), RECT{446, 469, 600, 500}));
    menu.removeItem(9);
    EXPECT_TRUE(menu.items().empty());
}

namespace {

// A 24-bit BMP of width x height, its left half one colour, its right the other.
std::string two_halves_bmp(int width, int height, COLORREF left, COLORREF right) {
    int row = (width * 3 + 3) & ~3;
    std::string bmp(54 + static_cast<size_t>(row) * height, '\0');
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) bmp[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    bmp[0] = 'B';
    bmp[1] = 'M';
    put32(2, static_cast<uint32_t>(bmp.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<uint32_t>(width));
    put32(22, static_cast<uint32_t>(height));
    bmp[26] = 1;
    bmp[28] = 24;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            COLORREF c = x < width / 2 ? left : right;
            size_t at = 54 + static_cast<size_t>(y) * row + x * 3;
            bmp[at] = static_cast<char>(GetBValue(c));
            bmp[at + 1] = static_cast<char>(GetGValue(c));
            bmp[at + 2] = static_cast<char>(GetRValue(c));
        }
    return bmp;
}

}  // namespace

TEST_F(TraySkin, AButtonMapsItsImageOntoItsWholeClientWhateverIsPainted) {
    const COLORREF kLeft = RGB(20, 40, 200), kRight = RGB(30, 160, 60), kHover = RGB(200, 120, 10);
    tovel::testing::write_host_file(tovel::testing::host_of(L"C:\\normal.bmp"),
                                    two_halves_bmp(20, 10, kLeft, kRight));
    tovel::testing::write_host_file(tovel::testing::host_of(L"C:\\hover.bmp"),
                                    two_halves_bmp(20, 10, kHover, kHover));
    CSkinButton button;
    RECT at = {10, 10, 50, 30};
    ASSERT_TRUE(button.Create(owner_, at));
    button.setImages(std::wstring(L"C:\\normal.bmp"), L"C:\\hover.bmp", L"", L"", L"");
    // An empty rectangle draws nothing and succeeds.
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP target = CreateCompatibleBitmap(screen, 40, 20);
    ReleaseDC(nullptr, screen);
    HGDIOBJ old = SelectObject(dc, target);
    RECT all = {0, 0, 40, 20};
    HBRUSH grey = CreateSolidBrush(RGB(90, 90, 90));
    FillRect(dc, &all, grey);
    RECT empty = {20, 0, 20, 20};
    EXPECT_TRUE(button.draw(dc, &empty));
    EXPECT_EQ(GetPixel(dc, 25, 10), RGB(90, 90, 90));
    // Part of the client: the image still spans the whole client.
    RECT right = {20, 0, 40, 20};
    EXPECT_TRUE(button.draw(dc, &right));
    EXPECT_EQ(GetPixel(dc, 21, 10), kRight);
    EXPECT_EQ(GetPixel(dc, 39, 19), kRight);
    EXPECT_EQ(GetPixel(dc, 5, 10), kLeft);
    SelectObject(dc, old);
    DeleteObject(target);
    DeleteObject(grey);
    DeleteDC(dc);

    // Painted on screen, then the right half alone again after hovering.
    gui::pump();
    std::string file = pictures_dir() + "/button.png";
    ASSERT_TRUE(gui::write_png(gui::window_picture(button), file));
    EXPECT_EQ(probe(file, 5, 10), rgba(kLeft));
    EXPECT_EQ(probe(file, 21, 10), rgba(kRight));
    gui::move_mouse(40, 20);
    gui::run_for(50);
    EXPECT_TRUE(button.state() & CSkinButton::SKIN_STATE_HOVER);
    ASSERT_TRUE(gui::write_png(gui::window_picture(button), file));
    EXPECT_EQ(probe(file, 21, 10), rgba(kHover));
    // Pressed and released outside: neither hovered nor pressed, nothing told.
    gui::press(40, 20);
    gui::pump();
    gui::release(200, 150);
    gui::pump();
    EXPECT_FALSE(button.state() & (CSkinButton::SKIN_STATE_HOVER | CSkinButton::SKIN_STATE_DOWN));
    EXPECT_TRUE(owner_.got.empty());
}
