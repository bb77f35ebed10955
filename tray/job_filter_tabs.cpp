#include "tray/job_filter_tabs.h"

#include <algorithm>
#include <cwchar>

#include "tray/tray_drawing.h"
#include "tray/tray_options.h"
#include "tray/tray_resources.h"

namespace {

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kArrowLine = 0xF0C8F0;
constexpr COLORREF kArrowOpen = 0xB48C78;
// The web interface on this computer, as the tray menu opens it.

int arrowWidth(int height) { return static_cast<int>(height * 3 * 0.25); }

void fill(HDC dc, const RECT& rect, COLORREF colour) {
    HBRUSH brush = ::CreateSolidBrush(colour);
    ::FillRect(dc, &rect, brush);
    ::DeleteObject(brush);
}

void line(HDC dc, int x1, int y1, int x2, int y2) {
    ::MoveToEx(dc, x1, y1, nullptr);
    ::LineTo(dc, x2, y2);
}

// A back buffer of the window's client size, white.
void makeBuffer(HWND window, HDC& memDC, HBITMAP& bitmap, HGDIOBJ& old) {
    RECT client;
    ::GetClientRect(window, &client);
    HDC dc = ::GetDC(window);
    memDC = ::CreateCompatibleDC(dc);
    bitmap = memDC ? ::CreateCompatibleBitmap(dc, client.right, client.bottom) : nullptr;
    ::ReleaseDC(window, dc);
    if (!bitmap) {
        if (memDC) ::DeleteDC(memDC);
        memDC = nullptr;
        return;
    }
    old = ::SelectObject(memDC, bitmap);
    fill(memDC, client, kWhite);
}

// Copies the invalid part from the back buffer, white as the transparent colour.
void paintFrom(HWND window, HDC memDC) {
    PAINTSTRUCT paint;
    HDC dc = ::BeginPaint(window, &paint);
    const RECT& r = paint.rcPaint;
    if (memDC && !::IsRectEmpty(&r))
        ::TransparentBlt(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, memDC, r.left,
                         r.top, r.right - r.left, r.bottom - r.top, kWhite);
    ::EndPaint(window, &paint);
}

}  // namespace

JobTypePane::~JobTypePane() {
    if (IsWindow()) DestroyWindow();
}

bool JobTypePane::create(HWND parent, const POINT& origin) {
    const TrayOptions* options = TrayOptions::current();
    const wchar_t* states[] = {L"normal", L"hover", L"disable"};
    COLORREF* texts[] = {&normalText_, &hoverText_, &disableText_};
    // Built-in label colours, each readable on the pop-up's fill (contrast
    // above 4.5 : 1): blue, teal when hot, grey when disabled.
    const COLORREF defaults[] = {kDefaultNormalText, kDefaultHoverText, kDefaultDisableText};
    for (int i = 0; i < 3; ++i) {
        DWORD border = 0;
        DWORD background = 0;
        *texts[i] = options && options->classifyPaneColors(states[i], border, background)
                        ? border
                        : defaults[i];
    }
    DWORD frameBorder = 0;
    DWORD frameFill = 0;
    ground_ = options && options->jobPaneFrameColors(frameBorder, frameFill) ? frameFill
                                                                             : tray::kPopupFill;
    RECT at = {origin.x, origin.y, origin.x + 1, origin.y + 1};
    return Create(parent, at) != nullptr;
}

SIZE& JobTypePane::size(SIZE& out) {
    out.cx = own_.right - own_.left;
    out.cy = own_.bottom - own_.top;
    return out;
}

void JobTypePane::setup(const std::wstring& label, int id) {
    label_ = label;
    id_ = id;
    if (IsWindow()) measure();
}

