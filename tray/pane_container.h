// The tray's pop-up near the notification area: under a 25-pixel header with
// a close and a stick button it shows the job filter tabs and, below them,
// the cards of at most seven jobs that the tabs select. It fades in, stays
// for a display time (longer while the cursor is over it, for ever while it
// is stuck), fades out and closes; it can be dragged and is always kept in
// the work area. It owns its panes; they outlive its window and get new
// windows at the next layout. GUI thread only.
#pragma once

#include <list>
#include <string>

#include "platform/desktop/atl_window.h"
#include "tray/job_filter_tabs.h"
#include "tray/skin_button.h"
#include "tray/tray_drawing.h"

// The stick button: each release flips it between stuck and not stuck and
// tells its owner, which then stays open.
template <class T>
class CStickButton : public CSkinButton {
public:
    BEGIN_MSG_MAP(CStickButton)
    MESSAGE_HANDLER(WM_LBUTTONUP, OnStickUp)
    MESSAGE_HANDLER(WM_DESTROY, OnStickDestroy)
    CHAIN_MSG_MAP(CSkinButton)
    END_MSG_MAP()

    ~CStickButton() override {
        if (IsWindow()) DestroyWindow();
    }

    // Images 1 to 5: unstuck normal, unstuck hover, stuck normal, stuck
    // hover, disabled; a missing one falls back to the first.
    bool draw(HDC dc, const RECT* rect) override {
        if (!rect || ::IsRectEmpty(rect)) return true;
        RECT client;
        ::GetClientRect(m_hWnd, &client);
        bool hover = (state_ & SKIN_STATE_HOVER) != 0;
        int index = stuck_ ? (hover ? 3 : 2) : hover ? 1 : ::IsWindowEnabled(m_hWnd) ? 0 : 4;
        HBITMAP image = images_[index] ? images_[index] : images_[0];
        return tray::draw_keyed_image(dc, client, image, RGB(255, 255, 255));
    }

    void setOwner(T* owner) { owner_ = owner; }
    bool stuck() const { return stuck_; }

private:
    LRESULT OnStickUp(UINT, WPARAM, LPARAM, BOOL& handled) {
        stuck_ = !stuck_;
        if (owner_) owner_->onStick(stuck_);
        handled = FALSE;  // the button's own handling follows
        return 0;
    }
    LRESULT OnStickDestroy(UINT, WPARAM, LPARAM, BOOL& handled) {
        stuck_ = false;
        owner_ = nullptr;
        handled = FALSE;
        return 0;
    }

    bool stuck_ = false;
    T* owner_ = nullptr;
};

class PaneContainer : public ATL::CWindowImpl<PaneContainer, ATL::CWindow,
                                              ATL::CWinTraits<0x96000000, 0x02080000>> {
public:
    static constexpr unsigned kDisplayTime = 10000;
    static constexpr int kHeader = 25;

    PaneContainer();
    // Deletes every pane; the buttons and the tabs go with the object.
    ~PaneContainer() override;
    PaneContainer(const PaneContainer&) = delete;
    PaneContainer& operator=(const PaneContainer&) = delete;

    BEGIN_MSG_MAP(PaneContainer)
    MESSAGE_HANDLER(WM_CREATE, OnCreate)
    MESSAGE_HANDLER(TRAY_PANE_LAYOUT_MSG, OnLayout)
    MESSAGE_HANDLER(TRAY_PANE_STATES_MSG, OnStates)
    MESSAGE_HANDLER(WM_SHOWWINDOW, OnShowWindow)
    MESSAGE_HANDLER(WM_TIMER, OnTimer)
    MESSAGE_HANDLER(WM_PAINT, OnPaint)
    MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBackground)
    MESSAGE_HANDLER(WM_MOUSEMOVE, OnMouseMove)
    MESSAGE_HANDLER(WM_MOUSEHOVER, OnMouseHover)
    MESSAGE_HANDLER(WM_MOUSELEAVE, OnMouseLeave)
    MESSAGE_HANDLER(WM_CLOSE, OnClose)
    MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    END_MSG_MAP()

    // Makes the pop-up owned by parent, its top-left at the taskbar's
    // bottom-right corner; the first layout (posted) sizes it and moves it
    // into the work area. Null when the window cannot be made.
    HWND Create(HWND parent);
    // Selects the tabs' (job type, state) and lays out again when it changed.
    void setSelection(int type, int state);
    // Around appending panes: the layout comes once, after endUpdate.
    void beginUpdate();
    void endUpdate();
    // Takes the pane (null is ignored) and appends it; its window is made by
    // the next layout.
    void appendPane(AbsPane* pane);
    // Destroys and deletes the index-th pane; an index past the end is
    // logged and changes nothing. Closes the pop-up when none remains.
    void removePane(unsigned index);
    // Destroys and deletes the first card of the job, if any.
    void removePane(const std::string& jobId);
    // Destroys and deletes every pane and closes the pop-up.
    void removeAllPane();
    size_t paneCount() const { return panes_.size(); }
    const std::list<AbsPane*>& panes() const { return panes_; }

    // The stick button's release: stuck or not, the display time starts again
    // at a quarter.
    void onStick(bool stuck);
    // Shown again (a click on the icon, a job's change) while it shows, as
    // it fades out say: the display time starts again, at full opacity.
    void restartDisplay();

    // Keeps a window rectangle (screen) inside the work area; true when it
    // moved it.
    static bool keepInWorkArea(RECT& rect);

    // For tests.
    unsigned alpha() const { return alpha_; }
    unsigned elapsed() const { return elapsed_; }
    bool hovered() const { return hovered_; }
    bool stuck() const { return stuck_; }
    unsigned displayTime() const { return display_; }
    COLORREF fillColour() const { return fill_; }
    JobClassifyPane& classifyPane() { return classify_; }
    CCloseButton& closeButton() { return close_; }
    CStickButton<PaneContainer>& stickButton() { return stick_; }

private:
    void layout();
    void rebuildStates();
    void paintBuffer(int width, int height, int corner);
    void freeBuffer();
    void destroyPane(AbsPane* pane);
    void afterRemoval();

    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnLayout(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnStates(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnShowWindow(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnTimer(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnEraseBackground(UINT, WPARAM, LPARAM, BOOL&) { return 1; }
    LRESULT OnMouseMove(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnMouseHover(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnClose(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL&);

    std::list<AbsPane*> panes_;
    unsigned display_ = kDisplayTime;
    unsigned alpha_ = 128;
    unsigned minAlpha_ = 128;
    unsigned elapsed_ = 0;
    UINT_PTR timer_ = 0;
    HDC memDC_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ oldBitmap_ = nullptr;
    bool hovered_ = false;
    bool stuck_ = false;
    bool cursorInside_ = false;
    COLORREF border_ = 0xB4C878;
    COLORREF fill_ = 0xDCF0A0;
    CCloseButton close_;
    CStickButton<PaneContainer> stick_;
    JobClassifyPane classify_;

    // One drag at a time in the process.
    static inline bool dragging_ = false;
    static inline bool hasOrigin_ = false;
    static inline POINT origin_ = {};
};
