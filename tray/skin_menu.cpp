#include "tray/skin_menu.h"

#include <algorithm>
#include <cwchar>

#include "tray/tray_drawing.h"
#include "tray/tray_options.h"

namespace {

const wchar_t* const kStateKeys[MenuItem::STATES] = {L"normal", L"hover", L"focus", L"down",
                                                     L"disable"};
const COLORREF kDefaultBorders[MenuItem::STATES] = {RGB(235, 245, 245), RGB(225, 225, 225),
                                                    RGB(225, 225, 225), RGB(225, 225, 225),
                                                    RGB(180, 180, 180)};
const COLORREF kDefaultFills[MenuItem::STATES] = {RGB(237, 239, 239), RGB(211, 233, 233),
                                                  RGB(211, 233, 233), RGB(211, 233, 233),
                                                  RGB(160, 160, 160)};

}  // namespace

MenuItem::~MenuItem() {
    if (font_) ::DeleteObject(font_);
}

HWND MenuItem::create(HWND parent, const RECT& rect, const std::wstring& caption, UINT id) {
    const TrayOptions* options = TrayOptions::current();
    for (int state = 0; state < STATES; ++state)
        if (!options ||
            !options->menuItemColors(kStateKeys[state], borders_[state], fills_[state])) {
            borders_[state] = kDefaultBorders[state];
            fills_[state] = kDefaultFills[state];
        }
    RECT at = rect;
    if (!Create(parent, at)) return nullptr;
    if (font_) ::DeleteObject(font_);
    font_ = nullptr;
    DWORD colour = 0;
    std::wstring face;
    int size = 0;
    LOGFONTW logFont = {};
    if (options && options->menuItemFont(L"content", colour, face, size)) {
        text_ = colour;
        logFont.lfHeight = size * 10;
        logFont.lfCharSet = DEFAULT_CHARSET;
        std::wcsncpy(logFont.lfFaceName, face.c_str(), LF_FACESIZE - 1);
        WTL::CFontHandle made;
        font_ = made.CreatePointFontIndirect(&logFont);
    } else {
        HDC dc = ::GetDC(m_hWnd);
        ::GetObjectW(::GetCurrentObject(dc, OBJ_FONT), sizeof logFont, &logFont);
        ::ReleaseDC(m_hWnd, dc);
        logFont.lfWeight = FW_BOLD;
        logFont.lfUnderline = 1;
        logFont.lfFaceName[0] = L'\0';
        font_ = ::CreateFontIndirectW(&logFont);
    }
    caption_ = caption;
    id_ = id;
    return m_hWnd;
}

bool MenuItem::draw(HDC dc, const RECT* rect) {
    if (!rect || ::IsRectEmpty(rect)) return true;
    RECT client;
    ::GetClientRect(m_hWnd, &client);
    int state = !::IsWindowEnabled(m_hWnd)                                         ? DISABLE
                : state_ & (SKIN_STATE_HOVER | SKIN_STATE_DOWN | SKIN_STATE_FOCUS) ? HOVER
                                                                                   : NORMAL;
    tray::round_box(dc, client.left, client.top, client.right, client.bottom, 3, borders_[state],
                    fills_[state]);
    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, text_);
    HGDIOBJ oldFont = font_ ? ::SelectObject(dc, font_) : nullptr;
    ::DrawTextW(dc, caption_.c_str(), -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    if (oldFont) ::SelectObject(dc, oldFont);
    return true;
}