void JobTypePane::measure() {
    HDC dc = ::GetDC(m_hWnd);
    int width = 0;
    int height = 0;
    for (HFONT font : {font_, underlined_}) {
        RECT text = measureText(dc, label_.c_str(), -1, font);
        width = std::max(
            width, static_cast<int>(text.right - text.left) + arrowWidth(text.bottom - text.top));
        height = std::max(height, static_cast<int>(text.bottom - text.top));
    }
    ::ReleaseDC(m_hWnd, dc);
    RECT window;
    ::GetWindowRect(m_hWnd, &window);
    POINT corner = {window.left, window.top};
    if (HWND parent = ::GetParent(m_hWnd)) ::ScreenToClient(parent, &corner);
    ::MoveWindow(m_hWnd, corner.x, corner.y, width, height, FALSE);
    layOut(width, height);
}

void JobTypePane::layOut(int width, int height) {
    own_ = {0, 0, width, height};
    int arrow = hasMenu() ? std::min(arrowWidth(height), width) : 0;
    arrow_ = {width - arrow, 0, width, height};
    labelZone_ = {0, 0, width - arrow, height};
}

LRESULT JobTypePane::OnSize(UINT, WPARAM, LPARAM lParam, BOOL&) {
    int width = LOWORD(lParam);
    int height = HIWORD(lParam);
    if (width == own_.right && height == own_.bottom) return 0;
    layOut(width, height);
    // The back buffer is made again at the new size on the next paint.
    tray::free_back_buffer(memDC_, bitmap_, oldBitmap_);
    ::InvalidateRect(m_hWnd, nullptr, FALSE);
    return 0;
}

void JobTypePane::setItems(const std::vector<int>& states, const std::vector<std::wstring>& names) {
    menu_.beginUpdate();
    items_.clear();
    menu_.clear();
    for (int state : states) {
        if (std::any_of(items_.begin(), items_.end(),
                        [&](const Item& i) { return i.state == state; }))
            continue;
        std::wstring name =
            state >= 0 && static_cast<size_t>(state) < names.size() ? names[state] : L"";
        items_.push_back({state, name});
        if (menu_.IsWindow()) menu_.addItem(name, static_cast<UINT>(state), -1);
    }
    menu_.endUpdate();
    if (hasMenu() && IsWindow()) enable(!items_.empty());
}

void JobTypePane::enable(bool enabled) {
    if ((::IsWindowEnabled(m_hWnd) != FALSE) == enabled) return;
    ::EnableWindow(m_hWnd, enabled);
    // The label's colour follows.
    drawnLook_ = -1;
    redraw();
}

void JobTypePane::setLook(int look) {
    if (look_ == look) return;
    look_ = look;
    if (IsWindow()) redraw();
}

void JobTypePane::setSelected(bool selected) { setLook(selected ? SELECTED : NORMAL); }

void JobTypePane::redraw() {
    if (memDC_) draw(memDC_);
    ::InvalidateRect(m_hWnd, nullptr, FALSE);
}

void JobTypePane::drawLabel(HDC dc, const RECT& clear, UINT format) {
    // The pop-up's fill, not the transparent white: what was drawn before
    // (a hot label, an open arrow) must not show through.
    fill(dc, clear, ground_);
    bool hot = look_ == SELECTED || (look_ == HOT && zone_ == LABEL);
    // A tab without jobs to list is disabled, and looks it.
    const bool enabled = !IsWindow() || ::IsWindowEnabled(m_hWnd);
    ::SetTextColor(dc, !enabled ? disableText_ : hot ? hoverText_ : normalText_);
    HFONT font = hot ? underlined_ : font_;
    HGDIOBJ old = font ? ::SelectObject(dc, font) : nullptr;
    ::SetBkMode(dc, TRANSPARENT);
    RECT rect = labelZone_;
    ::DrawTextW(dc, label_.c_str(), -1, &rect, format | DT_WORD_ELLIPSIS);
    if (old) ::SelectObject(dc, old);
}

