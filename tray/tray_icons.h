// The tray's notification icon: its images by status (each status a group of
// frames loaded from ICO files), the process-wide manager that shows a
// status and animates its frames on a thread timer, and the helper that adds,
// removes and describes the icon and holds its menu. GUI thread, all of it:
// the animation timer is a thread timer of the thread that set the status.
#pragma once

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tray/singleton.h"
#include "tray/skin_menu.h"
#include "tray/tray_resources.h"

namespace TRAY {

// The icon statuses; the bits are running (16), error (4), warning (2) and
// notify (1).
enum {
    TRAY_STATUS_NONE = 0,
    TRAY_STATUS_NOTIFY = 1,
    TRAY_STATUS_WARNING = 2,
    TRAY_STATUS_ERROR = 4,
    TRAY_STATUS_RUNNING = 16,
};

// The bytes of the icon data the tray gives: the structure up to and
// including its guidItem member.
constexpr DWORD kNotifyIconDataSize = offsetof(NOTIFYICONDATAW, hBalloonIcon);

// One image of the given type (IMAGE_ICON) loaded from a file; the handle
// goes with the object unless someone took it (detach).
template <UINT Type = IMAGE_ICON>
class ImageT {
public:
    ImageT() = default;
    ~ImageT() { destroy(); }
    ImageT(const ImageT&) = delete;
    ImageT& operator=(const ImageT&) = delete;

    // Loads the file at its own size; true when a handle came back (the
    // handle held before is destroyed first).
    bool load(const std::wstring& path) {
        destroy();
        handle_ =
            static_cast<HICON>(LoadImageW(nullptr, path.c_str(), Type, 0, 0, LR_LOADFROMFILE));
        return handle_ != nullptr;
    }
    void destroy() {
        if (handle_) DestroyIcon(handle_);
        handle_ = nullptr;
    }
    HICON handle() const { return handle_; }
    // Gives the handle away; the object holds none afterwards.
    HICON detach() {
        HICON handle = handle_;
        handle_ = nullptr;
        return handle;
    }

private:
    HICON handle_ = nullptr;
};

// The frames of one status, in load order. Owns its handles.
template <class Image = ImageT<>>
class ImageGroupT {
public:
    ImageGroupT() = default;
    ~ImageGroupT() { clear(); }
    ImageGroupT(const ImageGroupT&) = delete;
    ImageGroupT& operator=(const ImageGroupT&) = delete;

    // Loads one frame and appends it: its index, or 0 when the file did not
    // load (nothing is appended then).
    size_t add(const std::wstring& path) {
        Image image;
        if (!image.load(path)) return 0;
        frames_.push_back(image.detach());
        return frames_.size() - 1;
    }
    // The frame at index, or null past the end.
    HICON frame(size_t index) const { return index < frames_.size() ? frames_[index] : nullptr; }
    size_t size() const { return frames_.size(); }
    void clear() {
        for (HICON frame : frames_) DestroyIcon(frame);
        frames_.clear();
    }

private:
    std::vector<HICON> frames_;
};

// The groups by status. Owns them.
template <class Group = ImageGroupT<>, class Policy = FakeLocker>
class ImagesListT {
public:
    ImagesListT() = default;
    ~ImagesListT() { clear(); }
    ImagesListT(const ImagesListT&) = delete;
    ImagesListT& operator=(const ImagesListT&) = delete;

