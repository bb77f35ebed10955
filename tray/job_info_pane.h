// One job's card in the tray's pop-up: a rounded box with a bold title (the
// job's kind and name) and a body of a few lines (owner, state in words and
// what the state tells: next run, start, time left, percentage, speed...).
// A click opens the local web interface. The card is the job's observer in
// the job list while its window lives, so state changes and the running
// job's once-a-second refresh reach it.
//
// Threads: everything, onJobState included, runs on the GUI thread (the
// thread that made the card); the job list hands its events to that thread.
// A call from any other thread is a fault (asserted).
#pragma once

#include <memory>
#include <string>

#include "tray/job_filter_tabs.h"
#include "tray/job_record.h"
#include "tray/job_state_notify.h"
#include "tray/mem_dc_helper.h"
#include "tray/tray_drawing.h"

class JobInfoPane : public AbsPane, public IJobStateNotify {
public:
    // The text width past which the title and body wrap.
    static constexpr int kMaxTextWidth = 300;
    // Mouse flags.
    enum { MOUSE_HOT = 1, MOUSE_PRESSED = 2 };
    // Looks, in the order the colour options name them.
    enum { LOOK_NORMAL, LOOK_HOVER, LOOK_FOCUS, LOOK_DOWN, LOOK_DISABLE, LOOK_COUNT };

    JobInfoPane();
    // Destroys the window when it still lives (which detaches the card from
    // its job), then drops the record.
    ~JobInfoPane() override;

    BEGIN_MSG_MAP(JobInfoPane)
    MESSAGE_HANDLER(WM_CREATE, OnCreate)
    MESSAGE_HANDLER(WM_PAINT, OnPaint)
    MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBackground)
    MESSAGE_HANDLER(WM_SIZE, OnSize)
    MESSAGE_HANDLER(WM_SIZING, OnSizing)
    MESSAGE_HANDLER(WM_MOUSEMOVE, OnMouseMove)
    MESSAGE_HANDLER(WM_MOUSEHOVER, OnMouseHover)
    MESSAGE_HANDLER(WM_MOUSELEAVE, OnMouseLeave)
    MESSAGE_HANDLER(WM_LBUTTONDOWN, OnButtonDown)
    MESSAGE_HANDLER(WM_LBUTTONUP, OnButtonUp)
    MESSAGE_HANDLER(WM_SETFOCUS, OnFocus)
    MESSAGE_HANDLER(WM_KILLFOCUS, OnFocus)
    MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    END_MSG_MAP()

    // Reads the colour options, then makes the window (a child of parent at
    // origin), which measures the texts and takes its size. False when parent
    // is no window or the card has no texts (its window cannot be made).
    bool create(HWND parent, const POINT& origin) override;
    // Width: the wider of title and body + 8; height: both heights + 12.
    SIZE& size(SIZE& out) override;
    int kind() override { return KIND_JOB; }

    // Builds the texts from the record's definition and live activity for
    // the given state and, when the window lives, measures and repaints
    // (asking the container for a new layout when the size changed). False,
    // the card unchanged, without a record, definition, id or activity, for
    // an unknown kind of job or a state above 13. A requested pause or stop
    // (5, 8) keeps the texts a card has; a card without texts yet shows the
    // state's name. State 13 closes the card's window (true).
    bool setJobInfoPane(std::shared_ptr<JobRecord> record, int state);
    // From the job list: rebuilds the texts when the live state differs from
    // the cached copy or the job runs. GUI thread only.
    int onJobState(const std::string& id, int state) override;

    // The card's job: known from the record it was made with, even when no
    // texts could be built from it yet.
    void adopt(std::shared_ptr<JobRecord> record, int state);
    // Builds the texts of a card that has none yet (its record's activity
    // could not be read before); true when it now has texts. Never touches
    // the window.
    bool retryTexts();

    // Draws the card over the whole client area (the DC clips); rect is what
    // is to be painted. True.
    using AbsPane::draw;
    bool draw(HDC dc, const RECT* rect);

    const std::string& jobId() const { return id_; }
    const std::shared_ptr<JobRecord>& record() const { return record_; }
    const std::wstring& title() const { return title_; }
    const std::wstring& body() const { return body_; }
    int state() const { return state_; }
    int mouseFlags() const { return mouse_; }
    COLORREF fillColour(int look) const { return fill_[look]; }
    COLORREF borderColour(int look) const { return border_[look]; }

private:
    // The texts for the record and state: 1 built, 0 keep what is there
    // (nothing to show, or a pause or stop request with texts present), -1
    // refused; 2 for state 13 (the card closes).
    int buildTexts(JobRecord& record, std::wstring& title, std::wstring& body) const;
    // The size of text in font, wrapped at kMaxTextWidth by estimate.
    RECT measure(HDC dc, const std::wstring& text, HFONT font) const;
    bool measureBoth(RECT& title, RECT& body);
    void readColours();
    void makeFonts(HDC dc);
    void deleteFonts();
    void attach();
    void detach();
    void invalidate();
    void checkThread() const;

    LRESULT OnCreate(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnEraseBackground(UINT, WPARAM, LPARAM, BOOL&) { return 1; }
    LRESULT OnSize(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnSizing(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnMouseMove(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnMouseHover(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnButtonDown(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnButtonUp(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnFocus(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL&);

    std::wstring title_;
    std::wstring body_;
    std::string id_;
    HFONT titleFont_ = nullptr;
    HFONT bodyFont_ = nullptr;
    RECT titleRect_ = {};
    RECT bodyRect_ = {};
    int state_ = 0;
    int mouse_ = 0;
    bool tracking_ = false;
    MemDCHelper<JobInfoPane> buffer_;
    std::shared_ptr<JobRecord> record_;
    COLORREF fill_[LOOK_COUNT];
    COLORREF border_[LOOK_COUNT];
    COLORREF text_ = RGB(0, 0, 0);
    // Around the rounded box: the pop-up's fill.
    COLORREF margin_ = tray::kPopupFill;
    // Whether this card is its job's observer in the job list.
    bool attached_ = false;
    DWORD thread_;
};

// Makes a job's card for the pane container.
class JobInfoCreator {
public:
    virtual ~JobInfoCreator();
    void set(std::shared_ptr<JobRecord> record, int state);
    // A new card for the record (no window yet), owned by the caller; never
    // null. It knows its job even when its texts cannot be built yet.
    JobInfoPane* create();

private:
    std::shared_ptr<JobRecord> record_;
    int state_ = 0;
};
