// The tray's controller: owns the notification icon (its animated status,
// tooltip and menu, and what a click on it does), turns the job list's
// changes into job cards in the pop-up and into the icon's status, and
// empties the cards and the job list when the service goes away.
//
// Threads: everything runs on the GUI thread (the thread of the target
// window), the job changes included: the job list hands every event to that
// thread before it tells the controller. The one exception is
// requestShutdown, the agent-exit watcher's call, which hands its work to the
// GUI thread through the target window and waits for it.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tray/job_record.h"
#include "tray/job_state_notify.h"
#include "tray/pane_container.h"
#include "tray/singleton.h"
#include "tray/tray_icons.h"

class TrayController : public TRAY::SingletonT<TrayController, TRAY::FakeLocker,
                                               TRAY::DefaultCreator<TrayController>>,
                       public IJobStateNotify {
public:
    static constexpr UINT TRAY_ICON_CALLBACK_MSG = 38121, TRAY_JOB_CHANGE_MSG = 35132,
                          TRAY_SHUTDOWN_MSG = 39002;
    // The notification icon's id and its animation's interval (ms).
    static constexpr UINT kIconId = 1000;
    static constexpr UINT kAnimationInterval = 200;
    // Tooltip text id of the resource library.
    static constexpr UINT IDS_TRAY_TOOLTIP = 12289;

    using IconMgr = TRAY::TrayIconMgr<>;
    using ActionHelper = TRAY::TrayActionHelper<IconMgr>;

    TrayController();
    // Logs when fini was not called; the cards go with the container.
    virtual ~TrayController();
    TrayController(const TrayController&) = delete;
    TrayController& operator=(const TrayController&) = delete;

    // Loads the icons and the skin options, adds the icon (status 0, version
    // 3, tooltip, callback message 38121 to target), then starts the job list
    // with this controller as its first and general observer. False for no
    // target or when the application-data folder cannot be named; a second
    // call only logs. GUI thread (target's).
    bool init(HWND target);
    // Stops hearing the job list and ends it, deletes the icon, drops the
    // icons and the pop-up window; the target is 0 afterwards.
    void fini();
    // Loads every status's frames from "Skin\Tray\tray_ico\" beside the
    // program into the icon manager (the list is emptied first).
    void initIconMgr();
    // The icon's callback message (38121): pop-up, menu or open command.
    void OnTrayMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // The change that onJobState left (message 35132): cards and icon.
    void JobChange();
    // The shell came back: the icon is added again in status 0, at version
    // 4 on a system of version 6 or later.
    void OnTaskBarCreated(UINT message, WPARAM wParam, LPARAM lParam);
    // GUI thread (message 39002, wParam = done event): removes every card,
    // closes the pop-up, forgets the jobs, then sets done (when not null).
    void onShutdown(HANDLE done);
    // Watcher thread: posts 39002 and waits for its done event or for `stop`
    // (may be null); returns at once when there is no target or the post
    // fails. Called on the GUI thread itself, it runs the shutdown there.
    void requestShutdown(HANDLE stop = nullptr);
    // A job's state changed: kept as the pending change and handed to the
    // target's handler of 35132 (JobChange), whose result it returns. GUI
    // thread only: the job list calls it there; a call from another thread
    // is logged and dropped (0).
    int onJobState(const std::string& id, int state) override;
    // Shows the pop-up with the jobs of the type (1 backup, 2 restore) in
    // the state, as a job's change asks. State 0 is a click on the icon: the
    // running jobs of the type (else of the other type) when some run, else
    // every job of the type (the other when the type has no card). A pop-up
    // already shown starts its display time again. True without cards
    // (nothing shown) or when the pop-up is on top; false when its window
    // cannot be made.
    bool ShowJobsInfo(int type, int state);
    // Adds a card for the job at the end of the pop-up's list.
    void addPane(std::shared_ptr<JobRecord> record);
    // Removes the job's card (closing the pop-up when none is left) and
    // forgets the job.
    void removePane(const std::string& id);
    // Sets the icon's status from the known jobs, taking newState for
    // changedId: 16 when one runs, 4 when one failed (20 both, 0 neither).
    bool updateIconStatus(const std::string& changedId, int newState);
    PaneContainer& container() { return container_; }
    HWND target() const { return target_.load(); }

    // For the program's tests and their own: what the controller holds.
    const std::set<std::string>& knownIds() const { return knownIds_; }
    ActionHelper& actionHelper() { return action_; }

private:
    // The selection a click shows (ShowJobsInfo with state 0).
    void chooseForClick(int& type, int& state);

    std::atomic<HWND> target_{nullptr};
    PaneContainer container_;
    std::set<std::string> knownIds_;
    ActionHelper action_;
    std::string pendingId_;
    int pendingState_ = -1;
    // The GUI thread: the one that called init.
    std::atomic<DWORD> guiThread_{0};
    // Done events of requests whose watcher stopped waiting before the GUI
    // thread set them; closed once set (or with the controller), so that a
    // late 39002 never sets a closed or reused handle.
    std::mutex shutdownLock_;
    std::vector<HANDLE> abandoned_;
};