void JobTypePane::draw(HDC dc) {
    bool zoneChange = zone_ != drawnZone_ && (zone_ == LABEL || drawnZone_ == LABEL);
    if (look_ != drawnLook_ || zoneChange) drawLabel(dc, labelZone_, 0);
    // The arrow zone with its two chevrons.
    fill(dc, arrow_, ground_);
    tray::round_box(dc, arrow_.left, arrow_.top, arrow_.right, arrow_.bottom, 2,
                    menuOpen_ || zone_ == ARROW ? kArrowLine : ground_,
                    menuOpen_ ? kArrowOpen : ground_);
    HPEN chevron = ::CreatePen(PS_SOLID, 2, kArrowLine);
    HGDIOBJ oldPen = ::SelectObject(dc, chevron);
    double dx = (arrow_.right - arrow_.left) / 6.0;
    double dy = (arrow_.bottom - arrow_.top) / 6.0;
    int l = arrow_.left;
    int t = arrow_.top;
    auto x = [&](int n) { return l + static_cast<int>(n * dx) - 1; };
    auto y = [&](int n) { return t + static_cast<int>(n * dy); };
    line(dc, x(1), y(1), x(3), y(3));
    line(dc, x(3), y(3), x(1), y(5));
    line(dc, x(3), y(1), x(5), y(3));
    line(dc, x(5), y(3), x(3), y(5));
    ::SelectObject(dc, oldPen);
    ::DeleteObject(chevron);
    drawnLook_ = look_;
    drawnZone_ = zone_;
}

void JobTypePaneMore::draw(HDC dc) {
    bool zoneChange = zone_ != drawnZone_ && (zone_ == LABEL || drawnZone_ == LABEL);
    if (look_ != drawnLook_ || zoneChange) drawLabel(dc, own_, DT_CENTER);
    drawnLook_ = look_;
    drawnZone_ = zone_;
}

LRESULT JobTypePane::OnCreate(UINT, WPARAM, LPARAM, BOOL&) {
    const TrayOptions* options = TrayOptions::current();
    DWORD colour = 0;
    std::wstring face;
    int points = 0;
    LOGFONTW logFont = {};
    if (options && options->classifyPaneFont(L"title", colour, face, points)) {
        logFont.lfHeight = points * 10;
        logFont.lfCharSet = DEFAULT_CHARSET;
        std::wcsncpy(logFont.lfFaceName, face.c_str(), LF_FACESIZE - 1);
        WTL::CFontHandle normal;
        font_ = normal.CreatePointFontIndirect(&logFont);
        logFont.lfUnderline = 1;
        WTL::CFontHandle underlined;
        underlined_ = underlined.CreatePointFontIndirect(&logFont);
    } else {
        HDC dc = ::GetDC(m_hWnd);
        ::GetObjectW(::GetCurrentObject(dc, OBJ_FONT), sizeof logFont, &logFont);
        ::ReleaseDC(m_hWnd, dc);
        logFont.lfWeight = FW_BOLD;
        logFont.lfUnderline = 1;
        logFont.lfFaceName[0] = L'\0';
        font_ = ::CreateFontIndirectW(&logFont);
        underlined_ = ::CreateFontIndirectW(&logFont);
    }
    measure();
    if (hasMenu()) ::EnableWindow(m_hWnd, !items_.empty());
    drawnLook_ = -1;
    return 0;
}

LRESULT JobTypePane::OnPaint(UINT, WPARAM, LPARAM, BOOL&) {
    if (!memDC_) {
        makeBuffer(m_hWnd, memDC_, bitmap_, oldBitmap_);
        drawnLook_ = -1;
        drawnZone_ = -1;
        if (memDC_) draw(memDC_);
    }
    paintFrom(m_hWnd, memDC_);
    return 0;
}

LRESULT JobTypePane::OnMouseMove(UINT, WPARAM, LPARAM lParam, BOOL&) {
    if (look_ != HOT) {
        TRACKMOUSEEVENT track = {sizeof track, TME_HOVER, m_hWnd, 10};
        ::TrackMouseEvent(&track);
    }
    POINT at = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    int zone = ::PtInRect(&arrow_, at) && hasMenu() ? ARROW : LABEL;
    if (zone == zone_) return 0;
    zone_ = zone;
    redraw();
    return 0;
}

LRESULT JobTypePane::OnMouseHover(UINT, WPARAM, LPARAM, BOOL&) {
    if (look_ != SELECTED) look_ = HOT;
    TRACKMOUSEEVENT track = {sizeof track, TME_LEAVE, m_hWnd, 10};
    ::TrackMouseEvent(&track);
    if (zone_ == ARROW)
        ::InvalidateRect(m_hWnd, nullptr, FALSE);
    else
        redraw();
    return 0;
}

