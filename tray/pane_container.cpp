#include "tray/pane_container.h"

#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <vector>

#include "common/ace_log_wrapper.h"
#include "tray/job_info_pane.h"
#include "tray/tray_drawing.h"
#include "tray/tray_options.h"

namespace {

constexpr COLORREF kWhite = RGB(255, 255, 255);
// The colour the window's buffer leaves out when it is copied.
constexpr COLORREF kKey = 0x0000FF;
constexpr int kButtonSize = 20;
constexpr int kCloseLeft = 8;
constexpr int kStickLeft = 37;
constexpr int kButtonTop = 3;
constexpr int kMostShown = 7;

// The program's folder with a closing "\".
std::wstring programFolder() {
    wchar_t path[MAX_PATH] = {};
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length < MAX_PATH ? length : 0);
    size_t cut = folder.find_last_of(L"\\/");
    folder = cut == std::wstring::npos ? std::wstring() : folder.substr(0, cut);
    if (folder.empty() || (folder.back() != L'\\' && folder.back() != L'/')) folder += L'\\';
    return folder;
}

std::wstring skin(const wchar_t* name) { return programFolder() + L"Skin\\Tray\\" + name; }

// A job card whose job is known and live, or null.
JobInfoPane* liveCard(AbsPane* pane, JobDefinition** definition, int* state) {
    if (pane->kind() != AbsPane::KIND_JOB) return nullptr;
    auto* card = dynamic_cast<JobInfoPane*>(pane);
    if (!card || !card->record()) return nullptr;
    JobDefinition* d = card->record()->definition();
    JobActivity* live = d ? card->record()->activity() : nullptr;
    if (!live) return nullptr;
    *definition = d;
    *state = JobRecord::state(live);
    return card;
}

}  // namespace

PaneContainer::PaneContainer() = default;

PaneContainer::~PaneContainer() {
    ACE_TRACE("PaneContainer::~PaneContainer");
    if (IsWindow()) DestroyWindow();
    for (AbsPane* pane : panes_) delete pane;
    panes_.clear();
    freeBuffer();
}

HWND PaneContainer::Create(HWND parent) {
    ACE_TRACE("PaneContainer::Create");
    DWORD border = 0;
    DWORD fill = 0;
    const TrayOptions* options = TrayOptions::current();
    if (options && options->jobPaneFrameColors(border, fill)) {
        border_ = border;
        fill_ = fill;
    } else {
        border_ = tray::kPopupBorder;
        fill_ = tray::kPopupFill;
    }
    APPBARDATA taskbar = {};
    taskbar.cbSize = sizeof taskbar;
    ::SHAppBarMessage(ABM_GETTASKBARPOS, &taskbar);
    RECT at = {taskbar.rc.right, taskbar.rc.bottom, taskbar.rc.right + 1, taskbar.rc.bottom + 1};
    return ATL::CWindowImpl<PaneContainer, ATL::CWindow,
                            ATL::CWinTraits<0x96000000, 0x02080000>>::Create(parent, at);
}

void PaneContainer::setSelection(int type, int state) {
    if (type == classify_.selectedType() && state == classify_.selectedState()) return;
    classify_.select(type, state);
    if (IsWindow()) PostMessage(TRAY_PANE_LAYOUT_MSG);
}

void PaneContainer::beginUpdate() {
    if (IsWindow()) ::LockWindowUpdate(m_hWnd);
}

void PaneContainer::endUpdate() {
    if (!IsWindow()) return;
    ::LockWindowUpdate(nullptr);
    PostMessage(TRAY_PANE_LAYOUT_MSG);
}

void PaneContainer::appendPane(AbsPane* pane) {
    if (pane) panes_.push_back(pane);
}

void PaneContainer::destroyPane(AbsPane* pane) {
    if (pane->IsWindow()) pane->DestroyWindow();
    delete pane;
}

void PaneContainer::removePane(unsigned index) {
    ACE_TRACE("PaneContainer::removePane");
    if (index >= panes_.size()) {
        log_message(LM_ERROR, "The pane is not found, index = %d.\n", static_cast<int>(index));
        return;
    }
    log_message(LM_ERROR, "Remove pane %d.\n", static_cast<int>(index));
    auto at = std::next(panes_.begin(), index);
    AbsPane* pane = *at;
    panes_.erase(at);
    destroyPane(pane);
    if (!panes_.empty() && IsWindow())
        PostMessage(TRAY_PANE_LAYOUT_MSG);
    else if (IsWindow())
        PostMessage(WM_CLOSE);
}

