// Bitmap buttons drawn by the tray itself: one image per state (normal,
// hover, down, focus, disable), painted through an off-screen copy. The
// button consumes its clicks and reports none; subclasses act on button-up.
// GUI thread; the object outlives its window, and a destroyed button may be
// created again.
#pragma once

#include <string>

#include "platform/desktop/atl_window.h"
#include "platform/desktop/wtl.h"
#include "platform/win32.h"
#include "tray/mem_dc_helper.h"

class CSkinButton
    : public ATL::CWindowImpl<CSkinButton, WTL::CButtonT<ATL::CWindow>,
                              ATL::CWinTraits<WS_CHILD | WS_VISIBLE, WS_EX_TRANSPARENT>> {
public:
    enum {
        SKIN_STATE_NORMAL = 1,
        SKIN_STATE_HOVER = 2,
        SKIN_STATE_DOWN = 4,
        SKIN_STATE_FOCUS = 8,
    };

    CSkinButton() = default;
    ~CSkinButton() override;
    CSkinButton(const CSkinButton&) = delete;
    CSkinButton& operator=(const CSkinButton&) = delete;

    BEGIN_MSG_MAP(CSkinButton)
    MESSAGE_HANDLER(WM_PAINT, OnPaint)
    MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBackground)
    MESSAGE_HANDLER(WM_LBUTTONDOWN, OnButtonDown)
    MESSAGE_HANDLER(WM_LBUTTONUP, OnButtonUp)
    MESSAGE_HANDLER(WM_MOUSEMOVE, OnMouseMove)
    MESSAGE_HANDLER(WM_MOUSEHOVER, OnMouseHover)
    MESSAGE_HANDLER(WM_MOUSELEAVE, OnMouseLeave)
    MESSAGE_HANDLER(WM_SETFOCUS, OnFocus)
    MESSAGE_HANDLER(WM_KILLFOCUS, OnFocus)
    MESSAGE_HANDLER(WM_SIZE, OnSize)
    MESSAGE_HANDLER(WM_SIZING, OnSize)
    MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    END_MSG_MAP()

    // Draws the image of the current state over the whole client area (the
    // DC clips to what is to be painted); an empty rect draws nothing. A
    // missing image falls back to the normal one; without that only the
    // white ground is drawn. False when the image cannot be copied.
    virtual bool draw(HDC dc, const RECT* rect);

    // Loads the five images from BMP files (an empty or unreadable path
    // leaves that image null), deleting the old ones; redraws.
    void setImages(const std::wstring& normal, const std::wstring& hover, const std::wstring& down,
                   const std::wstring& focus, const std::wstring& disable);
    // Marks the copy dirty and invalidates the button and the parent under it.
    void redraw();
    int state() const { return state_; }

protected:
    LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnEraseBackground(UINT, WPARAM, LPARAM, BOOL&) { return 1; }
    LRESULT OnButtonDown(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnButtonUp(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnMouseMove(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnMouseHover(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnFocus(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnSize(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL&);

    void deleteImages();
    void set(int flag, bool on) { state_ = on ? state_ | flag : state_ & ~flag; }

    MemDCHelper<CSkinButton> buffer_;
    int state_ = SKIN_STATE_NORMAL;
    bool tracking_ = false;
    HBITMAP images_[5] = {};  // normal, hover, down, focus, disable
};

// The pane container's close button: a release inside it posts WM_CLOSE to
// the parent.
class CCloseButton : public CSkinButton {
public:
    BEGIN_MSG_MAP(CCloseButton)
    MESSAGE_HANDLER(WM_LBUTTONUP, OnCloseUp)
    CHAIN_MSG_MAP(CSkinButton)
    END_MSG_MAP()

private:
    LRESULT OnCloseUp(UINT, WPARAM, LPARAM, BOOL&);
};
