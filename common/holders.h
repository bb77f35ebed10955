// Scope holders of Win32 resources and of the last-error value.
#pragma once

#include "platform/win32.h"

// Owns one HANDLE (null = empty) and closes it when it goes out of scope.
class scoped_handle {
public:
    explicit scoped_handle(HANDLE handle = nullptr) : handle_(handle) {}
    ~scoped_handle() { close(); }
    scoped_handle(const scoped_handle&) = delete;
    scoped_handle& operator=(const scoped_handle&) = delete;
    scoped_handle(scoped_handle&& other) noexcept : handle_(other.release()) {}
    scoped_handle& operator=(scoped_handle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    HANDLE get() const { return handle_; }
    // True for a handle that names an object (neither null nor INVALID_HANDLE_VALUE).
    bool valid() const { return handle_ && handle_ != INVALID_HANDLE_VALUE; }
    void reset(HANDLE handle = nullptr) {
        close();
        handle_ = handle;
    }
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    // Closes a non-null handle and empties the holder.
    void close() {
        if (handle_) {
            if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
            handle_ = nullptr;
        }
    }

private:
    HANDLE handle_;
};

// Saves the thread's last error and sets it back when it goes out of scope,
// unless dismissed: an operation restores the caller's value on success and
// dismisses the holder on failure, so that its own error stays.
class last_error_restorer {
public:
    last_error_restorer() : saved_(GetLastError()) {}
    explicit last_error_restorer(DWORD saved) : saved_(saved) {}
    ~last_error_restorer() {
        if (active_) SetLastError(saved_);
    }
    last_error_restorer(const last_error_restorer&) = delete;
    last_error_restorer& operator=(const last_error_restorer&) = delete;

    DWORD saved() const { return saved_; }
    void dismiss() { active_ = false; }

private:
    DWORD saved_;
    bool active_ = true;
};

// Owns one narrow RPC string (as UuidToStringA makes it); null = empty.
class rpc_string_holder {
public:
    rpc_string_holder() = default;
    ~rpc_string_holder() {
        if (text_) RpcStringFreeA(&text_);
    }
    rpc_string_holder(const rpc_string_holder&) = delete;
    rpc_string_holder& operator=(const rpc_string_holder&) = delete;

    // The slot for the RPC call to fill; the holder must be empty.
    RPC_CSTR* out() { return &text_; }
    const char* c_str() const { return reinterpret_cast<const char*>(text_); }
    bool empty() const { return text_ == nullptr; }

private:
    RPC_CSTR text_ = nullptr;
};
