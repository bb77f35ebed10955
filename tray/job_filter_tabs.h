// The pop-up's panes and, on top of them, the row of tabs that filters the
// listed jobs: backup jobs, restore jobs (each with a drop-down of job
// states) and "more", which opens the local web interface. GUI thread.
#pragma once

#include <string>
#include <vector>

#include "tray/skin_menu.h"
#include "tray/tray_drawing.h"

constexpr UINT TRAY_PANE_LAYOUT_MSG = 34004;
constexpr UINT TRAY_PANE_STATES_MSG = 39191;
constexpr UINT TRAY_PANE_SELECT_MSG = 39201;

// A pane of the pop-up: a transparent child window that sizes itself.
class AbsPane : public ATL::CWindowImpl<AbsPane, ATL::CWindow,
                                        ATL::CWinTraits<WS_CHILD | WS_VISIBLE, WS_EX_TRANSPARENT>> {
public:
    enum { KIND_JOB = 1, KIND_CLASSIFY = 2 };
    ~AbsPane() override = default;
    // Makes the window as a child of parent with its top-left at origin; the
    // pane takes its size while it is created. False when it cannot be made.
    virtual bool create(HWND parent, const POINT& origin) = 0;
    virtual SIZE& size(SIZE& out) = 0;
    virtual int kind() = 0;
    virtual void draw(HDC) {}
};

// One tab.
class JobTypePane : public AbsPane {
public:
    enum Look { NORMAL = 0, HOT = 1, SELECTED = 2 };
    enum Zone { NONE = 0, ARROW = 1, LABEL = 2 };
    // The label colours without options (blue, teal, grey), readable on
    // the pop-up's fill.
    static constexpr COLORREF kDefaultNormalText = RGB(0x1F, 0x5A, 0x96);
    static constexpr COLORREF kDefaultHoverText = RGB(0x0B, 0x5E, 0x68);
    static constexpr COLORREF kDefaultDisableText = RGB(0x64, 0x64, 0x64);

    JobTypePane() = default;
    ~JobTypePane() override;

    BEGIN_MSG_MAP(JobTypePane)
    MESSAGE_HANDLER(WM_CREATE, OnCreate)
    MESSAGE_HANDLER(WM_PAINT, OnPaint)
    MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBackground)
    MESSAGE_HANDLER(WM_SIZE, OnSize)
    MESSAGE_HANDLER(WM_MOUSEMOVE, OnMouseMove)
    MESSAGE_HANDLER(WM_MOUSEHOVER, OnMouseHover)
    MESSAGE_HANDLER(WM_MOUSELEAVE, OnMouseLeave)
    MESSAGE_HANDLER(WM_LBUTTONDOWN, OnButtonDown)
    MESSAGE_HANDLER(WM_LBUTTONUP, OnButtonUp)
    MESSAGE_HANDLER(WM_COMMAND, OnCommand)
    MESSAGE_HANDLER(TRAY_MENU_CLOSED_MSG, OnMenuClosed)
    MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    END_MSG_MAP()

    bool create(HWND parent, const POINT& origin) override;
    SIZE& size(SIZE& out) override;
    int kind() override { return KIND_CLASSIFY; }
    void draw(HDC dc) override;

    void setup(const std::wstring& label, int id);
    // The drop-down's states, named by names (index = state).
    void setItems(const std::vector<int>& states, const std::vector<std::wstring>& names);
    void setSelected(bool selected);
    int look() const { return look_; }
    int id() const { return id_; }
    bool menuOpen() const { return menuOpen_; }
    SkinMenu& menu() { return menu_; }
    const RECT& arrowZone() const { return arrow_; }
    // Where the label is drawn: the tab but its arrow. A label wider than it
    // ends with "..." after its last whole word that fits.
    const RECT& labelZone() const { return labelZone_; }

protected:
    // The more tab has no drop-down and is never disabled.
    virtual bool hasMenu() const { return true; }
    void redraw();
    // Clears `clear` and draws the label in its zone in the current look.
    void drawLabel(HDC dc, const RECT& clear, UINT format);
    void measure();
    // The zones of a tab of that size.
    void layOut(int width, int height);
    void setLook(int look);
    // Enables or disables the window, its label redrawn in its colour.
    void enable(bool enabled);

    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnEraseBackground(UINT, WPARAM, LPARAM, BOOL&) { return 1; }
    // A tab given another size (narrower than its label) lays its zones out
    // again and draws anew.
    LRESULT OnSize(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnMouseMove(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnMouseHover(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnButtonDown(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnButtonUp(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnCommand(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnMenuClosed(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL&);

    std::wstring label_;
    int id_ = 0;
    int look_ = NORMAL;
    int drawnLook_ = -1;
    bool menuOpen_ = false;
    int zone_ = NONE;
    int drawnZone_ = -1;
    RECT labelZone_ = {};
    RECT arrow_ = {};
    HDC memDC_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ oldBitmap_ = nullptr;
    HFONT font_ = nullptr;
    HFONT underlined_ = nullptr;
    RECT own_ = {};
    SkinMenu menu_;
    COLORREF normalText_ = kDefaultNormalText;
    COLORREF hoverText_ = kDefaultHoverText;
    COLORREF disableText_ = kDefaultDisableText;
    // What the tab is drawn on: the pop-up's fill.
    COLORREF ground_ = tray::kPopupFill;
    struct Item {
        int state;
        std::wstring text;
    };
    std::vector<Item> items_;
};

// The third tab: opens the web interface; its label centred, no drop-down.
class JobTypePaneMore : public JobTypePane {
public:
    ~JobTypePaneMore() override = default;
    void draw(HDC dc) override;

protected:
    bool hasMenu() const override { return false; }
};

// The row of three tabs and the selection (job type, state) they make.
class JobClassifyPane : public AbsPane {
public:
    static constexpr UINT kStateNames = 16401;
    static constexpr int kStateCount = 21;

    JobClassifyPane();
    ~JobClassifyPane() override;

    BEGIN_MSG_MAP(JobClassifyPane)
    MESSAGE_HANDLER(WM_CREATE, OnCreate)
    MESSAGE_HANDLER(WM_PAINT, OnPaint)
    MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBackground)
    MESSAGE_HANDLER(TRAY_PANE_SELECT_MSG, OnSelect)
    MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    END_MSG_MAP()

    bool create(HWND parent, const POINT& origin) override;
    SIZE& size(SIZE& out) override;
    int kind() override { return KIND_CLASSIFY; }

    // Types 1 (backup) and 2 (restore) only.
    void select(int type, int state);
    int selectedType() const { return type_; }
    int selectedState() const { return state_; }
    // The drop-down states of the backup and the restore tab (the
    // container's rebuild).
    void setStates(const std::vector<int>& backup, const std::vector<int>& restore);
    JobTypePane& backupTab() { return backup_; }
    JobTypePane& restoreTab() { return restore_; }
    JobTypePaneMore& moreTab() { return more_; }
    const std::wstring& stateName(int state) const { return names_[state]; }

private:
    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnEraseBackground(UINT, WPARAM, LPARAM, BOOL&) { return 1; }
    LRESULT OnSelect(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL&);

    int type_ = 1;
    int state_ = 0;
    HDC memDC_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ oldBitmap_ = nullptr;
    RECT own_ = {};
    std::vector<std::wstring> names_;
    JobTypePane backup_;
    JobTypePane restore_;
    JobTypePaneMore more_;
    std::wstring labels_[3];
};
