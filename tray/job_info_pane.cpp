#include "tray/job_info_pane.h"

#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include <algorithm>
#include <cassert>
#include <cwchar>

#include "common/ace_log_wrapper.h"
#include "common/text_conv.h"
#include "plandeck/backup_job_definition.h"
#include "plandeck/restore_job_definition.h"
#include "tray/job_manager.h"
#include "tray/tray_drawing.h"
#include "tray/tray_options.h"
#include "tray/tray_resources.h"

namespace {

// The web interface on this computer, as the tabs open it.

enum {
    kNone = 0,
    kIdle = 1,
    kStarting = 2,
    kRunning = 3,
    kCompleting = 4,
    kPausing = 5,
    kPaused = 6,
    kCompleted = 7,
    kCancelling = 8,
    kCancelled = 9,
    kError = 10,
    kCreated = 11,
    kUpdated = 12,
    kDeleted = 13,
};

// The texts of the resource library that the card uses.
enum : UINT {
    kNoTime = 12288,
    kStateNone = 16400,
    kStateIdle = 16402,
    kStateRunning = 16404,
    kStatePausing = 16406,
    kStatePaused = 16407,
    kStateCompleted = 16408,
    kStateCancelling = 16409,
    kStateCancelled = 16416,
    kStateError = 16417,
    kStateCreated = 16418,
    kStateUpdated = 16419,
    kStateDeleted = 16421,
    kBackupTitle = 16432,
    kRestoreTitle = 16433,
    kStateLabel = 16435,
    kNextRun = 16448,
    kStarted = 16449,
    kTimeLeft = 16450,
    kDone = 16451,
    kSpeed = 16452,
    kErrorDetail = 16454,
    kCreatedAt = 16455,
    kStartingDetail = 16456,
    kCompletingDetail = 16457,
    kDays = 16464,
    kOwner = 16468,
    kLastRun = 16480,
};

struct Look {
    const wchar_t* name;
    COLORREF border;
    COLORREF fill;
};
constexpr Look kLooks[JobInfoPane::LOOK_COUNT] = {
    {L"normal", 0xDADADA, 0xEFEFED},  {L"hover", 0xE1E1E1, 0xF6EBD4},
    {L"focus", 0xE1E1E1, 0xF6EBD4},   {L"down", 0xE1E1E1, 0xECE1CA},
    {L"disable", 0xB4B4B4, 0xA0A0A0},
};

// A local FILETIME as "year-month-day hh:mm:ss", unchanged by time zones;
// no time (0, as the next run of a job run by hand) is the text for a time
// that cannot be told, not the first day of 1601.
std::wstring dateText(uint64_t stamp) {
    if (stamp == 0) return trayString(kNoTime);
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(stamp);
    time.dwHighDateTime = static_cast<DWORD>(stamp >> 32);
    SYSTEMTIME at = {};
    ::FileTimeToSystemTime(&time, &at);
    wchar_t text[64];
    std::swprintf(text, 64, L"%d-%d-%d %.2d:%.2d:%.2d", at.wYear, at.wMonth, at.wDay, at.wHour,
                  at.wMinute, at.wSecond);
    return text;
}

// Seconds left as days, hours, minutes and seconds (zero parts left out),
// or the text for no time when there is no estimate or it is 13 h or more.
std::wstring remainingText(int seconds) {
    if (seconds <= 0 || seconds >= 86400 || seconds % 86400 / 3600 > 12)
        return trayString(kNoTime) + L"\n";
    const int parts[4] = {seconds / 86400, seconds % 86400 / 3600, seconds % 3600 / 60,
                          seconds % 60};
    std::wstring out;
    for (int i = 0; i < 4; ++i) {
        if (parts[i] == 0) continue;
        wchar_t text[96];
        std::wstring unit = trayString(kDays + static_cast<UINT>(i)).substr(0, 64);
        std::swprintf(text, 96, L"%d%ls", parts[i], unit.c_str());
        out += text;
    }
    return out + L"\n";
}

std::wstring number(const wchar_t* format, int value) {
    wchar_t text[32];
    std::swprintf(text, 32, format, value);
    return text;
}

void track(HWND window, DWORD flags) {
    TRACKMOUSEEVENT event = {sizeof event, flags, window, 10};
    ::TrackMouseEvent(&event);
}

}  // namespace

