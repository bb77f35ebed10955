// An off-screen copy of a window's client area that the owner draws into
// only when it is dirty; painting copies the invalid part to the window with
// white as the transparent colour. GUI thread.
#pragma once

#include "platform/win32.h"
#include "tray/tray_drawing.h"

template <class T>
class MemDCHelper {
public:
    MemDCHelper() = default;
    virtual ~MemDCHelper() { reset(); }
    MemDCHelper(const MemDCHelper&) = delete;
    MemDCHelper& operator=(const MemDCHelper&) = delete;

    // A memory DC with a bitmap of the window's client size, for owner's
    // draw(HDC, const RECT*). False (and nothing kept) unless the window
    // lives, the owner is set and every object could be made. Dirty after.
    bool create(HWND window, T* owner) {
        reset();
        if (!::IsWindow(window) || !owner) return false;
        window_ = window;
        owner_ = owner;
        RECT client;
        ::GetClientRect(window, &client);
        HDC dc = ::GetDC(window);
        bool ok = dc != nullptr;
        if (ok) ok = (memDC_ = ::CreateCompatibleDC(dc)) != nullptr;
        if (ok) {
            ::SetBkColor(memDC_, RGB(255, 255, 255));
            ok = (bitmap_ = ::CreateCompatibleBitmap(dc, client.right - client.left,
                                                     client.bottom - client.top)) != nullptr;
        }
        if (ok) {
            old_ = ::SelectObject(memDC_, bitmap_);
            ok = ::GetObjectW(bitmap_, sizeof info_, &info_) != 0;
        }
        if (dc) ::ReleaseDC(window, dc);
        if (!ok) reset();
        dirty_ = true;
        return ok;
    }

    // Answers the window's WM_PAINT: from the copy (made at the first paint),
    // or, when there is none or a step fails, drawn straight into the window.
    void onPaint(HWND window, T* owner) {
        if (!isValid()) create(window, owner);
        if (paint()) return;
        PAINTSTRUCT paint;
        HDC dc = ::BeginPaint(window, &paint);
        owner->draw(dc, &paint.rcPaint);
        ::EndPaint(window, &paint);
    }

    // Paints the window from the copy, drawing it first when dirty (again at
    // a new client size). False when there is no copy or a step fails.
    bool paint() {
        if (!window_ || !memDC_ || !bitmap_ || !owner_) return false;
        PAINTSTRUCT paint;
        HDC dc = ::BeginPaint(window_, &paint);
        HWND window = window_;
        RECT client;
        ::GetClientRect(window, &client);
        if (client.right - client.left != info_.bmWidth ||
            client.bottom - client.top != info_.bmHeight) {
            T* owner = owner_;
            if (!create(window, owner)) {
                ::EndPaint(window, &paint);
                return false;
            }
        }
        if (dirty_) {
            if (!owner_->draw(memDC_, &paint.rcPaint)) {
                ::EndPaint(window, &paint);
                return false;
            }
            dirty_ = false;
        }
        const RECT& r = paint.rcPaint;
        bool ok =
            ::IsRectEmpty(&r) ||
            ::TransparentBlt(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, memDC_, r.left,
                             r.top, r.right - r.left, r.bottom - r.top, RGB(255, 255, 255));
        ::EndPaint(window, &paint);
        return ok;
    }

    // Forgets the window and owner and deletes the copy; dirty.
    void reset() {
        tray::free_back_buffer(memDC_, bitmap_, old_);
        window_ = nullptr;
        owner_ = nullptr;
        info_ = BITMAP{};
        dirty_ = true;
    }
    void setDirty(bool dirty) { dirty_ = dirty; }
    bool isValid() const { return memDC_ != nullptr; }
    HDC dc() const { return memDC_; }

private:
    HWND window_ = nullptr;
    T* owner_ = nullptr;
    HDC memDC_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    BITMAP info_{};
    bool dirty_ = true;
    HGDIOBJ old_ = nullptr;
};