LRESULT MenuItem::OnItemPaint(UINT message, WPARAM wParam, LPARAM lParam, BOOL& handled) {
    if (!buffer_.isValid() && buffer_.create(m_hWnd, this)) {
        RECT client;
        ::GetClientRect(m_hWnd, &client);
        ::FillRect(buffer_.dc(), &client, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
    }
    return CSkinButton::OnPaint(message, wParam, lParam, handled);
}

LRESULT MenuItem::OnItemUp(UINT, WPARAM, LPARAM lParam, BOOL&) {
    if (::GetCapture() == m_hWnd) ::ReleaseCapture();
    POINT at = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    RECT client;
    ::GetClientRect(m_hWnd, &client);
    if (!::PtInRect(&client, at)) {
        set(SKIN_STATE_HOVER | SKIN_STATE_DOWN, false);
        redraw();
    } else {
        ::PostMessageW(::GetParent(m_hWnd), TRAY_MENU_ITEM_MSG, id_, 0);
    }
    return 0;
}

SkinMenu::~SkinMenu() { clear(); }

void SkinMenu::addItem(const std::wstring& caption, UINT id, int position) {
    items_.push_back(new MenuItem(caption, id));
    if (position >= 0 && static_cast<size_t>(position) < items_.size() - 1)
        std::rotate(items_.begin() + position, items_.end() - 1, items_.end());
}

void SkinMenu::removeItem(UINT id) {
    for (auto it = items_.begin(); it != items_.end();) {
        if ((*it)->id() != id) {
            ++it;
            continue;
        }
        if ((*it)->IsWindow()) (*it)->DestroyWindow();
        delete *it;
        it = items_.erase(it);
    }
}

void SkinMenu::clear() {
    // The items' windows go with the menu's while their objects live; only
    // then are the objects deleted.
    if (IsWindow()) DestroyWindow();
    for (MenuItem* item : items_) {
        if (item->IsWindow()) item->DestroyWindow();
        delete item;
    }
    items_.clear();
    deleteBuffer();
}

void SkinMenu::beginUpdate() {
    if (IsWindow()) ::LockWindowUpdate(m_hWnd);
}

void SkinMenu::endUpdate() {
    if (!IsWindow()) return;
    ::LockWindowUpdate(nullptr);
    layout();
}

void SkinMenu::popup(HWND owner, int x, int y) {
    if (IsWindow()) DestroyWindow();
    owner_ = owner;
    int height = kItemHeight * static_cast<int>(items_.size()) + 6;
    RECT at = {x - kWidth, y - height, x, y};
    Create(nullptr, at);
}

void SkinMenu::layout() {
    for (size_t i = 0; i < items_.size(); ++i) {
        int top = 3 + kItemHeight * static_cast<int>(i);
        RECT at = {2, top, 152, top + kItemHeight};
        MenuItem* item = items_[i];
        if (!item->IsWindow())
            item->create(m_hWnd, at, item->caption(), item->id());
        else
            ::MoveWindow(item->m_hWnd, at.left, at.top, at.right - at.left, at.bottom - at.top,
                         TRUE);
    }
    int height = kItemHeight * static_cast<int>(items_.size()) + 6;
    RECT window;
    ::GetWindowRect(m_hWnd, &window);
    int right = window.right;
    int bottom = window.bottom;
    int left = right - kWidth;
    int top = bottom - height;
    RECT desktop;
    ::GetWindowRect(::GetDesktopWindow(), &desktop);
    if (left <= desktop.left) left += kWidth;
    if (top < desktop.top) top += height;
    if (left + kWidth > desktop.right) left -= kWidth;
    ::MoveWindow(m_hWnd, left, top, kWidth, height, FALSE);
    if (memDC_) {
        RECT client;
        ::GetClientRect(m_hWnd, &client);
        HDC dc = ::GetDC(m_hWnd);
        HBITMAP fresh = ::CreateCompatibleBitmap(dc, client.right, client.bottom);
        ::ReleaseDC(m_hWnd, dc);
        if (fresh) {
            ::SelectObject(memDC_, fresh);
            if (bitmap_) ::DeleteObject(bitmap_);
            bitmap_ = fresh;
            drawBackground(client.right, client.bottom);
        }
    }
    ::SetWindowRgn(m_hWnd, ::CreateRoundRectRgn(0, 0, kWidth, height, 2, 2), FALSE);
}

void SkinMenu::drawBackground(int width, int height) {
    tray::round_box(memDC_, 0, 0, width - 1, height - 1, 2, border_, fill_);
}

void SkinMenu::deleteBuffer() { tray::free_back_buffer(memDC_, bitmap_, oldBitmap_); }

LRESULT SkinMenu::OnCreate(UINT, WPARAM, LPARAM, BOOL&) {
    for (size_t i = 0; i < items_.size(); ++i) {
        int top = 3 + kItemHeight * static_cast<int>(i);
        RECT at = {2, top, 150, top + 22};
        if (!items_[i]->IsWindow())
            items_[i]->create(m_hWnd, at, items_[i]->caption(), items_[i]->id());
    }
    layout();
    const TrayOptions* options = TrayOptions::current();
    if (!options || !options->menuFrameColors(border_, fill_)) {
        border_ = RGB(151, 212, 243);
        fill_ = RGB(237, 239, 239);
    }
    return 0;
}

LRESULT SkinMenu::OnPaint(UINT, WPARAM, LPARAM, BOOL&) {
    RECT client;
    ::GetClientRect(m_hWnd, &client);
    if (!memDC_) {
        HDC dc = ::GetDC(m_hWnd);
        memDC_ = ::CreateCompatibleDC(dc);
        if (memDC_) {
            ::SetBkColor(memDC_, RGB(255, 255, 255));
            bitmap_ = ::CreateCompatibleBitmap(dc, client.right, client.bottom);
            if (bitmap_) oldBitmap_ = ::SelectObject(memDC_, bitmap_);
            drawBackground(client.right, client.bottom);
        }
        ::ReleaseDC(m_hWnd, dc);
    }
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(&paint);
    const RECT& r = paint.rcPaint;
    if (memDC_)
        ::BitBlt(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, memDC_, r.left, r.top,
                 SRCCOPY);
    EndPaint(&paint);
    return 0;
}

LRESULT SkinMenu::OnShowWindow(UINT, WPARAM, LPARAM, BOOL&) {
    ::SetWindowPos(m_hWnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
    return 0;
}

LRESULT SkinMenu::OnButtonDown(UINT, WPARAM, LPARAM, BOOL&) {
    POINT cursor;
    RECT window;
    ::GetCursorPos(&cursor);
    ::GetWindowRect(m_hWnd, &window);
    if (!::PtInRect(&window, cursor)) DestroyWindow();
    return 0;
}

LRESULT SkinMenu::OnActivate(UINT, WPARAM wParam, LPARAM, BOOL&) {
    if (LOWORD(wParam) == WA_INACTIVE) {
        ::PostMessageW(owner_, TRAY_MENU_CLOSED_MSG, 0, 0);
        ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
    }
    return 0;
}

LRESULT SkinMenu::OnItem(UINT, WPARAM wParam, LPARAM, BOOL&) {
    ::PostMessageW(owner_, WM_COMMAND, wParam, 0);
    DestroyWindow();
    return 0;
}

LRESULT SkinMenu::OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled) {
    deleteBuffer();
    handled = FALSE;
    return 0;
}

RECT measureText(HDC dc, const wchar_t* text, int length, HFONT font) {
    RECT rect = {0, 0, 0, 0};
    if (!dc || !text || !font) return rect;
    HGDIOBJ old = ::SelectObject(dc, font);
    ::DrawTextW(dc, text, length, &rect, DT_CALCRECT);
    ::SelectObject(dc, old);
    return rect;
}
