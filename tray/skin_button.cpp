#include "tray/skin_button.h"

#include "tray/tray_drawing.h"

namespace {

constexpr COLORREF kKey = RGB(255, 255, 255);

void track(HWND window, DWORD flags) {
    TRACKMOUSEEVENT event = {};
    event.cbSize = sizeof event;
    event.dwFlags = flags;
    event.hwndTrack = window;
    event.dwHoverTime = 10;
    ::TrackMouseEvent(&event);
}

}  // namespace

CSkinButton::~CSkinButton() {
    if (IsWindow()) DestroyWindow();
    buffer_.reset();
    deleteImages();
}

void CSkinButton::deleteImages() {
    for (HBITMAP& image : images_) {
        if (image) ::DeleteObject(image);
        image = nullptr;
    }
}

bool CSkinButton::draw(HDC dc, const RECT* rect) {
    // Only the DC's clipping limits what is drawn: the image always maps
    // onto the whole client area, whatever part is being painted.
    if (!rect || ::IsRectEmpty(rect)) return true;
    RECT client;
    ::GetClientRect(m_hWnd, &client);
    HBITMAP image = nullptr;
    if (!::IsWindowEnabled(m_hWnd))
        image = images_[4];
    else if (state_ & SKIN_STATE_DOWN)
        image = images_[2];
    else if (state_ & SKIN_STATE_HOVER)
        image = images_[1];
    else if (state_ & SKIN_STATE_FOCUS)
        image = images_[3];
    if (!image) image = images_[0];
    return tray::draw_keyed_image(dc, client, image, kKey);
}

void CSkinButton::setImages(const std::wstring& normal, const std::wstring& hover,
                            const std::wstring& down, const std::wstring& focus,
                            const std::wstring& disable) {
    deleteImages();
    const std::wstring* paths[] = {&normal, &hover, &down, &focus, &disable};
    for (int i = 0; i < 5; ++i)
        if (!paths[i]->empty())
            images_[i] = static_cast<HBITMAP>(
                ::LoadImageW(nullptr, paths[i]->c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE));
    if (IsWindow()) redraw();
}

void CSkinButton::redraw() {
    buffer_.setDirty(true);
    if (HWND parent = ::GetParent(m_hWnd)) {
        RECT under;
        ::GetWindowRect(m_hWnd, &under);
        POINT corners[2] = {{under.left, under.top}, {under.right, under.bottom}};
        ::ScreenToClient(parent, &corners[0]);
        ::ScreenToClient(parent, &corners[1]);
        RECT area = {corners[0].x, corners[0].y, corners[1].x, corners[1].y};
        ::InvalidateRect(parent, &area, TRUE);
    }
    ::InvalidateRect(m_hWnd, nullptr, TRUE);
}

LRESULT CSkinButton::OnPaint(UINT, WPARAM, LPARAM, BOOL&) {
    buffer_.onPaint(m_hWnd, this);
    return 0;
}

LRESULT CSkinButton::OnButtonDown(UINT, WPARAM, LPARAM, BOOL&) {
    if (!::GetCapture()) SetCapture();
    set(SKIN_STATE_DOWN, true);
    redraw();
    return 0;
}

LRESULT CSkinButton::OnButtonUp(UINT, WPARAM, LPARAM, BOOL&) {
    if (::GetCapture() == m_hWnd) ::ReleaseCapture();
    set(SKIN_STATE_DOWN, false);
    POINT cursor;
    RECT window;
    ::GetCursorPos(&cursor);
    ::GetWindowRect(m_hWnd, &window);
    set(SKIN_STATE_HOVER, ::PtInRect(&window, cursor));
    redraw();
    return 0;
}

LRESULT CSkinButton::OnMouseMove(UINT, WPARAM wParam, LPARAM, BOOL&) {
    set(SKIN_STATE_DOWN, wParam == MK_LBUTTON);
    if (!tracking_) track(m_hWnd, TME_HOVER);
    return 0;
}

LRESULT CSkinButton::OnMouseHover(UINT, WPARAM, LPARAM, BOOL&) {
    tracking_ = true;
    track(m_hWnd, TME_LEAVE);
    set(SKIN_STATE_HOVER, true);
    redraw();
    return 0;
}

LRESULT CSkinButton::OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&) {
    set(SKIN_STATE_HOVER, false);
    tracking_ = false;
    redraw();
    return 0;
}

LRESULT CSkinButton::OnFocus(UINT message, WPARAM, LPARAM, BOOL&) {
    set(SKIN_STATE_FOCUS, message == WM_SETFOCUS);
    redraw();
    return 0;
}

LRESULT CSkinButton::OnSize(UINT, WPARAM, LPARAM, BOOL&) {
    buffer_.setDirty(true);
    return 0;
}

LRESULT CSkinButton::OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled) {
    state_ = SKIN_STATE_NORMAL;
    tracking_ = false;
    buffer_.reset();
    deleteImages();
    handled = FALSE;
    return 0;
}

LRESULT CCloseButton::OnCloseUp(UINT, WPARAM, LPARAM lParam, BOOL&) {
    ::ReleaseCapture();
    set(SKIN_STATE_DOWN, false);
    POINT at = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    RECT client;
    ::GetClientRect(m_hWnd, &client);
    if (::PtInRect(&client, at)) {
        tracking_ = false;
        state_ = SKIN_STATE_NORMAL;
        ::PostMessageW(::GetParent(m_hWnd), WM_CLOSE, 0, 0);
    }
    return 0;
}
