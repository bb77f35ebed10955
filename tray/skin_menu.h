// The tray's own pop-up menu: a rounded window of text items, opened with
// its bottom-right corner at a point (moved inside the desktop near its left,
// top or right edge), that posts WM_COMMAND with the chosen item's id to its
// owner, and TRAY_MENU_CLOSED_MSG when it loses activation. Colours and the
// item font come from the skin options' "menu" section. GUI thread.
#pragma once

#include <string>
#include <vector>

#include "tray/skin_button.h"
#include "tray/tray_messages.h"

class MenuItem : public CSkinButton {
public:
    // Indexes of the colour tables, in the options' order of states.
    enum { NORMAL, HOVER, FOCUS, DOWN, DISABLE, STATES };

    MenuItem(const std::wstring& caption, UINT id) : caption_(caption), id_(id) {}
    ~MenuItem() override;

    BEGIN_MSG_MAP(MenuItem)
    MESSAGE_HANDLER(WM_PAINT, OnItemPaint)
    MESSAGE_HANDLER(WM_LBUTTONUP, OnItemUp)
    CHAIN_MSG_MAP(CSkinButton)
    END_MSG_MAP()

    // Takes its colours (options, else the built-in table) and makes its
    // window as a child of parent over rect, then its font.
    HWND create(HWND parent, const RECT& rect, const std::wstring& caption, UINT id);
    // A rounded box in the state's colours with the caption centred.
    bool draw(HDC dc, const RECT* rect) override;

    UINT id() const { return id_; }
    const std::wstring& caption() const { return caption_; }
    COLORREF border(int state) const { return borders_[state]; }
    COLORREF fill(int state) const { return fills_[state]; }

private:
    LRESULT OnItemPaint(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnItemUp(UINT, WPARAM, LPARAM, BOOL&);

    std::wstring caption_;
    UINT id_;
    COLORREF borders_[STATES] = {};
    COLORREF fills_[STATES] = {};
    COLORREF text_ = RGB(32, 32, 32);
    HFONT font_ = nullptr;
};

class SkinMenu : public ATL::CWindowImpl<
                     SkinMenu, ATL::CWindow,
                     ATL::CWinTraits<WS_POPUP | WS_VISIBLE | WS_CLIPSIBLINGS, WS_EX_COMPOSITED>> {
public:
    static constexpr int kWidth = 154;
    static constexpr int kItemHeight = 25;

    SkinMenu() = default;
    // Destroys the window with its items, then deletes them.
    ~SkinMenu() override;
    SkinMenu(const SkinMenu&) = delete;
    SkinMenu& operator=(const SkinMenu&) = delete;

    BEGIN_MSG_MAP(SkinMenu)
    MESSAGE_HANDLER(WM_CREATE, OnCreate)
    MESSAGE_HANDLER(WM_PAINT, OnPaint)
    MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBackground)
    MESSAGE_HANDLER(WM_SHOWWINDOW, OnShowWindow)
    MESSAGE_HANDLER(WM_LBUTTONDOWN, OnButtonDown)
    MESSAGE_HANDLER(WM_ACTIVATE, OnActivate)
    MESSAGE_HANDLER(TRAY_MENU_ITEM_MSG, OnItem)
    MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    END_MSG_MAP()

    // Adds an item, at the end or (position 0 or more) at that index.
    void addItem(const std::wstring& caption, UINT id, int position);
    // Destroys and deletes every item with that id.
    void removeItem(UINT id);
    // Destroys the menu window (and with it the items' windows), then
    // deletes the items.
    void clear();
    void beginUpdate();
    void endUpdate();
    // Opens the menu for owner with its bottom-right corner at (x, y),
    // closing a menu window still open first.
    void popup(HWND owner, int x, int y);
    // Places the items and the window, and redraws the background.
    void layout();

    const std::vector<MenuItem*>& items() const { return items_; }
    COLORREF borderColor() const { return border_; }
    COLORREF fillColor() const { return fill_; }

private:
    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnEraseBackground(UINT, WPARAM, LPARAM, BOOL&) { return 1; }
    LRESULT OnShowWindow(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnButtonDown(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnActivate(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnItem(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL&);

    void drawBackground(int width, int height);
    void deleteBuffer();

    std::vector<MenuItem*> items_;
    HWND owner_ = nullptr;
    HDC memDC_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ oldBitmap_ = nullptr;
    COLORREF fill_ = RGB(180, 220, 200);
    COLORREF border_ = RGB(100, 150, 130);
};

// The rectangle DrawTextW computes for the text with DT_CALCRECT under the
// font; all zero when an argument is missing.
RECT measureText(HDC dc, const wchar_t* text, int length, HFONT font);
