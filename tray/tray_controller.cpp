#include "tray/tray_controller.h"

#include <ace/Log_Msg.h>
#include <ace/Trace.h>

#include <algorithm>
#include <cwchar>

#include "common/ace_log_wrapper.h"
#include "tray/job_info_pane.h"
#include "tray/job_manager.h"
#include "tray/tray_options.h"
#include "tray/tray_resources.h"

namespace {

// Job states the controller acts on.
constexpr int kStateIdle = 1;
constexpr int kStateRunning = 3;
constexpr int kStateCompleted = 7;
constexpr int kStateError = 10;
constexpr int kStateDeleted = 13;
constexpr int kStateUnloaded = 14;

// The icon files of each status, beside the program under kIconFolder; a
// name with a '%d' is the group of its five frames.
constexpr const wchar_t* kIconFolder = L"Skin\\Tray\\tray_ico\\";
struct IconGroup {
    int status;
    const wchar_t* file;
};
constexpr IconGroup kIconGroups[] = {
    {0, L"none.ico"},
    {1, L"notify.ico"},
    {2, L"warning.ico"},
    {4, L"err.ico"},
    {16, L"jobrunning%d.ico"},
    {17, L"jobrunning_notify%d.ico"},
    {18, L"jobrunning_warning%d.ico"},
    {20, L"jobrunning_err%d.ico"},
};
constexpr int kFramesPerAnimation = 5;

int lastError() { return static_cast<int>(GetLastError()); }

std::vector<std::wstring> iconPaths(const std::wstring& base, const wchar_t* file) {
    std::wstring name = file;
    size_t mark = name.find(L"%d");
    if (mark == std::wstring::npos) return {base + name};
    std::vector<std::wstring> paths;
    for (int frame = 1; frame <= kFramesPerAnimation; ++frame)
        paths.push_back(base + name.substr(0, mark) + std::to_wstring(frame) +
                        name.substr(mark + 2));
    return paths;
}

}  // namespace

TrayController::TrayController() = default;

TrayController::~TrayController() {
    ACE_TRACE("TrayController::~TrayController");
    if (target_.load())
        log_message(LM_ERROR,
                    "TrayController::fini need to be called before destroy the object.\n");
    std::lock_guard<std::mutex> guard(shutdownLock_);
    for (HANDLE event : abandoned_) CloseHandle(event);
    abandoned_.clear();
}

bool TrayController::init(HWND target) {
    ACE_TRACE("TrayController::init");
    if (!target) {
        log_message(LM_ERROR, "Invalid target window.\n");
        return false;
    }
    if (target_.load()) {
        log_message(LM_ERROR, "The controller has been initialized.\n");
        return true;
    }
    initIconMgr();

    std::wstring options;
    if (!TrayOptions::path(options)) return false;
    TrayOptions::instance()->load(options.c_str());

    action_.init(target, kIconId);
    if (!action_.addIcon(TRAY::TRAY_STATUS_NONE, kAnimationInterval))
        log_message(LM_ERROR, "Failed to show the tray icon, error-code = %d, %m.\n", lastError());
    else
        log_message(LM_INFO, "Show the tray icon.\n");
    if (!action_.setVersion(NOTIFYICON_VERSION))
        log_message(LM_ERROR, "Failed to set the tray version to %d.\n", NOTIFYICON_VERSION);
    action_.setTooltip(trayString(IDS_TRAY_TOOLTIP));
    if (!action_.setCallbackMessage(TRAY_ICON_CALLBACK_MSG))
        log_message(LM_ERROR, "Failed to set the callback message of tray, error-code = %d, %m.\n",
                    lastError());

    guiThread_ = GetCurrentThreadId();
    target_.store(target);
    if (JobManager* jobs = JobManager::instance()) {
        jobs->init(this);
        jobs->attach(this);
    }
    return true;
}

void TrayController::initIconMgr() {
    ACE_TRACE("TrayController::initIconMgr");
    IconMgr* mgr = IconMgr::instance();
    if (mgr->list()) mgr->list()->clear();
    wchar_t program[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, program, MAX_PATH);
    PathRemoveFileSpecW(program);
    std::wstring base = program;
    if (base.empty() || (base.back() != L'\\' && base.back() != L'/')) base += L'\\';
    base += kIconFolder;
    for (const IconGroup& group : kIconGroups) {
        if (!mgr->list() || !mgr->list()->add(group.status, iconPaths(base, group.file)))
            log_message(LM_ERROR, "Load icons for status %d failed, error-code = %d, %m.\n",
                        group.status, lastError());
    }
}