void PaneContainer::removePane(const std::string& jobId) {
    for (auto at = panes_.begin(); at != panes_.end(); ++at) {
        if ((*at)->kind() != AbsPane::KIND_JOB) continue;
        auto* card = dynamic_cast<JobInfoPane*>(*at);
        if (!card || card->jobId() != jobId) continue;
        AbsPane* pane = *at;
        panes_.erase(at);
        destroyPane(pane);
        if (IsWindow()) PostMessage(TRAY_PANE_LAYOUT_MSG);
        return;
    }
}

void PaneContainer::removeAllPane() {
    ACE_TRACE("PaneContainer::removeAllPane");
    if (panes_.empty()) {
        log_message(LM_WARNING, "The pane container is empty.\n");
        return;
    }
    std::list<AbsPane*> gone;
    gone.swap(panes_);
    for (AbsPane* pane : gone) destroyPane(pane);
    if (IsWindow()) PostMessage(WM_CLOSE);
}

void PaneContainer::onStick(bool stuck) {
    elapsed_ = display_ / 4;
    stuck_ = stuck;
}

void PaneContainer::restartDisplay() {
    // Past the fade-in, the time is taken back to where the fade-in ends,
    // so that the pop-up is opaque at the next tick.
    elapsed_ = std::min(elapsed_, display_ / 20);
}

void PaneContainer::rebuildStates() {
    bool present[2][14] = {};
    for (AbsPane* pane : panes_) {
        JobDefinition* definition = nullptr;
        int state = 0;
        if (!liveCard(pane, &definition, &state)) continue;
        int type = definition->type();
        if ((type != 1 && type != 2) || state < 0 || state > 13) continue;
        present[type - 1][state] = true;
    }
    std::vector<int> lists[2];
    for (int type = 0; type < 2; ++type) {
        for (int state = 1; state <= 13; ++state)
            if (present[type][state]) lists[type].push_back(state);
        if (!lists[type].empty()) lists[type].insert(lists[type].begin(), 0);
    }
    classify_.setStates(lists[0], lists[1]);
}

LRESULT PaneContainer::OnCreate(UINT, WPARAM, LPARAM, BOOL&) {
    RECT client;
    GetClientRect(&client);
    if (!close_.IsWindow()) {
        close_.setImages(skin(L"closenormal.bmp"), skin(L"closehover.bmp"), skin(L"closedown.bmp"),
                         skin(L"closefocus.bmp"), skin(L"closedisable.bmp"));
        RECT at = {client.left + kCloseLeft, client.top + kButtonTop,
                   client.left + kCloseLeft + kButtonSize, client.top + kButtonTop + kButtonSize};
        close_.Create(m_hWnd, at, nullptr, WS_CHILD | WS_VISIBLE);
        close_.ShowWindow(SW_SHOW);
    }
    if (!stick_.IsWindow()) {
        stick_.setImages(skin(L"StickBtnUnstickNormal.bmp"), skin(L"StickBtnUnstickHover.bmp"),
                         skin(L"StickBtnStickNormal.bmp"), skin(L"StickBtnStickHover.bmp"),
                         skin(L"StickBtnDisable.bmp"));
        RECT at = {client.left + kStickLeft, client.top + kButtonTop,
                   client.left + kStickLeft + kButtonSize, client.top + kButtonTop + kButtonSize};
        stick_.Create(m_hWnd, at);
    }
    stick_.setOwner(this);
    classify_.create(m_hWnd, {0, kHeader});
    rebuildStates();
    PostMessage(TRAY_PANE_LAYOUT_MSG);
    return 0;
}

LRESULT PaneContainer::OnLayout(UINT, WPARAM, LPARAM, BOOL&) {
    layout();
    return 0;
}

LRESULT PaneContainer::OnStates(UINT, WPARAM, LPARAM, BOOL&) {
    rebuildStates();
    return 0;
}