JobInfoPane::JobInfoPane() : thread_(::GetCurrentThreadId()) {
    for (int i = 0; i < LOOK_COUNT; ++i) {
        fill_[i] = kLooks[i].fill;
        border_[i] = kLooks[i].border;
    }
}

JobInfoPane::~JobInfoPane() {
    checkThread();
    if (IsWindow()) DestroyWindow();
    detach();
    buffer_.reset();
    deleteFonts();
}

void JobInfoPane::checkThread() const {
    // The job list hands every event to the GUI thread; nothing else may
    // call a card.
    assert(::GetCurrentThreadId() == thread_);
}

void JobInfoPane::readColours() {
    const TrayOptions* options = TrayOptions::current();
    DWORD frameBorder = 0;
    DWORD frameFill = 0;
    margin_ = options && options->jobPaneFrameColors(frameBorder, frameFill) ? frameFill
                                                                             : tray::kPopupFill;
    for (int i = 0; i < LOOK_COUNT; ++i) {
        DWORD border = 0;
        DWORD fill = 0;
        if (options && options->jobPaneItemColors(kLooks[i].name, border, fill)) {
            border_[i] = border;
            fill_[i] = fill;
        } else {
            border_[i] = kLooks[i].border;
            fill_[i] = kLooks[i].fill;
        }
    }
}

bool JobInfoPane::create(HWND parent, const POINT& origin) {
    checkThread();
    readColours();
    if (!::IsWindow(parent)) return false;
    RECT at = {origin.x, origin.y, origin.x + 1, origin.y + 1};
    return Create(parent, at) != nullptr;
}

SIZE& JobInfoPane::size(SIZE& out) {
    out.cx = std::max(titleRect_.right - titleRect_.left, bodyRect_.right - bodyRect_.left) + 8;
    out.cy = (titleRect_.bottom - titleRect_.top) + (bodyRect_.bottom - bodyRect_.top) + 12;
    return out;
}

void JobInfoPane::adopt(std::shared_ptr<JobRecord> record, int state) {
    checkThread();
    if (!record || !record->definition()) return;
    std::string id = record->definition()->id();
    if (id.empty()) return;
    if (id != id_ && attached_) detach();
    record_ = std::move(record);
    id_ = id;
    state_ = state;
    if (IsWindow()) attach();
}

bool JobInfoPane::retryTexts() {
    checkThread();
    if (!title_.empty() || !record_) return !title_.empty();
    std::wstring title;
    std::wstring body;
    if (buildTexts(*record_, title, body) != 1) return false;
    title_ = title;
    body_ = body;
    return true;
}