void TrayController::fini() {
    ACE_TRACE("TrayController::fini");
    if (JobManager* jobs = JobManager::current()) {
        jobs->detach(this);
        jobs->fini();
    }
    if (action_.isAdded()) action_.removeIcon();
    if (IconMgr* mgr = IconMgr::current(); mgr && mgr->list()) mgr->list()->clear();
    if (container_.IsWindow()) container_.DestroyWindow();
    target_.store(nullptr);
}

void TrayController::OnTrayMessage(UINT, WPARAM wParam, LPARAM lParam) {
    ACE_TRACE("TrayController::OnTrayMessage");
    HWND target = target_.load();
    log_message(LM_INFO, "Tray message: TRAY_VERSION = %d, wParam = %d, lParam = %d.\n",
                action_.version(), static_cast<int>(wParam), static_cast<int>(lParam));
    MSG msg;
    if (action_.version() > NOTIFYICON_VERSION) {
        switch (LOWORD(lParam)) {
            case WM_CONTEXTMENU: {
                POINT cursor = {};
                GetCursorPos(&cursor);
                SetForegroundWindow(target);
                action_.showMenu(cursor.x, cursor.y);
                break;
            }
            case NIN_SELECT:
            case NIN_KEYSELECT: {
                // A second select within the double-click time opens the web
                // interface instead of the pop-up.
                const DWORD wait = GetDoubleClickTime();
                const DWORD start = GetTickCount();
                bool opened = false;
                while (GetTickCount() - start < wait) {
                    if (PeekMessageW(&msg, target, NIN_SELECT, NIN_KEYSELECT, PM_NOREMOVE)) {
                        while (PeekMessageW(&msg, target, NIN_SELECT, NIN_KEYSELECT, PM_REMOVE)) {
                        }
                        PostMessageW(target, WM_COMMAND, TRAY::ID_TRAY_OPEN_UI, 0);
                        opened = true;
                    }
                }
                if (!opened) ShowJobsInfo(1, 0);
                break;
            }
            default:
                break;
        }
        return;
    }
    switch (lParam) {
        case WM_MOUSEMOVE:
            action_.setTooltip(trayString(IDS_TRAY_TOOLTIP));
            break;
        case WM_LBUTTONDOWN: {
            log_message(LM_INFO, "Tray message: WM_LBUTTONDOWN.\n");
            const DWORD wait = GetDoubleClickTime();
            const DWORD start = GetTickCount();
            while (GetTickCount() - start < wait) {
                if (PeekMessageW(&msg, target, WM_LBUTTONDBLCLK, WM_LBUTTONDBLCLK, PM_NOREMOVE)) {
                    while (PeekMessageW(&msg, target, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
                    }
                    log_message(LM_INFO, "Tray message: WM_LBUTTONDBLCLK.\n");
                    PostMessageW(target, WM_COMMAND, TRAY::ID_TRAY_OPEN_UI, 0);
                }
            }
            break;
        }
        case WM_LBUTTONUP: {
            POINT cursor = {};
            GetCursorPos(&cursor);
            log_message(LM_INFO, "Tray message: WM_LBUTTONUP.\n");
            ShowJobsInfo(1, 0);
            break;
        }
        case WM_LBUTTONDBLCLK:
            log_message(LM_INFO, "Tray message: WM_LBUTTONDBLCLK.\n");
            PostMessageW(target, WM_COMMAND, TRAY::ID_TRAY_OPEN_UI, 0);
            break;
        case WM_RBUTTONUP: {
            POINT cursor = {};
            GetCursorPos(&cursor);
            action_.showMenu(cursor.x, cursor.y);
            break;
        }
        default:
            break;
    }
}

int TrayController::onJobState(const std::string& id, int state) {
    if (guiThread_ && GetCurrentThreadId() != guiThread_) {
        log_message(LM_ERROR, "Job state change off the GUI thread dropped, id = %s, state = %d.\n",
                    id.c_str(), state);
        return 0;
    }
    pendingId_ = id;
    pendingState_ = state;
    return static_cast<int>(SendMessageW(target_.load(), TRAY_JOB_CHANGE_MSG, 0, 0));
}

void TrayController::JobChange() {
    ACE_TRACE("TrayController::JobChange");
    if (pendingId_.empty()) return;
    JobManager* jobs = JobManager::instance();
    std::shared_ptr<JobRecord> record = jobs->find(pendingId_);
    if (!record) {
        log_message(LM_ERROR, "Invalid job data.\n");
        return;
    }
    JobDefinition* definition = record->definition();
    JobActivity* live = record->activity();
    JobActivity* cached = record->cachedActivity();
    if (!definition || !live || !cached) {
        log_message(LM_ERROR, "Can't get dob definition, job activity or original job activity.\n");
        return;
    }
    const int newState = pendingState_;
    int previousState = JobRecord::state(live);
    if (previousState == newState) previousState = JobRecord::state(cached);

    const bool known = !knownIds_.insert(pendingId_).second;
    if (known) {
        log_message(LM_INFO,
                    "A job state notify of an existing job, id = %s, original-state = %d, "
                    "new-state = %d.\n",
                    definition->id(), previousState, newState);
        if (newState == kStateDeleted) {
            log_message(LM_INFO, "Remove job %s from pane containter.\n", definition->id());
            removePane(definition->id());
        } else if (newState == kStateRunning || newState == kStateError ||
                   newState == kStateCompleted || newState == kStateIdle) {
            log_message(LM_INFO, "Show job pane container, type = %d, status =%d.\n",
                        definition->type(), newState);
            ShowJobsInfo(definition->type(), newState);
        }
    } else {
        log_message(LM_INFO, "A new job inserted into the jobs list.\n");
        if (newState == kStateDeleted || newState == kStateUnloaded) {
            log_message(LM_INFO, "Remove job from job pane container, id = %s.\n",
                        pendingId_.c_str());
            jobs->removeJob(pendingId_);
            removePane(pendingId_);
        } else {
            log_message(LM_INFO, "Add new job to job pane container, id = %s.\n",
                        pendingId_.c_str());
            addPane(record);
        }
        if (newState == kStateRunning) {
            log_message(LM_INFO,
                        "Job %s is running, show job pane containter, type = %d, status = %d.\n",
                        definition->id(), definition->type(), kStateRunning);
            ShowJobsInfo(definition->type(), kStateRunning);
        }
    }
    updateIconStatus(pendingId_, newState);
}

void TrayController::addPane(std::shared_ptr<JobRecord> record) {
    ACE_TRACE("TrayController::addPane");
    JobInfoCreator creator;
    log_message(LM_INFO, "Initialize JobInfoCreator.\n");
    creator.set(std::move(record), pendingState_);
    log_message(LM_INFO, "Begin to add job information pane to PaneContainer.\n");
    container_.beginUpdate();
    container_.appendPane(creator.create());
    container_.endUpdate();
    log_message(LM_INFO, "End to add job information pane to PaneContainer.\n");
}

void TrayController::removePane(const std::string& id) {
    container_.beginUpdate();
    container_.removePane(id);
    container_.endUpdate();
    if (container_.paneCount() == 0 && container_.IsWindow()) container_.DestroyWindow();
    knownIds_.erase(id);
}

bool TrayController::ShowJobsInfo(int type, int state) {
    ACE_TRACE("TrayController::ShowJobsInfo");
    log_message(LM_INFO, "Show jobs: type = %d, status = %d.\n", type, state);
    if (container_.paneCount() == 0) {
        log_message(LM_WARNING, "The pane containter is empty.\n");
        return true;
    }
    // A change shows the jobs of its own state (a job that failed while
    // another runs among them); a click (state 0) the running jobs of the
    // type that has some, else every job of a type that has cards.
    if (state == 0) chooseForClick(type, state);
    container_.setSelection(type, state);
    if (container_.IsWindow()) container_.restartDisplay();
    if (!container_.IsWindow()) {
        log_message(LM_INFO, "The pane container is not exists, create it.\n");
        if (!container_.Create(target_.load())) {
            log_message(LM_ERROR, "Failed to create the pane container, error-code = %d.\n",
                        lastError());
            return false;
        }
    }
    return SetWindowPos(container_.m_hWnd, HWND_TOPMOST, 0, 0, 0, 0,
                        SWP_NOSIZE | SWP_NOMOVE | SWP_NOREDRAW) == TRUE;
}

void TrayController::chooseForClick(int& type, int& state) {
    if (type != 1 && type != 2) type = 1;
    bool runs[3] = {};
    bool cards[3] = {};
    for (AbsPane* pane : container_.panes()) {
        auto* card = pane->kind() == AbsPane::KIND_JOB ? dynamic_cast<JobInfoPane*>(pane) : nullptr;
        std::shared_ptr<JobRecord> record = card ? card->record() : nullptr;
        JobDefinition* definition = record ? record->definition() : nullptr;
        JobActivity* live = record ? record->activity() : nullptr;
        if (!definition || !live || (definition->type() != 1 && definition->type() != 2)) continue;
        cards[definition->type()] = true;
        if (JobRecord::state(live) == kStateRunning) runs[definition->type()] = true;
    }
    const int other = type == 1 ? 2 : 1;
    if (runs[type] || runs[other]) {
        type = runs[type] ? type : other;
        state = kStateRunning;
    } else if (!cards[type] && cards[other]) {
        type = other;
    }
}

bool TrayController::updateIconStatus(const std::string& changedId, int newState) {
    int bits = TRAY::TRAY_STATUS_NONE;
    JobManager* jobs = JobManager::instance();
    for (const std::string& id : knownIds_) {
        std::shared_ptr<JobRecord> record = jobs->find(id);
        if (!record || !record->definition()) continue;
        JobActivity* live = record->activity();
        if (!live) continue;
        int state = changedId == record->definition()->id() ? newState : JobRecord::state(live);
        if (state == kStateRunning) bits |= TRAY::TRAY_STATUS_RUNNING;
        if (state == kStateError) bits |= TRAY::TRAY_STATUS_ERROR;
    }
    IconMgr::instance()->setStatus(bits, kAnimationInterval);
    return true;
}

void TrayController::OnTaskBarCreated(UINT, WPARAM, LPARAM) {
    ACE_TRACE("TrayController::OnTaskBarCreated");
    HWND target = target_.load();
    action_.init(target, kIconId);
    if (!action_.addIcon(TRAY::TRAY_STATUS_NONE, kAnimationInterval))
        log_message(LM_ERROR, "Add tray icon failed, error-code = %d, %m.\n", lastError());
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    int speaks = NOTIFYICON_VERSION;
    if (GetVersionExW(&version) && version.dwMajorVersion >= 6) speaks = NOTIFYICON_VERSION_4;
    action_.setVersion(static_cast<UINT>(speaks));
    action_.setTooltip(trayString(IDS_TRAY_TOOLTIP));
    if (!action_.setCallbackMessage(TRAY_ICON_CALLBACK_MSG))
        log_message(LM_ERROR, "Failed to set the tray message callback, error-code = %d, %m.\n",
                    lastError());
}

void TrayController::onShutdown(HANDLE done) {
    container_.beginUpdate();
    container_.removeAllPane();
    container_.endUpdate();
    if (container_.IsWindow()) container_.DestroyWindow();
    knownIds_.clear();
    if (JobManager* jobs = JobManager::current()) jobs->clearJobs();
    if (!done) return;
    std::lock_guard<std::mutex> guard(shutdownLock_);
    SetEvent(done);
    auto found = std::find(abandoned_.begin(), abandoned_.end(), done);
    if (found != abandoned_.end()) {
        CloseHandle(done);
        abandoned_.erase(found);
    }
}

void TrayController::requestShutdown(HANDLE stop) {
    HWND target = target_.load();
    if (!target) return;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!done) return;
    if (GetWindowThreadProcessId(target, nullptr) == GetCurrentThreadId()) {
        // Waiting here would wait for this very thread.
        onShutdown(done);
        CloseHandle(done);
        return;
    }
    if (!PostMessageW(target, TRAY_SHUTDOWN_MSG, reinterpret_cast<WPARAM>(done), 0)) {
        log_message(LM_ERROR, "Failed to post the shutdown message, error-code = %d, %m.\n",
                    lastError());
        CloseHandle(done);
        return;
    }
    HANDLE waits[2] = {done, stop};
    WaitForMultipleObjects(stop ? 2 : 1, waits, FALSE, INFINITE);
    std::lock_guard<std::mutex> guard(shutdownLock_);
    if (WaitForSingleObject(done, 0) == WAIT_OBJECT_0)
        CloseHandle(done);
    else
        abandoned_.push_back(done);  // the GUI thread may still set it
}