void PaneContainer::layout() {
    const int x = 4;
    int y = kHeader;
    if (!classify_.IsWindow()) classify_.create(m_hWnd, {0, kHeader});
    SIZE own = {};
    classify_.size(own);
    int width = own.cx;
    y = kHeader + own.cy;

    std::vector<AbsPane*> shown;
    for (AbsPane* pane : panes_) {
        // A card whose job could not be read before tries again.
        if (pane->kind() == AbsPane::KIND_JOB)
            if (auto* card = dynamic_cast<JobInfoPane*>(pane)) card->retryTexts();
        JobDefinition* definition = nullptr;
        int state = 0;
        bool candidate = static_cast<int>(shown.size()) < kMostShown &&
                         liveCard(pane, &definition, &state) &&
                         definition->type() == classify_.selectedType() &&
                         (classify_.selectedState() == 0 || classify_.selectedState() == state);
        if (candidate && !pane->IsWindow() && !pane->create(m_hWnd, {x, y})) candidate = false;
        if (!candidate) {
            if (pane->IsWindow() && pane->IsWindowVisible()) pane->ShowWindow(SW_HIDE);
            continue;
        }
        SIZE size = {};
        pane->size(size);
        width = std::max(width, static_cast<int>(size.cx) + 8);
        shown.push_back(pane);
    }
    if (shown.empty()) {
        PostMessage(WM_CLOSE);
        return;
    }

    int height = y;
    for (AbsPane* pane : shown) {
        SIZE size = {};
        height += pane->size(size).cy;
    }
    SetForegroundWindow();
    RECT window;
    GetWindowRect(&window);
    window.right = window.left + width;
    window.bottom = window.top + height + 5;
    ::LockWindowUpdate(m_hWnd);
    keepInWorkArea(window);
    MoveWindow(&window, TRUE);

    stick_.MoveWindow(kStickLeft, kButtonTop, kButtonSize, kButtonSize, FALSE);
    close_.MoveWindow(kCloseLeft, kButtonTop, kButtonSize, kButtonSize, FALSE);
    classify_.MoveWindow(4, kHeader, own.cx, own.cy, FALSE);

    HDWP batch = ::BeginDeferWindowPos(static_cast<int>(shown.size()));
    for (AbsPane* pane : shown) {
        SIZE size = {};
        pane->size(size);
        if (batch)
            batch = ::DeferWindowPos(batch, *pane, nullptr, x, y, width - 8, size.cy,
                                     SWP_NOZORDER | SWP_NOREDRAW);
        pane->ShowWindow(SW_SHOW);
        y += size.cy;
    }
    if (batch) ::EndDeferWindowPos(batch);
    ::LockWindowUpdate(nullptr);
    // The cards were placed without redrawing: each paints again where it
    // now is, at its final size, before anything else moves.
    for (AbsPane* pane : shown)
        ::RedrawWindow(*pane, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);

    RECT client;
    GetClientRect(&client);
    if (memDC_) {
        HDC dc = ::GetDC(m_hWnd);
        HBITMAP bitmap = ::CreateCompatibleBitmap(dc, client.right, client.bottom);
        ::ReleaseDC(m_hWnd, dc);
        if (bitmap) {
            ::SelectObject(memDC_, bitmap);
            if (bitmap_) ::DeleteObject(bitmap_);
            bitmap_ = bitmap;
            paintBuffer(client.right, client.bottom, 4);
        }
    }
    SetWindowRgn(::CreateRoundRectRgn(0, 0, client.right, client.bottom, 4, 4), TRUE);
}

void PaneContainer::paintBuffer(int width, int height, int corner) {
    RECT all = {0, 0, width, height};
    HBRUSH key = ::CreateSolidBrush(kKey);
    ::FillRect(memDC_, &all, key);
    ::DeleteObject(key);
    tray::round_box(memDC_, 0, 0, width - 1, height - 1, corner, border_, fill_);
}

bool PaneContainer::keepInWorkArea(RECT& rect) {
    RECT work;
    ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    APPBARDATA taskbar = {};
    taskbar.cbSize = sizeof taskbar;
    UINT edge = ::SHAppBarMessage(ABM_GETTASKBARPOS, &taskbar) ? taskbar.uEdge : ABE_BOTTOM;
    // Inside when both corners are (the bottom-right one may touch the edge).
    if (rect.left >= work.left && rect.top >= work.top && rect.right <= work.right &&
        rect.bottom <= work.bottom)
        return false;
    const RECT before = rect;
    auto shift = [&rect](int dx, int dy) { ::OffsetRect(&rect, dx, dy); };
    if (edge == ABE_LEFT) {
        if (rect.right > work.right) shift(work.right - rect.right, 0);
        if (rect.left < work.left) shift(work.left - rect.left, 0);
    } else {
        if (rect.left < work.left) shift(work.left - rect.left, 0);
        if (rect.right > work.right) shift(work.right - rect.right, 0);
    }
    if (rect.bottom > work.bottom) shift(0, work.bottom - rect.bottom);
    if (rect.top < work.top) shift(0, work.top - rect.top);
    return !::EqualRect(&before, &rect);
}

LRESULT PaneContainer::OnShowWindow(UINT, WPARAM wParam, LPARAM, BOOL&) {
    if (wParam && timer_ == 0) timer_ = SetTimer(0, 100);
    return 0;
}