int JobInfoPane::buildTexts(JobRecord& record, std::wstring& title, std::wstring& body) const {
    JobDefinition* definition = record.definition();
    if (!definition || !definition->id() || !*definition->id()) return -1;
    if (definition->type() == 1 && dynamic_cast<BackupJobDefinition*>(definition))
        title = trayString(kBackupTitle) + L": ";
    else if (definition->type() == 2 && dynamic_cast<RestoreJobDefinition*>(definition))
        title = trayString(kRestoreTitle) + L": ";
    else
        return -1;
    title += definition->name();

    JobActivity* activity = record.activity();
    if (!activity) return -1;
    int s = JobRecord::state(activity);
    int requested = activity->requestedTransition;
    if (requested == kPausing || requested == kCancelling) s = requested;

    std::wstring status;
    std::wstring detail;
    switch (s) {
        case kNone:
            status = trayString(kStateNone);
            break;
        case kIdle:
            status = trayString(kStateIdle);
            detail = trayString(kNextRun) + dateText(activity->nextRunTime) + L"\n";
            break;
        case kStarting:
        case kRunning:
        case kCompleting:
            status = trayString(kStateRunning);
            detail = trayString(kStarted) + dateText(activity->runStartTime) + L"\n" +
                     trayString(kTimeLeft) + remainingText(activity->remainTime());
            if (s == kStarting)
                detail += trayString(kStartingDetail);
            else if (s == kCompleting)
                detail += trayString(kCompletingDetail);
            else
                detail += trayString(kDone) + number(L"%d%%\n", activity->progress()) +
                          trayString(kSpeed) + number(L"%dKB", activity->speed() / 1024);
            break;
        case kPausing:
        case kCancelling:
            // A card keeps what it showed; one that shows nothing yet tells the
            // request, so that its window can be made.
            if (!title_.empty()) return 0;
            status = trayString(s == kPausing ? kStatePausing : kStateCancelling);
            break;
        case kPaused:
            status = trayString(kStatePaused);
            break;
        case kCompleted:
            status = trayString(kStateCompleted);
            detail = trayString(kLastRun) + dateText(activity->lastRunTime) + L"\n";
            break;
        case kCancelled:
            status = trayString(kStateCancelled);
            break;
        case kError:
            status = trayString(kStateError);
            detail = trayString(kErrorDetail);
            break;
        case kCreated: {
            status = trayString(kStateCreated);
            detail = trayString(kCreatedAt);
            if (dynamic_cast<BackupJobDefinition*>(definition)) {
                const FILETIME& made = definition->creationTime();
                detail +=
                    dateText(static_cast<uint64_t>(made.dwHighDateTime) << 32 | made.dwLowDateTime);
            } else {
                detail += trayString(kNoTime) + L"\n";
            }
            break;
        }
        case kUpdated:
            status = trayString(kStateUpdated);
            break;
        case kDeleted:
            return 2;
        default:
            return -1;
    }
    body = trayString(kOwner) + L": " + from_utf8(definition->user()) + L"\n" +
           trayString(kStateLabel) + status + L"\n" + detail;
    return 1;
}

RECT JobInfoPane::measure(HDC dc, const std::wstring& text, HFONT font) const {
    RECT size = {0, 0, 0, 0};
    HGDIOBJ old = font ? ::SelectObject(dc, font) : nullptr;
    ::DrawTextW(dc, text.c_str(), -1, &size, DT_CALCRECT);
    if (old) ::SelectObject(dc, old);
    int width = size.right - size.left;
    int height = size.bottom - size.top;
    if (width == 0 || width <= kMaxTextWidth) return size;
    // Wider than allowed: the text wraps; the lines grow one at a time until
    // they hold its unwrapped area.
    int lines = 1 + static_cast<int>(std::count(text.begin(), text.end(), L'\n'));
    int line = height / lines;
    long long area = static_cast<long long>(width) * height;
    long long held = static_cast<long long>(lines) * line * kMaxTextWidth;
    while (line > 0 && held < area) {
        held += static_cast<long long>(line) * kMaxTextWidth;
        ++lines;
    }
    return RECT{0, 0, kMaxTextWidth, lines * line};
}

bool JobInfoPane::measureBoth(RECT& title, RECT& body) {
    HDC dc = ::GetDC(m_hWnd);
    if (!dc) return false;
    title = measure(dc, title_, titleFont_);
    body = measure(dc, body_, bodyFont_);
    ::ReleaseDC(m_hWnd, dc);
    return title.right != 0 && title.bottom != 0 && body.right != 0 && body.bottom != 0;
}