LRESULT JobTypePane::OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&) {
    if (look_ != SELECTED) look_ = NORMAL;
    if (!menuOpen_) {
        zone_ = NONE;
        redraw();
    }
    return 0;
}

LRESULT JobTypePane::OnButtonDown(UINT, WPARAM, LPARAM lParam, BOOL&) {
    if (!::GetCapture()) SetCapture();
    if (look_ != SELECTED) look_ = HOT;
    POINT at = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    if (!hasMenu() || !::PtInRect(&arrow_, at)) {
        look_ = SELECTED;
        redraw();
        ::PostMessageW(::GetParent(m_hWnd), TRAY_PANE_SELECT_MSG, static_cast<WPARAM>(id_), 0);
        return 0;
    }
    menuOpen_ = true;
    zone_ = ARROW;
    redraw();
    if (!menu_.IsWindow()) {
        // The container rebuilds the item lists first.
        HWND pane = ::GetParent(m_hWnd);
        if (HWND container = pane ? ::GetParent(pane) : nullptr)
            ::SendMessageW(container, TRAY_PANE_STATES_MSG, 0, 0);
        menu_.clear();
        POINT screen = at;
        ::ClientToScreen(m_hWnd, &screen);
        menu_.popup(m_hWnd, screen.x, screen.y);
        menu_.beginUpdate();
        for (const Item& item : items_) menu_.addItem(item.text, static_cast<UINT>(item.state), -1);
        menu_.endUpdate();
    }
    return 0;
}

LRESULT JobTypePane::OnButtonUp(UINT, WPARAM, LPARAM, BOOL&) {
    if (::GetCapture() == m_hWnd) ::ReleaseCapture();
    POINT cursor;
    RECT window;
    ::GetCursorPos(&cursor);
    ::GetWindowRect(m_hWnd, &window);
    if (look_ != SELECTED) look_ = ::PtInRect(&window, cursor) ? HOT : NORMAL;
    if (memDC_) draw(memDC_);
    if (!menuOpen_) ::InvalidateRect(m_hWnd, nullptr, FALSE);
    return 0;
}

LRESULT JobTypePane::OnCommand(UINT, WPARAM wParam, LPARAM lParam, BOOL& handled) {
    if (HIWORD(wParam) != 0 || lParam != 0) {
        handled = FALSE;
        return 0;
    }
    menuOpen_ = false;
    zone_ = NONE;
    look_ = SELECTED;
    redraw();
    ::PostMessageW(::GetParent(m_hWnd), TRAY_PANE_SELECT_MSG, static_cast<WPARAM>(id_),
                   static_cast<LPARAM>(LOWORD(wParam)));
    return 0;
}

LRESULT JobTypePane::OnMenuClosed(UINT, WPARAM, LPARAM, BOOL&) {
    menuOpen_ = false;
    if (look_ != SELECTED) look_ = NORMAL;
    POINT cursor;
    ::GetCursorPos(&cursor);
    ::ScreenToClient(m_hWnd, &cursor);
    zone_ = ::PtInRect(&arrow_, cursor) && hasMenu() ? ARROW
            : ::PtInRect(&labelZone_, cursor)        ? LABEL
                                                     : NONE;
    redraw();
    return 0;
}

LRESULT JobTypePane::OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled) {
    if (font_) ::DeleteObject(font_);
    if (underlined_) ::DeleteObject(underlined_);
    font_ = nullptr;
    underlined_ = nullptr;
    tray::free_back_buffer(memDC_, bitmap_, oldBitmap_);
    menu_.clear();
    look_ = NORMAL;
    menuOpen_ = false;
    zone_ = NONE;
    drawnLook_ = -1;
    drawnZone_ = -1;
    items_.clear();
    handled = FALSE;
    return 0;
}