    // Loads the files in order into a new group of the status, skipping
    // every file that does not load; the group goes in even when empty.
    // False, and nothing loaded, when the status has a group already.
    bool add(int status, const std::vector<std::wstring>& paths) {
        Policy guard(&holder_);
        if (groups_.count(status)) return false;
        Group* group = new Group;
        for (const std::wstring& path : paths) group->add(path);
        groups_.emplace(status, group);
        return true;
    }
    // The status's group, or null.
    const Group* group(int status) const {
        auto found = groups_.find(status);
        return found == groups_.end() ? nullptr : found->second;
    }
    size_t size() const { return groups_.size(); }
    // Empties the map. The icons go too: the shell keeps copies of what it
    // shows, and a group that is no longer listed is never animated again.
    void clear() {
        for (auto& entry : groups_) delete entry.second;
        groups_.clear();
    }

private:
    typename Policy::Holder holder_;
    std::map<int, Group*> groups_;
};

// The icon's status and its animation: one per process, made on the first
// instance() and deleted at exit. The timer runs on the thread that set the
// status (the GUI thread).
template <class List = ImagesListT<>, class Policy = FakeLocker>
class TrayIconMgr : public SingletonT<TrayIconMgr<List, Policy>, Policy,
                                      DefaultCreator<TrayIconMgr<List, Policy>>> {
    using Base =
        SingletonT<TrayIconMgr<List, Policy>, Policy, DefaultCreator<TrayIconMgr<List, Policy>>>;

public:
    static constexpr UINT kNoIcon = UINT_MAX;

    TrayIconMgr() : list_(new List) {}
    // Kills the animation timer and deletes the list.
    ~TrayIconMgr() {
        killTimer();
        delete list_;
    }
    TrayIconMgr(const TrayIconMgr&) = delete;
    TrayIconMgr& operator=(const TrayIconMgr&) = delete;

    List* list() { return list_; }
    void setIcon(HWND window, UINT id) {
        window_ = window;
        iconId_ = id;
    }
    HWND window() const { return window_; }
    UINT iconId() const { return iconId_; }
    int status() const { return status_; }
    UINT_PTR timerId() const { return timerId_; }

    // Shows the first frame of the status's group and, with a non-zero
    // interval, animates the group's frames every interval ms (0 stops the
    // animation). The current status asked again changes nothing, so its
    // animation runs on; -1 only stops the animation (the status and its
    // frame stay). False, and nothing changes, for a status without frames
    // or when the shell refuses the image.
    bool setStatus(int status, UINT interval) {
        if (status == status_) return true;
        if (status == -1) {
            killTimer();
            return true;
        }
        const auto* group = list_ ? list_->group(status) : nullptr;
        if (!group || group->size() == 0) return false;
        NOTIFYICONDATAW data;
        std::memset(&data, 0, sizeof data);
        data.cbSize = kNotifyIconDataSize;
        data.hWnd = window_;
        data.uID = iconId_;
        data.uFlags = NIF_ICON;
        data.hIcon = group->frame(0);
        if (!Shell_NotifyIconW(NIM_MODIFY, &data)) return false;
        status_ = status;
        if (interval != 0) {
            // The same timer is replaced: one animation at a time.
            UINT_PTR id = SetTimer(nullptr, timerId_, interval, &TrayIconMgr::animate);
            if (id) timerId_ = id;
        } else {
            killTimer();
        }
        return true;
    }

    // The animation timer: the next frame of the current status's group,
    // in turn; the frame after a status change is its group's second.
    static void animate(HWND, UINT, UINT_PTR, DWORD) {
        TrayIconMgr* self = Base::current();
        if (!self || !self->window_ || self->iconId_ == kNoIcon) return;
        static int lastStatus = -1;
        static size_t counter = 0;
        if (self->status_ != lastStatus) {
            lastStatus = self->status_;
            counter = 0;
        }
        const auto* group = self->list_ ? self->list_->group(self->status_) : nullptr;
        if (!group || group->size() == 0) return;
        size_t next = counter + 1;
        HICON frame = group->frame(next % group->size());
        if (!frame) return;
        counter = next;
        NOTIFYICONDATAW data;
        std::memset(&data, 0, sizeof data);
        data.cbSize = kNotifyIconDataSize;
        data.hWnd = self->window_;
        data.uID = self->iconId_;
        data.uFlags = NIF_ICON;
        data.hIcon = frame;
        Shell_NotifyIconW(NIM_MODIFY, &data);
    }

    void killTimer() {
        if (timerId_ != 0) KillTimer(nullptr, timerId_);
        timerId_ = 0;
    }

private:
    List* list_;
    UINT_PTR timerId_ = 0;
    HWND window_ = nullptr;
    UINT iconId_ = kNoIcon;
    int status_ = -1;
};

// The commands of the tray menu, sent to the icon's window.
constexpr UINT ID_TRAY_EXIT = 32793;
constexpr UINT ID_TRAY_ABOUT = 32794;
constexpr UINT ID_TRAY_OPEN_UI = 32795;
// Their captions in the resource library.
constexpr UINT IDS_MENU_EXIT = 16385;
constexpr UINT IDS_MENU_ABOUT = 16386;
constexpr UINT IDS_MENU_OPEN_UI = 16387;

// The notification icon of one window: adds, describes and removes it, and
// opens its menu. The status and the animation are the manager's.
template <class Mgr = TrayIconMgr<>>
class TrayActionHelper {
public:
    TrayActionHelper() { std::memset(&data_, 0, sizeof data_); }
    // Destroys the menu window and the menu's items.
    virtual ~TrayActionHelper() { menu_.clear(); }
    TrayActionHelper(const TrayActionHelper&) = delete;
    TrayActionHelper& operator=(const TrayActionHelper&) = delete;