bool JobInfoPane::setJobInfoPane(std::shared_ptr<JobRecord> record, int state) {
    ACE_TRACE("JobInfoPane::setJobInfoPane");
    checkThread();
    log_message(LM_INFO, "Start to setting job information pane.\n");
    if (!record) return false;
    std::wstring title;
    std::wstring body;
    int built = buildTexts(*record, title, body);
    if (built == 2) {
        if (IsWindow()) {
            HWND parent = ::GetParent(m_hWnd);
            SendMessage(WM_CLOSE);
            if (parent) ::PostMessageW(parent, TRAY_PANE_LAYOUT_MSG, 0, 0);
        }
        return true;
    }
    if (built != 1) return false;
    std::string id = record->definition()->id();

    std::swap(title, title_);
    std::swap(body, body_);
    bool windowed = IsWindow() && titleFont_ && bodyFont_;
    if (windowed) {
        RECT titleSize;
        RECT bodySize;
        if (!measureBoth(titleSize, bodySize)) {
            std::swap(title, title_);
            std::swap(body, body_);
            return false;
        }
        if (!::EqualRect(&titleSize, &titleRect_) || !::EqualRect(&bodySize, &bodyRect_)) {
            titleRect_ = titleSize;
            bodyRect_ = bodySize;
            if (HWND parent = ::GetParent(m_hWnd))
                ::PostMessageW(parent, TRAY_PANE_LAYOUT_MSG, 0, 0);
        }
        if (id != id_ || title != title_ || body != body_ || state != state_) invalidate();
    }
    bool moved = id != id_;
    if (moved && attached_) detach();
    record_ = std::move(record);
    id_ = id;
    state_ = state;
    if (moved && IsWindow()) attach();
    return true;
}

int JobInfoPane::onJobState(const std::string& id, int state) {
    checkThread();
    if (id.empty()) return 0;
    JobManager* list = JobManager::current();
    std::shared_ptr<JobRecord> record = list ? list->find(id) : nullptr;
    if (!record) return 0;
    if (state == kDeleted) return 0;
    JobActivity* live = record->activity();
    JobActivity* cached = record->cachedActivity();
    if (!live || !cached) return 0;
    if (JobRecord::looksAlike(cached, live) && JobRecord::state(live) != kRunning) return 0;
    setJobInfoPane(record, 0);
    return 0;
}

void JobInfoPane::attach() {
    if (attached_ || id_.empty()) return;
    JobManager* list = JobManager::instance();
    list->attachJobObserver(this, id_);
    attached_ = list->getJobObserver(id_) == this;
}

void JobInfoPane::detach() {
    if (!attached_) return;
    attached_ = false;
    // Another card of the same job keeps its place.
    if (JobManager* list = JobManager::current())
        if (list->getJobObserver(id_) == this) list->detachJobObserver(id_);
}

void JobInfoPane::invalidate() {
    buffer_.setDirty(true);
    Invalidate(FALSE);
}

void JobInfoPane::deleteFonts() {
    if (titleFont_ && titleFont_ != bodyFont_) ::DeleteObject(titleFont_);
    if (bodyFont_) ::DeleteObject(bodyFont_);
    titleFont_ = nullptr;
    bodyFont_ = nullptr;
}