JobClassifyPane::JobClassifyPane() {
    for (int i = 0; i < kStateCount; ++i) names_.push_back(trayString(kStateNames + i));
    for (int i = 0; i < 3; ++i) labels_[i] = trayString(16432 + i);
}

JobClassifyPane::~JobClassifyPane() {
    if (IsWindow()) DestroyWindow();
}

bool JobClassifyPane::create(HWND parent, const POINT& origin) {
    RECT at = {origin.x, origin.y, origin.x + 1, origin.y + 1};
    return Create(parent, at) != nullptr;
}

SIZE& JobClassifyPane::size(SIZE& out) {
    out.cx = own_.right;
    out.cy = own_.bottom;
    return out;
}

void JobClassifyPane::select(int type, int state) {
    if (type != 1 && type != 2) return;
    type_ = type;
    state_ = state;
    backup_.setSelected(type == 1);
    restore_.setSelected(type == 2);
}

void JobClassifyPane::setStates(const std::vector<int>& backup, const std::vector<int>& restore) {
    backup_.setItems(backup, names_);
    restore_.setItems(restore, names_);
}

LRESULT JobClassifyPane::OnCreate(UINT, WPARAM, LPARAM, BOOL&) {
    backup_.setup(labels_[0], 1);
    restore_.setup(labels_[1], 2);
    more_.setup(labels_[2], 3);
    SIZE b = {};
    SIZE r = {};
    SIZE m = {};
    backup_.create(m_hWnd, {3, 3});
    backup_.size(b);
    POINT restoreAt = {3 + b.cx + 6, 3};
    restore_.create(m_hWnd, restoreAt);
    restore_.size(r);
    POINT moreAt = {restoreAt.x + r.cx + 3, 3};
    more_.create(m_hWnd, moreAt);
    more_.size(m);
    int height = std::max({b.cy, r.cy, m.cy}) + 6;
    own_ = {0, 0, moreAt.x + m.cx + 3, height};
    RECT window;
    ::GetWindowRect(m_hWnd, &window);
    POINT corner = {window.left, window.top};
    if (HWND parent = ::GetParent(m_hWnd)) ::ScreenToClient(parent, &corner);
    ::MoveWindow(m_hWnd, corner.x, corner.y, own_.right, own_.bottom, FALSE);
    ::MoveWindow(backup_, 3, 3, b.cx, b.cy, FALSE);
    ::MoveWindow(restore_, restoreAt.x, 3, r.cx, r.cy, FALSE);
    ::MoveWindow(more_, moreAt.x, 3, m.cx, m.cy, FALSE);
    // The selection may have been made before the window: its tab is the
    // highlighted one.
    backup_.setSelected(type_ == 1);
    restore_.setSelected(type_ == 2);
    return 0;
}

LRESULT JobClassifyPane::OnPaint(UINT, WPARAM, LPARAM, BOOL&) {
    if (!memDC_) makeBuffer(m_hWnd, memDC_, bitmap_, oldBitmap_);
    paintFrom(m_hWnd, memDC_);
    return 0;
}

LRESULT JobClassifyPane::OnSelect(UINT, WPARAM wParam, LPARAM lParam, BOOL&) {
    int tab = static_cast<int>(wParam);
    int state = static_cast<int>(lParam);
    if (tab == type_ && state == state_) return 0;
    HWND container = ::GetParent(m_hWnd);
    if (tab == 3) {
        tray::open_web_interface();
        // The more tab never stays chosen.
        more_.setSelected(false);
        if (container) ::PostMessageW(container, WM_CLOSE, 0, 0);
        return 0;
    }
    if (tab == 2) backup_.setSelected(false);
    if (tab == 1) restore_.setSelected(false);
    type_ = tab;
    state_ = state;
    if (container) ::PostMessageW(container, TRAY_PANE_LAYOUT_MSG, 0, 0);
    return 0;
}

LRESULT JobClassifyPane::OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled) {
    backup_.setSelected(true);
    restore_.setSelected(false);
    tray::free_back_buffer(memDC_, bitmap_, oldBitmap_);
    type_ = 1;
    state_ = 0;
    handled = FALSE;
    return 0;
}