LRESULT PaneContainer::OnTimer(UINT, WPARAM, LPARAM, BOOL&) {
    if (elapsed_ >= display_) {
        PostMessage(WM_CLOSE);
        return 0;
    }
    POINT cursor;
    RECT window;
    ::GetCursorPos(&cursor);
    GetWindowRect(&window);
    cursorInside_ = ::PtInRect(&window, cursor) != FALSE;
    if (cursorInside_ && elapsed_ >= display_ / 8)
        elapsed_ = elapsed_ > 7 * display_ / 8 ? display_ - elapsed_ : display_ / 8;
    const double d = display_;
    double a = (16320.0 / (3.0 * d * d)) * static_cast<double>(elapsed_) *
               static_cast<double>(display_ - elapsed_);
    unsigned alpha = static_cast<unsigned>(a);
    if (alpha > 255) alpha = 255;
    if (alpha < minAlpha_) alpha = minAlpha_ - 1;
    if (alpha != alpha_) {
        RECT client;
        GetClientRect(&client);
        int cx = client.right / 2;
        int cy = client.bottom / 2;
        RECT centre = {cx - 5, cy - 5, cx + 5, cy + 5};
        InvalidateRect(&centre, TRUE);
        alpha_ = alpha;
    }
    if (!(alpha_ == 255 && (cursorInside_ || hovered_ || stuck_))) elapsed_ += 100;
    return 0;
}

LRESULT PaneContainer::OnPaint(UINT, WPARAM, LPARAM, BOOL&) {
    if (!memDC_) {
        RECT client;
        GetClientRect(&client);
        HDC dc = ::GetDC(m_hWnd);
        memDC_ = ::CreateCompatibleDC(dc);
        if (memDC_) {
            ::SetBkColor(memDC_, kWhite);
            bitmap_ = ::CreateCompatibleBitmap(dc, std::max<LONG>(client.right, 1),
                                               std::max<LONG>(client.bottom, 1));
            if (bitmap_) {
                oldBitmap_ = ::SelectObject(memDC_, bitmap_);
                paintBuffer(client.right, client.bottom, 2);
            } else {
                freeBuffer();
            }
        }
        ::ReleaseDC(m_hWnd, dc);
    }
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(&paint);
    const RECT& r = paint.rcPaint;
    if (memDC_ && !::IsRectEmpty(&r))
        ::TransparentBlt(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, memDC_, r.left,
                         r.top, r.right - r.left, r.bottom - r.top, kKey);
    EndPaint(&paint);
    ::SetLayeredWindowAttributes(m_hWnd, 0, static_cast<BYTE>(alpha_), LWA_ALPHA);
    return 0;
}

LRESULT PaneContainer::OnMouseMove(UINT, WPARAM wParam, LPARAM lParam, BOOL&) {
    if (!hovered_) {
        TRACKMOUSEEVENT track = {sizeof track, TME_HOVER, m_hWnd, 10};
        ::TrackMouseEvent(&track);
    }
    if (wParam == MK_LBUTTON) {
        if (!hasOrigin_) {
            if (!::GetCapture()) SetCapture();
            dragging_ = true;
            POINT at = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            ClientToScreen(&at);
            origin_ = at;
            hasOrigin_ = true;
        }
        POINT cursor;
        ::GetCursorPos(&cursor);
        if (cursor.x != origin_.x || cursor.y != origin_.y) {
            RECT window;
            GetWindowRect(&window);
            SetWindowPos(nullptr, window.left + cursor.x - origin_.x,
                         window.top + cursor.y - origin_.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
            origin_ = cursor;
        }
        return 0;
    }
    hasOrigin_ = false;
    if (dragging_) {
        if (::GetCapture() == m_hWnd) ::ReleaseCapture();
        dragging_ = false;
        RECT window;
        GetWindowRect(&window);
        if (keepInWorkArea(window))
            SetWindowPos(nullptr, window.left, window.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    }
    return 0;
}

LRESULT PaneContainer::OnMouseHover(UINT, WPARAM, LPARAM, BOOL&) {
    hovered_ = true;
    TRACKMOUSEEVENT track = {sizeof track, TME_LEAVE, m_hWnd, 10};
    ::TrackMouseEvent(&track);
    if (elapsed_ < display_ / 4) return 0;
    elapsed_ = elapsed_ > 3 * display_ / 4 ? display_ - elapsed_ : display_ / 4;
    return 0;
}

LRESULT PaneContainer::OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&) {
    hovered_ = false;
    elapsed_ = std::min(elapsed_, 3 * display_ / 4);
    return 0;
}

LRESULT PaneContainer::OnClose(UINT, WPARAM, LPARAM, BOOL&) {
    DestroyWindow();
    return 0;
}

void PaneContainer::freeBuffer() { tray::free_back_buffer(memDC_, bitmap_, oldBitmap_); }

LRESULT PaneContainer::OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled) {
    ACE_TRACE("PaneContainer::OnDestroy");
    if (timer_) KillTimer(timer_);
    freeBuffer();
    display_ = kDisplayTime;
    alpha_ = 127;
    minAlpha_ = 128;
    elapsed_ = 0;
    timer_ = 0;
    hovered_ = false;
    stuck_ = false;
    if (dragging_ && ::GetCapture() == m_hWnd) ::ReleaseCapture();
    dragging_ = false;
    hasOrigin_ = false;
    handled = FALSE;
    return 0;
}