    // The icon (window, id) this helper shows, told to the manager too, and
    // the menu built afresh: open, about, exit from the top.
    void init(HWND window, UINT id) {
        std::memset(&data_, 0, sizeof data_);
        data_.cbSize = kNotifyIconDataSize;
        data_.hWnd = window;
        data_.uID = id;
        Mgr::instance()->setIcon(window, id);
        menu_.clear();
        menu_.beginUpdate();
        menu_.addItem(trayString(IDS_MENU_EXIT), ID_TRAY_EXIT, 0);
        menu_.addItem(trayString(IDS_MENU_ABOUT), ID_TRAY_ABOUT, 0);
        menu_.addItem(trayString(IDS_MENU_OPEN_UI), ID_TRAY_OPEN_UI, 0);
        menu_.endUpdate();
    }

    // Adds the icon with the image of status 0 (none when that group has no
    // frame), then sets the status with the interval. False when the shell
    // refuses the icon, else the result of setting the status.
    bool addIcon(int status, UINT interval) {
        Mgr* mgr = Mgr::instance();
        const auto* none = mgr->list() ? mgr->list()->group(TRAY_STATUS_NONE) : nullptr;
        data_.uFlags = NIF_ICON;
        data_.hIcon = none ? none->frame(0) : nullptr;
        std::memset(data_.szTip, 0, sizeof data_.szTip);
        std::memset(data_.szInfo, 0, sizeof data_.szInfo);
        if (!Shell_NotifyIconW(NIM_ADD, &data_)) return false;
        added_ = true;
        return mgr->setStatus(status, interval);
    }

    // Stops the animation and deletes the icon; true when the shell did.
    bool removeIcon() {
        Mgr* mgr = Mgr::instance();
        if (mgr->status() != -1 && mgr->timerId() != 0) mgr->killTimer();
        if (!Shell_NotifyIconW(NIM_DELETE, &data_)) return false;
        added_ = false;
        return true;
    }

    // The tooltip, cut to 127 characters.
    bool setTooltip(const std::wstring& text) {
        data_.uFlags = NIF_TIP;
        std::memset(data_.szTip, 0, sizeof data_.szTip);
        size_t n = std::min<size_t>(text.size(), 127);
        text.copy(data_.szTip, n);
        data_.szTip[n] = 0;
        return Shell_NotifyIconW(NIM_MODIFY, &data_) == TRUE;
    }

    // Opens the menu with its bottom-right corner at (x, y) for the icon's
    // window, closing a menu window still open.
    bool showMenu(int x, int y) {
        if (menu_.IsWindow()) menu_.DestroyWindow();
        menu_.popup(data_.hWnd, x, y);
        return menu_.IsWindow() != FALSE;
    }

    bool setCallbackMessage(UINT message) {
        data_.uFlags = NIF_MESSAGE;
        data_.uCallbackMessage = message;
        return Shell_NotifyIconW(NIM_MODIFY, &data_) == TRUE;
    }
    // Sets the version the shell speaks to the icon (3 or 4), kept here
    // whatever the shell answers.
    bool setVersion(UINT version) {
        version_ = static_cast<int>(version);
        data_.uVersion = version;
        data_.uFlags = NIF_MESSAGE;
        return Shell_NotifyIconW(NIM_SETVERSION, &data_) == TRUE;
    }
    bool isAdded() const { return added_; }
    int version() const { return version_; }
    HWND window() const { return data_.hWnd; }
    SkinMenu& menu() { return menu_; }

private:
    NOTIFYICONDATAW data_;
    bool added_ = false;
    SkinMenu menu_;
    int version_ = 3;
};

}  // namespace TRAY