void JobInfoPane::makeFonts(HDC dc) {
    const TrayOptions* options = TrayOptions::current();
    DWORD colour = 0;
    std::wstring contentFace;
    std::wstring titleFace;
    int contentSize = 0;
    int titleSize = 0;
    if (options && options->jobPaneItemFont(L"content", colour, contentFace, contentSize)) {
        text_ = colour;
        if (options->jobPaneItemFont(L"title", colour, titleFace, titleSize)) {
            text_ = colour;
            LOGFONTW font = {};
            font.lfHeight = contentSize * 10;
            std::wcsncpy(font.lfFaceName, contentFace.c_str(), LF_FACESIZE - 1);
            WTL::CFontHandle body;
            bodyFont_ = body.CreatePointFontIndirect(&font, dc);
            font = {};
            font.lfHeight = titleSize * 10;
            std::wcsncpy(font.lfFaceName, titleFace.c_str(), LF_FACESIZE - 1);
            WTL::CFontHandle title;
            titleFont_ = title.CreatePointFontIndirect(&font, dc);
            if (titleFont_ && bodyFont_) return;
            deleteFonts();
        }
    }
    LOGFONTW base = {};
    HGDIOBJ current = ::GetCurrentObject(dc, OBJ_FONT);
    if (!current || !::GetObjectW(current, sizeof base, &base)) {
        current = ::GetStockObject(SYSTEM_FONT);
        if (!current || !::GetObjectW(current, sizeof base, &base)) return;
    }
    const int dpi = ::GetDeviceCaps(dc, LOGPIXELSY);
    LOGFONTW font = base;
    font.lfHeight = -::MulDiv(12, dpi, 72);
    font.lfWeight = FW_BOLD;
    font.lfPitchAndFamily = 0x21;
    font.lfFaceName[0] = L'\0';
    titleFont_ = ::CreateFontIndirectW(&font);
    font.lfHeight = -::MulDiv(9, dpi, 72);
    font.lfWeight = FW_NORMAL;
    bodyFont_ = ::CreateFontIndirectW(&font);
    if (!titleFont_) titleFont_ = ::CreateFontIndirectW(&base);
    if (!bodyFont_) bodyFont_ = ::CreateFontIndirectW(&base);
}

LRESULT JobInfoPane::OnCreate(UINT, WPARAM, LPARAM, BOOL&) {
    HDC dc = ::GetDC(m_hWnd);
    if (!dc) return -1;
    if (!titleFont_ || !bodyFont_) {
        deleteFonts();
        makeFonts(dc);
    }
    ::ReleaseDC(m_hWnd, dc);
    if (!titleFont_ || !bodyFont_) return -1;
    // A card made while its job's record could not be read tries again.
    retryTexts();
    RECT title;
    RECT body;
    if (!measureBoth(title, body)) return -1;
    titleRect_ = title;
    bodyRect_ = body;
    RECT window;
    ::GetWindowRect(m_hWnd, &window);
    POINT corner = {window.left, window.top};
    if (HWND parent = ::GetParent(m_hWnd)) ::ScreenToClient(parent, &corner);
    SIZE own;
    size(own);
    ::MoveWindow(m_hWnd, corner.x, corner.y, own.cx, own.cy, FALSE);
    if (!id_.empty()) {
        attach();
        if (JobManager* list = JobManager::current())
            if (std::shared_ptr<JobRecord> record = list->find(id_)) setJobInfoPane(record, state_);
    }
    return 0;
}

bool JobInfoPane::draw(HDC dc, const RECT*) {
    const int look = (mouse_ & MOUSE_PRESSED) ? LOOK_DOWN
                     : (mouse_ & MOUSE_HOT)   ? LOOK_HOVER
                                              : LOOK_NORMAL;
    // The whole card, whatever part is painted: the DC clips. Around the
    // box the pop-up's fill, not the transparent white: a card that shrank
    // keeps no trace of its taller self there.
    RECT client;
    ::GetClientRect(m_hWnd, &client);
    HBRUSH margin = ::CreateSolidBrush(margin_);
    ::FillRect(dc, &client, margin);
    ::DeleteObject(margin);
    HPEN pen = ::CreatePen(PS_SOLID, 1, border_[look]);
    HBRUSH brush = ::CreateSolidBrush(fill_[look]);
    HGDIOBJ oldPen = ::SelectObject(dc, pen);
    HGDIOBJ oldBrush = ::SelectObject(dc, brush);
    RECT box = client;
    ::InflateRect(&box, -2, -2);
    ::RoundRect(dc, box.left, box.top, box.right, box.bottom, 5, 5);
    ::SelectObject(dc, oldBrush);
    ::SelectObject(dc, oldPen);
    ::DeleteObject(brush);
    ::DeleteObject(pen);

    ::SetBkMode(dc, TRANSPARENT);
    ::SetTextColor(dc, text_);
    RECT title = titleRect_;
    ::OffsetRect(&title, 4, 8);
    HGDIOBJ oldFont = ::SelectObject(dc, titleFont_);
    ::DrawTextW(dc, title_.c_str(), -1, &title, DT_WORDBREAK | DT_WORD_ELLIPSIS);
    RECT body = bodyRect_;
    ::OffsetRect(&body, 4, title.bottom - body.top);
    ::SelectObject(dc, bodyFont_);
    ::DrawTextW(dc, body_.c_str(), -1, &body, DT_WORDBREAK | DT_WORD_ELLIPSIS);
    if (oldFont) ::SelectObject(dc, oldFont);
    return true;
}

LRESULT JobInfoPane::OnPaint(UINT, WPARAM, LPARAM, BOOL&) {
    buffer_.onPaint(m_hWnd, this);
    return 0;
}

LRESULT JobInfoPane::OnSize(UINT, WPARAM, LPARAM, BOOL&) {
    // The buffer follows the client size at the next paint, which covers
    // the whole card: the layout moves cards without redrawing them, and an
    // update region left from before the move covers only the old size.
    invalidate();
    return 0;
}

LRESULT JobInfoPane::OnSizing(UINT, WPARAM, LPARAM, BOOL&) {
    buffer_.setDirty(true);
    return 0;
}

LRESULT JobInfoPane::OnMouseMove(UINT, WPARAM wParam, LPARAM, BOOL&) {
    mouse_ = wParam == MK_LBUTTON ? mouse_ | MOUSE_PRESSED : mouse_ & ~MOUSE_PRESSED;
    if (!tracking_) track(m_hWnd, TME_HOVER);
    return 0;
}

LRESULT JobInfoPane::OnMouseHover(UINT, WPARAM, LPARAM, BOOL&) {
    tracking_ = true;
    track(m_hWnd, TME_LEAVE);
    mouse_ |= MOUSE_HOT;
    invalidate();
    return 0;
}

LRESULT JobInfoPane::OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&) {
    mouse_ &= ~MOUSE_HOT;
    tracking_ = false;
    invalidate();
    return 0;
}

LRESULT JobInfoPane::OnButtonDown(UINT, WPARAM, LPARAM, BOOL&) {
    if (!::GetCapture()) SetCapture();
    mouse_ |= MOUSE_PRESSED;
    invalidate();
    return 0;
}

LRESULT JobInfoPane::OnButtonUp(UINT, WPARAM, LPARAM, BOOL&) {
    if (::GetCapture() == m_hWnd) ::ReleaseCapture();
    mouse_ &= ~MOUSE_PRESSED;
    invalidate();
    POINT cursor;
    RECT window;
    ::GetCursorPos(&cursor);
    ::GetWindowRect(m_hWnd, &window);
    if (::PtInRect(&window, cursor)) {
        tray::open_web_interface();
        if (HWND parent = ::GetParent(m_hWnd)) ::PostMessageW(parent, WM_CLOSE, 0, 0);
    }
    return 0;
}

LRESULT JobInfoPane::OnFocus(UINT message, WPARAM, LPARAM, BOOL&) {
    mouse_ = message == WM_SETFOCUS ? (MOUSE_HOT | MOUSE_PRESSED) : 0;
    invalidate();
    return 0;
}

LRESULT JobInfoPane::OnDestroy(UINT, WPARAM, LPARAM, BOOL& handled) {
    mouse_ = 0;
    tracking_ = false;
    buffer_.reset();
    deleteFonts();
    detach();
    handled = FALSE;
    return 0;
}

JobInfoCreator::~JobInfoCreator() = default;

void JobInfoCreator::set(std::shared_ptr<JobRecord> record, int state) {
    record_ = std::move(record);
    state_ = state;
}

JobInfoPane* JobInfoCreator::create() {
    auto* pane = new JobInfoPane();
    // The card knows its job whether or not its texts can be built now.
    pane->adopt(record_, state_);
    pane->setJobInfoPane(record_, state_);
    return pane;
}
